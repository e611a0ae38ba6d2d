#include "nc_hash.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common.h"
#include "gt_config.h"
#include "gt_fpgaConfig.h"
#include "gt_logger.h"

uint16_t* g_hash_factor = nullptr;
uint64_t* g_hash_mem = nullptr;

namespace {

IDrv* PickDrv(IDrv* lpDrv) { return lpDrv ? lpDrv : g_lpDrv; }

void WriteReg(IDrv* lpDrv, uint64_t ulAddr, uint32_t uiValue) {
    // A failed write is reported by the driver itself; the run goes on.
    (void)lpDrv->WriteInt32(ulAddr, uiValue);
}

// Both engines: the first at addr, the second at addr + 0x20000.
void WriteBoth(IDrv* lpDrv, uint64_t ulAddr, uint32_t uiValue) {
    WriteReg(lpDrv, ulAddr, uiValue);
    WriteReg(lpDrv, ulAddr + HASH_ENGINE2_OFFSET, uiValue);
}

uint64_t EntryAddr(int r, uint32_t s, int ram_width) {
    return HASH_REG_MEM_BASE + (uint64_t)r * (1ULL << (ram_width + 1)) + 2ULL * s;
}

bool AllDigits(const std::string& s) {
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

bool hash_version_supported(uint32_t uiVersion) {
    return (uiVersion >> 8) == 0x123202 || (uiVersion >> 8) == 0x142201 || (uiVersion & 0x20000) != 0;
}

bool hash_geometry_valid(int ram_num, int ram_width) {
    if (ram_num < 0 || ram_width < 0 || ram_width > 15) return false;
    // The first engine's banks must end before the second engine's registers.
    return (uint64_t)ram_num * (1ULL << (ram_width + 1)) <= HASH_ENGINE2_OFFSET / 2;
}

int parse_stock(const std::string& strText, Subscribed_t* lpSubs) {
    if (!lpSubs) return 0;
    lpSubs->stRawSubsStock = strText;

    std::string clean;
    clean.reserve(strText.size());
    for (unsigned char c : strText) {
        if (std::isspace(c)) continue;
        clean.push_back((char)std::tolower(c));
    }
    lpSubs->subsAll = clean.find("all") != std::string::npos;

    size_t pos = 0;
    bool stop = false;
    while (!stop && pos <= clean.size()) {
        size_t comma = clean.find(',', pos);
        std::string tok = clean.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = (comma == std::string::npos) ? clean.size() + 1 : comma + 1;

        if (containsLetters(tok)) continue;
        if (tok.size() != 6 && tok.size() != 3) continue;
        if (!AllDigits(tok)) {
            GT_LOGW(GT_TAG_SRV, "skip malformed subscription item \"%s\".", tok.c_str());
            continue;
        }
        uint32_t val = (uint32_t)strtoul(tok.c_str(), nullptr, 16);
        if (tok.size() == 6) {
            if (lpSubs->stockid_cnt >= SUBS_MAX_STOCK_NUM) {
                GT_LOGE(GT_TAG_SRV, "Error: Too many stock IDs, exceeding array size.");
                stop = true;
                break;
            }
            lpSubs->stockid[lpSubs->stockid_cnt++] = val;
        } else {
            if (lpSubs->stockclass_cnt >= SUBS_MAX_CLASS_NUM) {
                GT_LOGE(GT_TAG_SRV, "Error: Too many stock classes, exceeding array size.");
                stop = true;
                break;
            }
            lpSubs->stockclass[lpSubs->stockclass_cnt++] = val;
        }
    }

    std::string ids;
    for (uint32_t i = 0; i < lpSubs->stockid_cnt; i++) {
        ids += std::to_string(lpSubs->stockid[i]);
        ids += ',';
    }
    GT_LOGI(GT_TAG_SRV, "stockid(decformat):%s", ids.c_str());
    std::string cls;
    for (uint32_t i = 0; i < lpSubs->stockclass_cnt; i++) {
        cls += std::to_string(lpSubs->stockclass[i]);
        cls += ',';
    }
    GT_LOGI(GT_TAG_SRV, "stock class(decformat):%s", cls.c_str());
    return 0;
}

void clearTable(int ram_num, int ram_width, IDrv* lpDrv) {
    lpDrv = PickDrv(lpDrv);
    if (!lpDrv) return;
    if (!hash_geometry_valid(ram_num, ram_width)) {
        GT_LOGE(GT_TAG_SRV, "Invalid hash bank geometry, ram_num:%d, ram_width:%d.", ram_num, ram_width);
        return;
    }
    for (uint32_t k = 0; k < HASH_FACTOR_NUM / 2; k++) {
        WriteBoth(lpDrv, HASH_REG_FACTOR_BASE + k, 0);
    }
    const uint32_t slots = 1u << ram_width;
    for (int r = 0; r < ram_num; r++) {
        for (uint32_t s = 0; s < slots; s++) {
            uint64_t a = EntryAddr(r, s, ram_width);
            WriteReg(lpDrv, a, 0);
            WriteReg(lpDrv, a + 1, 0);
            WriteReg(lpDrv, a + HASH_ENGINE2_OFFSET, 0);
            WriteReg(lpDrv, a + HASH_ENGINE2_OFFSET + 1, 0);
        }
    }
    WriteReg(lpDrv, HASH_REG_CTRL0, 0);
    WriteReg(lpDrv, HASH_REG_CTRL1, 0);
    WriteReg(lpDrv, HASH_REG_FILTER_SWITCH, 0);
    WriteReg(lpDrv, HASH_REG_CTRL0 + HASH_ENGINE2_OFFSET, 0);
    WriteReg(lpDrv, HASH_REG_CTRL1 + HASH_ENGINE2_OFFSET, 0);
    WriteReg(lpDrv, HASH_REG_FILTER_SWITCH + HASH_ENGINE2_OFFSET, 0);
    for (uint32_t c = 0; c < HASH_REG_CLASS_NUM; c++) {
        WriteReg(lpDrv, HASH_REG_CLASS_BASE + c, 0);
    }
    for (uint32_t c = 0; c < HASH_REG_CLASS_NUM; c++) {
        WriteReg(lpDrv, HASH_REG_CLASS_BASE + HASH_ENGINE2_OFFSET + c, 0);
    }
}

void generate_hash_factor(uint32_t n, uint16_t* lpFactor, unsigned int* lpSeed) {
    for (uint32_t i = 0; i < n; i++) {
        lpFactor[i] = (uint16_t)(rand_r(lpSeed) & 0xFFFF);
    }
}

uint32_t hash_slot(uint32_t uiId, int nIdBits, const uint16_t* lpFactor, int ram_width) {
    uint32_t h = 0;
    for (int k = 0; k < nIdBits && k < 32; k++) {
        if (uiId & (1u << k)) h ^= lpFactor[k];
    }
    return h & ((1u << ram_width) - 1);
}

int generate_hash_mem(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width, int nIdBits,
                      const uint16_t* lpFactor, uint64_t* lpMem) {
    const uint64_t slots = 1ULL << ram_width;
    memset(lpMem, 0, sizeof(uint64_t) * slots * (uint64_t)ram_num);
    for (uint32_t i = 0; i < uiCnt; i++) {
        uint32_t s = hash_slot(lpIds[i], nIdBits, lpFactor, ram_width);
        bool placed = false;
        for (int r = 0; r < ram_num; r++) {
            uint64_t& e = lpMem[(uint64_t)r * slots + s];
            if (!(e & HASH_ENTRY_USED)) {
                e = (uint64_t)lpIds[i] | ((uint64_t)(i & 0xFFFF) << 32) | HASH_ENTRY_SUBSCRIBED | HASH_ENTRY_USED;
                placed = true;
                break;
            }
        }
        if (!placed) return -1;
    }
    return 1;
}

int get_hash_mem_param(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width, uint16_t* lpFactor,
                       uint64_t* lpMem) {
    // One seed per build; every attempt then draws a fresh set of factors.
    unsigned int seed = (unsigned int)time(nullptr);
    const uint64_t capacity = (uint64_t)ram_num << ram_width;
    // More ids than slots can never be placed: one attempt is as good as all.
    const int tries = (uint64_t)uiCnt > capacity ? 1 : HASH_MAX_TRY_TIMES;
    for (int t = 0; t < tries; t++) {
        generate_hash_factor(HASH_FACTOR_NUM, lpFactor, &seed);
        if (generate_hash_mem(lpIds, uiCnt, ram_num, ram_width, 32, lpFactor, lpMem) == 1) {
            GT_LOGI(GT_TAG_SRV, "get_hash_mem_param|gen hash mem success|try time:%d", t);
            return 1;
        }
    }
    uint32_t placed = 0;
    for (uint64_t i = 0; i < capacity; i++) {
        if (lpMem[i] & HASH_ENTRY_USED) placed++;
    }
    GT_LOGE(GT_TAG_SRV,
            "get_hash_mem_param|gen hash mem failed|only %u of %u stock ids placed, %u banks of %u slots.", placed,
            uiCnt, (uint32_t)ram_num, 1u << ram_width);
    return -1;
}

int config_hash_mem(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width, IDrv* lpDrv) {
    lpDrv = PickDrv(lpDrv);
    if (!lpIds || !lpDrv) {
        GT_LOGI(GT_TAG_SRV, "Null parameter.");
        return -1;
    }
    if (!hash_geometry_valid(ram_num, ram_width)) {
        GT_LOGE(GT_TAG_SRV, "Invalid hash bank geometry, ram_num:%d, ram_width:%d.", ram_num, ram_width);
        return -1;
    }
    GT_LOGI(GT_TAG_SRV, "Stock id num:%u, ram_num:%u, addr_width:%d. Now begin config hash memory.", uiCnt,
            (uint32_t)ram_num, ram_width);
    GT_LOGI(GT_TAG_SRV, "g_hash_factor|allocate address");

    const uint64_t slots = 1ULL << ram_width;
    const uint64_t entries = slots * (uint64_t)ram_num;
    delete[] g_hash_factor;
    delete[] g_hash_mem;
    g_hash_factor = new uint16_t[HASH_FACTOR_NUM]();
    g_hash_mem = new uint64_t[entries ? entries : 1]();

    get_hash_mem_param(lpIds, uiCnt, ram_num, ram_width, g_hash_factor, g_hash_mem);

    for (uint32_t k = 0; k < HASH_FACTOR_NUM / 2; k++) {
        uint32_t v = ((uint32_t)g_hash_factor[2 * k + 1] << 16) | g_hash_factor[2 * k];
        WriteBoth(lpDrv, HASH_REG_FACTOR_BASE + k, v);
    }
    for (int r = 0; r < ram_num; r++) {
        for (uint32_t s = 0; s < slots; s++) {
            uint64_t e = g_hash_mem[(uint64_t)r * slots + s];
            uint32_t lo = (uint32_t)e;
            uint32_t hi = (uint32_t)(e >> 32);
            uint64_t a = EntryAddr(r, s, ram_width);
            WriteReg(lpDrv, a, lo);
            WriteReg(lpDrv, a + 1, hi);
            WriteReg(lpDrv, a + HASH_ENGINE2_OFFSET, lo);
            WriteReg(lpDrv, a + HASH_ENGINE2_OFFSET + 1, hi);
            if (e != 0) {
                GT_LOGI(GT_TAG_SRV,
                        "Hash info: ramnum:%d, inneroffset:%u, addr1:0x%x-%x, addr2:0x%x-%x, data:0x%x-%x.", r, s,
                        (uint32_t)a, (uint32_t)(a + 1), (uint32_t)(a + HASH_ENGINE2_OFFSET),
                        (uint32_t)(a + HASH_ENGINE2_OFFSET + 1), lo, hi);
            }
        }
    }
    WriteReg(lpDrv, HASH_REG_CTRL0, 1);
    WriteReg(lpDrv, HASH_REG_CTRL1, 1);
    WriteReg(lpDrv, HASH_REG_FILTER_SWITCH, 1);
    WriteReg(lpDrv, HASH_REG_CTRL0 + HASH_ENGINE2_OFFSET, 1);
    WriteReg(lpDrv, HASH_REG_CTRL1 + HASH_ENGINE2_OFFSET, 1);
    WriteReg(lpDrv, HASH_REG_FILTER_SWITCH + HASH_ENGINE2_OFFSET, 1);
    return 0;
}

int config_stock_class(const uint32_t* lpCodes, uint32_t uiCnt, IDrv* lpDrv) {
    lpDrv = PickDrv(lpDrv);
    if (!lpCodes || !lpDrv) return 0;
    const uint32_t bases[2] = {HASH_REG_CLASS_BASE, HASH_REG_CLASS_BASE + HASH_ENGINE2_OFFSET};
    for (uint32_t base : bases) {
        for (uint32_t i = 0; i < uiCnt; i++) {
            uint32_t code = lpCodes[i] & (HASH_REG_CLASS_NUM - 1);
            uint32_t addr = base + code;
            WriteReg(lpDrv, addr, 1);
            uint32_t back = 0;
            (void)lpDrv->ReadInt32(addr, back);
            GT_LOGI(GT_TAG_SRV, "cfg stock class:base addr:0x%x, reg addr:0x%x, value:1, readback value:0x%x.", base,
                    addr, back);
        }
    }
    return 0;
}

int Config_hash_function(IDrv* lpDrv) {
    lpDrv = PickDrv(lpDrv);
    const std::string strStocks = g_tDevInfo.subsstockid;
    if (strStocks.empty()) {
        GT_LOGI(GT_TAG_SRV, "subs stock id is empty.");
        return -1;
    }
    if (!lpDrv) {
        GT_LOGE(GT_TAG_SRV, "Read fpga version fail!!");
        return -1;
    }
    uint32_t ver = 0;
    if (lpDrv->ReadInt32(g_fpgaVerAddr, ver) != 0) {
        GT_LOGE(GT_TAG_SRV, "Read fpga version fail!!");
        return -1;
    }
    if (!hash_version_supported(ver)) {
        GT_LOGE(GT_TAG_SRV,
                "You subscribe stock id, but the current FPGA version does not have a corresponding hash register.");
        return -1;
    }
    const int ram_num = (int)g_tDevInfo.ram_num;
    const int ram_width = (int)g_tDevInfo.ram_width;
    if (!hash_geometry_valid(ram_num, ram_width)) {
        GT_LOGE(GT_TAG_SRV, "Invalid hash bank geometry, ram_num:%d, ram_width:%d.", ram_num, ram_width);
        return -1;
    }

    GT_LOGI(GT_TAG_SRV, "Subscribe stockid:%s", strStocks.c_str());
    std::unique_ptr<Subscribed_t> subs(new Subscribed_t());
    parse_stock(strStocks, subs.get());

    clearTable(ram_num, ram_width, lpDrv);

    if (subs->subsAll) {
        WriteReg(lpDrv, HASH_REG_FILTER_SWITCH, 0);
        WriteReg(lpDrv, HASH_REG_FILTER_SWITCH + HASH_ENGINE2_OFFSET, 0);
        return 0;
    }

    GT_LOGI(GT_TAG_SRV, "You config subscribed function.");
    uint32_t geo = 0;
    (void)lpDrv->ReadInt32(HASH_REG_GEOMETRY, geo);
    geo = (((uint32_t)ram_num << 4) & 0xFF) | ((uint32_t)ram_width & 0xF);
    WriteReg(lpDrv, HASH_REG_GEOMETRY, geo);
    GT_LOGI(GT_TAG_SRV, "0x1e register value:0x%x.", geo);

    GT_LOGI(GT_TAG_SRV, "Subscribed stock id:%s, sub id cnt:%u, sub class cnt:%u.", strStocks.c_str(),
            subs->stockid_cnt, subs->stockclass_cnt);
    config_hash_mem(subs->stockid, subs->stockid_cnt, ram_num, ram_width, lpDrv);
    config_stock_class(subs->stockclass, subs->stockclass_cnt, lpDrv);
    return 0;
}
