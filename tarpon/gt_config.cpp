#include "gt_config.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <iniparser.h>

#include "common.h"
#include "gt_logger.h"

CGtConfig* g_lpConfig = nullptr;
GT_CONFIG_DEVICE_INFO_t g_tDevInfo;

namespace {

const int kDefRecordTimeLen = 30;
const int kDefStockRamNum = 8;
const int kDefStockRamWidth = 9;
// The card's hash memory window holds 65536 slots (two registers each
// between 0x20000 and 0x3FFFF); bank count times bank size must fit in it.
const uint64_t kMaxHashSlots = 65536;

// iniparser reports syntax errors through this callback; route them into
// our log instead of standard error.
int IniErrorToLog(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    size_t len = strlen(buf);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) buf[--len] = '\0';
    GT_LOGW(GT_TAG_FPGA, "%s", buf);
    return n;
}

// Parses a whole text as an integer with base detection. Accepts values up
// to 0xFFFFFFFFFFFFFFFF (returned as their bit pattern). false when the text
// is not entirely a number or does not fit in 64 bits.
bool ParseInt64(const char* text, int64_t& value) {
    if (!text) return false;
    while (isspace(static_cast<unsigned char>(*text))) text++;
    if (*text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    if (*text == '-') {
        long long v = strtoll(text, &end, 0);
        if (errno == ERANGE || end == text) return false;
        value = v;
    } else {
        unsigned long long v = strtoull(text, &end, 0);
        if (errno == ERANGE || end == text) return false;
        value = static_cast<int64_t>(v);
    }
    while (isspace(static_cast<unsigned char>(*end))) end++;
    return *end == '\0';
}

// Copies src into a fixed field, cut to its size and terminated.
void CopyField(char* dst, size_t size, const char* src, const char* item) {
    size_t len = strlen(src);
    if (len >= size) {
        GT_LOGW(GT_TAG_FPGA, "%s is %zu bytes long, only the first %zu are kept", item, len, size - 1);
        len = size - 1;
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int DecDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : -1; }

// Parses exactly `count` numbers of at most `maxDigits` digits in `base`,
// each at most 255, separated by exactly one character, into `bytes`.
// `parsed` receives how many numbers were taken.
bool ParseAddressBytes(const char* p, int base, int maxDigits, uint8_t* bytes, int count, int& parsed) {
    int (*digit)(char) = base == 16 ? HexDigit : DecDigit;
    parsed = 0;
    while (true) {
        int digits = 0;
        unsigned value = 0;
        int d;
        while ((d = digit(*p)) >= 0) {
            value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            p++;
            if (++digits > maxDigits) break;
        }
        if (digits == 0 || digits > maxDigits || value > 255 || parsed >= count) return false;
        bytes[parsed++] = static_cast<uint8_t>(value);
        if (*p == '\0') return parsed == count;
        p++;  // the one separator
    }
}

}  // namespace

CGtConfig::CGtConfig() : m_bInited(false), m_handle(nullptr) {}

CGtConfig::~CGtConfig() { FreeHandle(); }

void CGtConfig::FreeHandle() {
    if (m_handle) {
        iniparser_freedict(m_handle);
        m_handle = nullptr;
    }
    m_bInited = false;
}

int32_t CGtConfig::LoadFile(const char* configPath) {
    iniparser_set_error_callback(IniErrorToLog);
    const char* why = Uti_NotRegularFile(configPath);
    if (why == nullptr) {
        errno = 0;
        m_handle = iniparser_load(configPath);
        if (!m_handle) why = errno != 0 ? strerror(errno) : "syntax error";
    }
    if (!m_handle) {
        GT_LOGW(GT_TAG_FPGA, "can't parse config file: %s.msg:%s", configPath, why);
        return GT_ERR_CREATE;
    }
    m_bInited = true;
    GT_LOGI(GT_TAG_FPGA, "Init success!");
    return GT_OK;
}

int32_t CGtConfig::Init(const char* configPath) {
    if (!configPath) {
        GT_LOGW(GT_TAG_FPGA, "can't parse config file: %s.msg:%s", "(null)", strerror(EINVAL));
        return GT_ERR_BAD_ARG;
    }
    if (m_bInited) {
        if (m_configPath == configPath) return GT_OK;
        GT_LOGW(GT_TAG_FPGA, "Init more than one times with different path: last:%s, now:%s",
                m_configPath.c_str(), configPath);
        return GT_ERR_BAD_ARG;
    }
    m_configPath = configPath;
    return LoadFile(configPath);
}

int32_t CGtConfig::ReloadFile(const char* configPath) {
    FreeHandle();
    if (!configPath) {
        GT_LOGW(GT_TAG_FPGA, "can't parse config file: %s.msg:%s", "(null)", strerror(EINVAL));
        return GT_ERR_CREATE;
    }
    m_configPath = configPath;
    return LoadFile(configPath);
}

bool CGtConfig::HasConfigItem(const char* item) {
    if (!m_handle || !item) return false;
    return iniparser_find_entry(m_handle, item) != 0;
}

std::string CGtConfig::GetConfigString(const char* item, const char* defStr) {
    const char* v = nullptr;
    if (m_handle && item) v = iniparser_getstring(m_handle, item, defStr);
    else v = defStr;
    return v ? std::string(v) : std::string();
}

int32_t CGtConfig::GetConfigInt(const char* item, int32_t defInt) {
    if (!m_handle || !item) return defInt;
    return iniparser_getint(m_handle, item, defInt);
}

int64_t CGtConfig::GetConfigLongInt(const char* item, int64_t defInt) {
    if (!m_handle || !item) return defInt;
    const char* v = iniparser_getstring(m_handle, item, nullptr);
    if (!v) return defInt;
    int64_t value = 0;
    if (ParseInt64(v, value)) return value;
    // Not entirely a number: as iniparser does, take the leading number or 0.
    return strtoll(v, nullptr, 0);
}

int64_t CGtConfig::GetCheckedInt(const char* item, int64_t defVal) {
    const char* v = m_handle ? iniparser_getstring(m_handle, item, nullptr) : nullptr;
    if (!v) return defVal;
    int64_t value = 0;
    if (ParseInt64(v, value)) return value;
    value = strtoll(v, nullptr, 0);
    GT_LOGW(GT_TAG_FPGA, "%s: \"%s\" is not a number, read as %ld", item, v, static_cast<long>(value));
    return value;
}

int32_t CGtConfig::GetCfgInfo(GT_CONFIG_DEVICE_INFO_t& tDevInfo) {
    if (!m_bInited || !m_handle) {
        GT_LOGW(GT_TAG_FPGA, "Please init config first!");
        return GT_ERR_NOT_INITED;
    }
    const char* devWrite = iniparser_getstring(m_handle, "device:dev_write", nullptr);
    if (!devWrite) {
        GT_LOGE(GT_TAG_FPGA, "can't get device:dev_write, path:%s", m_configPath.c_str());
        return GT_ERR_CONFIG;
    }
    const char* devRead = iniparser_getstring(m_handle, "device:dev_read", nullptr);
    if (!devRead) {
        GT_LOGE(GT_TAG_FPGA, "can't get device:dev_read, path:%s", m_configPath.c_str());
        return GT_ERR_CONFIG;
    }
    tDevInfo.strDevicePathWrite = devWrite;
    tDevInfo.strDevicePathRead = devRead;

    int64_t coreId = GetCheckedInt("device:core_id", -1);
    int64_t busId = GetCheckedInt("device:bus_id", -1);
    if (coreId < INT16_MIN || coreId > INT16_MAX) {
        GT_LOGE(GT_TAG_FPGA, "device:core_id %ld out of range", static_cast<long>(coreId));
        return GT_ERR_CONFIG;
    }
    if (busId < INT16_MIN || busId > INT16_MAX) {
        GT_LOGE(GT_TAG_FPGA, "device:bus_id %ld out of range", static_cast<long>(busId));
        return GT_ERR_CONFIG;
    }
    int64_t pioMode = GetCheckedInt("device:pio_mode", 0);
    tDevInfo.nCoreId = static_cast<int16_t>(coreId);
    tDevInfo.nBusId = static_cast<int16_t>(busId);

    const char* stocks = iniparser_getstring(m_handle, "Others:stocks", nullptr);
    if (stocks) {
        int64_t ramNum = GetCheckedInt("Others:stock_ram_num", kDefStockRamNum);
        int64_t ramWidth = GetCheckedInt("Others:stock_ram_width", kDefStockRamWidth);
        if (ramNum < 0 || ramWidth < 0 || ramWidth > 16 ||
            static_cast<uint64_t>(ramNum) > (kMaxHashSlots >> ramWidth)) {
            GT_LOGE(GT_TAG_FPGA,
                    "Others:stock_ram_num %ld and Others:stock_ram_width %ld do not fit the card's "
                    "hash memory (at most %lu slots)",
                    static_cast<long>(ramNum), static_cast<long>(ramWidth),
                    static_cast<unsigned long>(kMaxHashSlots));
            return GT_ERR_CONFIG;
        }
        tDevInfo.subsstockid = stocks;
        tDevInfo.ram_num = static_cast<uint32_t>(ramNum);
        tDevInfo.ram_width = static_cast<uint32_t>(ramWidth);
    }

    if (tDevInfo.strDevicePathWrite.empty() && tDevInfo.strDevicePathRead.empty() && coreId >= 0 &&
        busId >= 0) {
        const char* dma0 = iniparser_getstring(m_handle, "device:dma0name", "");
        if (dma0[0] == '\0') {
            GT_LOGE(GT_TAG_FPGA, "can't get device:dma0name");
            return GT_ERR_CONFIG;
        }
        const char* dma1 = iniparser_getstring(m_handle, "device:dma1name", "");
        if (dma1[0] == '\0') {
            GT_LOGE(GT_TAG_FPGA, "can't get device:dma1name");
            return GT_ERR_CONFIG;
        }
        tDevInfo.strDevDma0Name = dma0;
        tDevInfo.strDevDma1Name = dma1;
        tDevInfo.eDrvType = GT_DRV_TYPE_ENYX;
        GT_LOGI(GT_TAG_FPGA, "device config, get device coreId:%d, busId:%d,dma0name:%s,dma1name:%s, .",
                tDevInfo.nCoreId, tDevInfo.nBusId, dma0, dma1);
    } else {
        tDevInfo.eDrvType = pioMode != 0 ? GT_DRV_TYPE_PIO : GT_DRV_TYPE_XDMA;
        GT_LOGI(GT_TAG_FPGA, "device config, get devicePahWrite:%s, read:%s",
                tDevInfo.strDevicePathWrite.c_str(), tDevInfo.strDevicePathRead.c_str());
    }
    return GT_OK;
}

int32_t CGtConfig::GetMonitorConfig(GT_CONFIG_MONITOR_t& tMonitor) {
    if (!m_bInited || !m_handle) {
        GT_LOGW(GT_TAG_FPGA, "Please init config first!");
        return GT_ERR_NOT_INITED;
    }
    int64_t port = GetCheckedInt("monitor:port", 0);
    if (port < 0 || port > 65535) {
        GT_LOGE(GT_TAG_FPGA, "monitor:port %ld out of range", static_cast<long>(port));
        return GT_ERR_CONFIG;
    }
    tMonitor.nPort = static_cast<int32_t>(port);

    // The required texts, in the order they are checked: a fixed-size field
    // (dst set) or a string (str set).
    struct {
        const char* key;
        char* dst;
        size_t size;
        std::string* str;
    } const texts[] = {
        {"monitor:server_ip", tMonitor.strIp, sizeof(tMonitor.strIp), nullptr},
        {"monitor:ver", tMonitor.strVer, sizeof(tMonitor.strVer), nullptr},
        {"monitor:url", nullptr, 0, &tMonitor.strUrl},
        {"monitor:gauge_stu_name", tMonitor.strGaugeStuName, sizeof(tMonitor.strGaugeStuName), nullptr},
        {"monitor:gauge_stu_des", nullptr, 0, &tMonitor.strGaugeStuDes},
        {"monitor:gauge_cfg_name", tMonitor.strGaugeCfgName, sizeof(tMonitor.strGaugeCfgName), nullptr},
        {"monitor:gauge_cfg_des", nullptr, 0, &tMonitor.strGaugeCfgDes},
    };
    for (const auto& t : texts) {
        const char* v = iniparser_getstring(m_handle, t.key, nullptr);
        if (!v) {
            GT_LOGE(GT_TAG_FPGA, "can't get %s", t.key);
            return GT_ERR_CONFIG;
        }
        if (t.dst) {
            CopyField(t.dst, t.size, v, t.key);
        } else {
            *t.str = v;
        }
    }

    // Missing or negative gives 30; 0 is kept (the daemon then does no
    // periodic reading).
    int64_t recordLen = GetCheckedInt("monitor:record_time_len", kDefRecordTimeLen);
    if (recordLen < 0 || recordLen > INT_MAX) {
        if (HasConfigItem("monitor:record_time_len"))
            GT_LOGW(GT_TAG_FPGA, "monitor:record_time_len %ld is not a period, %d is used",
                    static_cast<long>(recordLen), kDefRecordTimeLen);
        recordLen = kDefRecordTimeLen;
    }
    tMonitor.recordTimeLen = static_cast<int>(recordLen);

    GT_LOGI(GT_TAG_FPGA, "monitor config, port:%d, ver:%s, ip:%s, url:%s", tMonitor.nPort, tMonitor.strVer,
            tMonitor.strIp, tMonitor.strUrl.c_str());
    GT_LOGI(GT_TAG_FPGA, "monitor config, StuGaugeName:%s, des:%s,CfgGaugeName:%s, des:%s",
            tMonitor.strGaugeStuName, tMonitor.strGaugeStuDes.c_str(), tMonitor.strGaugeCfgName,
            tMonitor.strGaugeCfgDes.c_str());
    return GT_OK;
}

// Both address parsers work the same way: a number, then exactly one
// separator character, and so on. More numbers than the address holds are
// refused, as is a number too large for a byte; nothing beyond the
// address's size is ever stored.
int32_t CGtConfig::HexStr2Mac(const char* src, uint8_t* dst) {
    size_t len = src ? strlen(src) : 0;
    if (!src || !dst || len < 11 || len > 17) {
        GT_LOGW(GT_TAG_FPGA, "MAC length error: %s! len:%d", src ? src : "(null)", static_cast<int>(len));
        return GT_ERR_BAD_ARG;
    }
    char buf[21] = {};
    memcpy(buf, src, len);  // len <= 17
    uint8_t bytes[6] = {};
    int cnt = 0;
    bool ok = ParseAddressBytes(buf, 16, 2, bytes, 6, cnt);
    if (!ok) {
        GT_LOGW(GT_TAG_FPGA, "config item error: %s!", src);
        return GT_ERR_CONFIG;
    }
    memcpy(dst, bytes, 6);
    GT_LOGI(GT_TAG_FPGA, "get mac: %02x:%02x:%02x:%02x:%02x:%02x", dst[0], dst[1], dst[2], dst[3], dst[4], dst[5]);
    return GT_OK;
}

int32_t CGtConfig::DesStr2IpV4(const char* src, uint8_t* dst) {
    size_t len = src ? strlen(src) : 0;
    if (!src || !dst || len < 7 || len > 15) {
        GT_LOGW(GT_TAG_FPGA, "ip length error: %s! len:%d", src ? src : "(null)", static_cast<int>(len));
        return GT_ERR_BAD_ARG;
    }
    char buf[21] = {};
    memcpy(buf, src, len);  // len <= 15
    uint8_t bytes[4] = {};
    int cnt = 0;
    bool ok = ParseAddressBytes(buf, 10, 3, bytes, 4, cnt);
    if (!ok) {
        GT_LOGW(GT_TAG_FPGA, "config item error, src: %s! cnt:%d", src, cnt);
        return GT_ERR_CONFIG;
    }
    memcpy(dst, bytes, 4);
    GT_LOGI(GT_TAG_FPGA, "get ip: %d:%d:%d:%d", dst[0], dst[1], dst[2], dst[3]);
    return GT_OK;
}
