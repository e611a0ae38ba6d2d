// The pool in one process: set-up checks, every framing byte-exact in both
// ring forms across many wraps, the records at the ring end, the size limits.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <vector>

#include "drvRingBufPool.h"
#include "log_capture.h"
#include "pool_fixture.h"
#include "pool_test_util.h"

using namespace pooltest;

namespace {

constexpr uint32_t kRing = 1u << 20;

struct Form {
    int type;
    bool shared;
};
void PrintTo(const Form& f, std::ostream* os) { *os << (f.shared ? "shared" : "private") << " type " << f.type; }

class PoolRing : public PoolKeys<> {
protected:
    void TearDown() override {
        m_consumer.reset();
        m_pool.reset();
        PoolKeys::TearDown();
    }

    void Open(int type, bool shared, uint32_t mib = 1) {
        _DMaInitParam_t p;
        p.uiPoolSize = mib;
        p.eDataType = (MkrxDataType_e)type;
        p.eRunMode = shared ? MKRX_MULTI_SDK_PRODUCE_MODE : MKRX_ONE_SDK_RINGBUF_MODE;
        m_type = type;
        m_shared = shared;
        m_lens.clear();
        m_next = 0;
        m_pool.reset(new CDrvRingBufPool);
        ASSERT_EQ(0, m_pool->Init(&p));
        if (shared) {
            m_head = static_cast<MkrxShareMemInfo_t*>(GetShareMemBase());
            m_consumer.reset(new CMkrxPoolConsumer);
            ASSERT_EQ(0, m_consumer->Attach(m_head));
        }
    }

    uint8_t* Ring() { return m_shared ? (uint8_t*)m_head + MKRX_SHM_HEAD_SIZE : m_pool->GetPoolBuf(0)->p.buffer; }
    uint64_t WritePos() {
        return m_shared ? mkrx::LoadAcquire(&m_head->bufInf.ullIn) : mkrx::LoadAcquire(&m_pool->GetPoolBuf(0)->p.in);
    }

    // Copies the next record, of len bytes.
    void Put(uint32_t len) {
        uint64_t n = m_lens.size();
        m_lens.push_back(len);
        Fill(m_buf, n, len);
        m_pool->Copy2Pool(m_buf.data(), len, nullptr);
    }
    // Reads everything readable with the SDK's record reader, as a client
    // does, checking each record and its header; then nothing is left.
    void Drain() {
        auto lenOf = [&](const uint8_t*, uint32_t) { return m_lens.at(m_next); };
        auto check = [&](const uint8_t* h, const uint8_t* payload, uint32_t len) {
            ASSERT_EQ(m_lens.at(m_next), len) << "record " << m_next;
            std::string bad = Check(payload, m_next, len);
            ASSERT_TRUE(bad.empty()) << bad;
            if (m_type == MKRX_RAW_FPGA_WITH_HDR_DATA) {
                MkrxPktInfo_t pi;
                memcpy(&pi, h, sizeof(pi));
                ASSERT_GE(pi.uiTimeStamp, m_t0);
                ASSERT_LE(pi.uiTimeStamp, MkrxGetTimeTamp());
                ASSERT_EQ(0u, pi.uiReserved);
                ASSERT_EQ(nullptr, pi.pucData);
            } else if (m_type == MKRX_PCAP_DATA) {
                MkrxPcapHdr_t ph;
                memcpy(&ph, h, sizeof(ph));
                uint64_t us = (uint64_t)ph.uiSec * 1000000 + ph.uiUsec;
                ASSERT_LT(ph.uiUsec, 1000000u);
                ASSERT_LE(us, (uint64_t)clock());
                ASSERT_EQ(len, ph.uiWireLen);
            }
        };
        auto onRecord = [&](const uint8_t* h, const uint8_t* payload, uint32_t len) {
            check(h, payload, len);
            ++m_next;
        };
        int rc = mkrx::WithFraming(m_type, lenOf, [&](auto framing) {
            using F = decltype(framing);
            ConsumerSource src{m_consumer.get()};
            PoolTail tail{m_pool.get()};
            mkrx::PoolReader<F, ConsumerSource> shared(&src, framing);
            mkrx::RingReader<F, PoolTail> priv(m_pool->GetPoolBuf(0), &tail, framing);
            for (;;) {
                int n = m_shared ? shared.Poll(onRecord) : priv.Poll(onRecord);
                if (n <= 0) return n;
            }
        });
        ASSERT_EQ(0, rc) << "after record " << m_next;
        if (m_shared) {
            MkrxCurPoolUsge_t u;
            ASSERT_EQ(0, m_consumer->Read(&u));
            ASSERT_EQ(0u, u.uiAvailDataLen);
        } else {
            ASSERT_EQ(mkrx::LoadAcquire(&m_pool->GetPoolBuf(0)->p.in), m_pool->GetPoolBuf(0)->c.out);
        }
    }
    // Writes and reads records until the write offset is (ring - before).
    void AdvanceTo(uint32_t before) {
        uint32_t head = (uint32_t)MkrxHeadSize(m_type);
        uint32_t target = kRing - before;
        for (;;) {
            uint32_t at = (uint32_t)WritePos() & (kRing - 1);
            uint32_t left = target - at;
            if (left == 0) return;
            uint32_t len = left - head > 8192 ? 8192 : left - head;
            uint32_t rest = left - head - len;
            if (rest > 0 && rest <= head) len -= head + 1;  // leave room for one more record
            Put(len);
            Drain();
        }
    }
    // The record of the ring-end tests: 10 bytes with a length header.
    static constexpr uint8_t kCrossing[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    // Opens a ring of length-header framing and writes kCrossing 8 bytes
    // before its end: header and 4 bytes in the ring, 6 in the tail area
    // after it, all 14 in one piece. Returns the write position before it.
    uint64_t WriteAcrossTheEnd(bool shared) {
        Open(MKRX_RAW_FPGA_WITH_LEN_HDR, shared);
        AdvanceTo(8);
        uint64_t in = WritePos();
        m_pool->Copy2Pool(kCrossing, 10, nullptr);
        const uint8_t want[14] = {10, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        EXPECT_EQ(0, memcmp(want, Ring() + kRing - 8, 14));
        return in;
    }

    std::unique_ptr<CDrvRingBufPool> m_pool;
    std::unique_ptr<CMkrxPoolConsumer> m_consumer;
    MkrxShareMemInfo_t* m_head = nullptr;
    std::vector<uint8_t> m_buf;
    std::vector<uint32_t> m_lens;  // length of each record put
    int m_type = 0;
    bool m_shared = false;
    uint64_t m_next = 0;
    int64_t m_t0 = MkrxGetTimeTamp();
};

TEST_F(PoolRing, InitRefusesBadSizesAndTypes) {
    for (uint32_t mib : {0u, 3u, 4096u}) {
        qtest::LogCapture log;
        CDrvRingBufPool pool;
        _DMaInitParam_t p;
        p.uiPoolSize = mib;
        p.eRunMode = MKRX_ONE_SDK_RINGBUF_MODE;
        EXPECT_EQ(-1, pool.Init(&p)) << mib;
        EXPECT_TRUE(log.Contains("Pool size " + std::to_string(mib) + " exceed max num or is not power of 2 "));
    }
    qtest::LogCapture log;
    CDrvRingBufPool bad;
    _DMaInitParam_t p;
    p.uiPoolSize = 1;
    p.eDataType = MKRX_ERROR_DATA;
    EXPECT_EQ(-1, bad.Init(&p));
    EXPECT_TRUE(log.Contains("Unsupport data type, 4"));

    // The largest ring is accepted, and empty: a record fits at once.
    CDrvRingBufPool big;
    p.uiPoolSize = 2048;
    p.eDataType = MKRX_RAW_FPGA_DATA;
    p.eRunMode = MKRX_ONE_SDK_RINGBUF_MODE;
    ASSERT_EQ(0, big.Init(&p));
    EXPECT_EQ(2147483648u, big.GetPoolBuf(0)->p.size);
    uint8_t rec[64] = {1};
    big.Copy2Pool(rec, sizeof(rec), nullptr);
    EXPECT_EQ(1u, big.GetPktStat(0)->ulCpyPktNum);
    EXPECT_EQ(0u, big.GetPktStat(0)->ulSoftDisPktNum);
}

class PoolFraming : public PoolRing, public ::testing::WithParamInterface<Form> {};

// Every size from 8192 down to 1, then small records: about 32 laps of the
// ring, every record checked byte for byte with its header.
TEST_P(PoolFraming, EveryRecordByteExactAcrossWraps) {
    Open(GetParam().type, GetParam().shared);
    uint64_t n = 0;
    uint64_t bytes = 0;
    for (; n < 8192 + 20000; ++n) {
        Put(LenOf(n));
        bytes += LenOf(n);
        Drain();
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(n, m_next);
    const DmaInfoStat_t* st = m_pool->GetPktStat(0);
    EXPECT_EQ(n, st->ulCpyPktNum);
    EXPECT_EQ(bytes + (GetParam().type == MKRX_PCAP_DATA ? 16 * n : 0), st->ulCpyPktByte);
    EXPECT_EQ(0u, st->ulSoftDisPktNum);
    EXPECT_GT(bytes, 30u * kRing);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, PoolFraming,
                         ::testing::Values(Form{0, false}, Form{1, false}, Form{2, false}, Form{3, false},
                                           Form{0, true}, Form{1, true}, Form{2, true}, Form{3, true}),
                         [](const ::testing::TestParamInfo<Form>& i) {
                             return std::string(i.param.shared ? "Shared" : "Private") + "Type" +
                                    std::to_string(i.param.type);
                         });

// A 10-byte record with a length header, 8 bytes before the ring end.
TEST_F(PoolRing, PrivateRecordCrossingTheEndLeavesTheRestInTheTail) {
    uint32_t in = WriteAcrossTheEnd(false);
    EXPECT_EQ(in + 8, WritePos());
    EXPECT_EQ(6u, m_pool->GetTailUseLen(0));
    // The next record starts at offset 0.
    m_pool->Copy2Pool(kCrossing, 3, nullptr);
    EXPECT_EQ(3u, Ring()[0]);
    EXPECT_EQ(in + 8 + 7, WritePos());
}

TEST_F(PoolRing, SharedRecordCrossingTheEndCountsTheTailBytes) {
    uint64_t in = WriteAcrossTheEnd(true);
    EXPECT_EQ(in + 14, WritePos());
    EXPECT_EQ(6u, m_head->uiTailLen);
    MkrxCurPoolUsge_t u;
    ASSERT_EQ(0, m_consumer->Read(&u));
    EXPECT_EQ(14u, u.uiAvailDataLen);  // read whole from the tail area
    m_consumer->Consume(14);
    m_pool->Copy2Pool(kCrossing, 3, nullptr);
    EXPECT_EQ(3u, Ring()[6]);
    ASSERT_EQ(0, m_consumer->Read(&u));
    EXPECT_EQ(Ring() + 6, u.pucbuf);
}

TEST_F(PoolRing, SizeLimitAndCounters) {
    Open(MKRX_PCAP_DATA, false);
    std::vector<uint8_t> rec(8193, 0x5a);
    qtest::LogCapture log;
    m_pool->Copy2Pool(rec.data(), 8193, nullptr);
    EXPECT_TRUE(log.Contains("Error! too big size,size:8193.please check.\n"));
    const DmaInfoStat_t* st = m_pool->GetPktStat(0);
    EXPECT_EQ(0u, st->ulCpyPktNum + st->ulSoftDisPktNum + st->ulCpyPktByte + st->ulSoftDisByte);
    EXPECT_EQ(0u, WritePos());
    m_pool->Copy2Pool(rec.data(), 8192, nullptr);
    m_pool->Copy2Pool(rec.data(), 100, nullptr);
    EXPECT_EQ(2u, st->ulCpyPktNum);
    EXPECT_EQ(8192u + 16 + 116, st->ulCpyPktByte);
    EXPECT_EQ(8192u + 16 + 116, WritePos());
}

// With a 24-byte header, an 8192-byte record starting 1 byte before the end
// would need 8215 bytes of tail area: it is dropped and counted, and nothing
// beyond the ring's memory is written (a private ring ends at a page edge; the
// segment's slack up to the page edge stays zero).
TEST_F(PoolRing, RecordThatWouldOverrunTheTailAreaIsDroppedAndCounted) {
    for (bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "shared" : "private");
        Open(MKRX_RAW_FPGA_WITH_HDR_DATA, shared);
        AdvanceTo(1);
        uint64_t in = WritePos();
        uint64_t dropped = m_pool->GetPktStat(0)->ulSoftDisPktNum;
        std::vector<uint8_t> rec(8192, 0xee);
        m_pool->Copy2Pool(rec.data(), 8192, nullptr);
        EXPECT_EQ(in, WritePos());
        EXPECT_EQ(dropped + 1, m_pool->GetPktStat(0)->ulSoftDisPktNum);
        if (shared) {
            const uint8_t* end = Ring() + kRing + MKRX_TAIL_AREA_SIZE;
            size_t slack = 4096 - (size_t)(end - (const uint8_t*)m_head) % 4096;
            for (size_t i = 0; i < slack; ++i) ASSERT_EQ(0, end[i]) << i;
        }
        // A record that fits the tail area is still written there.
        m_pool->Copy2Pool(rec.data(), 8192 - 24, nullptr);
        EXPECT_EQ(dropped + 1, m_pool->GetPktStat(0)->ulSoftDisPktNum);
        TearDown();
    }
}

TEST_F(PoolRing, SharedRingWithoutConsumersDropsAndCounts) {
    Open(MKRX_RAW_FPGA_DATA, true);
    m_consumer->Detach();
    EXPECT_EQ(0u, m_head->uiRunSdkNum);
    uint8_t rec[100] = {};
    for (int i = 0; i < 5; ++i) m_pool->Copy2Pool(rec, sizeof(rec), nullptr);
    EXPECT_EQ(5u, m_pool->GetPktStat(0)->ulSoftDisPktNum);
    EXPECT_EQ(500u, m_pool->GetPktStat(0)->ulSoftDisByte);
    EXPECT_EQ(0u, WritePos());
}

TEST_F(PoolRing, EventLogHoldsSixtyFourMessages) {
    Open(MKRX_RAW_FPGA_DATA, true);
    std::string longText(300, 'x');
    for (int i = 0; i < 64; ++i) ASSERT_EQ(0, MkrxWriteEventMsg(m_head, (i == 0 ? longText : std::to_string(i)).c_str()));
    qtest::LogCapture log;
    EXPECT_EQ(-2, MkrxWriteEventMsg(m_head, "65th"));
    EXPECT_TRUE(log.Contains("Message buf full. cpu:"));
    EXPECT_EQ(64u, m_head->stSdkEveInf.ullWrIdx);
    EXPECT_EQ(127u, strlen(m_head->stSdkEveInf.stEventMsg[0]));
    EXPECT_STREQ("63", m_head->stSdkEveInf.stEventMsg[63]);
}

}  // namespace
