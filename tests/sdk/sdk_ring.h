#ifndef QUAY_SDK_RING_H
#define QUAY_SDK_RING_H

// A client's reader of run mode 1's private ring (GetDmaBuf), for the tests
// that check every record of the card's feed arrives through it.

#include <chrono>
#include <cstdint>

#include "mkrx_service.h"
#include "sdk_env.h"

namespace sdktest {

// Reads rb, the private ring of s, as a client does: each time the copy
// thread has written, the window from the read position to the write
// position, or to the ring end and on into s's tail area, is walked with
// the SDK's record reader (framing type) into chk and given back. Stops once
// chk has seen total records or a fault, or after 60 s. wholeWindows: a
// window that ends inside a record is a fault ("partial record").
inline void ReadPrivateRing(IMkrxService* s, ringbuffer* rb, int type, uint64_t total, FeedChecker& chk,
                            bool wholeWindows) {
    uint32_t out = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (chk.records < total && chk.bad.empty() && std::chrono::steady_clock::now() < until) {
        uint32_t in = __atomic_load_n(&rb->p.in, __ATOMIC_ACQUIRE);
        if (in == out) continue;
        uint32_t off = out & (rb->c.size - 1), toEnd = rb->c.size - off, pending = in - out;
        uint32_t avail = pending < toEnd ? pending : toEnd + s->GetTailUseLen();
        uint32_t used = WalkFeed(type, rb->c.buffer + off, avail, chk);
        if (wholeWindows && used != avail) chk.bad = "partial record";
        out += pending < toEnd ? used : toEnd;
        __atomic_store_n(&rb->c.out, out, __ATOMIC_RELEASE);
    }
}

}  // namespace sdktest

#endif
