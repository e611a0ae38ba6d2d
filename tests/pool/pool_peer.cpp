// A process on the other side of the shared pool, driven by the pool tests.
//
//   pool_peer LOGDIR consume TYPE COUNT    read COUNT records, check each
//   pool_peer LOGDIR stall                 attach, never consume, watch the slot
//   pool_peer LOGDIR hold-sem              take the slot-table lock and wait
//   pool_peer LOGDIR produce TYPE MIB FIRST COUNT WAITFOR
//                                          wait for WAITFOR consumers, write
//                                          records FIRST.. paced on the
//                                          consumers, then wait for a signal
//
// It reports on standard output, one line per event: "attached", "ok N",
// "kicked", "bad ...", "held", "start POS", "produced". Exit codes: 0 done,
// 2 bad record, 3 kicked out, 4 set-up failed.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drvRingBufPool.h"
#include "gt_logger.h"
#include "pool_test_util.h"

using namespace pooltest;

namespace {

void Say(const std::string& s) {
    printf("%s\n", s.c_str());
    fflush(stdout);
}

int Consume(int type, uint64_t count) {
    CMkrxPoolConsumer c;
    void* base = GetShareMemBase();
    if (base == nullptr || c.Attach(base) != 0) return 4;
    Say("attached");
    uint64_t next = 0;
    bool first = true;
    std::string bad;
    auto check = [&](const uint8_t*, const uint8_t* p, uint32_t len) {
        uint64_t n = 0;
        memcpy(&n, p, len >= 8 ? 8 : 0);
        if (len < 8) n = next;  // short records carry no number
        if (first) next = n, first = false;
        if (bad.empty() && n != next) bad = "gap at " + std::to_string(next);
        if (bad.empty()) bad = Check(p, next, len);
        ++next;
    };
    // The SDK's record reader, as a client reads (framed types only).
    ConsumerSource src{&c};
    int rc = mkrx::WithFraming(type, nullptr, [&](auto framing) {
        mkrx::PoolReader<decltype(framing), ConsumerSource> reader(&src, framing);
        while (next < count || first) {
            if (reader.Poll(check) < 0) return reader.Corrupted() ? 2 : 3;
            if (!bad.empty()) return 2;
        }
        return 0;
    });
    if (rc == 3) {
        Say("kicked");
        return 3;
    }
    if (rc != 0) {
        Say("bad " + (bad.empty() ? std::string(rc < 0 ? "data type" : "corrupted pool") : bad));
        return 2;
    }
    Say("ok " + std::to_string(next));
    c.Detach();
    DetachShareMem();
    return 0;
}

int Stall() {
    CMkrxPoolConsumer c;
    void* base = GetShareMemBase();
    if (base == nullptr || c.Attach(base) != 0) return 4;
    Say("attached");
    for (;;) {
        MkrxCurPoolUsge_t u;
        if (c.Read(&u) != 0) {
            Say("kicked");
            return 3;
        }
        usleep(20000);
    }
}

int HoldSem() {
    int semid;
    if (GetSemByKey(MKRX_SEM_SLOT_KEY, semid) != 0) return 4;
    Say("held");
    for (;;) pause();
}

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Produce(int type, uint32_t mib, uint64_t first, uint64_t count, uint32_t waitFor) {
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    CDrvRingBufPool pool;
    _DMaInitParam_t p;
    p.uiPoolSize = mib;
    p.eDataType = (MkrxDataType_e)type;
    p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
    if (pool.Init(&p) != 0) return 4;
    auto* h = static_cast<MkrxShareMemInfo_t*>(GetShareMemBase());
    uint64_t pos = mkrx::LoadAcquire(&h->bufInf.ullIn);
    Say("start " + std::to_string(pos));
    while (mkrx::LoadRelaxed(&h->uiRunSdkNum) < waitFor && !g_stop) usleep(1000);
    std::vector<uint8_t> buf;
    const uint64_t size = (uint64_t)mib << 20;
    const uint32_t head = (uint32_t)MkrxHeadSize(type);
    for (uint64_t n = first; n < first + count && !g_stop; ++n) {
        uint32_t len = LenOf(n);
        // Wait until every valid consumer has room for the record.
        for (;;) {
            uint64_t slow = UINT64_MAX;
            for (auto& s : h->SdkCoutInf)
                if (mkrx::LoadAcquire(&s.bValidTag)) slow = std::min(slow, mkrx::LoadAcquire(&s.uiCout));
            if (slow == UINT64_MAX || pos + head + len - slow <= size || g_stop) break;
        }
        Fill(buf, n, len);
        pool.Copy2Pool(buf.data(), len, nullptr);
        pos += head + len;
    }
    Say("produced");
    while (!g_stop) pause();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 4;
    CGtLogger logger;
    if (logger.Init(0, argv[1], "pool_peer") != 0) return 4;
    std::string mode = argv[2];
    if (mode == "consume" && argc == 5) return Consume(atoi(argv[3]), strtoull(argv[4], nullptr, 10));
    if (mode == "stall") return Stall();
    if (mode == "hold-sem") return HoldSem();
    if (mode == "produce" && argc == 8)
        return Produce(atoi(argv[3]), (uint32_t)atoi(argv[4]), strtoull(argv[5], nullptr, 10),
                       strtoull(argv[6], nullptr, 10), (uint32_t)atoi(argv[7]));
    return 4;
}
