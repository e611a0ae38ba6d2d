// The DMA engines on the simulated card: opening the stream pair, sending to
// a busy stream, and stopping a copy thread that is stuck in its callback.

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

// The copy thread blocks in the pool when it must expel a consumer while a
// consumer process holds the slot-table lock: StopCpyThread gives up after 2
// seconds and says so; once the lock is free the thread ends.
TEST_F(DmaEngine, StopCpyThreadWhenTheThreadIsStuckInItsCallback) {
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
        ASSERT_EQ(0, dma.StartCpyThread());
        ASSERT_EQ(0, sdktest::Env::Feed("MAC_CHAN0_DATA", 3000, 1000));  // 3 MB into a 1 MiB ring

        // Wait until the copy thread is blocked on the lock, not merely near it.
        int semid = semget(MKRX_SEM_SLOT_KEY, 0, 0);
        auto until = Clock::now() + std::chrono::seconds(20);
        while (semctl(semid, 0, GETNCNT) < 1 && Clock::now() < until) usleep(1000);
        EXPECT_EQ((1u << 20) / 1004, mkrx::LoadRelaxed(&dma.GetDmaStat()->ulCpyPktNum));
        qtest::LogCapture log;
        auto t0 = Clock::now();
        dma.StopCpyThread();
        EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);
        EXPECT_TRUE(log.Contains("Dma callback thread is still run, maybe the cpu fall in the callback."));
        EXPECT_TRUE(log.Contains("Now we stop copy thread."));

        qtest::LogCapture after;
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        dma.StopCpyThread();  // the thread leaves now that the lock is free
        EXPECT_FALSE(after.Contains("still run")) << after.Text();
        EXPECT_TRUE(after.Contains("we kick out pid:"));
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
