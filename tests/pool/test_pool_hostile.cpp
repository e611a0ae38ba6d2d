// The shared pool against local processes and careless clients: another
// process (pool_attacker) writes fields of the live segment or zeroes its
// slot lock, a client consumes more than it was offered, a consumer's slot is
// taken or its count is wrong. Consumers never read outside the segment,
// what cannot be right is reported once and stops the consumer, and the
// producer keeps copying. Producer and a consumer run in this process unless
// a test starts pool_peer processes.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
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
constexpr uint32_t kHead = 4;     // framing of these tests: length header
constexpr uint32_t kLen = 1000;   // records of 1004 bytes: a lap ends inside one
constexpr size_t kSlotCout = offsetof(MkrxShareMemInfo_t, SdkCoutInf) + offsetof(MkrxSdkCoutInfo_t, uiCout);

class PoolHostile : public PoolFixture {
protected:
    PoolHostile() : PoolFixture("hostile") {}
    void TearDown() override {
        m_peers.clear();
        m_others.clear();
        m_c.reset();
        PoolFixture::TearDown();
    }

    // The producer in this process, and a first consumer unless told not to.
    void Open(bool consumer = true) {
        ASSERT_NO_FATAL_FAILURE(StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR, kRing >> 20));
        if (consumer) m_c = Consumer();
    }
    std::unique_ptr<CMkrxPoolConsumer> Consumer() {
        std::unique_ptr<CMkrxPoolConsumer> c(new CMkrxPoolConsumer);
        EXPECT_EQ(0, c->Attach(m_head));
        return c;
    }
    uint64_t In() const { return mkrx::LoadAcquire(&m_head->bufInf.ullIn); }
    const uint8_t* Ring() const { return reinterpret_cast<const uint8_t*>(m_head) + MKRX_SHM_HEAD_SIZE; }

    void Put(uint32_t len = kLen) {
        Fill(m_buf, m_put, len);
        m_lens.push_back(len);
        ++m_put;
        m_pool->Copy2Pool(m_buf.data(), len, nullptr);
    }
    // One read of c; what it offers must lie in the ring and its tail area.
    int Read(CMkrxPoolConsumer& c, MkrxCurPoolUsge_t& u) {
        int rc = c.Read(&u);
        if (rc == 0 && u.uiAvailDataLen > 0) {
            EXPECT_GE(u.pucbuf, Ring());
            EXPECT_LE(u.pucbuf + u.uiAvailDataLen, Ring() + kRing + MKRX_TAIL_AREA_SIZE);
        }
        return rc;
    }
    // Reads and checks everything readable by c, whose next record is next.
    int Drain(CMkrxPoolConsumer& c, uint64_t& next) {
        MkrxCurPoolUsge_t u;
        int rc;
        while ((rc = Read(c, u)) == 0 && u.uiAvailDataLen > 0) {
            auto lenOf = [](uint64_t) { return 0u; };
            uint32_t used = Walk(MKRX_RAW_FPGA_WITH_LEN_HDR, u.pucbuf, u.uiAvailDataLen, next, lenOf,
                                 [&](const uint8_t*, const uint8_t* p, uint32_t len) {
                                     EXPECT_EQ(m_lens.at(next), len);
                                     EXPECT_EQ("", Check(p, next, len));
                                 });
            EXPECT_EQ(u.uiAvailDataLen, used);
            c.Consume(used);
        }
        return rc;
    }
    // Writes and reads records until the next one crosses the ring end, then
    // writes that one: the consumer's next read reaches into the tail area.
    void ToRingEnd() {
        while ((In() & (kRing - 1)) + kHead + kLen <= kRing) {
            Put();
            ASSERT_EQ(0, Drain(*m_c, m_next));
        }
        Put();
        ASSERT_NE(0u, mkrx::LoadRelaxed(&m_head->uiTailLen));
    }

    int Attacker(std::vector<std::string> args) {
        args.insert(args.begin(), POOL_ATTACKER);
        return qtest::ChildProc(args).Wait();
    }
    void Poke(size_t off, int width, uint64_t v) {
        ASSERT_EQ(0, Attacker({"poke", std::to_string(off), std::to_string(width), std::to_string(v)}));
    }
    qtest::ChildProc* Peer(std::vector<std::string> args) {
        args.insert(args.begin(), {POOL_PEER, m_logs.path()});
        m_peers.emplace_back(new qtest::ChildProc(args));
        return m_peers.back().get();
    }

    std::unique_ptr<CMkrxPoolConsumer> m_c;
    std::vector<std::unique_ptr<CMkrxPoolConsumer>> m_others;
    std::vector<std::unique_ptr<qtest::ChildProc>> m_peers;
    std::vector<uint8_t> m_buf;
    std::vector<uint32_t> m_lens;
    uint64_t m_put = 0;   // records written
    uint64_t m_next = 0;  // next record of m_c
};

// ---- A field of the live header written by another process ----

enum After {
    kStops,          // the consumer's reads fail, the fault named once
    kReadsOn,        // every record still arrives, nothing reported
    kAttachRefused,  // reads on; a newcomer is refused
    kEventLogFull,   // reads on; a newcomer is refused, the event log is not written
    kCountMended,    // reads on; a newcomer sets the count to the valid slots
};

struct Hostile {
    const char* name;
    size_t offset;
    int width;
    uint64_t (*value)(uint64_t in, uint64_t pos);
    After after;
    const char* field;  // kStops: the field the message names
};
void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

class PoolHostileField : public PoolHostile, public ::testing::WithParamInterface<Hostile> {};

TEST_P(PoolHostileField, NeverReadsOutsideTheSegmentAndStopsOnWhatCannotBeRight) {
    const Hostile& h = GetParam();
    Open();
    ToRingEnd();
    // What lies behind the event log, up to the ring.
    const uint8_t* behindLog = reinterpret_cast<const uint8_t*>(&m_head->stServUsInf);
    const std::vector<uint8_t> identity(behindLog, Ring());
    qtest::LogCapture log;
    Poke(h.offset, h.width, h.value(In(), m_c->Position()));

    if (h.after == kStops) {
        // The data type is looked at every 1024th read; the rest at once.
        MkrxCurPoolUsge_t u;
        int reads = 0;
        while (Read(*m_c, u) == 0 && ++reads < 5000) {
        }
        EXPECT_LT(reads, 5000);
        EXPECT_EQ(0u, u.uiAvailDataLen);
        EXPECT_EQ(nullptr, u.pucbuf);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(-1, Read(*m_c, u));
        EXPECT_TRUE(m_c->IsCorrupt());
        EXPECT_EQ(1, log.Count("Share memory is corrupted! " + std::string(h.field) + ":")) << log.Text();
        // Its slot is given back all the same.
        m_c->Detach();
        EXPECT_EQ(0, m_head->SdkCoutInf[0].bValidTag);
        EXPECT_EQ(0u, m_head->uiRunSdkNum);
        return;
    }
    // The record across the ring end and another lap arrive intact.
    ASSERT_EQ(0, Drain(*m_c, m_next));
    for (uint32_t i = 0; i < kRing / (kHead + kLen) + 10; ++i) {
        Put();
        ASSERT_EQ(0, Drain(*m_c, m_next));
    }
    EXPECT_EQ(m_put, m_next);
    EXPECT_FALSE(log.Contains("corrupted")) << log.Text();
    CMkrxPoolConsumer newcomer;
    switch (h.after) {
        case kAttachRefused:
            EXPECT_EQ(_EVENT_SDK_OTH_FAIL, newcomer.Attach(m_head));
            break;
        case kEventLogFull:
            EXPECT_EQ(-2, MkrxWriteEventMsg(m_head, "one more"));
            EXPECT_EQ(0, memcmp(identity.data(), behindLog, identity.size()));
            EXPECT_EQ(_EVENT_SDK_OTH_FAIL, newcomer.Attach(m_head));
            EXPECT_TRUE(log.Contains("event count exceeds 64")) << log.Text();
            break;
        case kCountMended:
            EXPECT_EQ(0, newcomer.Attach(m_head));
            EXPECT_EQ(2u, m_head->uiRunSdkNum);
            break;
        default:
            break;
    }
}

constexpr size_t kOffIn = offsetof(MkrxShareMemInfo_t, bufInf.ullIn);
constexpr size_t kOffTail = offsetof(MkrxShareMemInfo_t, uiTailLen);
constexpr size_t kOffSize = offsetof(MkrxShareMemInfo_t, bufInf.uiSize);
constexpr size_t kOffType = offsetof(MkrxShareMemInfo_t, eDataType);

INSTANTIATE_TEST_SUITE_P(
    Fields, PoolHostileField,
    ::testing::Values(
        Hostile{"TailPastTheTailArea", kOffTail, 4, [](uint64_t, uint64_t) -> uint64_t { return 0x7fffffff; },
                kStops, "uiTailLen"},
        Hostile{"TailPastThePublishedBytes", kOffTail, 4, [](uint64_t, uint64_t) -> uint64_t { return 8000; },
                kStops, "uiTailLen"},
        Hostile{"WritePositionRingsAhead", kOffIn, 8, [](uint64_t in, uint64_t) { return in + 3 * (uint64_t)kRing; },
                kStops, "ullIn"},
        Hostile{"WritePositionFourGiBAhead", kOffIn, 8, [](uint64_t in, uint64_t) { return in + ((uint64_t)1 << 32); },
                kStops, "ullIn"},
        Hostile{"WritePositionBehindTheConsumer", kOffIn, 8, [](uint64_t, uint64_t pos) { return pos - 1; }, kStops,
                "ullIn"},
        Hostile{"SlotPositionAheadOfTheWritePosition", kSlotCout, 8, [](uint64_t in, uint64_t) { return in + 4096; },
                kStops, "uiCout"},
        Hostile{"DataTypeOutsideTheTypes", kOffType, 4, [](uint64_t, uint64_t) -> uint64_t { return 99; }, kStops,
                "eDataType"},
        Hostile{"DataTypeChanged", kOffType, 4, [](uint64_t, uint64_t) -> uint64_t { return 2; }, kStops,
                "eDataType"},
        Hostile{"RingSizeHalved", kOffSize, 4, [](uint64_t, uint64_t) -> uint64_t { return kRing / 2; },
                kAttachRefused, ""},
        Hostile{"RingSizeNotAPowerOfTwo", kOffSize, 4, [](uint64_t, uint64_t) -> uint64_t { return 3; },
                kAttachRefused, ""},
        Hostile{"EventCountPast64", offsetof(MkrxShareMemInfo_t, stSdkEveInf.ullWrIdx), 8,
                [](uint64_t, uint64_t) -> uint64_t { return 1000; }, kEventLogFull, ""},
        Hostile{"ConsumerCountPast8", offsetof(MkrxShareMemInfo_t, uiRunSdkNum), 4,
                [](uint64_t, uint64_t) -> uint64_t { return 0xffffffff; }, kCountMended, ""}),
    [](const ::testing::TestParamInfo<Hostile>& i) { return std::string(i.param.name); });

// A position that no consumer can hold goes first when room is needed: the
// producer does not take the consumer behind it for the slowest.
TEST_F(PoolHostile, ProducerExpelsAPositionAheadOfItsWritesFirst) {
    Open();
    m_others.push_back(Consumer());
    uint64_t next = 0;
    Poke(kSlotCout, 8, In() + 4096);  // the first consumer's slot
    qtest::LogCapture log;
    for (uint32_t i = 0; i < 2 * kRing / (kHead + kLen); ++i) {
        Put();
        ASSERT_EQ(0, Drain(*m_others[0], next)) << "record " << i;
    }
    EXPECT_EQ(m_put, next);
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);
    EXPECT_EQ(1, log.Count("we kick out pid:"));
    EXPECT_EQ(0, m_head->SdkCoutInf[0].bValidTag);
    EXPECT_EQ(1u, m_head->uiRunSdkNum);
}

// ---- Careless clients ----

// More than the last read offered would leave the consumer ahead of the
// write position, offered about 4 GiB of stale ring from then on.
TEST_F(PoolHostile, FetchSizeBeyondTheOfferIsCutToTheOffer) {
    Open();
    for (int i = 0; i < 3; ++i) Put();
    MkrxCurPoolUsge_t u;
    ASSERT_EQ(0, Read(*m_c, u));
    ASSERT_EQ(3 * (kHead + kLen), u.uiAvailDataLen);
    qtest::LogCapture log;
    uint64_t pos = m_c->Position();
    m_c->Consume(u.uiAvailDataLen + 100);
    m_c->Consume(5);  // nothing left of the offer
    EXPECT_EQ(pos + u.uiAvailDataLen, m_c->Position());
    EXPECT_EQ(1, log.Count("Fetch size 3112 exceeds the 3012 bytes offered by the last read")) << log.Text();
    ASSERT_EQ(0, Read(*m_c, u));
    EXPECT_EQ(0u, u.uiAvailDataLen);
    m_next = 3;
    for (int i = 0; i < 5; ++i) Put();
    ASSERT_EQ(0, Drain(*m_c, m_next));
    EXPECT_EQ(8u, m_next);
}

// A slot taken over by a newcomer of the same process id (another PID
// namespace, or this process) is the newcomer's: the old owner stops reading
// and leaves it valid when it detaches.
TEST_F(PoolHostile, SlotTakenByANewcomerStaysTheNewcomersOnDetach) {
    Open();
    for (int i = 0; i < 7; ++i) m_others.push_back(Consumer());
    Put();  // the first consumer, the oldest, falls behind
    qtest::LogCapture log;
    m_others.push_back(Consumer());  // ninth: takes the oldest slot
    EXPECT_TRUE(log.Contains("is too old to fetch data, we kick it out!"));
    MkrxCurPoolUsge_t u;
    EXPECT_EQ(-1, Read(*m_c, u));
    EXPECT_FALSE(m_c->IsCorrupt());
    m_c->Detach();
    EXPECT_EQ(1, m_head->SdkCoutInf[0].bValidTag);
    EXPECT_EQ(In(), m_head->SdkCoutInf[0].uiCout);
    EXPECT_EQ(8u, m_head->uiRunSdkNum);
    EXPECT_EQ(0, Read(*m_others.back(), u));
}

// Attach, detach and expulsion store the valid slots, whatever the count
// held: a count of 0xFFFFFFFF that an attach wrapped to 0 made the producer
// drop every record while consumers were attached.
TEST_F(PoolHostile, ConsumerCountIsTheValidSlotsAfterAttachDetachAndExpulsion) {
    constexpr size_t kOffRun = offsetof(MkrxShareMemInfo_t, uiRunSdkNum);
    Open();
    Poke(kOffRun, 4, 0xffffffff);
    m_others.push_back(Consumer());
    EXPECT_EQ(2u, m_head->uiRunSdkNum);
    Put();
    EXPECT_EQ(1u, m_pool->GetPktStat(0)->ulCpyPktNum);
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);

    Poke(kOffRun, 4, 0);
    m_others.back()->Detach();
    EXPECT_EQ(1u, m_head->uiRunSdkNum);

    m_others.push_back(Consumer());  // never reads: expelled once the ring is full
    Poke(kOffRun, 4, 7);
    qtest::LogCapture log;
    while (!log.Contains("we kick out pid:") && m_put < 3 * kRing / kLen) {
        Put();
        ASSERT_EQ(0, Drain(*m_c, m_next));
    }
    EXPECT_TRUE(log.Contains("left sdk num:1.")) << log.Text();
    EXPECT_EQ(1u, m_head->uiRunSdkNum);
    EXPECT_EQ(0, m_head->SdkCoutInf[1].bValidTag);
}

// ---- The slot lock set to 0 by another process ----

// Writes records first.. paced on the consumer of pid: its room, never the
// stalled one's, decides.
void ProducePacedOn(CDrvRingBufPool& pool, MkrxShareMemInfo_t* h, int32_t pid, uint64_t count) {
    std::vector<uint8_t> buf;
    for (uint64_t n = 0; n < count; ++n) {
        uint32_t len = LenOf(n);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            bool room = true;
            uint64_t in = mkrx::LoadAcquire(&h->bufInf.ullIn);
            for (auto& s : h->SdkCoutInf)
                if (mkrx::LoadAcquire(&s.bValidTag) && s.sdkPid == pid &&
                    in + kHead + len - mkrx::LoadAcquire(&s.uiCout) > kRing)
                    room = false;
            if (room) break;
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "the consumer stopped reading";
            usleep(100);
        }
        Fill(buf, n, len);
        pool.Copy2Pool(buf.data(), len, nullptr);
    }
}

TEST_F(PoolHostile, ZeroedSlotLockNeitherStopsTheProducerNorHangsConsumers) {
    Open(false);
    qtest::ChildProc* fast = Peer({"consume", "1", "3000"});
    ASSERT_EQ("attached", fast->Expect("attached")) << fast->Seen();
    qtest::ChildProc* slow = Peer({"stall"});
    ASSERT_EQ("attached", slow->Expect("attached")) << slow->Seen();
    ASSERT_EQ(0, Attacker({"semzero", std::to_string(MKRX_SEM_SLOT_KEY)}));

    qtest::LogCapture log;
    ProducePacedOn(*m_pool, m_head, fast->pid(), 3000);  // about 20 MB through 1 MiB
    EXPECT_EQ("kicked", slow->Expect("kicked")) << slow->Seen();
    EXPECT_EQ("ok 3000", fast->Expect("ok")) << fast->Seen();
    EXPECT_EQ(0, fast->Wait());  // its detach waited for the lock, then went on
    EXPECT_TRUE(log.Contains("Rm slow cout:Get sem key fail, however still next operate.")) << log.Text();
    EXPECT_TRUE(log.Contains("we kick out pid:" + std::to_string(slow->pid()) + " for it's too slow!"));
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);

    // A newcomer gives up on the lock and fails as for a lock it cannot take.
    qtest::ChildProc* late = Peer({"consume", "1", "1"});
    EXPECT_EQ(4, late->Wait());
    int semid = semget(MKRX_SEM_SLOT_KEY, 0, 0);
    EXPECT_EQ(0, semctl(semid, 0, GETVAL));
}

}  // namespace
