// Run mode 2 across real processes: the producer program QxDeliverDmaServer
// on the simulated card and consumer processes (sdk_peer) that use only the
// library's public interface.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "child_proc.h"
#include "ipc_key_lock.h"
#include "mkrx_service.h"
#include "sdk_env.h"

using namespace sdktest;

namespace {

class SdkShared : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    void SetUp() override {
        qtest::RemovePoolIpc();
        m_env.SetPoolMiB(1);
    }
    void TearDown() override {
        m_consumers.clear();
        m_prod.reset();
        qtest::RemovePoolIpc();
    }
    // Starts the producer with framing type and waits until it produces.
    qtest::ChildProc* StartProducer(int type) {
        m_prod.reset(new qtest::ChildProc({QX_PRODUCER, "-d", m_env.dir(), "-l", m_env.dir() + "/plog", "-t",
                                           std::to_string(type), "-p", "1"}));
        EXPECT_NE("", m_prod->Expect("QxDeliverDmaServer: producing")) << ProducerLog();
        return m_prod.get();
    }
    qtest::ChildProc* Consumer(int type, const std::string& count) {
        m_consumers.emplace_back(new qtest::ChildProc({SDK_PEER, m_env.dir(), m_env.dir() + "/clog", std::to_string(type), count}));
        return m_consumers.back().get();
    }
    qtest::ChildProc* Attached(int type, const std::string& count) {
        qtest::ChildProc* c = Consumer(type, count);
        EXPECT_EQ(0u, c->Expect("init ").find("init ok")) << c->Seen() << ConsumerLog();
        return c;
    }
    std::string ProducerLog() const { return qtest::ReadLogs(m_env.dir() + "/plog"); }
    std::string ConsumerLog() const { return qtest::ReadLogs(m_env.dir() + "/clog"); }

    // Records of the feed generator's layout, numbers first..first+count-1
    // (types 1, 2, 3 in turn), put straight into the card's FIFO.
    static void Inject(uint64_t first, uint64_t count, uint16_t size) {
        std::vector<uint8_t> r(size);
        for (uint64_t n = first; n < first + count; ++n) {
            uint16_t type = (uint16_t)(n % 3 + 1);
            uint32_t seq = (uint32_t)(n / 3 + 1);
            uint64_t ts = (uint64_t)MkrxGetTimeTamp();
            memcpy(&r[0], &type, 2);
            memcpy(&r[2], &size, 2);
            memcpy(&r[4], &seq, 4);
            memcpy(&r[8], &ts, 8);
            for (uint16_t k = 16; k < size; ++k) r[k] = (uint8_t)(n + k - 16);
            ASSERT_EQ(0, enyx_sim_a2c_inject(0, kCh0, r.data(), size));
        }
    }
    // Inject(0, count, size) in batches of a fifth of the 1 MiB ring, each once
    // the consumer of pid has read all before it (records of the length
    // framing, from position 0): however the machine schedules that consumer,
    // it is never the one furthest behind when the ring fills.
    static void InjectPacedOn(pid_t pid, uint64_t count, uint16_t size) {
        auto* h = static_cast<const MkrxShareMemInfo_t*>(shmat(shmget(MKRX_SHM_KEY, 0, 0), nullptr, SHM_RDONLY));
        ASSERT_NE((const void*)-1, h);
        const uint64_t batch = (1u << 20) / 5 / (4 + size);
        for (uint64_t n = 0; n < count; n += batch) {
            if (n > 0) {
                auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
                bool read = false;
                while (!read && std::chrono::steady_clock::now() < until) {
                    for (auto& s : h->SdkCoutInf)
                        read |= __atomic_load_n(&s.bValidTag, __ATOMIC_ACQUIRE) && s.sdkPid == pid &&
                                __atomic_load_n(&s.uiCout, __ATOMIC_ACQUIRE) >= n * (4 + size);
                    usleep(1000);
                }
                EXPECT_TRUE(read) << "consumer " << pid << " stopped before record " << n;
            }
            Inject(n, std::min(batch, count - n), size);
        }
        shmdt(h);
    }
    // The segment's event messages, read through a mapping of the test's own.
    static std::vector<std::string> Events() {
        std::vector<std::string> out;
        int id = shmget(MKRX_SHM_KEY, 0, 0);
        if (id < 0) return out;
        auto* h = static_cast<const MkrxShareMemInfo_t*>(shmat(id, nullptr, SHM_RDONLY));
        if (h == (const void*)-1) return out;
        for (uint64_t i = 0; i < h->stSdkEveInf.ullWrIdx && i < MKRX_MAX_EVENT_NUM; ++i)
            out.push_back(h->stSdkEveInf.stEventMsg[i]);
        shmdt(h);
        return out;
    }
    static bool AnyEvent(const std::string& what) {
        for (auto& e : Events())
            if (e.find(what) != std::string::npos) return true;
        return false;
    }

    Env m_env;
    std::unique_ptr<qtest::ChildProc> m_prod;
    std::vector<std::unique_ptr<qtest::ChildProc>> m_consumers;
};

TEST_F(SdkShared, ConsumerBeforeProducerIsRefused) {
    qtest::ChildProc* c = Consumer(1, "1");
    EXPECT_EQ("init fail sdknum 0", c->Expect("init "));
    EXPECT_EQ(4, c->Wait());
    EXPECT_NE(std::string::npos, ConsumerLog().find("Error! you should start produce program first!"));
    EXPECT_LT(shmget(MKRX_SHM_KEY, 0, 0), 0);
}

TEST_F(SdkShared, EveryConsumerThatKeepsUpGetsEveryRecordAndLogsInAndOut) {
    m_env.SetPoolMiB(16);  // the whole feed fits: no consumer can fall a lap behind
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    std::vector<std::string> inits;
    for (int i = 0; i < 3; ++i) inits.push_back(Attached(1, "30000")->Seen());
    EXPECT_NE(std::string::npos, inits[2].find("init ok sdknum 3")) << inits[2];
    Inject(0, 30000, 200);
    for (auto& c : m_consumers) {
        EXPECT_EQ("ok 30000 gaps 0", c->Expect("ok")) << c->Seen();
        EXPECT_EQ(0, c->Wait());
    }
    auto ev = Events();
    ASSERT_EQ(6u, ev.size());
    for (int i = 0; i < 3; ++i) {
        std::string pid = "pid " + std::to_string(m_consumers[i]->pid());
        EXPECT_EQ(0u, ev[i].find(pid + " was access in!Calling core ")) << ev[i];
        EXPECT_NE(std::string::npos, ev[i].find("occ time:")) << ev[i];
        EXPECT_TRUE(AnyEvent(pid + " normally log out!Calling core "));
    }
    // SIGTERM: the producer stops and takes every IPC object with it.
    EXPECT_EQ(0, m_prod->Kill(SIGTERM));
    EXPECT_LT(shmget(MKRX_SHM_KEY, 0, 0), 0);
    EXPECT_LT(semget(MKRX_SEM_SLOT_KEY, 0, 0), 0);
    EXPECT_LT(semget(MKRX_SEM_EVENT_KEY, 0, 0), 0);
}

TEST_F(SdkShared, DataTypeMustMatchTheSegmentUnlessItHoldsFour) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    qtest::ChildProc* wrong = Consumer(2, "1");
    EXPECT_EQ("init fail sdknum 0", wrong->Expect("init "));
    EXPECT_NE(std::string::npos,
              ConsumerLog().find("Error !Data type isn't the same with Server! current:2, server:1."));
    // A segment marked 4 takes the first consumer's type.
    int id = shmget(MKRX_SHM_KEY, 0, 0);
    auto* h = static_cast<MkrxShareMemInfo_t*>(shmat(id, nullptr, 0));
    ASSERT_NE((void*)-1, h);
    h->eDataType = MKRX_ERROR_DATA;
    Attached(2, "1");
    EXPECT_EQ(MKRX_RAW_FPGA_WITH_HDR_DATA, h->eDataType);
    shmdt(h);
}

TEST_F(SdkShared, SlowConsumerIsExpelledLogsOnceAndRecordsIt) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    qtest::ChildProc* fast = Attached(1, "12000");
    qtest::ChildProc* slow = Attached(1, "stall");
    InjectPacedOn(fast->pid(), 12000, 200);  // 2.4 MB through a 1 MiB ring
    EXPECT_EQ("kicked", slow->Expect("kicked")) << slow->Seen();
    EXPECT_EQ(3, slow->Wait());
    EXPECT_EQ(0u, fast->Expect("ok").find("ok 12000")) << fast->Seen();
    std::string log = ConsumerLog();
    size_t first = log.find("Attention !! You fetch too slow we kick you out!!");
    EXPECT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, log.find("Attention !! You fetch too slow", first + 1));
    EXPECT_TRUE(AnyEvent("pid " + std::to_string(slow->pid()) + " was kicked out!"));
    EXPECT_NE(std::string::npos, ProducerLog().find("we kick out pid:" + std::to_string(slow->pid())));
}

TEST_F(SdkShared, RestartedProducerContinuesUnderLiveConsumers) {
    m_env.SetPoolMiB(16);
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    std::vector<qtest::ChildProc*> cs = {Attached(1, "6000"), Attached(1, "6000")};
    Inject(0, 3000, 300);
    // Wait until the copy thread has taken all of them off the card, then let
    // the producer die without tearing anything down.
    enyx_sim_a2c_stats st;
    for (int i = 0; i < 500 && enyx_sim_a2c_stats_get(0, kCh0, &st) == 0 && st.delivered < 3000; ++i) usleep(10000);
    EXPECT_EQ(3000u, st.delivered);
    EXPECT_EQ(1009, m_prod->Kill(SIGKILL));
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    EXPECT_NE(std::string::npos, ProducerLog().find("Use old share memory! serverpid:" + std::to_string(m_prod->pid())))
        << ProducerLog();
    Inject(3000, 3000, 300);
    for (auto* c : cs) EXPECT_EQ("ok 6000 gaps 0", c->Expect("ok")) << c->Seen();
}

}  // namespace
