// The shared segment across real processes: the layout as another program
// sees it, consumers that keep up, fall behind, die or crowd in, and a
// producer that restarts under them. This process is the producer unless a
// test says otherwise; the consumers are pool_peer processes.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "child_proc.h"
#include "drvRingBufPool.h"
#include "log_capture.h"
#include "pool_fixture.h"
#include "pool_test_util.h"
#include "test_util.h"

using namespace pooltest;

namespace {

constexpr uint32_t kRing = 1u << 20;

// One pool_peer process: pool_peer LOGDIR args...
class Peer : public qtest::ChildProc {
public:
    Peer(const std::string& logDir, std::vector<std::string> args, uid_t uid = 0)
        : ChildProc(With(logDir, std::move(args)), uid) {}

private:
    static std::vector<std::string> With(const std::string& logDir, std::vector<std::string> args) {
        args.insert(args.begin(), {POOL_PEER, logDir});
        return args;
    }
};

// Raw view of the segment through a mapping of its own, by byte offset.
class RawSegment {
public:
    RawSegment() {
        int id = shmget(MKRX_SHM_KEY, 0, 0);
        m_p = id >= 0 ? static_cast<const uint8_t*>(shmat(id, nullptr, SHM_RDONLY)) : nullptr;
        if (m_p == (const uint8_t*)-1) m_p = nullptr;
    }
    ~RawSegment() {
        if (m_p) shmdt(m_p);
    }
    bool ok() const { return m_p != nullptr; }
    template <class T>
    T At(size_t off) const {
        T v;
        memcpy(&v, m_p + off, sizeof(T));
        return v;
    }
    uint64_t In() const { return At<uint64_t>(16); }
    uint8_t Valid(int slot) const { return At<uint8_t>(128 + 64 * slot); }
    uint64_t Cout(int slot) const { return At<uint64_t>(136 + 64 * slot); }
    int32_t Pid(int slot) const { return At<int32_t>(144 + 64 * slot); }
    uint32_t RunSdk() const { return At<uint32_t>(640); }

private:
    const uint8_t* m_p = nullptr;
};

int SemValue(int key) {
    int id = semget(key, 0, 0);
    return id < 0 ? -1 : semctl(id, 0, GETVAL);
}

class PoolProcs : public PoolFixture {
protected:
    PoolProcs() : PoolFixture("poolpeer") {}
    std::unique_ptr<Peer> Start(std::vector<std::string> args, uid_t uid = 0) {
        return std::unique_ptr<Peer>(new Peer(m_logs.path(), std::move(args), uid));
    }
    std::unique_ptr<Peer> Attached(std::vector<std::string> args) {
        auto p = Start(std::move(args));
        EXPECT_EQ("attached", p->Expect("attached")) << p->Seen();
        return p;
    }
    // Writes records [first, first + count), waiting while one of the
    // consumers in pids has no room for the next.
    void Produce(uint64_t first, uint64_t count, const std::set<int32_t>& pids) {
        std::vector<uint8_t> buf;
        const uint32_t head = (uint32_t)MkrxHeadSize(m_type);
        for (uint64_t n = first; n < first + count; ++n) {
            uint32_t len = LenOf(n);
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (;;) {
                uint64_t in = mkrx::LoadAcquire(&m_head->bufInf.ullIn);
                bool room = true;
                for (auto& s : m_head->SdkCoutInf)
                    if (mkrx::LoadAcquire(&s.bValidTag) && pids.count(s.sdkPid) &&
                        in + head + len - mkrx::LoadAcquire(&s.uiCout) > kRing)
                        room = false;
                if (room) break;
                ASSERT_LT(std::chrono::steady_clock::now(), until) << "consumers stopped reading";
            }
            Fill(buf, n, len);
            m_pool->Copy2Pool(buf.data(), len, nullptr);
        }
    }

    // Everything the peers logged.
    std::string Logs() { return qtest::ReadLogs(m_logs.path()); }

};

TEST_F(PoolProcs, SegmentAsAnotherProgramSeesIt) {
    StartProducer(MKRX_RAW_FPGA_WITH_HDR_DATA);
    RawSegment raw;
    ASSERT_TRUE(raw.ok());
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(shmget(MKRX_SHM_KEY, 0, 0), IPC_STAT, &ds));
    EXPECT_EQ(kRing + 17088u, ds.shm_segsz);
    EXPECT_EQ(0777u, ds.shm_perm.mode & 0777);
    // Brand new: empty ring, free slots, empty log, the producer's identity.
    EXPECT_EQ(kRing, raw.At<uint32_t>(8));
    EXPECT_EQ(0u, raw.In() + raw.At<uint32_t>(24) + raw.RunSdk() + raw.At<uint64_t>(648));
    for (int s = 0; s < 8; ++s) EXPECT_EQ(0, raw.Valid(s) + raw.Cout(s) + raw.Pid(s));
    EXPECT_EQ(getuid(), raw.At<uint32_t>(8848));
    EXPECT_EQ(getpid(), raw.At<int32_t>(8852));
    EXPECT_EQ("root", std::string(raw.At<std::array<char, 32>>(8856).data()));
    EXPECT_EQ(2, raw.At<int32_t>(8888));
    EXPECT_EQ(0, raw.At<int32_t>(8892));
    EXPECT_EQ(1, SemValue(MKRX_SEM_SLOT_KEY));
    EXPECT_EQ(1, SemValue(MKRX_SEM_EVENT_KEY));

    auto c = Attached({"consume", "2", "100"});
    EXPECT_EQ(1, raw.Valid(0));
    EXPECT_EQ(c->pid(), raw.Pid(0));
    EXPECT_EQ(1u, raw.RunSdk());
    EXPECT_GT(raw.At<int64_t>(152), 0);
    Produce(0, 100, {c->pid()});
    EXPECT_EQ("ok 100", c->Expect("ok")) << c->Seen();
    EXPECT_EQ(0, c->Wait());
    uint64_t bytes = 0;
    for (uint64_t n = 0; n < 100; ++n) bytes += LenOf(n);
    EXPECT_EQ(bytes + 24 * 100, raw.In());
    EXPECT_EQ(100u, raw.At<uint64_t>(64));
    EXPECT_EQ(bytes, raw.At<uint64_t>(72));
    EXPECT_EQ(raw.In(), raw.Cout(0));
    EXPECT_EQ(0, raw.Valid(0));
    EXPECT_EQ(0u, raw.RunSdk());
}

TEST_F(PoolProcs, EveryConsumerThatKeepsUpGetsEveryRecord) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    std::vector<std::unique_ptr<Peer>> cs;
    std::set<int32_t> pids;
    for (int i = 0; i < 3; ++i) {
        cs.push_back(Attached({"consume", "1", "20000"}));
        pids.insert(cs.back()->pid());
    }
    Produce(0, 20000, pids);  // every size up to 8192 bytes, about 30 laps
    for (auto& c : cs) {
        EXPECT_EQ("ok 20000", c->Expect("ok")) << c->Seen();
        EXPECT_EQ(0, c->Wait());
    }
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);
}

TEST_F(PoolProcs, SlowestOfThreeIsExpelledWhenItBlocksTheWrite) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    auto a = Attached({"consume", "1", "3000"});
    auto b = Attached({"consume", "1", "3000"});
    auto slow = Attached({"stall"});
    qtest::LogCapture log;
    Produce(0, 3000, {a->pid(), b->pid()});
    EXPECT_EQ("kicked", slow->Expect("kicked"));
    EXPECT_EQ(3, slow->Wait());
    EXPECT_TRUE(log.Contains("we kick out pid:" + std::to_string(slow->pid()) + " for it's too slow!"));
    for (auto* c : {a.get(), b.get()}) EXPECT_EQ("ok 3000", c->Expect("ok")) << c->Seen();
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);
}

TEST_F(PoolProcs, SingleSlowConsumerKeepsItsSlotWhileRecordsAreDropped) {
    StartProducer(MKRX_RAW_FPGA_DATA);
    auto slow = Attached({"stall"});
    std::vector<uint8_t> rec(1000, 1);
    const uint32_t fit = kRing / 1000;
    for (uint32_t i = 0; i < 2 * fit; ++i) m_pool->Copy2Pool(rec.data(), 1000, nullptr);
    const DmaInfoStat_t* st = m_pool->GetPktStat(0);
    EXPECT_EQ(fit, st->ulCpyPktNum);
    EXPECT_EQ(fit, st->ulSoftDisPktNum);
    EXPECT_EQ(st->ulSoftDisPktNum * 1000, st->ulSoftDisByte);
    RawSegment raw;
    EXPECT_EQ(1, raw.Valid(0));
    EXPECT_EQ(1u, raw.RunSdk());
    EXPECT_EQ("", slow->Expect("kicked", 200));
}

// Eight valid slots, one of them left by a process that died: a newcomer
// takes the slot with the oldest sign of life, and its living owner, seeing
// the slot valid again under another pid, knows it is out.
TEST_F(PoolProcs, NinthConsumerTakesTheOldestSlot) {
    StartProducer(MKRX_RAW_FPGA_DATA);
    std::vector<std::unique_ptr<Peer>> cs;
    for (int i = 0; i < 8; ++i) {
        cs.push_back(Attached({"stall"}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(1009, cs[7]->Kill(SIGKILL));
    EXPECT_EQ(8u, m_head->uiRunSdkNum);
    // The kernel's attach count counts this process once (it must not map
    // the segment a second time before the newcomer is in).
    auto ninth = Attached({"stall"});
    RawSegment raw;
    EXPECT_EQ(ninth->pid(), raw.Pid(0));
    EXPECT_EQ(1, raw.Valid(0));
    EXPECT_EQ(8u, raw.RunSdk());
    EXPECT_EQ("kicked", cs[0]->Expect("kicked")) << cs[0]->Seen();
    EXPECT_EQ(3, cs[0]->Wait());
    for (int i = 1; i < 7; ++i) EXPECT_EQ(cs[i]->pid(), raw.Pid(i));
}

TEST_F(PoolProcs, ConsumerKilledHoldingTheSlotLockDoesNotBlockOthers) {
    StartProducer(MKRX_RAW_FPGA_DATA);
    auto holder = Start({"hold-sem"});
    ASSERT_EQ("held", holder->Expect("held"));
    EXPECT_EQ(0, SemValue(MKRX_SEM_SLOT_KEY));
    EXPECT_EQ(1009, holder->Kill(SIGKILL));
    EXPECT_EQ(1, SemValue(MKRX_SEM_SLOT_KEY));
    auto c = Attached({"stall"});
    EXPECT_EQ(1u, RawSegment().RunSdk());
}

TEST_F(PoolProcs, RestartedProducerContinuesUnderAttachedConsumers) {
    auto p1 = Start({"produce", "1", "1", "0", "4000", "2"});
    ASSERT_EQ("start 0", p1->Expect("start")) << p1->Seen();
    std::vector<std::unique_ptr<Peer>> cs;
    for (int i = 0; i < 2; ++i) cs.push_back(Attached({"consume", "1", "9000"}));
    ASSERT_EQ("produced", p1->Expect("produced"));
    EXPECT_EQ(1009, p1->Kill(SIGKILL));  // a crash: no tear-down
    RawSegment raw;
    uint64_t in = raw.In();
    EXPECT_GT(in, 0u);
    EXPECT_EQ(2u, raw.RunSdk());

    auto p2 = Start({"produce", "1", "1", "4000", "5000", "2"});
    EXPECT_EQ("start " + std::to_string(in), p2->Expect("start")) << p2->Seen();
    for (auto& c : cs) EXPECT_EQ("ok 9000", c->Expect("ok")) << c->Seen();
    EXPECT_NE(std::string::npos, Logs().find("Use old share memory! serverpid:" + std::to_string(p2->pid())));
    // The copy counters go on from the crashed producer's, not from zero.
    EXPECT_EQ(9000u, raw.At<uint64_t>(64));
    // A producer that is told to stop takes the segment and semaphores away.
    EXPECT_EQ(0, p2->Kill(SIGTERM));
    EXPECT_LT(shmget(MKRX_SHM_KEY, 0, 0), 0);
    EXPECT_EQ(-1, SemValue(MKRX_SEM_SLOT_KEY));
    EXPECT_EQ(-1, SemValue(MKRX_SEM_EVENT_KEY));
}

// A producer that stops in order removes the pool: a consumer waiting for
// records learns that no more will come instead of waiting for ever.
TEST_F(PoolProcs, ConsumerLearnsThatTheProducerRemovedThePool) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    auto c = Attached({"consume", "1", "100"});
    m_pool.reset();
    DetachShareMem();
    EXPECT_EQ("kicked", c->Expect("kicked")) << c->Seen();
    EXPECT_EQ(3, c->Wait());
}

// A consumer that leaves after the producer removed the semaphore sets
// (its logout and its last event message) does not create them again.
TEST_F(PoolProcs, ConsumerLeavingAfterTheProducerLeavesNoSemaphores) {
    StartProducer(MKRX_RAW_FPGA_DATA);
    CMkrxPoolConsumer c;
    ASSERT_EQ(0, c.Attach(GetShareMemBase()));
    DelShmmSemByKey(MKRX_SEM_SLOT_KEY);
    DelShmmSemByKey(MKRX_SEM_EVENT_KEY);
    EXPECT_EQ(-1, MkrxWriteEventMsg(m_head, "logout"));
    c.Detach();
    EXPECT_EQ(-1, SemValue(MKRX_SEM_SLOT_KEY));
    EXPECT_EQ(-1, SemValue(MKRX_SEM_EVENT_KEY));
}

TEST_F(PoolProcs, NonRootProducerFindingASegmentIsRefused) {
    StartProducer(MKRX_RAW_FPGA_DATA);
    struct passwd* pw = getpwnam("nobody");
    ASSERT_NE(nullptr, pw);
    auto p = Start({"produce", "0", "1", "0", "0", "0"}, pw->pw_uid);
    EXPECT_EQ(4, p->Wait());
    EXPECT_NE(std::string::npos, Logs().find("Attention! There exist legacy resources not properly released, "
                                             "you must change identity! Use root restart again !"));
}

}  // namespace
