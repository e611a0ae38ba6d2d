// The subscription list ("Others:stocks") and the hash table built from it.
// Input: two bytes of bank geometry (banks 1..8, 2^3..2^10 slots), then the
// list text. Parsed ids and classes must stay inside their tables and be
// numbers the text can name (six or three digits read as hexadecimal); a
// table reported complete must hold every id in its slot.

#include <map>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "nc_hash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const int ramNum = 1 + in.Byte() % 8;
    const int ramWidth = 3 + in.Byte() % 8;
    std::string text = in.Take(in.Left());

    static Subscribed_t* subs = new Subscribed_t();
    *subs = Subscribed_t();
    parse_stock(text, subs);
    QFUZZ_CHECK(subs->stockid_cnt <= SUBS_MAX_STOCK_NUM);
    QFUZZ_CHECK(subs->stockclass_cnt <= SUBS_MAX_CLASS_NUM);
    for (uint32_t i = 0; i < subs->stockid_cnt; ++i) QFUZZ_CHECK(subs->stockid[i] <= 0x999999);
    for (uint32_t i = 0; i < subs->stockclass_cnt; ++i) QFUZZ_CHECK(subs->stockclass[i] <= 0x999);

    // Only lists that fit with room to spare: one that cannot be placed (or
    // hardly) costs all 10000 attempts, which is slow by design, not a hang.
    const uint64_t slots = 1ull << ramWidth;
    if (subs->stockid_cnt == 0 || subs->stockid_cnt > 8 || slots * ramNum < 4ull * subs->stockid_cnt) return 0;
    std::map<uint32_t, int> seen;
    for (uint32_t i = 0; i < subs->stockid_cnt; ++i)
        if (++seen[subs->stockid[i]] > ramNum) return 0;  // the same id takes one bank per listing
    std::vector<uint16_t> factor(HASH_FACTOR_NUM);
    std::vector<uint64_t> mem(slots * ramNum);
    if (get_hash_mem_param(subs->stockid, subs->stockid_cnt, ramNum, ramWidth, factor.data(), mem.data()) != 1)
        return 0;
    for (uint32_t i = 0; i < subs->stockid_cnt; ++i) {
        uint32_t s = hash_slot(subs->stockid[i], 32, factor.data(), ramWidth);
        bool found = false;
        for (int r = 0; r < ramNum && !found; ++r) {
            uint64_t e = mem[r * slots + s];
            found = (e & HASH_ENTRY_USED) && static_cast<uint32_t>(e) == subs->stockid[i];
        }
        QFUZZ_CHECK(found);
    }
    return 0;
}
