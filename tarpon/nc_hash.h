#ifndef NC_HASH_H
#define NC_HASH_H

#include <cstdint>
#include <string>

#include "drvCore.h"

// Security subscription tables of the card's filter engines.
//
// The subscription list ("Others:stocks") becomes a hash table of security
// ids spread over ram_num banks of 2^ram_width slots, 32 hash factors, and a
// flag table indexed by security class. Every register is written in the
// first filter engine and again at +0x20000 in the second.

#define SUBS_MAX_STOCK_NUM 4096
#define SUBS_MAX_CLASS_NUM 4096
#define HASH_FACTOR_NUM 32
#define HASH_MAX_TRY_TIMES 10000

// Card register map, first engine; the second engine is at +HASH_ENGINE2_OFFSET.
#define HASH_ENGINE2_OFFSET 0x20000u
#define HASH_REG_GEOMETRY 0x1Eu
#define HASH_REG_FACTOR_BASE 0x10000u
#define HASH_REG_CTRL0 0x10040u
#define HASH_REG_CTRL1 0x10050u
#define HASH_REG_FILTER_SWITCH 0x10060u
#define HASH_REG_CLASS_BASE 0x11000u
#define HASH_REG_CLASS_NUM 0x1000u
#define HASH_REG_MEM_BASE 0x20000u

// Hash memory entry bits.
#define HASH_ENTRY_SUBSCRIBED (1ULL << 48)
#define HASH_ENTRY_USED (1ULL << 63)

struct Subscribed_t {
    std::string stRawSubsStock;
    uint32_t stockid[SUBS_MAX_STOCK_NUM] = {};
    uint32_t stockid_cnt = 0;
    uint32_t stockclass[SUBS_MAX_CLASS_NUM] = {};
    uint32_t stockclass_cnt = 0;
    bool subsAll = false;
};

// Factor and memory images of the last build; freed and allocated anew by
// every build.
extern uint16_t* g_hash_factor;
extern uint64_t* g_hash_mem;

// Programs the tables from the subscription settings of g_tDevInfo through
// lpDrv (g_lpDrv when null). 0 when it ran to the end, -1 when it stopped
// early (empty list, unreadable or unsuitable firmware, bad bank geometry).
int Config_hash_function(IDrv* lpDrv = nullptr);

// Parses a subscription list. Always 0.
int parse_stock(const std::string& strText, Subscribed_t* lpSubs);

// Zeroes every filter register of both engines.
void clearTable(int ram_num, int ram_width, IDrv* lpDrv = nullptr);

// Builds the hash table of the ids, writes factors and memory, enables the
// filter. -1 for a null id array or a bad bank geometry, else 0.
int config_hash_mem(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width,
                    IDrv* lpDrv = nullptr);

// The retrying build: up to HASH_MAX_TRY_TIMES sets of factors. Returns 1 when
// every id was placed, -1 when the image of the last attempt is partial.
int get_hash_mem_param(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width,
                       uint16_t* lpFactor, uint64_t* lpMem);

// Draws n factors of 16 bits from the generator state *lpSeed.
void generate_hash_factor(uint32_t n, uint16_t* lpFactor, unsigned int* lpSeed);

// One build attempt. 1 when every id was placed, -1 when one found no free bank.
int generate_hash_mem(const uint32_t* lpIds, uint32_t uiCnt, int ram_num, int ram_width,
                      int nIdBits, const uint16_t* lpFactor, uint64_t* lpMem);

// Slot of an id: XOR of factor k over the set bits k of the id, masked to the
// bank width.
uint32_t hash_slot(uint32_t uiId, int nIdBits, const uint16_t* lpFactor, int ram_width);

// Writes the class flags of both engines. Always 0.
int config_stock_class(const uint32_t* lpCodes, uint32_t uiCnt, IDrv* lpDrv = nullptr);

// Whether the firmware version carries the hash registers.
bool hash_version_supported(uint32_t uiVersion);

// Whether the bank geometry fits the card's register map.
bool hash_geometry_valid(int ram_num, int ram_width);

#endif
