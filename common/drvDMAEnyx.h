#ifndef DRV_DMA_ENYX_H
#define DRV_DMA_ENYX_H

// DMA receive engines over an Enyx card's stream pair: the a2c stream on
// which the card delivers records and the c2a stream for sending to it.
//
//   CDrvDMAEnyx dma;
//   _DMaInitParam_t p; p.nBusId = 0; p.name = "MAC_CHAN0_DATA"; ...
//   dma.Init(&p);
//   without a pool:  dma.RegisterHandler(cb, arg); for (;;) dma.RecvOnceCb();
//   with a pool:     dma.StartCpyThread(); ...read dma.GetPool()...;
//                    dma.StopCpyThread();   // before destruction
//
// Threading: the copy thread (StartCpyThread) is the only reader of the a2c
// stream while it runs and the pool's only producer; it is pinned to
// iCopyCore and polls without pause. GetDmaStat may be called from any
// thread. Everything else is called by the one thread that owns the engine.

#include <atomic>
#include <cstdint>

#include "drvRingBufPool.h"

struct enyx_hw_accelerator;
struct enyx_hw_a2c_stream;
struct enyx_hw_c2a_stream;

// Receives one record; data is valid only during the call.
typedef void (*DmaRecvCb)(const uint8_t* data, uint32_t length, void* param);

class IDrvDMA {
public:
    virtual ~IDrvDMA() = default;
    virtual int Init(void* param) = 0;
    virtual int Send(void* data, uint32_t length) = 0;
    virtual int RecvOnce(void* cb, void* param) = 0;
    virtual int RecvOnceCb() = 0;
    virtual void RegisterHandler(void* cb, void* param) = 0;
    virtual void PollData() = 0;
};

// What both engines share: the stream pair of one channel and the receive
// callback. Receiving takes one record from the a2c stream per call.
class CDrvDMAStreams : public IDrvDMA {
public:
    int RecvOnce(void* cb, void* param) override;
    int RecvOnceCb() override;
    void RegisterHandler(void* cb, void* param) override;

protected:
    CDrvDMAStreams() = default;
    int Send(const void* data, uint32_t length);  // 0, or -1 after 2 to 3 busy seconds
    // Opens the stream pair named `name` on m_lpAcc. 0, or -1 after a logged
    // failure with nothing left open.
    int OpenStreams(const char* name);

    DmaRecvCb m_recvCb = nullptr;
    void* m_cbParam = nullptr;
    enyx_hw_accelerator* m_lpAcc = nullptr;
    enyx_hw_c2a_stream* m_lpC2a = nullptr;
    enyx_hw_a2c_stream* m_lpA2c = nullptr;
    uint32_t m_nA2cMtu = 0;
    uint32_t m_nC2aMtu = 0;
};

class CDrvDMAEnyx : public CDrvDMAStreams {
public:
    CDrvDMAEnyx() = default;
    ~CDrvDMAEnyx() override;
    CDrvDMAEnyx(const CDrvDMAEnyx&) = delete;
    CDrvDMAEnyx& operator=(const CDrvDMAEnyx&) = delete;

    int Init(void* param) override;
    int Send(void* data, uint32_t length) override;
    void PollData() override;

    int InitDma(const char* name);
    int StartCpyThread();
    void StopCpyThread();
    DmaInfoStat_t* GetDmaStat();
    ringbuffer* GetPool();
    int GetCpyDataType();
    uint32_t GetTailUseLen();

private:
    static void* CopyLoop(void* self);
    static void Copy2PoolTemp(const uint8_t* data, uint32_t length, void* self);

    _DMaInitParam_t m_stDmaInitParam;
    bool m_bInitSuccess = false;
    IDrvPool* m_pDrvPool = nullptr;
    // Cross-thread flags: the owner clears m_bCpyThrRun, the copy thread sets
    // m_CpyActionStop once it has left its loop (true while no thread runs).
    std::atomic<bool> m_bCpyThrRun{false};
    std::atomic<bool> m_CpyActionStop{true};
};

// The reduced engine: no pool, no copy thread; always channel
// "MAC_CHAN0_DATA" of the first card.
class CDrvDMAEnyx_TR : public CDrvDMAStreams {
public:
    CDrvDMAEnyx_TR() = default;
    ~CDrvDMAEnyx_TR() override = default;
    CDrvDMAEnyx_TR(const CDrvDMAEnyx_TR&) = delete;
    CDrvDMAEnyx_TR& operator=(const CDrvDMAEnyx_TR&) = delete;

    int Init(void* param) override;
    int Send(void* data, uint32_t length) override;
    void PollData() override;
    int InitDma(const char* name);
};

#endif
