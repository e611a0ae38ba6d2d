// The DMA engines on the simulated card: opening the stream pair, sending to
// a busy stream, and stopping a copy thread held up by the slot-table lock.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/wait.h>

#include <chrono>

#include "drvDMAEnyx.h"
#include "enyx_sim_env.h"
#include "ipc_key_lock.h"
#include "log_capture.h"
#include "sdk_env.h"

namespace {

using Clock = std::chrono::steady_clock;

_DMaInitParam_t Param(const char* name, bool pool = false, MkrxChanRunMode_e mode = MKRX_ONE_SDK_RINGBUF_MODE) {
    _DMaInitParam_t p;
    p.nBusId = 0;
    p.name = name;
    p.bPoolEnable = pool;
    p.uiPoolSize = 1;
    p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
    p.iCopyCore = 1;
    p.eRunMode = mode;
    return p;
}

class DmaEngine : public ::testing::Test {
protected:
    qtest::EnyxSimEnv m_card{"card\ncore 474\nstream MAC_CHAN0_DATA depth=4096\nstream MAC_CHAN1_DATA\n"};
};

TEST_F(DmaEngine, InitFailuresAreLoggedAndLeaveNothingOpen) {
    qtest::LogCapture log;
    CDrvDMAEnyx a;
    EXPECT_EQ(-1, a.Init(nullptr));
    EXPECT_TRUE(log.Contains("Init DMA param is NULL!"));
    CDrvDMAEnyx b;
    _DMaInitParam_t p = Param("NO_SUCH_CHANNEL");
    EXPECT_EQ(-1, b.Init(&p));
    EXPECT_TRUE(log.Contains("Could not find a2c stream. dmaName:NO_SUCH_CHANNEL, err:"));
    EXPECT_TRUE(log.Contains("Init DMA error!"));
    CDrvDMAEnyx c;
    p = Param("MAC_CHAN0_DATA");
    p.nBusId = 3;
    EXPECT_EQ(-1, c.Init(&p));
    EXPECT_TRUE(log.Contains("Init Accelerator error!"));
    // Without a pool there is nothing to copy into.
    CDrvDMAEnyx d;
    p = Param("MAC_CHAN0_DATA");
    ASSERT_EQ(0, d.Init(&p));
    EXPECT_EQ(nullptr, d.GetPool());
    EXPECT_TRUE(log.Contains("pool is empty. return fail."));
    EXPECT_EQ(-1, d.StartCpyThread());
    EXPECT_EQ(MKRX_ERROR_DATA, d.GetCpyDataType());
}

TEST_F(DmaEngine, SendRetriesWhileBusyAndGivesUpAfterTwoToThreeSeconds) {
    CDrvDMAEnyx dma;
    _DMaInitParam_t p = Param("MAC_CHAN1_DATA");
    ASSERT_EQ(0, dma.Init(&p));
    char msg[] = "order";
    ASSERT_EQ(0, enyx_sim_c2a_busy_next(0, "MAC_CHAN1_DATA", 50));
    EXPECT_EQ(0, dma.Send(msg, 5));
    char got[16] = {};
    EXPECT_EQ(5, enyx_sim_c2a_pop(0, "MAC_CHAN1_DATA", got, sizeof(got)));
    EXPECT_STREQ("order", got);

    qtest::LogCapture log;
    ASSERT_EQ(0, enyx_sim_c2a_set_busy(0, "MAC_CHAN1_DATA", 1));
    auto t0 = Clock::now();
    EXPECT_EQ(-1, dma.Send(msg, 5));
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_GE(s, 2.0);
    EXPECT_LT(s, 4.0);
    EXPECT_TRUE(log.Contains("DMA(MAC_CHAN1_DATA) Send failed. err:"));
}

// The copy thread must expel a consumer while a consumer process holds the
// slot-table lock: it waits for the lock a bounded time, expels without it
// and goes on, so StopCpyThread finds it out of its loop at once.
TEST_F(DmaEngine, CopyThreadHeldUpByTheSlotLockGoesOnAndStops) {
    qtest::IpcKeyLock keys;
    qtest::RemovePoolIpc();
    {
        CDrvDMAEnyx dma;
        _DMaInitParam_t p = Param("MAC_CHAN0_DATA", true, MKRX_MULTI_SDK_PRODUCE_MODE);
        ASSERT_EQ(0, dma.Init(&p));
        CMkrxPoolConsumer c1, c2;  // attached, never reading
        ASSERT_EQ(0, c1.Attach(GetShareMemBase()));
        ASSERT_EQ(0, c2.Attach(GetShareMemBase()));
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        pid_t holder = fork();
        if (holder == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
            int semid;
            if (GetSemByKey(MKRX_SEM_SLOT_KEY, semid) == 0 && write(ready[1], "x", 1) == 1) pause();
            _exit(1);
        }
        char x;
        ASSERT_EQ(1, read(ready[0], &x, 1));
        qtest::LogCapture log;
        ASSERT_EQ(0, dma.StartCpyThread());
        ASSERT_EQ(0, sdktest::Env::Feed("MAC_CHAN0_DATA", 3000, 1000));  // 3 MB into a 1 MiB ring

        auto until = Clock::now() + std::chrono::seconds(20);
        while (!log.Contains("we kick out pid:") && Clock::now() < until) usleep(1000);
        EXPECT_TRUE(log.Contains("Rm slow cout:Get sem key fail, however still next operate.")) << log.Text();
        EXPECT_TRUE(log.Contains("we kick out pid:"));
        dma.StopCpyThread();
        EXPECT_FALSE(log.Contains("still run")) << log.Text();
        EXPECT_TRUE(log.Contains("Now we stop copy thread."));
        // The one consumer left is never expelled: the rest is dropped.
        EXPECT_EQ((1u << 20) / 1004, mkrx::LoadRelaxed(&dma.GetDmaStat()->ulCpyPktNum));
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
    }
    DetachShareMem();
    qtest::RemovePoolIpc();
}

TEST_F(DmaEngine, ReducedEngineAlwaysOpensTheFirstChannel) {
    qtest::LogCapture log;
    CDrvDMAEnyx_TR tr;
    EXPECT_EQ(-1, tr.Init(nullptr));
    EXPECT_TRUE(log.Contains("Init DMA param is nullptr!"));
    _DMaInitParam_t p = Param("MAC_CHAN1_DATA");
    ASSERT_EQ(0, tr.Init(&p));
    EXPECT_TRUE(log.Contains("Init dma channel :MAC_CHAN0_DATA success."));
    uint64_t got = 0;
    tr.RegisterHandler(reinterpret_cast<void*>(+[](const uint8_t*, uint32_t n, void* c) { *(uint64_t*)c += n; }), &got);
    const uint8_t rec[20] = {};
    ASSERT_EQ(0, enyx_sim_a2c_inject(0, "MAC_CHAN0_DATA", rec, sizeof(rec)));
    tr.PollData();
    tr.PollData();
    EXPECT_EQ(20u, got);
    EXPECT_TRUE(log.Contains("RecvOnceCb ret is 0."));
    EXPECT_TRUE(log.Contains("RecvOnceCb ret is -1."));
}

}  // namespace
