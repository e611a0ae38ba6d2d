#ifndef MKRX_SERVICE_ENYX_IMPL_H
#define MKRX_SERVICE_ENYX_IMPL_H

// The client service behind libmkrxservice's IMkrxService (mkrx_service.h):
// in run modes 0 and 1 it owns the card in this process (configuration,
// bring-up, reset, a DMA engine on the chosen channel); in run mode 2 it is a
// consumer of the producer program's shared pool. One instance per process;
// the object is not locked: one client thread drives it (in run mode 1 the
// engine's copy thread writes the ring beside it). Init runs once per object.
// FreeIMkrxService may come from any thread, also from two at once: it runs
// under the factory's lock, deletes the live instance once and refuses any
// other pointer; the destructor stops and joins the copy thread before the
// engine, the pool and the process-wide objects go.

#include <cstdint>
#include <string>

#include "drvDMAEnyx.h"
#include "drvRingBufPool.h"
#include "mkrx_service.h"
#include "quay_version.h"

struct _MkrxCbParam_t {
    MkrxServiceRecvCb cb = nullptr;
    void* param = nullptr;
};

class CMkrxDmaServImpl : public IMkrxService {
public:
    CMkrxDmaServImpl();
    ~CMkrxDmaServImpl() override;
    CMkrxDmaServImpl(const CMkrxDmaServImpl&) = delete;
    CMkrxDmaServImpl& operator=(const CMkrxDmaServImpl&) = delete;

    int Init(void* param) override;
    int RegisterHandler(MkrxServiceRecvCb cb, void* param) override;
    int PollOnce() override;
    int StartCpyThread() override;
    int StopCpyThread() override;
    DmaInfoStat_t* GetDmaStatInf() override;
    void* GetDmaBuf() override;
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* usage) override;
    void SetFetchSize(uint32_t bytes) override;
    int GetCpyDataType() override;
    uint32_t GetTailUseLen() override;
    const char* GetVersion() override { return QUAY_LIB_VERSION; }

    // Consumers attached to the segment, 0 unless this is an attached consumer.
    uint32_t SdkNum() const;
    // Records a consumer event in the segment's event log. 0 or -1.
    int LogSdkEvent(int code);

private:
    static void ParseCbTimestamp(const uint8_t* data, uint32_t length, void* service);
    int InitDma();
    int InitSdkInfo();
    CDrvDMAEnyx* Engine() const;

    CDrvDMAEnyx* m_lpDrvDma[MKRX_SERVICECB_TYPE_BUTT] = {nullptr, nullptr};
    _MkrxCbParam_t m_tParseDataCbInfo;
    MkrxInitParam_t m_tInitParam;
    MkrxPktInfo_t* m_tPktbufParse = nullptr;
    MkrxChanRunMode_e m_eRunMode = MKRX_ONE_SDK_PERFORMANCE_MODE;
    MkrxServiceCbType_e m_eChanServType = MKRX_SERVICECB_TYPE_RAW_DATA;
    uint32_t m_uiPoolSize = 0;
    CMkrxPoolConsumer m_tConsumer;  // own slot, read position and kick-out state
    bool m_bInitCalled = false;  // Init has run (successfully or not)
    bool m_bInitedSuccess = false;
    bool m_bIsKickedOut = false;
    bool m_bIsKkPrinted = false;
    int m_DbgFd = 0;
    int m_EventCode = _EVENT_BUTT;
};

// Reads dir + "/device.ini" for a process that owns the card: pool size, copy
// CPU and data type into g_tDevInfo, and the directory of quay.ini. 0 or -1.
int ParseRingbufCfg(const std::string& dir, std::string& quayIniPath);

// Brings the Enyx card up the way a client process does: quay.ini of dir,
// the Enyx register driver, the FPGA service, the running information and a
// marked reset. The process-wide objects it creates are released by
// MkrxReleaseCard. 0 or -1 after a logged failure.
int MkrxBringUpCard(const std::string& quayIniDir);
void MkrxReleaseCard();

// The build banner of the library, QUAY_LIB_BANNER and the build time.
const char* MkrxBuildBanner();

#endif
