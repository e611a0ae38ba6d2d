// A careless client or a busy host around run mode 2: processes that merely
// mention the producer's name, a producer of another PID namespace, and a
// consumer that calls Init twice. The producer program runs on the simulated
// card; this test process is the consumer.

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/shm.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "child_proc.h"
#include "fake_cmds.h"
#include "ipc_key_lock.h"
#include "mkrx_service.h"
#include "sdk_env.h"

using namespace sdktest;

namespace {

// Whether the command line (arguments joined by blanks) of process pid, or
// of any process for pid 0, starts with prefix, waiting up to 20 s for it.
bool WaitForProcess(const std::string& prefix, pid_t pid) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        DIR* d = opendir("/proc");
        if (d == nullptr) return false;
        bool found = false;
        while (struct dirent* de = readdir(d)) {
            if (pid != 0 && std::to_string(pid) != de->d_name) continue;
            std::string cmd = qtest::ReadFile(std::string("/proc/") + de->d_name + "/cmdline");
            for (char& c : cmd)
                if (c == '\0') c = ' ';
            if (cmd.compare(0, prefix.size(), prefix) == 0) found = true;
        }
        closedir(d);
        if (found) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class SdkMisuseShared : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    void SetUp() override {
        qtest::RemovePoolIpc();
        m_env.SetPoolMiB(1);
        // A program of the producer's name that does nothing: a copy of sleep.
        m_fakeProducer = m_env.dir() + "/fake/QxDeliverDmaServer";
        qtest::RunCmd("mkdir -p " + m_env.dir() + "/fake && cp /bin/sleep " + m_fakeProducer);
    }
    void TearDown() override {
        if (m_svc) FreeIMkrxService(m_svc);
        m_others.clear();
        m_prod.reset();
        qtest::RemovePoolIpc();
    }
    void StartProducer() {
        m_prod.reset(new qtest::ChildProc({QX_PRODUCER, "-d", m_env.dir(), "-l", m_env.dir() + "/plog", "-t", "1", "-p",
                                           "1"}));
        ASSERT_NE("", m_prod->Expect("QxDeliverDmaServer: producing"));
    }
    // Starts a process and waits until it (or, with anyPid, some process:
    // one it starts) shows the command line `shows`.
    qtest::ChildProc* Other(const std::vector<std::string>& args, const std::string& shows, bool anyPid = false) {
        m_others.emplace_back(new qtest::ChildProc(args));
        EXPECT_TRUE(WaitForProcess(shows, anyPid ? 0 : m_others.back()->pid())) << shows;
        return m_others.back().get();
    }
    IMkrxService* Consume() {
        MkrxInitParam_t p = m_env.Param(MKRX_MULTI_SDK_CONSUME_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR);
        testing::internal::CaptureStdout();
        IMkrxService* s = NewIMkrxService(&p);
        testing::internal::GetCapturedStdout();
        return s;
    }

    Env m_env;
    std::string m_fakeProducer;
    IMkrxService* m_svc = nullptr;
    std::unique_ptr<qtest::ChildProc> m_prod;
    std::vector<std::unique_ptr<qtest::ChildProc>> m_others;
};

// Beside the one producer: an operator reading its manual page, one
// following its log, a process whose argv[0] is a sentence naming it, and a
// producer in a PID namespace of its own. None of them is the producer of
// this namespace: the consumer attaches. A second process of the producer's
// own name in this namespace is one producer too many.
TEST_F(SdkMisuseShared, OnlyProcessesNamedAsTheProducerCount) {
    StartProducer();
    Other({"/bin/bash", "-c", "exec -a 'man QxDeliverDmaServer' sleep 60"}, "man QxDeliverDmaServer");
    Other({"/bin/bash", "-c", "exec -a 'tail -f /var/log/QxDeliverDmaServer' sleep 60"},
          "tail -f /var/log/QxDeliverDmaServer");
    qtest::WriteFile(m_env.dir() + "/QxDeliverDmaServer.log", "");
    Other({"/usr/bin/tail", "-f", m_env.dir() + "/QxDeliverDmaServer.log"}, "/usr/bin/tail -f");
    Other({"/bin/bash", "-c", "exec -a QxDeliverDmaServer sleep 60"}, "QxDeliverDmaServer 60");
    int unshared = 0;
    qtest::RunCmd("unshare --pid --fork true", &unshared);
    if (unshared == 0)
        Other({"/usr/bin/unshare", "--pid", "--fork", "--kill-child", m_fakeProducer, "60"}, m_fakeProducer + " 60",
              true);
    else
        ADD_FAILURE() << "unshare --pid does not work here; the other-namespace producer is not tried";

    EXPECT_TRUE(IsMultiProdRunning());
    m_svc = Consume();
    ASSERT_NE(nullptr, m_svc) << m_env.Log();
    EXPECT_EQ(1u, GetSdkNum());
    FreeIMkrxService(m_svc);
    m_svc = nullptr;

    // The producer itself counts itself: true means a second one runs.
    EXPECT_EQ(0, qtest::RunInChild([] {
        program_invocation_short_name = const_cast<char*>("QxDeliverDmaServer");
        EXPECT_FALSE(IsMultiProdRunning());
    }));

    Other({m_fakeProducer, "60"}, m_fakeProducer + " 60");
    EXPECT_FALSE(IsMultiProdRunning());
    EXPECT_EQ(nullptr, Consume());
    EXPECT_NE(std::string::npos, m_env.Log().find("Error! you should start produce program first!"));
    EXPECT_EQ(0, qtest::RunInChild([] {
        program_invocation_short_name = const_cast<char*>("QxDeliverDmaServer");
        EXPECT_TRUE(IsMultiProdRunning());
    }));
}

// A second Init on a live consumer is refused and changes nothing: one slot
// is taken, and after the free none is left behind.
TEST_F(SdkMisuseShared, SecondInitIsRefusedAndFreeLeavesNoSlot) {
    StartProducer();
    m_svc = Consume();
    ASSERT_NE(nullptr, m_svc) << m_env.Log();
    MkrxInitParam_t p = m_env.Param(MKRX_MULTI_SDK_CONSUME_MODE, MKRX_RAW_FPGA_WITH_LEN_HDR);
    EXPECT_EQ(-1, m_svc->Init(&p));
    EXPECT_NE(std::string::npos, m_env.Log().find("Init mkrx service failed, already inited!"));
    EXPECT_EQ(1u, GetSdkNum());
    MkrxCurPoolUsge_t u;
    EXPECT_EQ(0, m_svc->GetPoolCurrUsage(&u)) << "the first Init's slot is still the service's";
    FreeIMkrxService(m_svc);
    m_svc = nullptr;

    int id = shmget(MKRX_SHM_KEY, 0, 0);
    ASSERT_GE(id, 0);
    auto* h = static_cast<const MkrxShareMemInfo_t*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE((const void*)-1, h);
    EXPECT_EQ(0u, mkrx::LoadRelaxed(&h->uiRunSdkNum));
    for (uint32_t i = 0; i < MKRX_MAX_SDK_NUM; ++i) EXPECT_EQ(0, h->SdkCoutInf[i].bValidTag) << "slot " << i;
    shmdt(h);
    // One logger came and went: a new consumer starts from a clean process.
    m_svc = Consume();
    EXPECT_NE(nullptr, m_svc) << m_env.Log();
}

}  // namespace
