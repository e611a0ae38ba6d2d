// The producer program QxDeliverDmaServer on the simulated card, stopped
// while its copy thread has to expel consumers through a slot lock that
// another process has set to 0: the thread goes on, and SIGTERM takes the
// pool away only after the thread has left it.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "child_proc.h"
#include "ipc_key_test.h"
#include "sdk_env.h"

namespace {

class PoolTeardown : public qtest::IpcKeyTest<> {
protected:
    void SetUp() override {
        IpcKeyTest::SetUp();
        m_env.SetPoolMiB(1);
        chmod(m_env.dir().c_str(), 0777);
    }
    void TearDown() override {
        m_peers.clear();
        m_prod.reset();
        IpcKeyTest::TearDown();
    }
    qtest::ChildProc* Peer(const std::string& mode) {
        m_peers.emplace_back(new qtest::ChildProc({POOL_PEER, m_env.dir(), mode}));
        return m_peers.back().get();
    }
    std::string ProducerLog() const { return qtest::RunCmd("cat " + m_env.dir() + "/plog/*.log 2>/dev/null"); }

    sdktest::Env m_env;
    std::unique_ptr<qtest::ChildProc> m_prod;
    std::vector<std::unique_ptr<qtest::ChildProc>> m_peers;
};

TEST_F(PoolTeardown, SigtermWithTheSlotLockZeroedStopsCleanly) {
    m_prod.reset(new qtest::ChildProc(
        {QX_PRODUCER, "-d", m_env.dir(), "-l", m_env.dir() + "/plog", "-t", "1", "-p", "1"}));
    ASSERT_NE("", m_prod->Expect("QxDeliverDmaServer: producing")) << ProducerLog();
    qtest::ChildProc* a = Peer("stall");  // the first slot: expelled first of equals
    ASSERT_EQ("attached", a->Expect("attached"));
    qtest::ChildProc* b = Peer("stall");
    ASSERT_EQ("attached", b->Expect("attached"));
    ASSERT_EQ(0, qtest::ChildProc({POOL_ATTACKER, "semzero", std::to_string(MKRX_SEM_SLOT_KEY)}).Wait());

    // 3 MB into the 1 MiB ring: the copy thread must expel one of the two.
    ASSERT_EQ(0, sdktest::Env::Feed(sdktest::kCh0, 3000, 1000));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (ProducerLog().find("we kick out pid:") == std::string::npos && std::chrono::steady_clock::now() < until)
        usleep(10000);
    std::string log = ProducerLog();
    EXPECT_NE(std::string::npos, log.find("Rm slow cout:Get sem key fail, however still next operate.")) << log;
    EXPECT_NE(std::string::npos, log.find("we kick out pid:" + std::to_string(a->pid()) + " for it's too slow!"))
        << log;
    EXPECT_EQ("kicked", a->Expect("kicked"));

    // The thread has left its loop before the pool goes: a clean exit.
    EXPECT_EQ(0, m_prod->Kill(SIGTERM)) << ProducerLog();
    log = ProducerLog();
    EXPECT_EQ(std::string::npos, log.find("still run")) << log;
    EXPECT_NE(std::string::npos, log.find("Share memory is freed success")) << log;
    EXPECT_LT(shmget(MKRX_SHM_KEY, 0, 0), 0);
    EXPECT_LT(semget(MKRX_SEM_SLOT_KEY, 0, 0), 0);
}

}  // namespace
