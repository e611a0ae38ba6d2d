#include "gt_monitorServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "gt_result.h"
#include "mkrxDef.h"
#include "xmlHelper.h"

std::atomic<CGtMonitorServer*> CGtMonitorServer::pInstance{nullptr};
OSKIT2::CThreadMutex CGtMonitorServer::m_mutex;

CGtMonitorServer::CGtMonitorServer()
    : m_strLastResetTime(GT_MONITOR_NO_RESET), m_bInited(false), m_lpConfigObj(nullptr), m_lpFpgaService(nullptr) {}

CGtMonitorServer* CGtMonitorServer::GetInstance() {
    CGtMonitorServer* p = pInstance.load(std::memory_order_acquire);
    if (p) return p;
    OSKIT2::CAutoMutex lock(m_mutex);
    p = pInstance.load(std::memory_order_relaxed);
    if (!p) {
        p = new (std::nothrow) CGtMonitorServer();
        pInstance.store(p, std::memory_order_release);
    }
    return p;
}

int32_t CGtMonitorServer::Init(void* param) {
    OSKIT2::CAutoMutex lock(m_mutex);
    const GT_MONITOR_PARAM_t* lpParam = static_cast<const GT_MONITOR_PARAM_t*>(param);
    if (lpParam) m_lpFpgaService.store(lpParam->lpFpgaService, std::memory_order_release);
    if (m_bInited) {
        GT_LOGW(GT_TAG_MONITOR, "Init GT monitor server failed, already inited!");
        return GT_ERR_ALREADY_INITED;
    }
    if (!lpParam || !lpParam->lpCfgObject) {
        GT_LOGW(GT_TAG_MONITOR, "Init GT monitor server failed, the object is NULL");
        return GT_ERR_BAD_ARG;
    }
    m_lpConfigObj = static_cast<CGtConfig*>(lpParam->lpCfgObject);
    GT_CONFIG_MONITOR_t tConfig;
    int32_t ret = m_lpConfigObj->GetMonitorConfig(tConfig);
    if (ret != 0) {
        GT_LOGW(GT_TAG_MONITOR, "Init GT monitor server failed, get config failed!");
        return ret;
    }
    ret = CheckConfig(tConfig);
    if (ret != 0) {
        GT_LOGW(GT_TAG_MONITOR, "Init GT monitor server failed, config error! ret:%d", ret);
        return ret;
    }
    m_tMonitorConfig = tConfig;
    m_bInited = true;
    return GT_OK;
}

int32_t CGtMonitorServer::CheckConfig(GT_CONFIG_MONITOR_t& tConfig) {
    // 65536 is let through here; the exporter refuses it when it starts.
    if (tConfig.nPort < 1 || tConfig.nPort > 65536) {
        GT_LOGW(GT_TAG_MONITOR, "config error: port:%d", tConfig.nPort);
        return GT_ERR_BAD_ARG;
    }
    // The shortest dotted IPv4 address, 1.2.3.4, has seven characters.
    if (strlen(tConfig.strIp) <= 6) {
        GT_LOGW(GT_TAG_MONITOR, "config error: ip:%s", tConfig.strIp);
        return GT_ERR_BAD_ARG;
    }
    return GT_OK;
}

int32_t CGtMonitorServer::Start() {
    if (!m_bInited) {
        GT_LOGW(GT_TAG_MONITOR, "not inited yet!");
        return GT_ERR_NOT_INITED;
    }
    GT_CONFIG_MONITOR_t& c = m_tMonitorConfig;
    GT_LOGI(GT_TAG_MONITOR, "port:%d, ip:%s, version:%s, path:%s", c.nPort, c.strIp, c.strVer, c.strUrl.c_str());
    const char* lpVer = c.strVer[0] ? c.strVer : nullptr;
    const char* lpPath = c.strUrl.empty() ? "/metrics" : c.strUrl.c_str();
    int ret = Q_Exporter_Init(c.nPort, c.strIp, lpVer, lpPath);
    if (ret != 0) {
        GT_LOGW(GT_TAG_MONITOR, "Q_Exporter_Init error: errno:%d, port:%d, ip:%s, version:%s, path:%s", ret,
                c.nPort, c.strIp, c.strVer, c.strUrl.c_str());
        return GT_ERR_UNKNOWN_HW;
    }
    ret = Q_Exporter_Regist_Gauge(c.strGaugeCfgName, c.strGaugeCfgDes.c_str(), QCbGaugeConfigCallback);
    if (ret != 0) {
        GT_LOGW(GT_TAG_MONITOR, "Q_Exporter_Regist_Gauge error: errno:%d, msg:%s, name:%s, des:%s", ret,
                strerror(errno), c.strGaugeCfgName, c.strGaugeCfgDes.c_str());
        return GT_ERR_UNKNOWN_HW;
    }
    ret = Q_Exporter_Regist_Gauge(c.strGaugeStuName, c.strGaugeStuDes.c_str(), QCbGaugeStatusCallback);
    if (ret != 0) {
        GT_LOGW(GT_TAG_MONITOR, "Q_Exporter_Regist_Gauge error: errno:%d, name:%s, des:%s", ret, c.strGaugeStuName,
                c.strGaugeStuDes.c_str());
        return GT_ERR_UNKNOWN_HW;
    }
    return RegistNumericFamilies();
}

int32_t CGtMonitorServer::Stop() { return Q_Exporter_Fini(); }

int32_t CGtMonitorServer::GetRecordTimeLen() {
    if (!m_bInited) {
        GT_LOGW(GT_TAG_MONITOR, "not inited yet!");
        return -1;
    }
    return m_tMonitorConfig.recordTimeLen;
}

bool CGtMonitorServer::GetLastResetTime(char* buf, int len) { return ReadResetLog(buf, len, true); }

bool CGtMonitorServer::ReadResetLog(char* buf, int len, bool bLog) {
    if (!buf || len <= 0) return false;
    memset(buf, 0, (size_t)len);
    // Read only from a regular file, and without waiting: this runs on the
    // exporter's HTTP thread, which a FIFO would hold for good. A link is not
    // followed.
    int fd = open(FPGA_RESET_LOG_FILE, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    const bool bRegular = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!bRegular) {
        if (bLog && (fd >= 0 || errno == ELOOP))
            GT_LOGI(GT_TAG_MONITOR, "open %s failed.msg:not a regular file", FPGA_RESET_LOG_FILE);
        if (fd >= 0) close(fd);
        return false;
    }
    ssize_t n = read(fd, buf, (size_t)len - 1);
    close(fd);
    if (n <= 0) {
        if (bLog) GT_LOGI(GT_TAG_MONITOR, "reset_log file emypt!");
        return false;
    }

    // "YYYYMMDD hh:mm:ss quay" (22) or "YYYYMMDD hh:mm:ss quay_tool" (27).
    const size_t textLen = strlen(buf);
    bool ok = textLen == 22 || textLen == 27;
    if (ok) {
        char* end = nullptr;
        errno = 0;
        long date = strtol(buf, &end, 10);
        ok = (date != 0 || errno != 0) && end == buf + 8 && buf[8] == ' ';
    }
    ok = ok && buf[11] == ':' && buf[14] == ':' && buf[17] == ' ' && memcmp(buf + 18, "quay", 4) == 0;
    if (!ok) {
        if (bLog) GT_LOGI(GT_TAG_MONITOR, "reset_log file content error info!");
        return false;
    }
    return true;
}

// What a scrape reads: the server, the record it fills, the service and its
// register catalogue.
struct ScrapeRecord {
    CGtMonitorServer* self = nullptr;
    int index = 0;
    CGtFpgaService* lpService = nullptr;
    CXmlHelper* lpXml = nullptr;
};

// Opens a record for a scrape. False when there is nothing to read: no FPGA
// service (the record says so) or no register catalogue (logged).
static bool BeginRecord(Q_Exporter_LPHandle handle, ScrapeRecord& r) {
    r.self = CGtMonitorServer::GetInstance();
    if (!r.self) return false;
    r.index = Q_Exporter_CreatRecord(handle);
    r.lpService = r.self->GetFpgaService();
    if (!r.lpService) {
        Q_Exporter_Gauge_Add_str(handle, r.index, GT_MONITOR_NOT_READY_LABEL, GT_MONITOR_NOT_READY_TEXT);
        return false;
    }
    r.lpXml = r.lpService->GetParamInfo();
    if (!r.lpXml) {
        GT_LOGW(GT_TAG_MONITOR, "please set param in code");
        return false;
    }
    return true;
}

// Adds one label per descriptor of a register class with its monitor-map
// value, read by `read`: kind 1 as a number, kind 2 as text, anything else
// not at all.
static void AddClassLabels(Q_Exporter_LPHandle handle, const ScrapeRecord& r, CFG_CLASS_e eClass,
                           int (CGtFpgaService::*read)(const CfgDes_t*, uint8_t&, uint64_t&, std::string&)) {
    CfgDesIter it;
    for (CfgDes_t* lpDes = r.lpXml->ScanStart(eClass, it); lpDes; lpDes = r.lpXml->ScanNext(it)) {
        uint8_t ucKind = 0;
        uint64_t ulValue = 0;
        std::string strText;
        (r.lpService->*read)(lpDes, ucKind, ulValue, strText);
        if (ucKind == 1) {
            Q_Exporter_Gauge_Add_int64(handle, r.index, lpDes->name.c_str(), (int64_t)ulValue);
        } else if (ucKind == 2) {
            Q_Exporter_Gauge_Add_str(handle, r.index, lpDes->name.c_str(), strText.c_str());
        }
    }
}

void CGtMonitorServer::QCbGaugeConfigCallback(Q_Exporter_LPHandle handle) {
    ScrapeRecord r;
    if (!BeginRecord(handle, r)) return;
    AddClassLabels(handle, r, CFGCLASS_CFG, &CGtFpgaService::ReadMonitorConfiguration);
    AddClassLabels(handle, r, CFGCLASS_CFGFILE, &CGtFpgaService::ReadMonitorConfiguration);
}

void CGtMonitorServer::QCbGaugeStatusCallback(Q_Exporter_LPHandle handle) {
    ScrapeRecord r;
    if (!BeginRecord(handle, r)) return;
    AddClassLabels(handle, r, CFGCLASS_MON, &CGtFpgaService::ReadMonitorStat);

    char buf[40] = {};
    if (r.self->GetLastResetTime(buf, sizeof(buf))) {
        Q_Exporter_Gauge_Add_str(handle, r.index, "last_reset", buf);
        r.self->m_strLastResetTime = buf;
    } else {
        Q_Exporter_Gauge_Add_str(handle, r.index, "last_reset", r.self->m_strLastResetTime.c_str());
    }
}

// ---------------------------------------------------------------------------
// Numeric families. The two gauges above carry every value as a label; these
// carry them as sample values, one family per block, from the same readings:
// the monitor maps of the FPGA service, the reset log, and a snapshot of the
// shared pool's segment. Every callback runs on the exporter's HTTP thread,
// which alone touches the statics below.

namespace {

// Register classes held by the monitor maps, with their label value.
struct RegClass {
    CFG_CLASS_e eClass;
    const char* label;
    int (CGtFpgaService::*read)(const CfgDes_t*, uint8_t&, uint64_t&, std::string&);
};
const RegClass kRegClasses[] = {
    {CFGCLASS_CFG, "cfg", &CGtFpgaService::ReadMonitorConfiguration},
    {CFGCLASS_CFGFILE, "cfgfile", &CGtFpgaService::ReadMonitorConfiguration},
    {CFGCLASS_MON, "mon", &CGtFpgaService::ReadMonitorStat},
};

// A record of a gauge block holding value as given (0 is not the scrape time).
int AddSample(Q_Exporter_LPHandle handle, double value) {
    int index = Q_Exporter_CreatRecord(handle);
    Q_Exporter_SetValueExact(handle, index, value);
    return index;
}

// The service and its catalogue, or false when either is missing.
bool CardReady(CGtFpgaService*& lpService, CXmlHelper*& lpXml) {
    CGtMonitorServer* self = CGtMonitorServer::GetInstance();
    lpService = self ? self->GetFpgaService() : nullptr;
    lpXml = lpService ? lpService->GetParamInfo() : nullptr;
    return lpXml != nullptr;
}

// Calls f(class, descriptor, kind, value, text) for every register the maps
// publish, in catalogue order.
template <class F>
void EachRegister(CGtFpgaService* lpService, CXmlHelper* lpXml, F f) {
    for (const RegClass& c : kRegClasses) {
        CfgDesIter it;
        for (CfgDes_t* lpDes = lpXml->ScanStart(c.eClass, it); lpDes; lpDes = lpXml->ScanNext(it)) {
            uint8_t ucKind = 0;
            uint64_t ulValue = 0;
            std::string strText;
            (lpService->*c.read)(lpDes, ucKind, ulValue, strText);
            f(c, *lpDes, ucKind, ulValue, strText);
        }
    }
}

void CbCardRegister(Q_Exporter_LPHandle handle) {
    CGtFpgaService* lpService;
    CXmlHelper* lpXml;
    if (!CardReady(lpService, lpXml)) return;
    // A name that occurs twice in a class keeps its first value, as in the
    // label gauges.
    std::set<std::pair<const char*, std::string>> seen;
    EachRegister(lpService, lpXml, [&](const RegClass& c, const CfgDes_t& d, uint8_t kind, uint64_t value,
                                       const std::string&) {
        if (kind != 1 || !seen.emplace(c.label, d.name).second) return;
        // A 64-bit value becomes the nearest double, as the server stores it.
        int index = AddSample(handle, (double)value);
        Q_Exporter_Gauge_Add_str(handle, index, "class", c.label);
        Q_Exporter_Gauge_Add_str(handle, index, "name", d.name.c_str());
    });
}

void CbCardInfo(Q_Exporter_LPHandle handle) {
    CGtFpgaService* lpService;
    CXmlHelper* lpXml;
    if (!CardReady(lpService, lpXml)) return;
    int index = AddSample(handle, 1);
    EachRegister(lpService, lpXml, [&](const RegClass&, const CfgDes_t& d, uint8_t kind, uint64_t,
                                       const std::string& text) {
        if (kind == 2) Q_Exporter_Gauge_Add_str(handle, index, d.name.c_str(), text.c_str());
    });
}

void CbCardUp(Q_Exporter_LPHandle handle) {
    CGtFpgaService* lpService;
    CXmlHelper* lpXml;
    AddSample(handle, CardReady(lpService, lpXml) ? 1 : 0);
}

// The last reset accepted from the reset log: Unix time and who made it.
struct LastReset {
    double time = 0;
    std::string by;
};
LastReset g_lastReset;

// Reads the reset log again without logging (the status gauge logs what it
// finds wrong) and keeps the last accepted reset.
const LastReset& RefreshLastReset() {
    char buf[40] = {};
    if (!CGtMonitorServer::ReadResetLog(buf, sizeof(buf), false)) return g_lastReset;
    struct tm t = {};
    if (sscanf(buf, "%4d%2d%2d %2d:%2d:%2d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec) != 6)
        return g_lastReset;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;  // the log holds local time
    time_t when = mktime(&t);
    if (when <= 0) return g_lastReset;
    g_lastReset.time = (double)when;
    g_lastReset.by = buf + 18;
    return g_lastReset;
}

void CbLastResetTime(Q_Exporter_LPHandle handle) { AddSample(handle, RefreshLastReset().time); }

void CbLastResetInfo(Q_Exporter_LPHandle handle) {
    const LastReset& r = RefreshLastReset();
    if (r.by.empty()) return;
    Q_Exporter_Gauge_Add_str(handle, AddSample(handle, 1), "by", r.by.c_str());
}

// ---- the shared pool ----

struct PoolSlot {
    uint32_t uiSlot = 0;
    int32_t iPid = 0;
    uint64_t ullLag = 0;
    double dIdle = -1;  // below 0: the slot's time cannot be right
};

// What one scrape publishes of the pool. bUp false: nothing but that.
struct PoolSnapshot {
    bool bUp = false;
    uint32_t uiSize = 0;
    uint64_t ullIn = 0;
    DmaInfoStat_t tStat = {};
    uint32_t uiConsumers = 0;
    uint64_t ullEvents = 0;
    bool bProducerUp = false;
    std::vector<PoolSlot> slots;
};
PoolSnapshot g_pool;
std::string g_poolFault;  // the last header fault logged, to log each once

uint64_t LoadStat(const uint64_t* p) { return mkrx::LoadRelaxed(p); }

// Fills s from the segment of key MKRX_SHM_KEY, attached read-only for the
// time of the copy. No lock is taken: the producer and the consumers go on,
// and the order of the reads below makes the copy consistent where it must be.
void TakePoolSnapshot(PoolSnapshot& s) {
    s = PoolSnapshot();
    int id = shmget(MKRX_SHM_KEY, 0, 0);
    struct shmid_ds ds;
    if (id < 0 || shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_segsz < MKRX_SHM_EXTRA_SIZE) return;
    void* addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == (void*)-1) return;
    const MkrxShareMemInfo_t* h = static_cast<const MkrxShareMemInfo_t*>(addr);
    const char* fault = MkrxHeadFault(h, ds.shm_segsz);
    if (fault) {
        if (g_poolFault != fault) {
            GT_LOGW(GT_TAG_MONITOR, "pool segment not published: %s", fault);
            g_poolFault = fault;
        }
        shmdt(addr);
        return;
    }
    g_poolFault.clear();
    s.uiSize = mkrx::LoadRelaxed(&h->bufInf.uiSize);
    s.tStat.ulCpyPktNum = LoadStat(&h->DmaStatInfo.ulCpyPktNum);
    s.tStat.ulCpyPktByte = LoadStat(&h->DmaStatInfo.ulCpyPktByte);
    s.tStat.ulSoftDisPktNum = LoadStat(&h->DmaStatInfo.ulSoftDisPktNum);
    s.tStat.ulSoftDisByte = LoadStat(&h->DmaStatInfo.ulSoftDisByte);
    s.uiConsumers = mkrx::LoadRelaxed(&h->uiRunSdkNum);
    s.ullEvents = mkrx::LoadRelaxed(&h->stSdkEveInf.ullWrIdx);
    int32_t prodPid = mkrx::LoadRelaxed(&h->stServUsInf.serverPid);
    s.bProducerUp = prodPid > 0 && (kill(prodPid, 0) == 0 || errno == EPERM);

    // Every read position is loaded before the write position: ullIn only
    // grows and a consumer never reads past it, so each cout is at most the
    // ullIn read after it. A pair that still fails the check belongs to a
    // slot being rewritten (an expelled consumer) or to a corrupted segment.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t nowNs = (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
    std::vector<std::pair<PoolSlot, uint64_t>> couts;
    for (uint32_t i = 0; i < MKRX_MAX_SDK_NUM; ++i) {
        const MkrxSdkCoutInfo_t& slot = h->SdkCoutInf[i];
        if (mkrx::LoadAcquire(&slot.bValidTag) != 1) continue;
        PoolSlot p;
        p.uiSlot = i;
        p.iPid = mkrx::LoadRelaxed(&slot.sdkPid);
        int64_t seen = mkrx::LoadRelaxed(&slot.iRecAccTime);
        if (seen > 0 && seen <= nowNs) p.dIdle = (double)(nowNs - seen) / 1e9;
        couts.emplace_back(p, mkrx::LoadAcquire(&slot.uiCout));
    }
    s.ullIn = mkrx::LoadAcquire(&h->bufInf.ullIn);
    for (auto& c : couts) {
        if (MkrxPendingSane(s.ullIn, c.second, s.uiSize, &c.first.ullLag)) s.slots.push_back(c.first);
    }
    shmdt(addr);
    s.bUp = true;
}

// Pool blocks. The first that a scrape calls takes the snapshot that all of
// them publish.
struct PoolFamily {
    const char* name;
    const char* help;
    bool counter;
    double (*value)(const PoolSnapshot&);
    bool perSlot;
};
const PoolFamily kPoolFamilies[] = {
    {"quay_pool_consumer_idle_seconds", "Seconds since the consumer of a slot last read the pool.", false,
     nullptr, true},
    {"quay_pool_consumer_lag_bytes", "Bytes written to the pool that the consumer of a slot has not read.", false,
     nullptr, true},
    {"quay_pool_consumers", "Consumers attached to the pool.", false,
     [](const PoolSnapshot& s) { return (double)s.uiConsumers; }, false},
    {"quay_pool_copied_bytes_total", "Payload bytes the producer copied into the pool.", true,
     [](const PoolSnapshot& s) { return (double)s.tStat.ulCpyPktByte; }, false},
    {"quay_pool_copied_records_total", "Records the producer copied into the pool.", true,
     [](const PoolSnapshot& s) { return (double)s.tStat.ulCpyPktNum; }, false},
    {"quay_pool_dropped_bytes_total", "Payload bytes the producer dropped.", true,
     [](const PoolSnapshot& s) { return (double)s.tStat.ulSoftDisByte; }, false},
    {"quay_pool_dropped_records_total", "Records the producer dropped.", true,
     [](const PoolSnapshot& s) { return (double)s.tStat.ulSoftDisPktNum; }, false},
    {"quay_pool_events", "Consumer event messages in the pool's event log.", false,
     [](const PoolSnapshot& s) { return (double)s.ullEvents; }, false},
    {"quay_pool_producer_up", "1 when the producer process of the pool is alive, else 0.", false,
     [](const PoolSnapshot& s) { return s.bProducerUp ? 1.0 : 0.0; }, false},
    {"quay_pool_size_bytes", "Size of the pool's ring in bytes.", false,
     [](const PoolSnapshot& s) { return (double)s.uiSize; }, false},
    {"quay_pool_up", "1 when the shared pool exists and its header can be trusted, else 0.", false,
     [](const PoolSnapshot& s) { return s.bUp ? 1.0 : 0.0; }, false},
    {"quay_pool_written_bytes_total", "Bytes the producer wrote to the pool's ring.", true,
     [](const PoolSnapshot& s) { return (double)s.ullIn; }, false},
};

// The pool block a scrape calls first: the exporter calls blocks in
// byte-wise name order.
const char* FirstPoolBlock() {
    const char* first = kPoolFamilies[0].name;
    for (const PoolFamily& p : kPoolFamilies)
        if (strcmp(p.name, first) < 0) first = p.name;
    return first;
}

void CbPool(Q_Exporter_LPHandle handle) {
    const char* name = Q_Exporter_GetName(handle);
    if (!name) return;
    if (strcmp(name, FirstPoolBlock()) == 0) TakePoolSnapshot(g_pool);
    const PoolFamily* f = nullptr;
    for (const PoolFamily& p : kPoolFamilies)
        if (strcmp(name, p.name) == 0) f = &p;
    if (!f || (!g_pool.bUp && strcmp(name, "quay_pool_up") != 0)) return;
    if (!f->perSlot) {
        int index = Q_Exporter_CreatRecord(handle);
        if (f->counter) Q_Exporter_SetValue(handle, index, f->value(g_pool));
        else Q_Exporter_SetValueExact(handle, index, f->value(g_pool));
        return;
    }
    const bool idle = strcmp(f->name, "quay_pool_consumer_idle_seconds") == 0;
    for (const PoolSlot& s : g_pool.slots) {
        if (idle && s.dIdle < 0) continue;
        int index = AddSample(handle, idle ? s.dIdle : (double)s.ullLag);
        Q_Exporter_Gauge_Add_int(handle, index, "slot", (int)s.uiSlot);
        Q_Exporter_Gauge_Add_int(handle, index, "pid", s.iPid);
    }
}

struct CardFamily {
    const char* name;
    const char* help;
    Q_Cb_Gauge cb;
};
const CardFamily kCardFamilies[] = {
    {"quay_card_register", "Value of a numeric card register as last read by the daemon.", CbCardRegister},
    {"quay_card_info", "Text registers of the card (addresses) as labels; the value is 1.", CbCardInfo},
    {"quay_card_up", "1 when the card service and its register catalogue are ready, else 0.", CbCardUp},
    {"quay_last_reset_timestamp_seconds", "Unix time of the last card reset by quay or quay_tool, 0 when none.",
     CbLastResetTime},
    {"quay_last_reset_info", "Who made the last card reset; the value is 1.", CbLastResetInfo},
};

}  // namespace

int32_t CGtMonitorServer::RegistNumericFamilies() {
    for (const CardFamily& f : kCardFamilies) {
        int ret = Q_Exporter_Regist_Gauge(f.name, f.help, f.cb);
        if (ret != 0) {
            GT_LOGW(GT_TAG_MONITOR, "Q_Exporter_Regist_Gauge error: errno:%d, name:%s, des:%s", ret, f.name, f.help);
            return GT_ERR_UNKNOWN_HW;
        }
    }
    for (const PoolFamily& f : kPoolFamilies) {
        int ret = f.counter ? Q_Exporter_Regist_Counter(f.name, f.help, CbPool)
                            : Q_Exporter_Regist_Gauge(f.name, f.help, CbPool);
        if (ret != 0) {
            GT_LOGW(GT_TAG_MONITOR, "Q_Exporter_Regist_Gauge error: errno:%d, name:%s, des:%s", ret, f.name, f.help);
            return GT_ERR_UNKNOWN_HW;
        }
    }
    return GT_OK;
}
