#include "gt_monitorServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "gt_fpgaService.h"
#include "gt_logger.h"
#include "gt_result.h"
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
    return GT_OK;
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
