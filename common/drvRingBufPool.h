#ifndef DRV_RING_BUF_POOL_H
#define DRV_RING_BUF_POOL_H

// Ring-buffer pools between a DMA copy thread and the readers of its records.
//
// Two forms, chosen by the run mode of the init parameter:
//   - run mode 1: a private ring in this process (ringbuffer, mkrxDef.h), read
//     by the same process;
//   - run mode 3: the System V segment (layout in mkrxDef.h) written by this
//     process, the producer, and read by up to 8 consumer processes that use
//     CMkrxPoolConsumer below.
//
// Producer, in either form:
//   CDrvRingBufPool pool;
//   _DMaInitParam_t param; param.uiPoolSize = 64; param.eDataType = ...;
//   param.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
//   if (pool.Init(&param) == 0)
//       for (;;) pool.Copy2Pool(data, length, nullptr);   // one thread only
//
// Consumer of the segment (another process):
//   CMkrxPoolConsumer c;
//   if (GetShareMemBase() && c.Attach(base) == 0)
//       while (c.Read(&usage) == 0) { ...process usage...; c.Consume(bytes); }
//   c.Detach();
//
// Threading: Copy2Pool runs on one thread, the single producer; it takes no
// lock unless it must expel a consumer. GetPktStat, GetDataType and
// GetTailUseLen may be called from any thread. Init and destruction must not
// overlap any other call. A CMkrxPoolConsumer is driven by one thread.

#include <atomic>
#include <cstdint>
#include <string>

#include "drvShareMem.h"
#include "mkrxDef.h"

// Parameter of a DMA engine's Init; the pool uses uiPoolSize (MiB),
// eDataType and eRunMode.
struct _DMaInitParam_t {
    uint32_t nBusId = 0;
    std::string name;
    bool bPoolEnable = false;
    uint32_t uiPoolSize = 0;
    MkrxDataType_e eDataType = MKRX_RAW_FPGA_DATA;
    int32_t iCopyCore = 0;
    MkrxChanRunMode_e eRunMode = MKRX_ONE_SDK_PERFORMANCE_MODE;
};

enum ProdDataTest_e {
    Prod_Not_test_test = 0,
    Prod_write_to_file_test = 1,
    Prod_check_seq_test = 2,
    Prod_check_seq_write_file_test = 3,
};

class IDrvPool {
public:
    virtual ~IDrvPool() = default;
    virtual int Init(void* param) = 0;
    virtual void Copy2Pool(const uint8_t* data, uint32_t length, void* param) = 0;
    virtual int PollData(uint32_t) = 0;
    virtual DmaInfoStat_t* GetPktStat(uint32_t) = 0;
    virtual ringbuffer* GetPoolBuf(uint32_t) = 0;
    virtual int GetDataType(uint32_t) = 0;
    virtual uint32_t GetTailUseLen(uint32_t) = 0;
};

class CDrvRingBufPool : public IDrvPool {
public:
    CDrvRingBufPool();
    ~CDrvRingBufPool() override;
    CDrvRingBufPool(const CDrvRingBufPool&) = delete;
    CDrvRingBufPool& operator=(const CDrvRingBufPool&) = delete;

    // param: a _DMaInitParam_t. 0, or -1 after a logged failure.
    int Init(void* param) override;
    // Frames one record by the data type and copies it into the ring; counts
    // it as copied or dropped. param is ignored. Inline, so that the copy
    // thread, calling it by the pool's own type, goes straight to the path
    // of the pool's framing and ring form.
    void Copy2Pool(const uint8_t* data, uint32_t length, void*) override { m_pfnCopy(this, data, length); }
    int PollData(uint32_t) override;
    DmaInfoStat_t* GetPktStat(uint32_t) override { return m_pDmaInfoStat; }
    // The private ring; null in run mode 3.
    ringbuffer* GetPoolBuf(uint32_t) override { return m_pSingleRingBuf; }
    int GetDataType(uint32_t) override { return m_eDataTpye; }
    // Private ring: bytes of the latest record that reaches the ring end and
    // lie in the tail area.
    uint32_t GetTailUseLen(uint32_t) override { return m_uiExtraTailUse.load(std::memory_order_relaxed); }

    // Points the pool into an attached segment header and stamps the producer.
    // Called by Init; the start (old or brand new) is the one Init found.
    int MkrxProdInfoInit(MkrxShareMemInfo_t* lpHead);

private:
    // The copy of one record for the pool's framing T and ring form, chosen
    // by the first record (CopyFirst) and called for every later one.
    using CopyFn = void (*)(CDrvRingBufPool* self, const uint8_t* data, uint32_t length);
    static void CopyFirst(CDrvRingBufPool* self, const uint8_t* data, uint32_t length);
    template <int T, bool Shared>
    static void CopyOne(CDrvRingBufPool* self, const uint8_t* data, uint32_t length);
    static void CountOnly(CDrvRingBufPool* self, const uint8_t* data, uint32_t length);
    // A record of MKRX_COPY_LIB_FROM bytes or more, with memcpy.
    template <int T, bool Shared>
    [[gnu::noinline]] static void CopyLarge(CDrvRingBufPool* self, const uint8_t* data, uint32_t length);
    // Small: the payload is under MKRX_COPY_LIB_FROM bytes and copied inline.
    // Copy* checks the room by the cached position, *Full (out of line)
    // refreshes it when short, *Place writes and publishes the record.
    template <int T, bool Small>
    void CopyPrivate(const uint8_t* data, uint32_t length);
    template <int T, bool Small>
    [[gnu::noinline]] void PrivateFull(const uint8_t* data, uint32_t length, uint32_t need);
    template <int T, bool Small>
    void PrivatePlace(const uint8_t* data, uint32_t length, uint32_t need);
    template <int T, bool Small>
    void CopyShared(const uint8_t* data, uint32_t length);
    template <int T, bool Small>
    [[gnu::noinline]] void SharedFull(const uint8_t* data, uint32_t length, uint32_t need, uint32_t run);
    template <int T, bool Small>
    void SharedPlace(const uint8_t* data, uint32_t length, uint32_t need);
    template <int T, bool Small>
    void WriteRecord(uint8_t* dst, const uint8_t* data, uint32_t length);
    template <int T>
    void CountCopied(uint32_t length);
    // Out of line: what the common case never needs.
    [[gnu::noinline, gnu::cold]] void CountDropped(uint32_t length);
    [[gnu::noinline, gnu::cold]] void RefuseTooBig(uint32_t length);
    [[gnu::noinline]] bool PrivateRoom(uint32_t length, uint32_t need);
    [[gnu::noinline]] bool SharedRoom(uint32_t run, uint32_t length, uint32_t need);
    // Smallest read position of the valid consumers; returns how many valid
    // slots it saw, 0 if none. All 8 slots are scanned, whatever uiRunSdkNum
    // says: a count that another process has lowered must not hide a
    // consumer whose unread bytes would then be overwritten. A position
    // ahead of the write position or more than a ring behind it is no
    // consumer's (another process wrote it): it counts as a full ring
    // behind, so it leaves no room and is the first expelled.
    uint32_t SlowestCout(uint64_t& slowest) const;
    // Expels the valid consumer furthest behind, in the same measure, taking
    // the slot lock for at most MKRX_SEM_KICK_WAIT_MS.
    void KickSlowest();
    // How far behind the write position a slot's position is, at most a ring.
    uint64_t Lag(uint64_t cout) const {
        return cout > m_multi_pin || m_multi_pin - cout > m_ulPoolSize ? m_ulPoolSize : m_multi_pin - cout;
    }
    // The record cannot be placed without writing past the tail area.
    [[gnu::noinline, gnu::cold]] void RefuseTailOverflow(uint32_t length, uint32_t need);

    MkrxDataType_e m_eDataTpye = MKRX_RAW_FPGA_DATA;
    uint32_t m_uiPoolSize = 0;
    DmaInfoStat_t* m_pDmaInfoStat = nullptr;
    RinfBufInf* m_pFirstRingBuf = nullptr;
    ringbuffer* m_pSingleRingBuf = nullptr;
    std::atomic<uint32_t> m_uiExtraTailUse{0};
    MkrxShareMemInfo_t* m_pMangMem = nullptr;
    uint32_t m_uiCopyDataHeadSize = 0;
    uint64_t m_ulPoolSize = 0;
    MkrxSdkCoutInfo_t* m_psdkCInfHead = nullptr;
    uint32_t* m_puiSdkRunNum = nullptr;
    uint64_t m_multi_pin = 0;
    MkrxServiceCbType_e m_eChannel = MKRX_SERVICECB_TYPE_RAW_DATA;
    MkrxChanRunMode_e m_eChanMode = MKRX_ONE_SDK_PERFORMANCE_MODE;
    int m_nFdDbug = 0;
    char m_szTmpBuf[512] = {};
    ProdDataTest_e m_DataTestItem = Prod_Not_test_test;
    void* m_pA2cStream = nullptr;

    // Producer's private state of the hot path.
    uint8_t* m_pRingData = nullptr;   // this process's address of the ring
    uint64_t m_ullSlowCache = 0;      // shared: a lower bound of the slowest consumer
    uint32_t m_uiOutCache = 0;        // private: a lower bound of c.out
    uint32_t m_uiInPriv = 0;          // private: the copy thread's own copy of p.in
    bool m_bTailRefused = false;      // a tail overflow has been logged
    CopyFn m_pfnCopy = &CDrvRingBufPool::CopyFirst;
    // The counters of m_pDmaInfoStat, kept here and stored there.
    uint64_t m_ullCpyNum = 0;
    uint64_t m_ullCpyByte = 0;
    uint64_t m_ullDisNum = 0;
    uint64_t m_ullDisByte = 0;
    bool m_bOldStart = false;         // took over a segment with consumers attached
};

// ---- Consumer side of the segment ----
// A slot is this consumer's only while it is valid and holds this process's
// id and the position this consumer last stored: a consumer expelled by the
// producer, or by a newcomer that has since taken the slot, never touches the
// slot again.
//
// Any local process can write the segment, so a reader trusts none of its
// header: Attach refuses a header that cannot describe the segment, and Read
// checks what it hands out (the write position at most a ring ahead of the
// own position and never behind it, the tail length within the tail area and
// within what is published, the data type the one attached with). A state no
// producer can make is logged once at ERROR and the consumer stops as if it
// had been expelled (IsCorrupt() then says why); its slot is still given
// back at Detach. The ring size is the one checked at Attach: a header
// rewritten later does not move the reads.
class CMkrxPoolConsumer {
public:
    CMkrxPoolConsumer() = default;
    CMkrxPoolConsumer(const CMkrxPoolConsumer&) = delete;
    CMkrxPoolConsumer& operator=(const CMkrxPoolConsumer&) = delete;

    // Takes a consumer slot of the attached segment. 0, or the event code of
    // the failure (_EVENT_SDK_SEM_KEY_FAIL, _EVENT_SDK_FULL_EXIT,
    // _EVENT_SDK_OTH_FAIL for a header that does not fit the segment).
    int Attach(void* lpBase);
    // Readable bytes from the own position: 0 and usage filled, or -1 once
    // the slot is lost, the producer removed the pool or the header is found
    // corrupted (usage zeroed).
    int Read(MkrxCurPoolUsge_t* usage);
    // Moves the own position on by bytes processed: at most what the last
    // Read offered, less what was consumed since. More is a client's error
    // that would put the position past the records: it is cut to the offer
    // and logged once.
    void Consume(uint32_t bytes);
    // Gives the slot back (unless it was lost) under the slot lock, and sets
    // the consumer count to the valid slots.
    void Detach();

    bool Owned() const;
    bool IsKickedOut() const { return m_bKicked; }
    bool IsCorrupt() const { return m_bCorrupt; }
    bool IsAttached() const { return m_pSlot != nullptr; }
    MkrxShareMemInfo_t* Head() const { return m_pHead; }
    uint64_t Position() const { return m_ullPos; }
    uint32_t RingSize() const { return m_uiSize; }

private:
    MkrxShareMemInfo_t* m_pHead = nullptr;
    const uint8_t* m_pData = nullptr;
    MkrxSdkCoutInfo_t* m_pSlot = nullptr;
    uint32_t m_uiSize = 0;
    uint64_t m_ullPos = 0;
    uint64_t m_ullCallTime = 0;
    static const int64_t kProducerCheckNs = 100000000;
    bool ProducerRemovedPool();
    // The slot holds what this consumer put there.
    bool SlotMine() const;
    // The out-of-line ends of Read: the slot is not ours (or no longer
    // read), or a field cannot be right (reported once when the slot is
    // still ours; otherwise it is the view of an expelled consumer).
    __attribute__((noinline, cold)) int Stopped(MkrxCurPoolUsge_t* usage);
    __attribute__((noinline, cold)) int Fault(MkrxCurPoolUsge_t* usage, const char* field, uint64_t value,
                                              const char* why);
    void Report(const char* field, uint64_t value, const char* why);
    int m_nShmId = -1;
    int64_t m_llNextCheckNs = 0;
    int m_nPid = 0;
    int32_t m_nType = MKRX_ERROR_DATA;  // the segment's data type at Attach
    uint32_t m_uiOffered = 0;           // bytes the last Read offered, less those consumed since
    bool m_bKicked = false;             // no more reads: slot lost, pool removed or header corrupted
    bool m_bCorrupt = false;            // ... because of a corrupted header (logged)
    bool m_bOverConsumed = false;       // a Consume beyond the offer has been logged
};

// Slots whose bValidTag is set: what uiRunSdkNum must hold. Attach, Detach
// and the producer's expulsion store it under the slot lock instead of
// counting up and down, so a count that a crash, a lock taken without
// waiting or another process has put wrong is mended and never leaves 0..8.
uint32_t MkrxCountValidSlots(const MkrxShareMemInfo_t* lpHead);

// Appends text (cut to 127 characters) to the segment's event log under its
// lock. 0; -1 if the lock cannot be taken; -2 if the log is full (logged).
int MkrxWriteEventMsg(MkrxShareMemInfo_t* lpHead, const char* lpText);

#endif
