#include "mkrxServiceEnyxImpl.h"

#include <iniparser.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "common.h"
#include "drvEnyx.h"
#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "thread_mutex.h"
#include "xmlHelper.h"

namespace {

// The one service object of the process, and the lock of the factory.
IMkrxService* g_lpMkrxInstance = nullptr;
OSKIT2::CThreadMutex& FactoryMutex() {
    static OSKIT2::CThreadMutex* s_lpMutex = new OSKIT2::CThreadMutex();  // kept to the end of the process
    return *s_lpMutex;
}

// device.ini of dir, or null after the caller's failure message.
dictionary* LoadDeviceIni(const std::string& dir) {
    std::string path = dir + "/device.ini";
    return Uti_NotRegularFile(path.c_str()) == nullptr ? iniparser_load(path.c_str()) : nullptr;
}

// The int held in an enumeration field of the client's init parameter, read
// as bytes: any value, also one that is none of the enumeration's.
int EnumField(const MkrxInitParam_t* p, size_t offset) {
    int v;
    static_assert(sizeof(MkrxChanRunMode_e) == sizeof(int) && sizeof(MkrxServiceCbType_e) == sizeof(int) &&
                      sizeof(MkrxDataType_e) == sizeof(int),
                  "the init parameter's enumerations are ints");
    memcpy(&v, reinterpret_cast<const char*>(p) + offset, sizeof(v));
    return v;
}

}  // namespace

const char* MkrxBuildBanner() { return QUAY_LIB_BANNER __DATE__ " " __TIME__; }

int ParseRingbufCfg(const std::string& dir, std::string& quayIniPath) {
    dictionary* ini = LoadDeviceIni(dir);
    if (ini == nullptr) {
        printf("can't parse config file: device.ini");
        return -1;
    }
    g_tDevInfo.uiPoolSize = (uint32_t)iniparser_getint(ini, "device:dmapoolsize", 256);
    g_tDevInfo.uiCpyCore = (uint32_t)iniparser_getint(ini, "device:copyCoreNum", 4);
    int type = iniparser_getint(ini, "device:dataType", 0);
    const char* path = iniparser_getstring(ini, "device:quay_ini_path", nullptr);
    int rc = 0;
    if (type < MKRX_RAW_FPGA_DATA || type > MKRX_ERROR_DATA) {
        // The producer takes it for its framing: only the framings there are.
        GT_LOGE(GT_TAG_FPGA, "Unsupport data type, %d", type);
        rc = -1;
    } else if (path == nullptr || path[0] == '\0') {
        printf("Get quay.ini path fail ! maybe You haven't entered.");
        rc = -1;
    } else {
        g_tDevInfo.eDataType = type;
        quayIniPath = path;
    }
    iniparser_freedict(ini);
    return rc;
}

int MkrxBringUpCard(const std::string& quayIniDir) {
    g_lpConfig = new (std::nothrow) CGtConfig();
    if (g_lpConfig == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Config init fail");
        return -1;
    }
    // GetCfgInfo fills the whole record: keep what device.ini gave.
    uint32_t pool = g_tDevInfo.uiPoolSize, core = g_tDevInfo.uiCpyCore;
    int32_t type = g_tDevInfo.eDataType;
    if (g_lpConfig->Init((quayIniDir + "/quay.ini").c_str()) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init config file fail");
        return -1;
    }
    int ret = g_lpConfig->GetCfgInfo(g_tDevInfo);
    if (ret != 0) {
        GT_LOGE(GT_TAG_FPGA, "Get device infomation failed! ret:%d", ret);
        return -1;
    }
    g_tDevInfo.uiPoolSize = pool;
    g_tDevInfo.uiCpyCore = core;
    g_tDevInfo.eDataType = type;

    // Whatever driver quay.ini names, a client process reaches an Enyx card.
    ret = OpenEnyxRegDrv(g_tDevInfo, g_lpDrv);
    if (ret == GT_ERR_CREATE) {
        GT_LOGE(GT_TAG_FPGA, "lack of memory!Init enyx reg fail.");
        return -1;
    }
    if (ret != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init New drive failed! ret:%d", ret);
        return -1;
    }
    bIsUseRegRWMode = true;

    g_lpFpgaService = new (std::nothrow) CGtFpgaService();
    if (g_lpFpgaService == nullptr || g_lpFpgaService->Init(g_lpDrv, g_lpConfig) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init Fpga service fail.");
        return -1;
    }
    if (SetFpgaRunningInfo(g_lpFpgaService) != 0) {
        GT_LOGE(GT_TAG_FPGA, "set fpga runing info fail.");
        return -1;
    }
    if (g_lpFpgaService->ResetFpga("Dma", true) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Hault fpga reset signal fail \n");
        return -1;
    }
    return 0;
}

void MkrxReleaseCard() {
    ReleaseProcessServices();
    delete g_lpXmlHelper;
    g_lpXmlHelper = nullptr;
}

// ---------------------------------------------------------------- CMkrxDmaServImpl

CMkrxDmaServImpl::CMkrxDmaServImpl() { memset(&m_tInitParam, 0, sizeof(m_tInitParam)); }

CMkrxDmaServImpl::~CMkrxDmaServImpl() {
    GT_LOGI(GT_TAG_FPGA, "Mkrx service impl free");
    for (auto*& dma : m_lpDrvDma) {
        delete dma;
        dma = nullptr;
    }
    delete m_tPktbufParse;
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        m_tConsumer.Detach();
        LogSdkEvent(m_EventCode);
        DetachShareMem();
    }
    if (m_DbgFd > 0) close(m_DbgFd);
    MkrxReleaseCard();
}

int CMkrxDmaServImpl::Init(void* param) {
    MkrxInitParam_t* p = static_cast<MkrxInitParam_t*>(param);
    if (p == nullptr) return -1;
    // A second Init would take a second consumer slot and a second logger
    // that nothing releases.
    if (m_bInitCalled) {
        GT_LOGE(GT_TAG_FPGA, "Init mkrx service failed, already inited!");
        return -1;
    }
    m_bInitCalled = true;
    // The enumerations are the client's bytes: read as integers and checked
    // before any of them is used as its enumeration.
    const int mode = EnumField(p, offsetof(MkrxInitParam_t, eRunMode));
    const int channel = EnumField(p, offsetof(MkrxInitParam_t, eChannel));
    const int type = EnumField(p, offsetof(MkrxInitParam_t, eDataType));
    printf("Input param:RunMode:%d, Channel:%d,Datatype:%d.coreNum:%d.devpath:%s,logpath:%s.\n", mode, channel, type,
           (int)p->copyThreadCore, p->device_ini_direct, p->logdirect);
    memcpy(&m_tInitParam, p, sizeof(m_tInitParam));
    m_tInitParam.logdirect[sizeof(m_tInitParam.logdirect) - 1] = '\0';
    m_tInitParam.device_ini_direct[sizeof(m_tInitParam.device_ini_direct) - 1] = '\0';
    if (m_tInitParam.logdirect[0] == '\0') strcpy(m_tInitParam.logdirect, "./");
    if (m_tInitParam.device_ini_direct[0] == '\0') strcpy(m_tInitParam.device_ini_direct, "./");

    CGtLogger* logger = new (std::nothrow) CGtLogger();
    if (logger == nullptr) {
        printf("log inited fail ");
        return -1;
    }
    g_lpLogger = logger;
    int ret = logger->Init(0, m_tInitParam.logdirect, "fpga_client_dma");
    if (ret != 0) {
        printf("###Init log service failed! ret: %d###\n", ret);
        return -1;
    }
    if (mode < MKRX_ONE_SDK_PERFORMANCE_MODE || mode > MKRX_MULTI_SDK_PRODUCE_MODE ||
        channel < MKRX_SERVICECB_TYPE_RAW_DATA || channel > MKRX_SERVICECB_TYPE_BUTT || type < MKRX_RAW_FPGA_DATA ||
        type > MKRX_ERROR_DATA) {
        GT_LOGE(GT_TAG_FPGA, "Init param error!");
        memset(&m_tInitParam, 0, sizeof(m_tInitParam));  // no enumeration outside its values stays behind
        return -1;
    }
    m_eRunMode = (MkrxChanRunMode_e)mode;
    m_eChanServType = (MkrxServiceCbType_e)channel;
    GT_LOGI(GT_TAG_FPGA, "Now program run mode is %d.", (int)m_eRunMode);
    GT_LOGI(GT_TAG_FPGA, "Implservice version %s.", GetVersion());

    if (m_eRunMode == MKRX_ONE_SDK_PERFORMANCE_MODE || m_eRunMode == MKRX_ONE_SDK_RINGBUF_MODE) {
        std::string quayDir;
        if (ParseRingbufCfg(m_tInitParam.device_ini_direct, quayDir) != 0) {
            GT_LOGE(GT_TAG_FPGA, "Get device.ini config fail.");
            return -1;
        }
        m_uiPoolSize = g_tDevInfo.uiPoolSize;
        g_sXmlDirect = quayDir;
        GT_LOGI(GT_TAG_FPGA, "Use these file path: log:%s, %s/device.ini, %s/quay.ini ", m_tInitParam.logdirect,
                m_tInitParam.device_ini_direct, quayDir.c_str());
        if (MkrxBringUpCard(quayDir) != 0) return -1;
        if (InitDma() != 0) {
            GT_LOGE(GT_TAG_FPGA, "Init dma fail!");
            return -1;
        }
        m_bInitedSuccess = true;
        return 0;
    }
    if (m_eRunMode != MKRX_MULTI_SDK_CONSUME_MODE) return 0;

    int rc = -1;
    void* base = nullptr;
    if (!IsProdProgRunning()) {
        GT_LOGE(GT_TAG_FPGA, "Error! you should start produce program first!");
        m_EventCode = _EVENT_SDK_SEM_KEY_FAIL;
    } else if ((base = GetShareMemBase()) == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Get share memory base fail");
        m_EventCode = _EVENT_SDK_SEM_KEY_FAIL;
    } else if (InitSdkInfo() != 0) {
        GT_LOGE(GT_TAG_FPGA, "Init sdk info fail");
    } else {
        rc = 0;
    }
    if (rc != 0) {
        GT_LOGE(GT_TAG_FPGA, "Share memory init fail");
        return -1;
    }
    LogSdkEvent(_EVENT_ACCESS_IN);
    m_EventCode = _EVENT_LOG_OUT;
    m_bInitedSuccess = true;
    return 0;
}

int CMkrxDmaServImpl::InitSdkInfo() {
    MkrxShareMemInfo_t* h = static_cast<MkrxShareMemInfo_t*>(GetShareMemBase());
    int32_t have = mkrx::LoadRelaxed(&h->eDataType);
    int32_t want = (int32_t)m_tInitParam.eDataType;
    // A type no ring can hold is refused like a mismatch, even by a segment marked 4.
    if ((have != MKRX_ERROR_DATA && have != want) || MkrxHeadSize(want) < 0) {
        GT_LOGE(GT_TAG_FPGA, "Error !Data type isn't the same with Server! current:%d, server:%d.", want, have);
        m_EventCode = _EVENT_SDK_OTH_FAIL;
        return -1;
    }
    mkrx::StoreRelaxed(&h->eDataType, want);
    m_uiPoolSize = mkrx::LoadRelaxed(&h->bufInf.uiSize);
    GT_LOGI(GT_TAG_FPGA, "Get pool size:%u.", m_uiPoolSize);
    int code = m_tConsumer.Attach(h);
    if (code != 0) {
        GT_LOGE(GT_TAG_FPGA, "Get avail cout sem fail.\n");
        m_EventCode = code;
        return -1;
    }
    return 0;
}

int CMkrxDmaServImpl::InitDma() {
    if (m_eChanServType != MKRX_SERVICECB_TYPE_RAW_DATA && m_eChanServType != MKRX_SERVICECB_TYPE_PARSE_DATA) {
        GT_LOGI(GT_TAG_FPGA, "Updma %s.", MkrxBuildBanner());
        return 0;
    }
    int ch = (int)m_eChanServType;
    CDrvDMAEnyx* dma = new (std::nothrow) CDrvDMAEnyx();
    _DMaInitParam_t p;
    p.nBusId = (uint32_t)g_tDevInfo.nBusId;
    p.name = ch == 0 ? g_tDevInfo.strDevDma0Name : g_tDevInfo.strDevDma1Name;
    p.bPoolEnable = m_eRunMode == MKRX_ONE_SDK_RINGBUF_MODE;
    p.uiPoolSize = m_uiPoolSize;
    p.eDataType = m_tInitParam.eDataType;
    p.iCopyCore = m_tInitParam.copyThreadCore;
    p.eRunMode = m_eRunMode;
    int ret = dma == nullptr ? -1 : dma->Init(&p);
    if (ret != 0) {
        GT_LOGE(GT_TAG_FPGA, ch == 0 ? "Init DMA 0 failed %d!" : "Init DMA 1 failed %d!", ret);
        delete dma;
        return -1;
    }
    m_lpDrvDma[ch] = dma;
    GT_LOGI(GT_TAG_FPGA, "Updma %s.", MkrxBuildBanner());
    return 0;
}

CDrvDMAEnyx* CMkrxDmaServImpl::Engine() const {
    return m_eChanServType < MKRX_SERVICECB_TYPE_BUTT ? m_lpDrvDma[m_eChanServType] : nullptr;
}

void CMkrxDmaServImpl::ParseCbTimestamp(const uint8_t* data, uint32_t length, void* service) {
    CMkrxDmaServImpl* self = static_cast<CMkrxDmaServImpl*>(service);
    MkrxPktInfo_t* pkt = self->m_tPktbufParse;
    pkt->uiTimeStamp = MkrxGetTimeTamp();
    pkt->uiPayloadLen = length;
    pkt->pucData = data;
    self->m_tParseDataCbInfo.cb(reinterpret_cast<const uint8_t*>(pkt), length + (uint32_t)sizeof(MkrxPktInfo_t),
                                self->m_tParseDataCbInfo.param);
}

int CMkrxDmaServImpl::RegisterHandler(MkrxServiceRecvCb cb, void* param) {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        GT_LOGE(GT_TAG_FPGA,
                "Error !Both Raw data channel and Parse data channel & multi mode not support Reigster mode");
        return -1;
    }
    CDrvDMAEnyx* dma = Engine();
    if (dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "unsupport callback type %d.", (int)m_eChanServType);
        return -1;
    }
    if (m_eRunMode != MKRX_ONE_SDK_PERFORMANCE_MODE && m_tInitParam.eDataType == MKRX_RAW_FPGA_WITH_HDR_DATA) {
        if (m_tPktbufParse == nullptr) m_tPktbufParse = new MkrxPktInfo_t();
        m_tParseDataCbInfo.cb = cb;
        m_tParseDataCbInfo.param = param;
        dma->RegisterHandler(reinterpret_cast<void*>(&CMkrxDmaServImpl::ParseCbTimestamp), this);
    } else {
        dma->RegisterHandler(reinterpret_cast<void*>(cb), param);
    }
    GT_LOGI(GT_TAG_FPGA, "Register handle success. %d", (int)m_eChanServType);
    return 0;
}

int CMkrxDmaServImpl::PollOnce() {
    CDrvDMAEnyx* dma = Engine();
    if (dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "unsupport callback type %d.", (int)m_eChanServType);
        return -1;
    }
    return dma->RecvOnceCb();
}

int CMkrxDmaServImpl::StartCpyThread() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        GT_LOGI(GT_TAG_FPGA, "Attention! don't call this! In multi consume mode copy action is independent procedure.");
        return -1;
    }
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA) {
        GT_LOGE(GT_TAG_FPGA, "unsupport callback type,%d.", (int)m_eChanServType);
        return -1;
    }
    CDrvDMAEnyx* dma = Engine();
    if (dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Dma %d not initialized.maybe you not use this channel.", (int)m_eChanServType);
        return -1;
    }
    if (dma->StartCpyThread() != 0) {
        GT_LOGE(GT_TAG_FPGA, "Dma 0 create cpy data thread fail.");
        return -1;
    }
    GT_LOGW(GT_TAG_FPGA, "Start cpy thread success.\n");
    return 0;
}

int CMkrxDmaServImpl::StopCpyThread() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        GT_LOGI(GT_TAG_FPGA,
                "Attention! don't call StopCpyThread interface, Now is multi consume mode, copy action is a "
                "independent procedure. ");
        return -1;
    }
    CDrvDMAEnyx* dma = Engine();
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA || dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "unsupport stop cpy thread, type,%d.", (int)m_eChanServType);
        return -1;
    }
    dma->StopCpyThread();
    GT_LOGW(GT_TAG_FPGA, "Stop cpy thread success.\n");
    return 0;
}

void* CMkrxDmaServImpl::GetDmaBuf() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        GT_LOGE(GT_TAG_FPGA, "Multi consumer mode should not use this call");
        printf("--------------");
        return nullptr;
    }
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA) {
        GT_LOGE(GT_TAG_FPGA, "Get dma buf fail ,unsupport type %d", (int)m_eChanServType);
        return nullptr;
    }
    CDrvDMAEnyx* dma = Engine();
    return dma == nullptr ? nullptr : dma->GetPool();
}

uint32_t CMkrxDmaServImpl::GetTailUseLen() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE) {
        GT_LOGE(GT_TAG_FPGA, "Multi consumer mode should not use this call.");
        return 0;
    }
    CDrvDMAEnyx* dma = Engine();
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA || dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Get dma tail use len fail ,unsupport type %d", (int)m_eChanServType);
        return 0;
    }
    return dma->GetTailUseLen();
}

DmaInfoStat_t* CMkrxDmaServImpl::GetDmaStatInf() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE)
        return m_tConsumer.Head() == nullptr ? nullptr : &m_tConsumer.Head()->DmaStatInfo;
    CDrvDMAEnyx* dma = Engine();
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA || dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Get dma stat info fail ,unsupport type %d", (int)m_eChanServType);
        return nullptr;
    }
    return dma->GetDmaStat();
}

int CMkrxDmaServImpl::GetCpyDataType() {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE)
        return m_tConsumer.Head() == nullptr ? MKRX_ERROR_DATA : mkrx::LoadRelaxed(&m_tConsumer.Head()->eDataType);
    CDrvDMAEnyx* dma = Engine();
    if (m_eChanServType > MKRX_SERVICECB_TYPE_PARSE_DATA || dma == nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Get dma data type fail ,unsupport type %d", (int)m_eChanServType);
        return MKRX_ERROR_DATA;
    }
    return dma->GetCpyDataType();
}

int CMkrxDmaServImpl::GetPoolCurrUsage(MkrxCurPoolUsge_t* usage) {
    if (usage == nullptr) return -1;
    if (m_eRunMode != MKRX_MULTI_SDK_CONSUME_MODE || !m_bInitedSuccess || m_bIsKickedOut) {
        usage->uiAvailDataLen = 0;
        usage->pucbuf = nullptr;
        return -1;
    }
    if (m_tConsumer.Read(usage) == 0) return 0;
    if (m_tConsumer.IsCorrupt()) {
        // The consumer has said what is wrong with the segment; the slot is
        // still this consumer's and is given back at release.
        m_bIsKickedOut = true;
        return -1;
    }
    if (!m_bIsKkPrinted) {
        m_bIsKkPrinted = true;
        GT_LOGE(GT_TAG_FPGA,
                "Attention !! You fetch too slow we kick you out!! current cpu:%d, prdbyte:%lu, consume byte:%lu.",
                sched_getcpu(), (unsigned long)mkrx::LoadAcquire(&m_tConsumer.Head()->bufInf.ullIn),
                (unsigned long)m_tConsumer.Position());
    }
    m_bIsKickedOut = true;
    m_EventCode = _EVENT_KICKED_OUT;
    return -1;
}

void CMkrxDmaServImpl::SetFetchSize(uint32_t bytes) {
    if (m_eRunMode == MKRX_MULTI_SDK_CONSUME_MODE && m_bInitedSuccess) m_tConsumer.Consume(bytes);
}

uint32_t CMkrxDmaServImpl::SdkNum() const {
    if (m_eRunMode != MKRX_MULTI_SDK_CONSUME_MODE || !m_bInitedSuccess || m_tConsumer.Head() == nullptr) return 0;
    return mkrx::LoadRelaxed(&m_tConsumer.Head()->uiRunSdkNum);
}

int CMkrxDmaServImpl::LogSdkEvent(int code) {
    // The segment as attached, with or without a slot (a consumer refused
    // for want of a slot records that in the segment too).
    MkrxShareMemInfo_t* h = static_cast<MkrxShareMemInfo_t*>(AttachedShareMem());
    int pid = (int)getpid();
    unsigned cpu = (unsigned)sched_getcpu();
    unsigned long in = h ? (unsigned long)mkrx::LoadAcquire(&h->bufInf.ullIn) : 0;
    unsigned long own = (unsigned long)m_tConsumer.Position();
    int attached = GetAttachMMNum(MKRX_SHM_KEY);
    char text[MKRX_EVENT_MSG_LEN];
    switch (code) {
        case _EVENT_ACCESS_IN:
            snprintf(text, sizeof(text), "pid %d was access in!Calling core %u, produce byte:%lu, total sdk num:%u. ",
                     pid, cpu, in, (unsigned)(attached - 1));
            break;
        case _EVENT_LOG_OUT:
            snprintf(text, sizeof(text),
                     "pid %d normally log out!Calling core %u, produce byte:%lu, its consume byte:%lu, left sdk "
                     "num:%u. ",
                     pid, cpu, in, own, (unsigned)(attached - 2));
            break;
        case _EVENT_SDK_FULL_EXIT:
            snprintf(text, sizeof(text), "pid %d :Sdk is full, current is not allowed access in. ", pid);
            break;
        case _EVENT_SDK_LEAK_MM:
        case _EVENT_SDK_SEM_KEY_FAIL:
            snprintf(text, sizeof(text), "pid %d :Sdk is error, errcode:%d.Calling core %u. ", pid, code, cpu);
            break;
        case _EVENT_KICKED_OUT:
            snprintf(text, sizeof(text),
                     "pid %d was kicked out!Calling core %u, produce byte:%lu, its consume byte:%lu, left sdk "
                     "num:%u. ",
                     pid, cpu, in, own, (unsigned)(attached - 2));
            break;
        default:
            GT_LOGI(GT_TAG_FPGA, "pid %d Unsupported event type %d. ", pid, code);
            return -1;
    }
    GT_LOGI(GT_TAG_FPGA, "%s", text);
    // The trailing blank gives way to the time of the event.
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    size_t n = strlen(text);
    if (n > 0) n--;
    snprintf(text + n, sizeof(text) - n, "occ time:%04d%02d%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    if (h == nullptr) return 0;
    int rc = MkrxWriteEventMsg(h, text);
    if (rc == -1) GT_LOGE(GT_TAG_FPGA, "Get sem key %d fail.", MKRX_SEM_EVENT_KEY);
    return rc == 0 ? 0 : -1;
}

// ---------------------------------------------------------------- exports

extern "C" IMkrxService* NewIMkrxService(MkrxInitParam_t* param) {
    OSKIT2::CAutoMutex lock(FactoryMutex());
    if (g_lpMkrxInstance != nullptr) {
        GT_LOGE(GT_TAG_FPGA, "Init fail, already exist mkrx instance.");
        return nullptr;
    }
    CMkrxDmaServImpl* svc = new (std::nothrow) CMkrxDmaServImpl();
    if (svc == nullptr) return nullptr;
    if (svc->Init(param) != 0) {
        GT_LOGE(GT_TAG_FPGA, "Create Mkrx service failed!");
        delete svc;
        return nullptr;
    }
    g_lpMkrxInstance = svc;
    return svc;
}

extern "C" void FreeIMkrxService(IMkrxService* service) {
    // Only the live instance is released: anything else would be a double
    // free or a foreign object. Under the factory's lock, so that of two
    // threads freeing at once one deletes and the other is refused, and no
    // new instance is made while the old one (its copy thread, its
    // process-wide objects) is still going away.
    OSKIT2::CAutoMutex lock(FactoryMutex());
    if (service == nullptr || service != g_lpMkrxInstance) {
        printf("free Mkrx service failed! It is NULL or object changed!");
        return;
    }
    g_lpMkrxInstance = nullptr;
    delete service;
}

extern "C" const char* GetUpDmaLibVersion() { return MkrxBuildBanner(); }

extern "C" bool IsMultiProdRunning() { return IsProdProgRunning(); }

extern "C" int64_t MkrxDiffTimeTamp(int64_t t) { return MkrxGetTimeTamp() - t; }

uint32_t GetSdkNum() {
    OSKIT2::CAutoMutex lock(FactoryMutex());  // not while another thread frees the instance
    CMkrxDmaServImpl* svc = static_cast<CMkrxDmaServImpl*>(g_lpMkrxInstance);
    return svc == nullptr ? 0 : svc->SdkNum();
}

int MkrxGetDevCfg(std::string dir, GT_CONFIG_DEVICE_INFO_t* info) {
    if (info == nullptr) return -1;
    dictionary* ini = LoadDeviceIni(dir);
    if (ini == nullptr) {
        GT_LOGW(GT_TAG_FPGA, "can't parse config file: device.ini");
        return -1;
    }
    info->nCoreId = (int16_t)iniparser_getint(ini, "device:core_id", -1);
    info->nBusId = (int16_t)iniparser_getint(ini, "device:bus_id", -1);
    info->uiPoolSize = (uint32_t)iniparser_getint(ini, "device:dmapoolsize", 256);
    info->uiCpyCore = (uint32_t)iniparser_getint(ini, "device:copyCoreNum", 4);
    const char* d0 = iniparser_getstring(ini, "device:dma0name", "");
    const char* d1 = iniparser_getstring(ini, "device:dma1name", "");
    int rc = 0;
    if (d0 == nullptr || d0[0] == '\0') {
        GT_LOGE(GT_TAG_FPGA, "can't get device:dma0name");
        rc = -1;
    } else if (d1 == nullptr || d1[0] == '\0') {
        GT_LOGE(GT_TAG_FPGA, "can't get device:dma1name");
        rc = -1;
    } else {
        info->strDevDma0Name = d0;
        info->strDevDma1Name = d1;
        GT_LOGI(GT_TAG_FPGA, "device ini:coreId:%d,busId:%d, dma0Name:%s, dma1Name:%s. poolSize:%u", info->nCoreId,
                info->nBusId, d0, d1, info->uiPoolSize);
    }
    iniparser_freedict(ini);
    return rc;
}
