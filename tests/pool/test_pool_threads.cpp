// A copy thread against a reader thread, private ring and shared ring: every
// record arrives intact and in order while both run at full speed. Run under
// ThreadSanitizer (label tsan) it checks the publication order too.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "drvRingBufPool.h"
#include "log_capture.h"
#include "pool_fixture.h"
#include "pool_test_util.h"

using namespace pooltest;

namespace {

constexpr uint64_t kRecords = 30000;

class PoolThreads : public PoolKeys<> {
protected:
    _DMaInitParam_t Param(MkrxChanRunMode_e mode) {
        _DMaInitParam_t p;
        p.uiPoolSize = 1;
        p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
        p.eRunMode = mode;
        return p;
    }
};

TEST_F(PoolThreads, PrivateRingCopyThreadAgainstReader) {
    CDrvRingBufPool pool;
    _DMaInitParam_t p = Param(MKRX_ONE_SDK_RINGBUF_MODE);
    ASSERT_EQ(0, pool.Init(&p));
    ringbuffer* rb = pool.GetPoolBuf(0);
    std::thread copier([&] { CopyEvery(pool, kRecords); });
    InOrderChecker chk;
    auto lenOf = [](uint64_t) { return 0u; };
    uint32_t out = 0;
    while (chk.next < kRecords && chk.bad.empty()) {
        uint32_t in = mkrx::LoadAcquire(&rb->p.in);
        if (in == out) continue;
        uint32_t off = out & (rb->c.size - 1);
        uint32_t toEnd = rb->c.size - off;
        uint32_t pending = in - out;
        uint32_t avail = pending < toEnd ? pending : toEnd + pool.GetTailUseLen(0);
        uint64_t n = 0;
        uint32_t used = Walk(MKRX_RAW_FPGA_WITH_LEN_HDR, rb->c.buffer + off, avail, n, lenOf, std::ref(chk));
        if (used != avail) chk.bad = "partial record at " + std::to_string(chk.next);
        out += pending < toEnd ? used : toEnd;
        mkrx::StoreRelease(&rb->c.out, out);
    }
    copier.join();
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(kRecords, chk.next);
}

TEST_F(PoolThreads, SharedRingCopyThreadAgainstConsumer) {
    CDrvRingBufPool pool;
    _DMaInitParam_t p = Param(MKRX_MULTI_SDK_PRODUCE_MODE);
    ASSERT_EQ(0, pool.Init(&p));
    CMkrxPoolConsumer consumer;
    ASSERT_EQ(0, consumer.Attach(GetShareMemBase()));
    std::thread copier([&] { CopyEvery(pool, kRecords); });
    InOrderChecker chk;
    auto lenOf = [](uint64_t) { return 0u; };
    while (chk.next < kRecords && chk.bad.empty()) {
        MkrxCurPoolUsge_t u;
        if (consumer.Read(&u) != 0) {
            chk.bad = "kicked out";
            break;
        }
        uint64_t n = 0;
        consumer.Consume(Walk(MKRX_RAW_FPGA_WITH_LEN_HDR, u.pucbuf, u.uiAvailDataLen, n, lenOf, std::ref(chk)));
    }
    copier.join();
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(kRecords, chk.next);
    consumer.Detach();
}

}  // namespace
