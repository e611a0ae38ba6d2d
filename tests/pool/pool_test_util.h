#ifndef QUAY_POOL_TEST_UTIL_H
#define QUAY_POOL_TEST_UTIL_H

// Records with checkable contents, the SDK's record reader on the pool's own
// classes, and clean-up of the fixed IPC keys, shared by the pool tests and
// their peer program.
//
// Record n has length LenOf(n) (1 to 8192, every size in the first 8192
// records) and payload bytes Byte(n, i); the first 8 bytes of a record of 8
// or more hold n itself, so a reader of a framed ring can tell order and gaps.

#include <sched.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "drvRingBufPool.h"
#include "ipc_key_lock.h"
#include "mkrx_reader.h"

namespace pooltest {

inline uint32_t LenOf(uint64_t n) {
    if (n < 8192) return (uint32_t)(8192 - n);  // every size, the largest first
    uint64_t x = n * 0x9E3779B97F4A7C15ULL;
    return 1 + (uint32_t)((x >> 40) % 300);  // then mostly small records
}

inline uint8_t Byte(uint64_t n, uint32_t i) { return (uint8_t)(n * 131 + i * 7 + (i >> 8)); }

inline void Fill(std::vector<uint8_t>& buf, uint64_t n, uint32_t len) {
    buf.resize(len);
    for (uint32_t i = 0; i < len; ++i) buf[i] = Byte(n, i);
    if (len >= 8) memcpy(buf.data(), &n, 8);
}

// Checks a payload against record n; empty string when it matches.
inline std::string Check(const uint8_t* p, uint64_t n, uint32_t len) {
    std::vector<uint8_t> want;
    Fill(want, n, len);
    for (uint32_t i = 0; i < len; ++i)
        if (p[i] != want[i])
            return "record " + std::to_string(n) + " byte " + std::to_string(i) + " of " + std::to_string(len);
    return std::string();
}

// Copies records [0, count) into pool, offering each again while the pool
// drops it (the ring is full), so that a reader must see every one.
inline void CopyEvery(CDrvRingBufPool& pool, uint64_t count) {
    std::vector<uint8_t> buf;
    for (uint64_t n = 0; n < count; ++n) {
        const uint32_t len = LenOf(n);
        Fill(buf, n, len);
        for (;;) {
            uint64_t dropped = mkrx::LoadRelaxed(&pool.GetPktStat(0)->ulSoftDisPktNum);
            pool.Copy2Pool(buf.data(), len, nullptr);
            if (mkrx::LoadRelaxed(&pool.GetPktStat(0)->ulSoftDisPktNum) == dropped) break;
            sched_yield();
        }
    }
}

// A reader's record callback for what CopyEvery writes: each record must be
// the next one, whole; bad names the first that is not.
struct InOrderChecker {
    uint64_t next = 0;
    std::string bad;
    void operator()(const uint8_t*, const uint8_t* p, uint32_t len) {
        if (bad.empty() && len != LenOf(next)) bad = "length of record " + std::to_string(next);
        if (bad.empty()) bad = Check(p, next, len);
        ++next;
    }
};

// The pool's in-process consumer as the SDK's record reader sees the service.
struct ConsumerSource {
    CMkrxPoolConsumer* c;
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) { return c->Read(u); }
    void SetFetchSize(uint32_t bytes) { c->Consume(bytes); }
};

// The private pool's tail length as the service hands it to the reader.
struct PoolTail {
    IDrvPool* pool;
    uint32_t GetTailUseLen() { return pool->GetTailUseLen(0); }
};

// One window of bytes offered to the reader as a pool offers them.
struct WindowSource {
    const uint8_t* p;
    uint32_t avail;
    uint32_t used;
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) {
        u->pucbuf = p + used;
        u->uiAvailDataLen = avail - used;
        return 0;
    }
    void SetFetchSize(uint32_t bytes) { used += bytes; }
};

// Walks framed records in [p, p + avail) with the SDK's record reader. For
// a headerless ring the length comes from lenOf(next record). Calls
// onRec(header, payload, length) per record and returns the bytes of whole
// records walked.
template <class LenOf, class OnRec>
uint32_t Walk(int type, const uint8_t* p, uint32_t avail, uint64_t& next, LenOf lenOf, OnRec onRec) {
    WindowSource w{p, avail, 0};
    auto rawLen = [&](const uint8_t*, uint32_t) { return (uint32_t)lenOf(next); };
    mkrx::WithFraming(type, rawLen, [&](auto framing) {
        mkrx::PoolReader<decltype(framing), WindowSource> r(&w, framing);
        return r.Poll([&](const uint8_t* h, const uint8_t* payload, uint32_t len) {
            onRec(h, payload, len);
            ++next;
        });
    });
    return w.used;
}

}  // namespace pooltest

#endif
