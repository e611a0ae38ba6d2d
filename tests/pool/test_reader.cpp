// The SDK's record reader (mkrx_reader.h) on the pool's own producer: every
// framing in both ring forms across thousands of ring wraps, byte-exact;
// corrupted records and positions end the reader with -1, reported once;
// a record still incomplete at the end of the readable bytes stays.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "drvRingBufPool.h"
#include "pool_fixture.h"
#include "log_capture.h"
#include "pool_test_util.h"

using pooltest::ConsumerSource;
using pooltest::PoolKeys;
using pooltest::PoolTail;

namespace {

constexpr uint32_t kRing = 1u << 20;

// Framing 0 records of these tests start with their length (uint32).
uint32_t OwnLength(const uint8_t* r, uint32_t left) {
    if (left < 4) return 0;
    uint32_t len;
    memcpy(&len, r, 4);
    return len;
}

// The reader's reports of corruption, counted.
struct Faults {
    int count = 0;
    std::string last;
    static void On(const char* text, void* ctx) {
        Faults* f = static_cast<Faults*>(ctx);
        ++f->count;
        f->last = text;
    }
};

// Record n: its payload is a window of a fixed random pattern, starting at
// a place of its own, with its length in the first 4 bytes when it has 4.
class Payloads {
public:
    Payloads() : m_pattern(kSpan + MKRX_MAX_RECORD_LEN) {
        std::mt19937 rng(7);
        for (auto& b : m_pattern) b = (uint8_t)rng();
    }
    const uint8_t* Make(uint64_t n, uint32_t len) {
        m_buf.assign(Src(n), Src(n) + len);
        if (len >= 4) memcpy(m_buf.data(), &len, 4);
        return m_buf.data();
    }
    // Empty when payload p of length len is record n's.
    std::string Check(uint64_t n, const uint8_t* p, uint32_t len) const {
        uint32_t own = 0;
        if (len >= 4) memcpy(&own, p, 4);
        const uint32_t skip = len >= 4 ? 4 : 0;
        if ((len >= 4 && own != len) || memcmp(p + skip, Src(n) + skip, len - skip) != 0)
            return "record " + std::to_string(n) + " of " + std::to_string(len) + " bytes differs";
        return std::string();
    }

private:
    static constexpr uint32_t kSpan = 1u << 16;
    const uint8_t* Src(uint64_t n) const { return m_pattern.data() + (n * 4099) % kSpan; }
    std::vector<uint8_t> m_pattern, m_buf;
};

struct Form {
    int type;
    int runMode;  // 1 private ring, 2 shared pool
};
void PrintTo(const Form& f, std::ostream* os) { *os << "type " << f.type << " run mode " << f.runMode; }

// A producer pool of one data type and, for run mode 2, a consumer slot in
// its segment (inside the test's own IPC namespace).
class ReaderPool : public PoolKeys<> {
protected:
    void TearDown() override {
        if (m_consumer) m_consumer->Detach();
        m_consumer.reset();
        m_pool.reset();
        PoolKeys::TearDown();
    }

    void Open(int type, int runMode) {
        _DMaInitParam_t p;
        p.uiPoolSize = 1;
        p.eDataType = (MkrxDataType_e)type;
        p.eRunMode = runMode == 1 ? MKRX_ONE_SDK_RINGBUF_MODE : MKRX_MULTI_SDK_PRODUCE_MODE;
        m_type = type;
        m_mode = runMode;
        m_pool.reset(new CDrvRingBufPool);
        ASSERT_EQ(0, m_pool->Init(&p));
        m_tail.pool = m_pool.get();
        if (runMode == 2) {
            m_head = static_cast<MkrxShareMemInfo_t*>(GetShareMemBase());
            m_consumer.reset(new CMkrxPoolConsumer);
            ASSERT_EQ(0, m_consumer->Attach(m_head));
            m_src.c = m_consumer.get();
        }
    }
    uint8_t* Ring() { return m_mode == 2 ? (uint8_t*)m_head + MKRX_SHM_HEAD_SIZE : m_pool->GetPoolBuf(0)->p.buffer; }
    uint64_t WritePos() {
        return m_mode == 2 ? mkrx::LoadAcquire(&m_head->bufInf.ullIn) : mkrx::LoadAcquire(&m_pool->GetPoolBuf(0)->p.in);
    }
    // Runs body(reader) with the reader of the pool's form and framing.
    template <class Body>
    void WithReader(Body&& body) {
        int rc = mkrx::WithFraming(m_type, OwnLength, [&](auto framing) {
            using F = decltype(framing);
            if (m_mode == 1) {
                mkrx::RingReader<F, PoolTail> r(m_pool->GetPoolBuf(0), &m_tail, framing);
                body(r);
            } else {
                mkrx::PoolReader<F, ConsumerSource> r(&m_src, framing);
                body(r);
            }
            return 0;
        });
        ASSERT_EQ(0, rc);
    }

    std::unique_ptr<CDrvRingBufPool> m_pool;
    std::unique_ptr<CMkrxPoolConsumer> m_consumer;
    MkrxShareMemInfo_t* m_head = nullptr;
    ConsumerSource m_src{nullptr};
    PoolTail m_tail{nullptr};
    int m_type = 0, m_mode = 1;
};

class ReaderWraps : public ReaderPool, public ::testing::WithParamInterface<Form> {};

// Thousands of laps of a 1 MiB ring in batches of records of varying
// lengths, every record read back byte-exact and in order, the records that
// reach the ring end among them: those that cross into the tail area (up to
// the largest, 8192 bytes) and those that end exactly at it. The reader
// takes the records a few at a time as often as all at once.
TEST_P(ReaderWraps, EveryRecordArrivesWholeAcrossTheRingEnd) {
    constexpr uint64_t kWraps = 2000;
    const Form form = GetParam();
    Open(form.type, form.runMode);
    const uint32_t head = (uint32_t)MkrxHeadSize(form.type);
    const uint32_t minLen = form.type == MKRX_RAW_FPGA_DATA ? 4 : 0;
    std::mt19937 rng(form.type * 10 + form.runMode);
    Payloads pay;
    uint64_t put = 0, got = 0, crossed = 0, atEnd = 0;
    std::string bad;
    auto onRecord = [&](const uint8_t* h, const uint8_t* p, uint32_t len) {
        if (!bad.empty()) return;
        bad = pay.Check(got, p, len);
        if (form.type == MKRX_RAW_FPGA_WITH_HDR_DATA) {
            MkrxPktInfo_t pi;
            memcpy(&pi, h, sizeof(pi));
            if (pi.uiReserved != 0 || pi.pucData != nullptr) bad = "timestamp header of record " + std::to_string(got);
        } else if (form.type == MKRX_PCAP_DATA) {
            MkrxPcapHdr_t ph;
            memcpy(&ph, h, sizeof(ph));
            if (ph.uiWireLen != len || ph.uiUsec >= 1000000) bad = "pcap header of record " + std::to_string(got);
        } else if (form.type == MKRX_RAW_FPGA_DATA && h != p) {
            bad = "header of a bare record";
        }
        ++got;
    };
    WithReader([&](auto& reader) {
        while (crossed + atEnd < kWraps && bad.empty()) {
            for (int k = 1 + (int)(rng() % 40); k > 0; --k) {
                const uint32_t toEnd = kRing - (uint32_t)(WritePos() & (kRing - 1));
                uint32_t len;
                switch (rng() % 8) {
                    case 0: len = MKRX_MAX_RECORD_LEN; break;
                    case 1: len = minLen + rng() % 16; break;
                    case 2:  // ends exactly at the ring end if it can
                        len = toEnd >= head + minLen && toEnd - head <= MKRX_MAX_RECORD_LEN ? toEnd - head
                                                                                           : minLen + rng() % 300;
                        break;
                    default: len = minLen + rng() % (MKRX_MAX_RECORD_LEN + 1 - minLen); break;
                }
                // The pool refuses a record that would run past the tail area.
                if (head + len > toEnd + MKRX_TAIL_AREA_SIZE) len = toEnd + MKRX_TAIL_AREA_SIZE - head;
                crossed += head + len > toEnd;
                atEnd += head + len == toEnd;
                m_pool->Copy2Pool(pay.Make(put, len), len, nullptr);
                ++put;
            }
            for (;;) {
                const uint32_t max = rng() % 2 ? UINT32_MAX : 1 + rng() % 8;
                const int n = reader.Poll(onRecord, max);
                ASSERT_GE(n, 0) << "after record " << got;
                if (n == 0) break;
            }
            ASSERT_EQ(put, got);
        }
    });
    EXPECT_EQ("", bad);
    EXPECT_EQ(put, got);
    EXPECT_EQ(0u, m_pool->GetPktStat(0)->ulSoftDisPktNum);
    EXPECT_GT(crossed, kWraps / 2);
    EXPECT_GT(atEnd, 10u);
}

INSTANTIATE_TEST_SUITE_P(FramingByRunMode, ReaderWraps,
                         ::testing::Values(Form{0, 1}, Form{1, 1}, Form{2, 1}, Form{3, 1}, Form{0, 2}, Form{1, 2},
                                           Form{2, 2}, Form{3, 2}));

struct BadLength {
    int runMode;
    uint32_t length;  // written over the third record's length word
    const char* report;
};
void PrintTo(const BadLength& b, std::ostream* os) { *os << "run mode " << b.runMode << " length " << b.length; }

class ReaderCorrupt : public ReaderPool, public ::testing::WithParamInterface<BadLength> {};

// A length word that no producer writes ends the reader: the records before
// it are handed out and given back, the fault is reported once, every poll
// from then on returns -1 as for an expelled consumer.
TEST_P(ReaderCorrupt, ImpossibleLengthEndsTheReaderWithOneReport) {
    const BadLength bl = GetParam();
    Open(MKRX_RAW_FPGA_WITH_LEN_HDR, bl.runMode);
    Payloads pay;
    const uint64_t start = WritePos();
    for (uint64_t n = 0; n < 3; ++n) m_pool->Copy2Pool(pay.Make(n, 100), 100, nullptr);
    memcpy(Ring() + (start & (kRing - 1)) + 2 * 104, &bl.length, 4);
    WithReader([&](auto& reader) {
        Faults faults;
        reader.SetFaultHandler(Faults::On, &faults);
        int records = 0;
        auto count = [&](const uint8_t*, const uint8_t*, uint32_t) { ++records; };
        EXPECT_EQ(-1, reader.Poll(count));
        EXPECT_EQ(2, records);
        EXPECT_EQ(-1, reader.Poll(count));
        EXPECT_EQ(1, faults.count);
        EXPECT_NE(std::string::npos, faults.last.find(bl.report)) << faults.last;
        EXPECT_TRUE(reader.Corrupted());
    });
    const uint64_t given = m_mode == 2 ? m_consumer->Position() : m_pool->GetPoolBuf(0)->c.out;
    EXPECT_EQ(start + 2 * 104, given);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReaderCorrupt,
                         ::testing::Values(BadLength{1, 8193, "record length 8193 exceeds 8192"},
                                           BadLength{2, 8193, "record length 8193 exceeds 8192"},
                                           BadLength{1, 200, "record of 200 bytes runs past the 104 readable"},
                                           BadLength{2, 200, "record of 200 bytes runs past the 104 readable"}));

// The producer expels the consumer furthest behind when it needs the room
// and writes over its bytes, here while the reader is still walking them (a
// consumer stopped or descheduled in the middle of a poll). What the walk
// then finds is the expulsion, not a corrupted pool: -1, nothing reported.
TEST_F(ReaderPool, ExpelledInTheMiddleOfAPollIsNotACorruption) {
    Open(MKRX_RAW_FPGA_WITH_LEN_HDR, 2);
    CMkrxPoolConsumer other;  // keeps up, so the reader's consumer is the one expelled
    ASSERT_EQ(0, other.Attach(m_head));
    Payloads pay;
    const uint64_t start = WritePos();
    for (uint64_t n = 0; n < 3; ++n) m_pool->Copy2Pool(pay.Make(n, 100), 100, nullptr);
    WithReader([&](auto& reader) {
        Faults faults;
        reader.SetFaultHandler(Faults::On, &faults);
        int records = 0;
        auto overrun = [&](const uint8_t*, const uint8_t*, uint32_t) {
            if (++records > 1) return;
            for (uint64_t n = 3; m_consumer->Owned() && n < 4 * kRing / 1000; ++n) {
                m_pool->Copy2Pool(pay.Make(n, 1000), 1000, nullptr);
                MkrxCurPoolUsge_t u;
                while (other.Read(&u) == 0 && u.uiAvailDataLen > 0) other.Consume(u.uiAvailDataLen);
            }
            // Whatever the new records left where the second one was: a
            // length no producer writes.
            const uint32_t bad = 9000;
            memcpy(Ring() + ((start + 104) & (kRing - 1)), &bad, 4);
        };
        EXPECT_EQ(-1, reader.Poll(overrun));
        EXPECT_FALSE(m_consumer->Owned());
        EXPECT_EQ(1, records);
        EXPECT_EQ(-1, reader.Poll(overrun));
        EXPECT_EQ(0, faults.count) << faults.last;
        EXPECT_FALSE(reader.Corrupted());
    });
    other.Detach();
}

// A hand-made pool in memory for what a sound producer never publishes:
// run mode 1 as a ring of 4096 bytes with its tail area, run mode 2 as the
// bytes one GetPoolCurrUsage offers.
class HandRing {
public:
    static constexpr uint32_t kSize = 4096;
    HandRing() : m_mem(kSize + MKRX_TAIL_AREA_SIZE) {
        memset(&m_rb, 0, sizeof(m_rb));
        m_rb.p.buffer = m_rb.c.buffer = m_mem.data();
        m_rb.p.size = m_rb.c.size = kSize;
    }
    // A record of 4 + len bytes at ring offset off, led by its length word:
    // type 1 (the word is len) or framing 0 (the word is 4 + len).
    void Put(uint32_t off, uint32_t len, bool bare = false) {
        const uint32_t word = bare ? 4 + len : len;
        memcpy(&m_mem[off], &word, 4);
        memset(&m_mem[off + 4], 0x5a, len);
    }
    // Run mode 2 source: offers [data, data + avail), takes what is consumed.
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) {
        if (ended) return -1;  // expelled, or the producer removed the pool
        u->pucbuf = m_mem.data() + consumed;
        u->uiAvailDataLen = avail - consumed;
        return 0;
    }
    void SetFetchSize(uint32_t bytes) { consumed += bytes; }
    // Run mode 1 tail source.
    uint32_t GetTailUseLen() { return tail; }

    ringbuffer m_rb;
    std::vector<uint8_t> m_mem;
    uint32_t avail = 0, consumed = 0, tail = 0;
    bool ended = false;
};

auto Ignore = [](const uint8_t*, const uint8_t*, uint32_t) {};

// Two whole records and the first bytes of a third whose header is not
// complete: the two are handed out and given back, the third stays until
// its header is there, in both forms and for framing 0's length function.
TEST(ReaderPartial, RecordWithIncompleteHeaderStaysForTheNextPoll) {
    for (int runMode : {1, 2}) {
        for (int type : {MKRX_RAW_FPGA_DATA, MKRX_RAW_FPGA_WITH_LEN_HDR}) {
            SCOPED_TRACE("run mode " + std::to_string(runMode) + " type " + std::to_string(type));
            HandRing h;
            const bool bare = type == MKRX_RAW_FPGA_DATA;
            h.Put(0, 10, bare);  // records of 14, 24 and 34 bytes
            h.Put(14, 20, bare);
            h.Put(38, 30, bare);
            const uint32_t whole = 14 + 24, third = 34;
            int rc = mkrx::WithFraming(type, OwnLength, [&](auto framing) {
                using F = decltype(framing);
                mkrx::RingReader<F, HandRing> ring(&h.m_rb, &h, framing);
                mkrx::PoolReader<F, HandRing> pool(&h, framing);
                auto poll = [&] { return runMode == 1 ? ring.Poll(Ignore) : pool.Poll(Ignore); };
                auto offer = [&](uint32_t bytes) {
                    mkrx::StoreRelease(&h.m_rb.p.in, bytes);
                    h.avail = bytes;
                };
                auto given = [&] { return runMode == 1 ? h.m_rb.c.out : h.consumed; };
                offer(whole + 3);  // 3 bytes of the third record's length word
                EXPECT_EQ(2, poll());
                EXPECT_EQ(whole, given());
                EXPECT_EQ(0, poll());
                EXPECT_EQ(whole, given());
                offer(whole + third);
                EXPECT_EQ(1, poll());
                EXPECT_EQ(whole + third, given());
                EXPECT_FALSE(ring.Corrupted() || pool.Corrupted());
                return 0;
            });
            EXPECT_EQ(0, rc);
        }
    }
}

struct BadWrap {
    uint32_t in;    // write position; out is at kSize - 100
    uint32_t tail;  // what GetTailUseLen says
    const char* report;
};
void PrintTo(const BadWrap& b, std::ostream* os) { *os << "in " << b.in << " tail " << b.tail; }

class ReaderBadWrap : public ::testing::TestWithParam<BadWrap> {};

// The private ring's positions and tail length are checked too: a record of
// 150 payload bytes 100 before the ring end needs a tail length of 54.
TEST_P(ReaderBadWrap, ImpossibleRingStateEndsTheReader) {
    const BadWrap bw = GetParam();
    HandRing h;
    const uint32_t out = HandRing::kSize - 100;
    h.m_rb.c.out = out;
    h.Put(out, 150);
    h.tail = bw.tail;
    mkrx::StoreRelease(&h.m_rb.p.in, bw.in);
    mkrx::RingReader<mkrx::LenHdrFraming, HandRing> r(&h.m_rb, &h);
    Faults faults;
    r.SetFaultHandler(Faults::On, &faults);
    EXPECT_EQ(-1, r.Poll(Ignore));
    EXPECT_EQ(-1, r.Poll(Ignore));
    EXPECT_EQ(1, faults.count);
    EXPECT_NE(std::string::npos, faults.last.find(bw.report)) << faults.last;
}

INSTANTIATE_TEST_SUITE_P(
    States, ReaderBadWrap,
    ::testing::Values(BadWrap{HandRing::kSize, 9000, "tail length 9000 exceeds the tail area"},
                      BadWrap{HandRing::kSize, 20, "record of 150 bytes runs past the 120 readable"},
                      BadWrap{HandRing::kSize, 80, "ends 26 bytes from where the tail length says"},
                      BadWrap{HandRing::kSize - 100 + HandRing::kSize + 1, 54, "4097 bytes ahead of a ring of 4096"}));

// The sound state of the same ring: the crossing record is handed out whole
// and out moves to the ring end only.
TEST(ReaderWrap, CrossingRecordMovesOutToTheRingEnd) {
    HandRing h;
    h.m_rb.c.out = HandRing::kSize - 100;
    h.Put(HandRing::kSize - 100, 150);
    h.tail = 54;
    mkrx::StoreRelease(&h.m_rb.p.in, HandRing::kSize);
    mkrx::RingReader<mkrx::LenHdrFraming, HandRing> r(&h.m_rb, &h);
    uint32_t len = 0;
    EXPECT_EQ(1, r.Poll([&](const uint8_t*, const uint8_t* p, uint32_t n) {
        len = n;
        EXPECT_EQ(0x5a, p[n - 1]);
    }));
    EXPECT_EQ(150u, len);
    EXPECT_EQ(HandRing::kSize, h.m_rb.c.out);
}

// The poll loop hands out what comes until the stop flag is set (0), and
// ends with -1 when the pool ends, without a report of corruption.
TEST(ReaderLoop, PollLoopEndsOnTheStopFlagOrWithThePool) {
    HandRing h;
    h.Put(0, 10);
    h.Put(14, 20);
    h.avail = 38;
    mkrx::PoolReader<mkrx::LenHdrFraming, HandRing> r(&h);
    std::atomic<bool> stop{false};
    mkrx::SpinWait spin;
    int records = 0;
    EXPECT_EQ(0, mkrx::PollLoop(r, spin, stop, [&](const uint8_t*, const uint8_t*, uint32_t) {
        if (++records == 2) stop.store(true);
    }));
    EXPECT_EQ(38u, h.consumed);
    stop.store(false);
    h.ended = true;
    mkrx::PauseWait pause;
    EXPECT_EQ(-1, mkrx::PollLoop(r, pause, stop, Ignore));
    EXPECT_FALSE(r.Corrupted());
}

// A pool of an unknown data type, or framing 0 without a length function,
// gives the client no reader.
TEST(ReaderFraming, UnknownTypeOrNoLengthFunctionIsRefused) {
    auto body = [](auto framing) { return decltype(framing)::kType; };
    EXPECT_EQ(-1, mkrx::WithFraming(MKRX_RAW_FPGA_DATA, nullptr, body));
    EXPECT_EQ(-1, mkrx::WithFraming(MKRX_ERROR_DATA, OwnLength, body));
    for (int type = 0; type < 4; ++type) EXPECT_EQ(type, mkrx::WithFraming(type, OwnLength, body));
}

}  // namespace
