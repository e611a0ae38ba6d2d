#include "gt_fpgaService.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common.h"
#include "gt_fpgaConfig.h"
#include "gt_logger.h"
#include "nc_hash.h"

CGtFpgaService* g_lpFpgaService = nullptr;
bool bIsUseRegRWMode = false;
unsigned int g_uiResetHoldSeconds = 1;

// Set by quay_tool's main: only the tool writes a configured non-zero value
// of the "time" and "time_yyyymmdd" registers.
bool g_bIsQuayTool = false;

namespace {

// Bits [0, width) set; width 64 or more gives all bits.
uint64_t LowMask(uint32_t uiWidth) { return uiWidth >= 64 ? ~0ULL : ((1ULL << uiWidth) - 1); }

uint64_t ExtractField(uint64_t ulReg, uint32_t uiOffset, uint32_t uiWidth) {
    if (uiOffset >= 64) return 0;
    return (ulReg >> uiOffset) & LowMask(uiWidth);
}

// Today's local date as YYYYMMDD.
uint32_t TodayYYYYMMDD() {
    time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    return (uint32_t)((tmNow.tm_year + 1900) * 10000 + (tmNow.tm_mon + 1) * 100 + tmNow.tm_mday);
}

// Appends formatted text to a bounded buffer; text that does not fit is cut.
struct LineBuf {
    char* p;
    size_t cap;
    size_t len;
    LineBuf(char* buf, size_t size) : p(buf), cap(size), len(0) {
        if (cap) p[0] = '\0';
    }
    void Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len + 1 >= cap) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(p + len, cap - len, fmt, ap);
        va_end(ap);
        if (n < 0) return;
        len = (size_t)n >= cap - len ? cap - 1 : len + (size_t)n;
    }
};

const size_t kLineSize = 16384;

// One register read for a readout: its line, and the value and text the
// monitor maps keep. bShown false: the register gives no line and the maps
// stay as they are.
struct ParamReading {
    LineBuf out;
    uint64_t ulKept = 0;
    std::string strKept;
    bool bShown = true;
    ParamReading(char* lpBuf, size_t size) : out(lpBuf, size) {}
};

// The 64-bit line of "int" width 64, "time" and "time_yyyymmdd".
void AddWideLine(LineBuf& out, const char* lpName, long off, uint64_t v, bool bDetailed) {
    if (bDetailed)
        out.Add("%30s: ( 0x%lx ) ( 0x%lx ): %-10ld\n", lpName, off, (unsigned long)v, (long)v);
    else
        out.Add("%30s: %-10ld\n", lpName, (long)v);
}

// An "int" register of width 8, 16 or 32 at bit offset 0.
int ReadNarrowInt(IDrv& drv, const RegDes_t& reg, uint32_t& v) {
    if (reg.bitWidth == 8) {
        uint8_t b = 0;
        int ret = drv.ReadInt8(reg.byteOffset, b);
        v = b;
        return ret;
    }
    if (reg.bitWidth == 16) {
        uint16_t w = 0;
        int ret = drv.ReadInt16(reg.byteOffset, w);
        v = w;
        return ret;
    }
    return drv.ReadInt32(reg.byteOffset, v);
}

// The plain line of a 32-bit "int": the two session-loss counters also show
// their increase since the last reading, which then becomes uiLast.
void AddPlainNarrowLine(LineBuf& out, const std::string& strName, uint32_t v, uint32_t uiWidth, uint32_t& uiIncr0,
                        uint32_t& uiIncr1) {
    const bool path0 = strName == "session_lost_num_path0";
    if (uiWidth != 32 || !(path0 || strName == "session_lost_num_path1")) {
        out.Add("%30s: %-10d\n", strName.c_str(), (int)v);
        return;
    }
    uint32_t& last = path0 ? uiIncr0 : uiIncr1;
    const uint32_t incr = v - last;
    last = v;
    out.Add("%30s: %-10d\n%30s: %-10d\n", strName.c_str(), (int)v,
            path0 ? "session_lost_num_path0_incr" : "session_lost_num_path1_incr", (int)incr);
}

int ReadIntParam(IDrv& drv, const CfgDes_t* lpDes, bool bDetailed, uint32_t& uiIncr0, uint32_t& uiIncr1,
                 ParamReading& r) {
    const RegDes_t& reg = lpDes->tRegDes;
    const char* name = lpDes->name.c_str();
    const long off = (long)reg.byteOffset;
    int ret = 0;
    if (reg.bitOffset == 0 && (reg.bitWidth == 8 || reg.bitWidth == 16 || reg.bitWidth == 32)) {
        uint32_t v = 0;
        if ((ret = ReadNarrowInt(drv, reg, v)) != 0) return ret;
        r.ulKept = v;
        if (bDetailed)
            r.out.Add("%30s: ( 0x%lx ) ( 0x%x ): %-10d\n", name, off, v, (int)v);
        else
            AddPlainNarrowLine(r.out, lpDes->name, v, reg.bitWidth, uiIncr0, uiIncr1);
        return GT_OK;
    }
    uint64_t v = 0;
    if ((ret = drv.ReadInt64(reg.byteOffset, v)) != 0) return ret;
    if (reg.bitOffset == 0 && reg.bitWidth == 64) {
        r.ulKept = v;
        AddWideLine(r.out, name, off, v, bDetailed);
        return GT_OK;
    }
    const uint64_t field = ExtractField(v, reg.bitOffset, reg.bitWidth);
    r.ulKept = field;
    if (bDetailed)
        r.out.Add("%30s: ( 0x%lx ) ( 0x%lx ): Hex: 0x%lx, Dec: %ld\n", name, off, (unsigned long)v,
                  (unsigned long)field, (long)field);
    else
        r.out.Add("%30s: Hex: 0x%lx, Dec: %ld\n", name, (unsigned long)field, (long)field);
    return GT_OK;
}

// "mac"/"macDst" (6 bytes) and "ipv4"/"ipDst" (4 bytes), in the order
// ReadLess128Bytes gives them. A short MAC read fails; a short IPv4 read
// shows nothing.
int ReadAddressParam(IDrv& drv, const CfgDes_t* lpDes, bool bDetailed, ParamReading& r) {
    const bool mac = lpDes->eType == CFGDES_TYPE_mac || lpDes->eType == CFGDES_TYPE_mac_MCAST_DST;
    const uint64_t len = mac ? 6 : 4;
    uint8_t b[6] = {0, 0, 0, 0, 0, 0};
    if (drv.ReadLess128Bytes(lpDes->tRegDes.byteOffset, b, len) != len) {
        r.bShown = false;
        return mac ? GT_ERR_UNKNOWN_HW : GT_OK;
    }
    char text[32];
    if (mac)
        snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    else
        snprintf(text, sizeof(text), "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    r.strKept = text;
    if (bDetailed)
        r.out.Add("%30s: ( 0x%lx ) %s\n", lpDes->name.c_str(), (long)lpDes->tRegDes.byteOffset, text);
    else
        r.out.Add("%30s: %s\n", lpDes->name.c_str(), text);
    return GT_OK;
}

int ReadDateParam(IDrv& drv, const CfgDes_t* lpDes, bool bDetailed, ParamReading& r) {
    const RegDes_t& reg = lpDes->tRegDes;
    uint64_t v = 0;
    int ret = drv.ReadInt64(reg.byteOffset, v);
    if (ret != 0) return ret;
    r.ulKept = v;
    r.strKept = Uti_FormatCardDate(ExtractField(v, reg.bitOffset, reg.bitWidth), ' ');
    if (bDetailed)
        r.out.Add("%30s: ( 0x%lx ) ( 0x%lx ): %s\n", lpDes->name.c_str(), (long)reg.byteOffset, (unsigned long)v,
                  r.strKept.c_str());
    else
        r.out.Add("%30s: %s\n", lpDes->name.c_str(), r.strKept.c_str());
    return GT_OK;
}

// "mutiInt": as many consecutive 32-bit registers as its default says.
int ReadMutiIntParam(IDrv& drv, const CfgDes_t* lpDes, ParamReading& r) {
    const uint64_t n = lpDes->nDefVal > FPGA_MUTI_INT_MAX_REGS ? FPGA_MUTI_INT_MAX_REGS : lpDes->nDefVal;
    r.out.Add("%30s: ", lpDes->name.c_str());
    for (uint64_t i = 0; i < n; i++) {
        uint32_t v = 0;
        int ret = drv.ReadInt32(lpDes->tRegDes.byteOffset + 4 * i, v);
        if (ret != 0) return ret;
        r.out.Add("%u, ", v);
    }
    r.out.Add("\n");
    return GT_OK;
}

// "time" (64 bits, kept) and "time_yyyymmdd" (32 bits, not kept); a register
// of another shape is only logged.
int ReadTimeParam(IDrv& drv, const CfgDes_t* lpDes, bool bDetailed, ParamReading& r) {
    const RegDes_t& reg = lpDes->tRegDes;
    const bool day = lpDes->eType == CFGDES_TYPE_TIME_YYYYMMDD;
    if (reg.bitOffset != 0 || reg.bitWidth != (day ? 32u : 64u)) {
        GT_LOGW(GT_TAG_SRV, "Unknown bit witdth, width:%u.", reg.bitWidth);
        r.bShown = false;
        return GT_OK;
    }
    uint64_t v = 0;
    int ret = 0;
    if (day) {
        uint32_t d = 0;
        ret = drv.ReadInt32(reg.byteOffset, d);
        v = d;
    } else {
        ret = drv.ReadInt64(reg.byteOffset, v);
        r.ulKept = v;
    }
    if (ret != 0) return ret;
    AddWideLine(r.out, lpDes->name.c_str(), (long)reg.byteOffset, v, bDetailed);
    return GT_OK;
}

// Reads one register and formats its line by its type.
int ReadParam(IDrv& drv, const CfgDes_t* lpDes, bool bDetailed, uint32_t& uiIncr0, uint32_t& uiIncr1,
              ParamReading& r) {
    switch (lpDes->eType) {
        case CFGDES_TYPE_int:
            return ReadIntParam(drv, lpDes, bDetailed, uiIncr0, uiIncr1, r);
        case CFGDES_TYPE_mac:
        case CFGDES_TYPE_mac_MCAST_DST:
        case CFGDES_TYPE_ipv4:
        case CFGDES_TYPE_ipv4_MCAST_DST:
            return ReadAddressParam(drv, lpDes, bDetailed, r);
        case CFGDES_TYPE_date:
            return ReadDateParam(drv, lpDes, bDetailed, r);
        case CFGDES_TYPE_MUTI_INT:
            return ReadMutiIntParam(drv, lpDes, r);
        case CFGDES_TYPE_TIME:
        case CFGDES_TYPE_TIME_YYYYMMDD:
            return ReadTimeParam(drv, lpDes, bDetailed, r);
        default:
            return GT_OK;
    }
}

// What a call refuses with before Init (the readouts and configuring also
// without a catalogue); each call keeps the wording it has always logged.
const char* const kNotInited = "not inited yet!";
const char* const kNotInitedSrv = "[fpgaservice] not inited yet!";
const char* const kNotInitedReadout = "[fpgaservice]not inited yet!";

}  // namespace

CGtFpgaService::CGtFpgaService()
    : m_bInited(false),
      m_lpDrv(nullptr),
      m_lpConfig(nullptr),
      m_lpXml(nullptr),
      m_incrPath0(0),
      m_incrPath1(0),
      m_lpBlock(new char[FPGA_READOUT_BLOCK_SIZE]()) {
    for (auto& block : m_lpRemembered) block.reset(new char[FPGA_READOUT_BLOCK_SIZE]());
}

CGtFpgaService::~CGtFpgaService() {}

int CGtFpgaService::Init(IDrv* lpDrv, CGtConfig* lpConfig) {
    if (!lpDrv || !lpConfig) {
        GT_LOGW(GT_TAG_SRV, "the drv is null!");
        return GT_ERR_BAD_ARG;
    }
    GT_CONFIG_DEVICE_INFO_t info;
    if (lpConfig->GetCfgInfo(info) != 0) {
        GT_LOGW(GT_TAG_SRV, "Get device info failed!");
        return GT_ERR_CREATE;
    }
    m_tDevInfo = info;
    m_lpDrv = lpDrv;
    m_lpConfig = lpConfig;
    m_bInited = true;
    return GT_OK;
}

void CGtFpgaService::SetParamInfo(CXmlHelper* lpXml) {
    OSKIT2::CAutoMutex lock(m_mutex);
    if (lpXml != m_lpXml) {
        m_monitorMapConfig.clear();
        m_monitorMapStat.clear();
    }
    m_lpXml = lpXml;
}

CXmlHelper* CGtFpgaService::GetParamInfo() { return m_lpXml; }

bool CGtFpgaService::RequireInited(bool bReady, const char* lpMsg) const {
    if (m_bInited && bReady) return true;
    GT_LOGW(GT_TAG_SRV, "%s", lpMsg);
    return false;
}

GT_DRV_TYPE_e CGtFpgaService::GetDeviceDrvType() { return m_tDevInfo.eDrvType; }

// ---------------------------------------------------------------- configuring

int CGtFpgaService::ConfigFpga() {
    if (!RequireInited(m_lpXml != nullptr, kNotInitedSrv)) return GT_ERR_NOT_INITED;
    std::string path = g_sXmlDirect + "/quay.ini";
    // A failed reload is logged by the configuration; every register then
    // gets its default.
    (void)m_lpConfig->ReloadFile(path.c_str());

    bool bDstSeen = false;
    uint8_t dstIp[4] = {0, 0, 0, 0};
    bool bWriteFailed = false;
    CfgDesIter iter;
    for (CfgDes_t* des = m_lpXml->ScanStart(CFGCLASS_CFGFILE, iter); des; des = m_lpXml->ScanNext(iter)) {
        int ret = WriteCfgFileReg(des, bDstSeen, dstIp);
        if (ret == GT_ERR_UNKNOWN_HW) {
            GT_LOGW(GT_TAG_SRV, "write register %s:%s at 0x%" PRIx64 " failed!", des->section.c_str(),
                    des->name.c_str(), des->tRegDes.byteOffset);
            bWriteFailed = true;
        }
    }
    // Values that could not be parsed are logged and written as zeros or
    // defaults; only a register the card refused fails the whole run.
    return bWriteFailed ? GT_ERR_UNKNOWN_HW : GT_OK;
}

int CGtFpgaService::WriteIntReg(const CfgDes_t* lpDes, const char* lpKey) {
    const RegDes_t& reg = lpDes->tRegDes;
    const uint64_t off = reg.byteOffset;
    int ret = 0;
    // The field keeps only its low bits: say so when the value has more.
    const uint64_t full = (uint64_t)m_lpConfig->GetConfigLongInt(lpKey, (int64_t)lpDes->nDefVal);
    if (reg.bitWidth < 64 && full > LowMask(reg.bitWidth)) {
        std::string text = m_lpConfig->GetConfigString(lpKey, "");
        if (text.empty()) text = std::to_string(lpDes->nDefVal);
        GT_LOGW(GT_TAG_SRV, "register %s: value %s does not fit its %u-bit field, %" PRIu64 " is written.", lpKey,
                text.c_str(), reg.bitWidth, full & LowMask(reg.bitWidth));
    }
    if (reg.bitOffset == 0 && (reg.bitWidth == 8 || reg.bitWidth == 16 || reg.bitWidth == 32)) {
        uint32_t v = (uint32_t)m_lpConfig->GetConfigInt(lpKey, (int32_t)(uint32_t)lpDes->nDefVal);
        if (reg.bitWidth == 8)
            ret = m_lpDrv->WriteInt8(off, (uint8_t)v);
        else if (reg.bitWidth == 16)
            ret = m_lpDrv->WriteInt16(off, (uint16_t)v);
        else
            ret = m_lpDrv->WriteInt32(off, v);
        return ret == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
    }
    const uint64_t v = full;
    if (reg.bitOffset == 0 && reg.bitWidth == 64) {
        return m_lpDrv->WriteInt64(off, v) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
    }
    const uint32_t regBits = bIsUseRegRWMode ? 32 : 64;
    if (reg.bitOffset >= regBits) {
        GT_LOGE(GT_TAG_SRV, "register %s: bit offset %u outside the %u-bit register.", lpKey, reg.bitOffset, regBits);
        return GT_ERR_CONFIG;
    }
    const uint64_t mask = (LowMask(reg.bitWidth) << reg.bitOffset) & LowMask(regBits);
    if (!bIsUseRegRWMode) {
        uint64_t cur = 0;
        if (m_lpDrv->ReadInt64(off, cur) != 0) {
            GT_LOGW(GT_TAG_SRV, "read register %s before writing its field failed.", lpKey);
            return GT_ERR_UNKNOWN_HW;
        }
        uint64_t nv = (cur & ~mask) | ((v << reg.bitOffset) & mask);
        return m_lpDrv->WriteInt64(off, nv) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
    }
    uint32_t cur = 0;
    if (m_lpDrv->ReadInt32(off, cur) != 0) {
        GT_LOGW(GT_TAG_SRV, "read register %s before writing its field failed.", lpKey);
        return GT_ERR_UNKNOWN_HW;
    }
    uint32_t nv = (uint32_t)((cur & ~mask) | ((v << reg.bitOffset) & mask));
    return m_lpDrv->WriteInt32(off, nv) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
}

int CGtFpgaService::WriteMutiIntReg(const CfgDes_t* lpDes, const char* lpKey) {
    std::string text = m_lpConfig->GetConfigString(lpKey, "");
    char szText[FPGA_MUTI_INT_MAX_TEXT + 1];
    snprintf(szText, sizeof(szText), "%s", text.c_str());
    if (lpDes->nDefVal > FPGA_MUTI_INT_MAX_REGS) {
        GT_LOGE(GT_TAG_SRV, "register %s: %" PRIu64 " registers, at most %d are supported.", lpKey, lpDes->nDefVal,
                FPGA_MUTI_INT_MAX_REGS);
        return GT_ERR_CONFIG;
    }
    const uint32_t n = (uint32_t)lpDes->nDefVal;
    const char* p = szText;
    bool bEnded = (*p == '\0');
    for (uint32_t i = 0; i < n; i++) {
        const uint64_t addr = lpDes->tRegDes.byteOffset + 4ULL * i;
        uint32_t value = 0;
        if (!bEnded) {
            char* end = nullptr;
            errno = 0;
            unsigned long ul = strtoul(p, &end, 10);
            if (errno == ERANGE || ul > 0xFFFFFFFFUL) {
                GT_LOGE(GT_TAG_SRV,
                        "Convert fail ! Out of range! config info is :%s, its first data exceed unsigned long range.",
                        szText);
                return GT_ERR_CONFIG;
            }
            value = (uint32_t)ul;
            if (*end == '\0') {
                bEnded = true;
            } else {
                const char* comma = strchr(end, ',');
                if (!comma) {
                    if (m_lpDrv->WriteInt32(addr, value) != 0) return GT_ERR_UNKNOWN_HW;
                    GT_LOGE(GT_TAG_SRV, "register %s: malformed number list \"%s\", stopped after %u values.", lpKey,
                            szText, i + 1);
                    return GT_ERR_CONFIG;
                }
                p = comma + 1;
            }
        }
        if (m_lpDrv->WriteInt32(addr, value) != 0) return GT_ERR_UNKNOWN_HW;
    }
    return GT_OK;
}

int CGtFpgaService::WriteCfgFileReg(const CfgDes_t* lpDes, bool& bDstSeen, uint8_t* lpDstIp) {
    std::string key = lpDes->section + ":" + lpDes->name;
    const char* lpKey = key.c_str();
    const uint64_t off = lpDes->tRegDes.byteOffset;
    switch (lpDes->eType) {
        case CFGDES_TYPE_int:
            if (lpDes->name.find("origtime_yyyymmdd") == std::string::npos) return WriteIntReg(lpDes, lpKey);
            // written like "time"
            [[fallthrough]];
        case CFGDES_TYPE_TIME: {
            uint64_t v = (uint64_t)TodayYYYYMMDD() * 1000000000ULL;
            if (g_bIsQuayTool) {
                uint64_t cfg = (uint64_t)m_lpConfig->GetConfigLongInt(lpKey, (int64_t)lpDes->nDefVal);
                if (cfg != 0) v = cfg;
            }
            return m_lpDrv->WriteInt64(off, v) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_TIME_YYYYMMDD: {
            uint32_t v = TodayYYYYMMDD();
            if (g_bIsQuayTool) {
                uint64_t cfg = (uint64_t)m_lpConfig->GetConfigLongInt(lpKey, (int64_t)lpDes->nDefVal);
                if (cfg != 0) v = (uint32_t)cfg;
            }
            return m_lpDrv->WriteInt32(off, v) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_mac: {
            std::string text = m_lpConfig->GetConfigString(lpKey, "00:00:00:00:00:00");
            uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
            if (CGtConfig::HexStr2Mac(text.c_str(), mac) != 0) memset(mac, 0, sizeof(mac));
            return m_lpDrv->WriteLess128Bytes(off, mac, 6) == 6 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_ipv4: {
            std::string text = m_lpConfig->GetConfigString(lpKey, "0.0.0.0");
            uint8_t ip[4] = {0, 0, 0, 0};
            int ret = CGtConfig::DesStr2IpV4(text.c_str(), ip);
            if (ret != 0) {
                memset(ip, 0, sizeof(ip));
                if (ret == GT_ERR_BAD_ARG) GT_LOGE(GT_TAG_SRV, "Unable to find register %s in quay.ini.", lpKey);
            }
            return m_lpDrv->WriteLess128Bytes(off, ip, 4) == 4 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_ipv4_MCAST_DST: {
            bDstSeen = true;
            std::string text = m_lpConfig->GetConfigString(lpKey, "0.0.0.0");
            if (CGtConfig::DesStr2IpV4(text.c_str(), lpDstIp) != 0) memset(lpDstIp, 0, 4);
            return m_lpDrv->WriteLess128Bytes(off, lpDstIp, 4) == 4 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_mac_MCAST_DST: {
            if (!bDstSeen) {
                GT_LOGE(GT_TAG_SRV,
                        "%%%%%%%% ERROR config in gt_fpgaConfigxxxx, %s  %%%%%%%%, Tips:dst ip should be in front of "
                        "dst mac.",
                        lpKey);
                return GT_ERR_CONFIG;
            }
            bDstSeen = false;
            uint8_t mac[6];
            Uti_McastIpToMac(lpDstIp, mac);
            return m_lpDrv->WriteLess128Bytes(off, mac, 6) == 6 ? GT_OK : GT_ERR_UNKNOWN_HW;
        }
        case CFGDES_TYPE_MUTI_INT:
            return WriteMutiIntReg(lpDes, lpKey);
        case CFGDES_TYPE_date:
        default:
            return GT_OK;
    }
}

int CGtFpgaService::ClearFpgaConfig() {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    const uint32_t addrs[2] = {g_fpgaTcpSrcIpAddr, g_fpgaTcpDstIpAddr};
    for (uint32_t addr : addrs) {
        // Families without TCP address registers leave the address at 0,
        // where some other register lives: nothing to clear then.
        if (addr == 0) continue;
        if (m_lpDrv->WriteLess128Bytes(addr, zeros, 4) != 4) return GT_ERR_UNKNOWN_HW;
    }
    return GT_OK;
}

int CGtFpgaService::HoldReset(uint16_t& mode, bool bLogMode) {
    int ret = ClearFpgaConfig();
    if (ret != 0) {
        GT_LOGW(GT_TAG_SRV, "reset FPGA failed! ret:%d", ret);
        return -1;
    }
    mode = 4;
    (void)m_lpDrv->ReadInt16(g_fpgaResetAddr, mode);
    if (bLogMode) GT_LOGI(GT_TAG_SRV, "read mode: 0x%04x", mode);
    ret = m_lpDrv->WriteInt16(g_fpgaResetAddr, (uint16_t)(mode | 4));
    if (ret != 0) {
        GT_LOGW(GT_TAG_SRV, "reset FPGA failed! ret:%d", ret);
        return -1;
    }
    return 0;
}

int CGtFpgaService::ResetFpga(const char* who, bool mark) {
    uint16_t mode = 4;
    if (HoldReset(mode, true) != 0) return -1;
    if (g_uiResetHoldSeconds) sleep(g_uiResetHoldSeconds);
    int ret = m_lpDrv->WriteInt16(g_fpgaResetAddr, (uint16_t)(mode & 0xFFFB));
    if (ret != 0) {
        GT_LOGW(GT_TAG_SRV, "reset FPGA failed! ret:%d", ret);
        return -1;
    }
    ret = ConfigFpga();
    if (ret != 0) {
        GT_LOGW(GT_TAG_SRV, "reconfig FPGA failed! ret:%d", ret);
        return -1;
    }
    if (mark) MarkReset(who);
    if (!g_tDevInfo.subsstockid.empty()) (void)Config_hash_function(m_lpDrv);
    return 0;
}

int CGtFpgaService::HaultResetFpga() {
    uint16_t mode = 4;
    return HoldReset(mode, false);
}

int CGtFpgaService::ResumeHaultResetFpga() {
    if (!RequireInited(true, kNotInited)) return -1;
    uint16_t mode = 0;
    (void)m_lpDrv->ReadInt16(g_fpgaResetAddr, mode);
    if (m_lpDrv->WriteInt16(g_fpgaResetAddr, (uint16_t)(mode & 0xFFFB)) != 0) {
        GT_LOGW(GT_TAG_SRV, "reconfig FPGA failed! ret:%d", -1);
        return -1;
    }
    int ret = ConfigFpga();
    if (ret != 0) {
        GT_LOGW(GT_TAG_SRV, "reconfig FPGA failed! ret:%d", ret);
        return -1;
    }
    return 0;
}

int ResumeFpgaSignal() {
    if (g_lpFpgaService && g_lpFpgaService->ResumeHaultResetFpga() == 0) {
        GT_LOGI(GT_TAG_SRV, "Reset fpga success.");
        return 0;
    }
    GT_LOGE(GT_TAG_SRV, "Resume hault reset signal fail \n");
    return -1;
}

void CGtFpgaService::MarkReset(const char* who) {
    if (!who) return;
    // Only a regular file is written: no link is followed (a link would have
    // its target overwritten and opened to everyone), and the open does not
    // wait (a FIFO would hold the main loop, and the stop signals with it).
    // The file is truncated and made 0666 through the descriptor once it is
    // known to be a regular file.
    int fd = open(FPGA_RESET_LOG_FILE, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0666);
    const char* why = fd < 0 ? strerror(errno) : nullptr;
    struct stat st;
    // A link gives ELOOP, a FIFO without a reader ENXIO: say what it is.
    if (fd < 0 && lstat(FPGA_RESET_LOG_FILE, &st) == 0 && !S_ISREG(st.st_mode)) why = "not a regular file";
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) why = "not a regular file";
    if (why == nullptr && ftruncate(fd, 0) != 0) why = strerror(errno);
    if (why != nullptr) {
        GT_LOGE(GT_TAG_SRV, "open %s failed.msg:%s", FPGA_RESET_LOG_FILE, why);
        if (fd >= 0) close(fd);
        return;
    }
    (void)fchmod(fd, 0666);
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    char line[39];
    snprintf(line, sizeof(line), "%04d%02d%02d %02d:%02d:%02d %s", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
             t.tm_hour, t.tm_min, t.tm_sec, who);
    size_t len = strlen(line);
    if (write(fd, line, len) != (ssize_t)len) GT_LOGE(GT_TAG_SRV, "write %s failed", FPGA_RESET_LOG_FILE);
    close(fd);
}

void CGtFpgaService::PrivateSetting() {
    if (!g_tDevInfo.subsstockid.empty()) (void)Config_hash_function(m_lpDrv);
}

void CGtFpgaService::OutPut(OUTPUT_TYPE_e eType, char* lpBuf, uint32_t uiSize, const char* lpText) {
    if (!lpText) return;
    if (eType == OUTPUT_LOGFILE) {
        GT_LOGI(GT_TAG_SRV, "%s", lpText);
        return;
    }
    if (lpBuf && uiSize > 0) snprintf(lpBuf, uiSize, "%s", lpText);
}

// ------------------------------------------------------------------ accessors

int CGtFpgaService::GetReg8WithAddr(uint64_t ulAddr, uint8_t& ucValue) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    return m_lpDrv->ReadInt8(ulAddr, ucValue) == 0 ? GT_OK : GT_ERR_BAD_ARG;
}

int CGtFpgaService::GetReg16WithAddr(uint64_t ulAddr, uint16_t& usValue) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    return m_lpDrv->ReadInt16(ulAddr, usValue) == 0 ? GT_OK : GT_ERR_BAD_ARG;
}

int CGtFpgaService::GetReg32WithAddr(uint64_t ulAddr, uint32_t& uiValue) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    return m_lpDrv->ReadInt32(ulAddr, uiValue) == 0 ? GT_OK : GT_ERR_BAD_ARG;
}

int CGtFpgaService::GetRegBitsWithAddr(uint64_t ulAddr, uint64_t& ulValue, uint32_t uiBitOffset,
                                       uint32_t uiBitWidth) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    uint64_t reg = 0;
    if (m_lpDrv->ReadInt64(ulAddr, reg) != 0) return GT_ERR_BAD_ARG;
    ulValue = ExtractField(reg, uiBitOffset, uiBitWidth);
    return GT_OK;
}

int CGtFpgaService::GetRegWithBytes(uint64_t ulAddr, uint64_t ulLen, uint8_t* lpBuf) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    uint64_t got = m_lpDrv->ReadLess128Bytes(ulAddr, lpBuf, ulLen);
    if (got != ulLen) {
        GT_LOGW(GT_TAG_SRV, "require %ld bytes, but got %ld bytes!", (long)ulLen, (long)got);
        return GT_ERR_UNKNOWN_HW;
    }
    return GT_OK;
}

int CGtFpgaService::SetReg16WithAddr(uint64_t ulAddr, uint16_t usValue) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    return m_lpDrv->WriteInt16(ulAddr, usValue) == 0 ? GT_OK : GT_ERR_UNKNOWN_HW;
}

int CGtFpgaService::SetRegBytes(uint64_t ulAddr, const uint8_t* lpBuf, uint64_t ulLen) {
    if (!RequireInited(true, kNotInited)) return GT_ERR_NOT_INITED;
    uint64_t put = m_lpDrv->WriteLess128Bytes(ulAddr, lpBuf, ulLen);
    if (put != ulLen) {
        GT_LOGW(GT_TAG_SRV, "required %d bytes, but got %d bytes!", (int)ulLen, (int)put);
        return GT_ERR_UNKNOWN_HW;
    }
    return GT_OK;
}

// ------------------------------------------------------------------- readouts

int CGtFpgaService::InitMonitor() {
    if (!RequireInited(m_lpXml != nullptr, kNotInited)) return GT_ERR_NOT_INITED;
    OSKIT2::CAutoMutex lock(m_mutex);
    CfgDesIter iter;
    for (CfgDes_t* d = m_lpXml->ScanStart(CFGCLASS_CFG, iter); d; d = m_lpXml->ScanNext(iter))
        m_monitorMapConfig.emplace(d, PARAM_VALUE_t());
    for (CfgDes_t* d = m_lpXml->ScanStart(CFGCLASS_CFGFILE, iter); d; d = m_lpXml->ScanNext(iter))
        m_monitorMapConfig.emplace(d, PARAM_VALUE_t());
    for (CfgDes_t* d = m_lpXml->ScanStart(CFGCLASS_MON, iter); d; d = m_lpXml->ScanNext(iter))
        m_monitorMapStat.emplace(d, PARAM_VALUE_t());
    return GT_OK;
}

int CGtFpgaService::ReadAndPrintParam(const CfgDes_t* lpDes, OUTPUT_TYPE_e eType, char* lpBuf, uint32_t uiSize) {
    if (!RequireInited(lpDes != nullptr, kNotInitedSrv)) return GT_ERR_NOT_INITED;
    char line[kLineSize];
    ParamReading r(line, sizeof(line));
    const int ret = ReadParam(*m_lpDrv, lpDes, eType != OUTPUT_BUFFER_CLEAN, m_incrPath0, m_incrPath1, r);
    if (ret != GT_OK || !r.bShown) return ret;
    OutPut(eType, lpBuf, uiSize, line);
    KeepMonitorValue(lpDes, r.ulKept, r.strKept);
    return GT_OK;
}

void CGtFpgaService::KeepMonitorValue(const CfgDes_t* lpDes, uint64_t ulValue, const std::string& strText) {
    OSKIT2::CAutoMutex lock(m_mutex);
    for (MONITOR_MAP* map : {&m_monitorMapConfig, &m_monitorMapStat}) {
        auto it = map->find(lpDes);
        if (it == map->end()) continue;
        it->second.value = ulValue;
        it->second.str = strText;
    }
}

int CGtFpgaService::ReadBlock(int nReadout, const CFG_CLASS_e* lpClasses, int nClassNum, OUTPUT_TYPE_e eType,
                              const char* lpHeader, int mode) {
    char* block = m_lpBlock.get();
    memset(block, 0, FPGA_READOUT_BLOCK_SIZE);
    size_t len = 0;
    for (int c = 0; c < nClassNum; c++) {
        CfgDesIter iter;
        for (CfgDes_t* d = m_lpXml->ScanStart(lpClasses[c], iter); d; d = m_lpXml->ScanNext(iter)) {
            int ret = ReadAndPrintParam(d, eType, block + len, (uint32_t)(FPGA_READOUT_BLOCK_SIZE - len));
            if (ret != 0) {
                GT_LOGW(GT_TAG_SRV, "Read address 0x%lx fail, we stop read.", (unsigned long)d->tRegDes.byteOffset);
                return GT_ERR_BAD_ARG;
            }
            len += strlen(block + len);
        }
    }
    char* remembered = m_lpRemembered[nReadout].get();
    if (mode == READ_MODE_RECORD) {
        if (strcmp(block, remembered) == 0) return GT_OK;
        memcpy(remembered, block, len + 1);
    }
    GT_LOGI(GT_TAG_SRV, "%s", lpHeader);
    elog_raw_huge("%s\n", block);
    return GT_OK;
}

int CGtFpgaService::ReadFpgaConfiguration(int mode) {
    if (!RequireInited(m_lpXml != nullptr, kNotInited)) return GT_ERR_NOT_INITED;
    static const CFG_CLASS_e classes[] = {CFGCLASS_CFG, CFGCLASS_CFGFILE};
    return ReadBlock(READOUT_CFG, classes, 2, OUTPUT_BUFFER_CLEAN, "******** Read configuration ********\n", mode);
}

int CGtFpgaService::ReadStatistics(int mode) {
    if (!RequireInited(m_lpXml != nullptr, kNotInitedReadout)) return GT_ERR_NOT_INITED;
    static const CFG_CLASS_e classes[] = {CFGCLASS_DEBUG};
    return ReadBlock(READOUT_STAT, classes, 1, OUTPUT_BUFFER, "******** Read Statistics ********\n", mode);
}

int CGtFpgaService::ReadTraffic(int mode) {
    if (!RequireInited(m_lpXml != nullptr, kNotInitedReadout)) return GT_ERR_NOT_INITED;
    static const CFG_CLASS_e classes[] = {CFGCLASS_TRAFIC};
    return ReadBlock(READOUT_TRAFFIC, classes, 1, OUTPUT_BUFFER_CLEAN, "******** Read Traffic Info ********\n", mode);
}

int CGtFpgaService::ReadMonitor(int mode) {
    if (!RequireInited(m_lpXml != nullptr, kNotInitedReadout)) return GT_ERR_NOT_INITED;
    static const CFG_CLASS_e classes[] = {CFGCLASS_MON};
    return ReadBlock(READOUT_MONITOR, classes, 1, OUTPUT_BUFFER_CLEAN, "******** Read Monitor Info ********\n", mode);
}

int CGtFpgaService::LookupMonitor(MONITOR_MAP& map, const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue,
                                  std::string& strText) {
    OSKIT2::CAutoMutex lock(m_mutex);
    auto it = map.find(lpDes);
    if (it == map.end()) {
        ucKind = 0;
        return GT_OK;
    }
    ulValue = it->second.value;
    strText = it->second.str;
    switch (lpDes->eType) {
        case CFGDES_TYPE_int:
            ucKind = 1;
            break;
        case CFGDES_TYPE_mac:
        case CFGDES_TYPE_ipv4:
        case CFGDES_TYPE_mac_MCAST_DST:
        case CFGDES_TYPE_ipv4_MCAST_DST:
        case CFGDES_TYPE_MUTI_INT:
            ucKind = 2;
            break;
        default:
            ucKind = 0;
            break;
    }
    return GT_OK;
}

int CGtFpgaService::ReadMonitorConfiguration(const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue,
                                             std::string& strText) {
    return LookupMonitor(m_monitorMapConfig, lpDes, ucKind, ulValue, strText);
}

int CGtFpgaService::ReadMonitorStat(const CfgDes_t* lpDes, uint8_t& ucKind, uint64_t& ulValue,
                                    std::string& strText) {
    return LookupMonitor(m_monitorMapStat, lpDes, ucKind, ulValue, strText);
}
