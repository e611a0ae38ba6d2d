// The simulated Enyx card itself: only what the system's tests rely on it to
// model faithfully (stream FIFOs, back-pressure, busy sends, cross-process
// sharing, configuration errors).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "enyx_hw.h"
#include "enyx_sim_ctl.h"
#include "enyx_sim_env.h"
#include "fake_cmds.h"

namespace {

const char* kCard =
    "card\n"
    "core 474 regs=4096\n"
    "stream CH0 mtu=64 depth=4\n"
    "stream CH1 mtu=256 depth=16\n";

// Accelerator 0 and the a2c/c2a pair of one stream, as the DMA engine opens them.
class Channel {
public:
    explicit Channel(const char* name) {
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_filter_set_index(f, 0);
        enyx_hw_accelerator_descriptor* ad[1] = {nullptr};
        if (enyx_hw_enumerate_accelerators(f, ad, 1) == 1) m_acc = enyx_hw_accelerator_get(ad[0]);
        enyx_hw_free_accelerator_descriptors(ad, 1);
        enyx_hw_filter_destroy(f);
        if (!m_acc) return;
        f = enyx_hw_filter_create();
        enyx_hw_filter_set_name(f, name);
        enyx_hw_a2c_stream_descriptor* a[1] = {nullptr};
        m_a2cMatches = enyx_hw_accelerator_enumerate_a2c_streams(m_acc, f, a, 1);
        if (m_a2cMatches == 1) m_a2c = enyx_hw_a2c_stream_create(a[0], nullptr);
        enyx_hw_free_a2c_stream_descriptors(a, 1);
        enyx_hw_c2a_stream_descriptor* c[1] = {nullptr};
        if (enyx_hw_accelerator_enumerate_c2a_streams(m_acc, f, c, 1) == 1)
            m_c2a = enyx_hw_c2a_stream_create(c[0], nullptr);
        enyx_hw_free_c2a_stream_descriptors(c, 1);
        enyx_hw_filter_destroy(f);
    }
    ~Channel() {
        enyx_hw_a2c_stream_destroy(m_a2c);
        enyx_hw_c2a_stream_destroy(m_c2a);
        enyx_hw_accelerator_put(m_acc);
    }
    bool ok() const { return m_a2c && m_c2a; }
    ssize_t a2cMatches() const { return m_a2cMatches; }

    // Polls until empty; returns the records.
    std::vector<std::string> Drain(int max = 100000) {
        std::vector<std::string> out;
        for (int i = 0; i < max; ++i) {
            int r = enyx_hw_a2c_stream_poll_once(m_a2c, &Channel::Collect, &out);
            if (r != 1) {
                EXPECT_EQ(0, r);
                break;
            }
        }
        return out;
    }
    uint32_t Stat(int (*fn)(const enyx_hw_a2c_stream*, uint32_t*)) {
        uint32_t v = 0xdeadbeef;
        EXPECT_EQ(0, fn(m_a2c, &v));
        return v;
    }
    enyx_hw_a2c_stream* a2c() { return m_a2c; }
    enyx_hw_c2a_stream* c2a() { return m_c2a; }

private:
    static void Collect(const uint8_t* data, uint32_t size, void* opaque) {
        static_cast<std::vector<std::string>*>(opaque)->emplace_back(reinterpret_cast<const char*>(data), size);
    }

    enyx_hw_accelerator* m_acc = nullptr;
    enyx_hw_a2c_stream* m_a2c = nullptr;
    enyx_hw_c2a_stream* m_c2a = nullptr;
    ssize_t m_a2cMatches = -1;
};

template <typename T>
T At(const std::string& rec, size_t off) {
    T v;
    memcpy(&v, rec.data() + off, sizeof(T));
    return v;
}

TEST(EnyxSim, A2cFifoDeliversInOrderAndCountsBackPressure) {
    qtest::EnyxSimEnv env(kCard);
    Channel ch("CH0");
    ASSERT_TRUE(ch.ok());
    uint32_t mtu = 0;
    EXPECT_EQ(0, enyx_hw_a2c_stream_get_mtu(ch.a2c(), &mtu));
    EXPECT_EQ(64u, mtu);
    EXPECT_EQ(0u, ch.Drain().size());

    for (int i = 0; i < 6; ++i) {
        std::string rec = "record-" + std::to_string(i);
        int r = enyx_sim_a2c_inject(0, "CH0", rec.data(), static_cast<uint32_t>(rec.size()));
        if (i < 4) {
            EXPECT_EQ(0, r) << i;
        } else {
            EXPECT_EQ(-1, r);
            EXPECT_EQ(ENOBUFS, errno);
        }
    }
    std::string tooBig(65, 'x');
    EXPECT_EQ(-1, enyx_sim_a2c_inject(0, "CH0", tooBig.data(), 65));
    EXPECT_EQ(EMSGSIZE, errno);

    auto got = ch.Drain();
    ASSERT_EQ(4u, got.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ("record-" + std::to_string(i), got[i]);
    EXPECT_EQ(4u, ch.Stat(enyx_hw_a2c_stream_stats_get_packet_count));
    EXPECT_EQ(2u, ch.Stat(enyx_hw_a2c_stream_stats_get_backpressure));
    EXPECT_EQ(0u, ch.Stat(enyx_hw_a2c_stream_stats_get_fifo_errors));
    ASSERT_EQ(0, enyx_sim_a2c_add_errors(0, "CH0", 3, 5));
    EXPECT_EQ(3u, ch.Stat(enyx_hw_a2c_stream_stats_get_fifo_errors));
    EXPECT_EQ(5u, ch.Stat(enyx_hw_a2c_stream_stats_get_errors));

    // Another process feeds the same FIFO.
    int st = qtest::RunInChild([] {
        for (int i = 0; i < 3; ++i) {
            char rec[2] = {'c', static_cast<char>('0' + i)};
            if (enyx_sim_a2c_inject(0, "CH0", rec, 2) != 0) return 1;
        }
        return 0;
    });
    ASSERT_EQ(0, st);
    got = ch.Drain();
    EXPECT_EQ((std::vector<std::string>{"c0", "c1", "c2"}), got);

    // Stream names select exactly one stream; an unknown name none.
    EXPECT_EQ(1, ch.a2cMatches());
    Channel none("NO_SUCH_CHANNEL");
    EXPECT_EQ(0, none.a2cMatches());
    EXPECT_FALSE(none.ok());
}

TEST(EnyxSim, FeedGeneratorNumbersEachTypeAndDropsWhenFull) {
    qtest::EnyxSimEnv env(std::string(kCard) + "feed CH1 count=10 size=24 types=3,7\n");
    Channel ch("CH1");
    ASSERT_TRUE(ch.ok());
    auto got = ch.Drain();
    ASSERT_EQ(10u, got.size());
    uint64_t lastTs = 0;
    for (size_t n = 0; n < got.size(); ++n) {
        const std::string& r = got[n];
        ASSERT_EQ(24u, r.size());
        EXPECT_EQ(n % 2 ? 7 : 3, At<uint16_t>(r, 0)) << n;
        EXPECT_EQ(24, At<uint16_t>(r, 2));
        EXPECT_EQ(n / 2 + 1, At<uint32_t>(r, 4)) << n;
        uint64_t ts = At<uint64_t>(r, 8);
        EXPECT_GE(ts, lastTs);
        lastTs = ts;
        for (size_t k = 16; k < 24; ++k) EXPECT_EQ(static_cast<uint8_t>(n + k - 16), static_cast<uint8_t>(r[k]));
    }
    EXPECT_EQ(0u, ch.Stat(enyx_hw_a2c_stream_stats_get_backpressure));

    // At a rate the FIFO cannot hold, the records due while it is full are
    // dropped: their sequence numbers never arrive and back-pressure counts them.
    Channel small("CH0");  // depth 4
    enyx_sim_feed_config f{};
    f.rate = 1e6;
    f.count = 1000;
    f.size = 16;
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, "CH0", &f));
    usleep(20000);  // 1000 records are due after 1 ms
    got = small.Drain();
    ASSERT_EQ(4u, got.size());
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(i + 1, At<uint32_t>(got[i], 4));
    EXPECT_EQ(996u, small.Stat(enyx_hw_a2c_stream_stats_get_backpressure));
    EXPECT_EQ(4u, small.Stat(enyx_hw_a2c_stream_stats_get_packet_count));
    enyx_sim_a2c_stats s;
    ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, "CH0", &s));
    EXPECT_EQ(4u, s.generated);
    EXPECT_EQ(0u, s.queued);
}

// An injected record arrives after the feed records due before it and
// before those due after it, whichever the poller takes first.
TEST(EnyxSim, InjectedRecordsKeepTheirPlaceAmongFeedRecords) {
    qtest::EnyxSimEnv env(kCard);
    Channel ch("CH1");  // depth 16
    ASSERT_TRUE(ch.ok());
    enyx_sim_feed_config f{};
    f.rate = 1000;
    f.count = 3;
    f.size = 16;
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, "CH1", &f));
    ASSERT_EQ(0, enyx_sim_a2c_inject(0, "CH1", "first", 5));  // before any feed record is due
    usleep(20000);                                              // all three are due after 3 ms
    ASSERT_EQ(0, enyx_sim_a2c_inject(0, "CH1", "last", 4));
    auto got = ch.Drain();
    ASSERT_EQ(5u, got.size());
    EXPECT_EQ("first", got[0]);
    for (uint32_t i = 1; i <= 3; ++i) EXPECT_EQ(i, At<uint32_t>(got[i], 4)) << i;
    EXPECT_EQ("last", got[4]);
    enyx_sim_a2c_stats s;
    ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, "CH1", &s));
    EXPECT_EQ(5u, s.delivered);
    EXPECT_EQ(3u, s.generated);
    EXPECT_EQ(2u, s.injected);
    EXPECT_EQ(0u, s.queued);

    // An unpaced feed keeps the FIFO full: injection finds no room.
    f.rate = 0;
    f.count = 0;
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, "CH1", &f));
    EXPECT_EQ(-1, enyx_sim_a2c_inject(0, "CH1", "x", 1));
    EXPECT_EQ(ENOBUFS, errno);
    ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, "CH1", &s));
    EXPECT_EQ(16u, s.queued);
}

// The poller's counters live outside the card file, in an object every
// process maps: a child polling the stream is seen by the parent, and the
// object goes when the card does, or when a card is built after its
// directory was deleted.
TEST(EnyxSim, PollerCountersAreSharedAndLeaveWithTheCard) {
    // Objects that name a card file under dir (other tests make their own).
    auto hotObjects = [](const std::string& dir) {
        return std::stoi(qtest::RunCmd("grep -l -s -F -- '" + dir + "/' /dev/shm/enyx-sim-hot-* | wc -l"));
    };
    std::string dir;
    {
        qtest::EnyxSimEnv env(std::string(kCard) + "feed CH1 count=100 size=32\n");
        dir = env.dir();
        int st = qtest::RunInChild([] {
            Channel ch("CH1");
            return ch.Drain().size() == 100 ? 0 : 1;
        });
        ASSERT_EQ(0, st);
        enyx_sim_a2c_stats s;
        ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, "CH1", &s));
        EXPECT_EQ(100u, s.delivered);
        EXPECT_EQ(100u, s.generated);
        EXPECT_EQ(1, hotObjects(dir));
        ASSERT_EQ(0, enyx_sim_card_remove(0));
        EXPECT_EQ(0, hotObjects(dir));
        Channel again("CH1");  // a new card, a new object
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(1, hotObjects(dir));
    }  // the directory goes; its object stays until another card is built
    qtest::EnyxSimEnv other(kCard);
    Channel ch("CH0");
    ASSERT_TRUE(ch.ok());
    EXPECT_EQ(0, hotObjects(dir));
    EXPECT_EQ(1, hotObjects(other.dir()));
}

TEST(EnyxSim, ReplayDeliversRecordedFiles) {
    qtest::EnyxSimEnv env(kCard);
    Channel ch("CH1");
    ASSERT_TRUE(ch.ok());
    const std::string recs[3] = {"hello", "x", std::string(100, 'z')};
    const void* ptrs[3] = {recs[0].data(), recs[1].data(), recs[2].data()};
    const uint32_t lens[3] = {5, 1, 100};
    std::string file = env.dir() + "/rec.bin";
    ASSERT_EQ(0, enyx_sim_write_record_file(file.c_str(), ptrs, lens, 3));

    ASSERT_EQ(0, enyx_sim_a2c_replay(0, "CH1", file.c_str(), 0, 0, 0));
    EXPECT_EQ((std::vector<std::string>{recs[0], recs[1], recs[2]}), ch.Drain());

    ASSERT_EQ(0, enyx_sim_a2c_replay(0, "CH1", file.c_str(), 0, 7, 1));
    auto got = ch.Drain();
    ASSERT_EQ(7u, got.size());
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(recs[i % 3], got[i]) << i;

    // A classic pcap file: the packet bytes are the records.
    std::string pcap;
    auto put32 = [&pcap](uint32_t v) { pcap.append(reinterpret_cast<const char*>(&v), 4); };
    put32(0xa1b2c3d4);
    put32(0x00040002);
    put32(0);
    put32(0);
    put32(65535);
    put32(1);
    for (const std::string& p : {std::string("pkt-one"), std::string("pkt-2")}) {
        put32(1);
        put32(2);
        put32(static_cast<uint32_t>(p.size()));
        put32(static_cast<uint32_t>(p.size()));
        pcap += p;
    }
    std::string pf = env.dir() + "/rec.pcap";
    qtest::WriteFile(pf, pcap);
    ASSERT_EQ(0, enyx_sim_a2c_replay(0, "CH1", pf.c_str(), 0, 0, 0));
    EXPECT_EQ((std::vector<std::string>{"pkt-one", "pkt-2"}), ch.Drain());

    EXPECT_EQ(-1, enyx_sim_a2c_replay(0, "CH1", (env.dir() + "/missing").c_str(), 0, 0, 0));
}

TEST(EnyxSim, C2aSendsCanBeHeldBusyAndAreCaptured) {
    qtest::EnyxSimEnv env(kCard);
    Channel ch("CH0");
    ASSERT_TRUE(ch.ok());
    EXPECT_EQ(0, enyx_hw_c2a_stream_send(ch.c2a(), "abc", 3));
    char buf[64];
    EXPECT_EQ(3, enyx_sim_c2a_pop(0, "CH0", buf, sizeof(buf)));
    EXPECT_EQ(0, memcmp("abc", buf, 3));
    EXPECT_EQ(0, enyx_sim_c2a_pop(0, "CH0", buf, sizeof(buf)));

    // Held busy from another process: every send answers 11 until released.
    ASSERT_EQ(0, qtest::RunInChild([] { return enyx_sim_c2a_set_busy(0, "CH0", 1) == 0 ? 0 : 1; }));
    for (int i = 0; i < 3; ++i) {
        errno = 0;
        EXPECT_EQ(11, enyx_hw_c2a_stream_send(ch.c2a(), "x", 1));
        EXPECT_EQ(EAGAIN, errno);
    }
    ASSERT_EQ(0, enyx_sim_c2a_set_busy(0, "CH0", 0));
    ASSERT_EQ(0, enyx_sim_c2a_busy_next(0, "CH0", 2));
    EXPECT_EQ(11, enyx_hw_c2a_stream_send(ch.c2a(), "y", 1));
    EXPECT_EQ(11, enyx_hw_c2a_stream_send(ch.c2a(), "y", 1));
    EXPECT_EQ(0, enyx_hw_c2a_stream_send(ch.c2a(), "y", 1));

    // The card takes up to depth (4) messages; then it is busy until they are taken.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, enyx_hw_c2a_stream_send(ch.c2a(), "z", 1));
    EXPECT_EQ(11, enyx_hw_c2a_stream_send(ch.c2a(), "w", 1));
    EXPECT_EQ(1, enyx_sim_c2a_pop(0, "CH0", buf, sizeof(buf)));
    EXPECT_EQ('y', buf[0]);
    EXPECT_EQ(0, enyx_hw_c2a_stream_send(ch.c2a(), "w", 1));

    std::string big(65, 'b');
    errno = 0;
    EXPECT_EQ(-1, enyx_hw_c2a_stream_send(ch.c2a(), big.data(), 65));
    EXPECT_EQ(EMSGSIZE, errno);

    enyx_sim_c2a_stats s;
    ASSERT_EQ(0, enyx_sim_c2a_stats_get(0, "CH0", &s));
    EXPECT_EQ(6u, s.sends);
    EXPECT_EQ(8u, s.bytes);
    EXPECT_EQ(6u, s.busy_returns);
    EXPECT_EQ(4u, s.queued);
}

TEST(EnyxSim, CoreLockOfADeadProcessIsRecovered) {
    qtest::EnyxSimEnv env(kCard);
    auto root = [] {
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_accelerator_descriptor* ad[1] = {nullptr};
        enyx_hw_enumerate_accelerators(f, ad, 1);
        enyx_hw_accelerator* acc = enyx_hw_accelerator_get(ad[0]);
        enyx_hw_free_accelerator_descriptors(ad, 1);
        enyx_hw_mmio_descriptor* md[1] = {nullptr};
        enyx_hw_accelerator_enumerate_mmios(acc, f, md, 1);
        enyx_hw_filter_destroy(f);
        enyx_hw_mmio* mmio = enyx_hw_mmio_create(md[0]);
        enyx_hw_free_mmio_descriptors(md, 1);
        enyx_hw_core* core = nullptr;
        enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(enyx_hw_enumerate_cores(mmio)), 474, &core, 1);
        return core;
    };
    // A process killed in the middle of an access leaves the lock behind.
    ASSERT_EQ(0, qtest::RunInChild([&] { return enyx_hw_core_lock(root()) == 0 ? 0 : 1; }));
    enyx_hw_core* core = root();
    ASSERT_NE(nullptr, core);
    EXPECT_EQ(0, enyx_hw_core_lock(core));
    enyx_hw_register_description d{0, 0, 32};
    EXPECT_EQ(0, enyx_hw_write(core, &d, 0x474));
    EXPECT_EQ(0, enyx_hw_core_unlock(core));
}

TEST(EnyxSim, BrokenDescriptionIsRefused) {
    for (const char* cfg : {"core 474\n", "card\ncore 474 regs=abc\n", "card\nfrobnicate\n",
                            "card\nfeed NOPE\n", "card\ncore 0\n"}) {
        SCOPED_TRACE(cfg);
        qtest::EnyxSimEnv env(cfg);
        enyx_hw_accelerator_descriptor* ad[1] = {nullptr};
        errno = 0;
        EXPECT_EQ(-1, enyx_hw_enumerate_accelerators(nullptr, ad, 1));
        EXPECT_EQ(EINVAL, errno);
        EXPECT_EQ(nullptr, ad[0]);
    }
}

}  // namespace
