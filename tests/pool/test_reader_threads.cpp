// The SDK's record reader against a copy thread at full speed, private ring
// and shared ring, through its poll loop and pause back-off: every record
// arrives intact and in order. Under ThreadSanitizer (label tsan) this checks
// the reader's acquire of the write position and release of its own.

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

class ReaderThreads : public PoolKeys<::testing::TestWithParam<MkrxChanRunMode_e>> {};

TEST_P(ReaderThreads, CopyThreadAgainstPollLoop) {
    CDrvRingBufPool pool;
    _DMaInitParam_t p;
    p.uiPoolSize = 1;
    p.eDataType = MKRX_RAW_FPGA_WITH_HDR_DATA;
    p.eRunMode = GetParam();
    ASSERT_EQ(0, pool.Init(&p));
    CMkrxPoolConsumer consumer;
    if (GetParam() == MKRX_MULTI_SDK_PRODUCE_MODE) {
        ASSERT_EQ(0, consumer.Attach(GetShareMemBase()));
    }

    std::thread copier([&] { CopyEvery(pool, kRecords); });
    std::atomic<bool> stop{false};
    InOrderChecker chk;
    auto check = [&](const uint8_t* h, const uint8_t* payload, uint32_t len) {
        chk(h, payload, len);
        if (chk.next == kRecords || !chk.bad.empty()) stop.store(true, std::memory_order_relaxed);
    };
    mkrx::PauseWait wait;
    int rc;
    if (GetParam() == MKRX_MULTI_SDK_PRODUCE_MODE) {
        ConsumerSource src{&consumer};
        mkrx::PoolReader<mkrx::PktInfoFraming, ConsumerSource> reader(&src);
        rc = mkrx::PollLoop(reader, wait, stop, check);
    } else {
        PoolTail tail{&pool};
        mkrx::RingReader<mkrx::PktInfoFraming, PoolTail> reader(pool.GetPoolBuf(0), &tail);
        rc = mkrx::PollLoop(reader, wait, stop, check);
    }
    copier.join();
    EXPECT_EQ(0, rc);
    EXPECT_EQ("", chk.bad);
    EXPECT_EQ(kRecords, chk.next);
    if (GetParam() == MKRX_MULTI_SDK_PRODUCE_MODE) consumer.Detach();
}

INSTANTIATE_TEST_SUITE_P(RingForms, ReaderThreads,
                         ::testing::Values(MKRX_ONE_SDK_RINGBUF_MODE, MKRX_MULTI_SDK_PRODUCE_MODE));

}  // namespace
