// The daemon's pool families: read from the shared segment at each scrape,
// equal to what the producer and the consumers wrote there, and withheld when
// the segment's header cannot be right. The tests run in PID and IPC
// namespaces of their own, under the pool's key lock.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <regex>

#include "ipc_key_lock.h"
#include "metrics_env.h"
#include "sdk_env.h"

namespace {

using qm::Samples;

const char* const kPoolFamilies[] = {
    "quay_pool_size_bytes",         "quay_pool_written_bytes_total",  "quay_pool_copied_records_total",
    "quay_pool_copied_bytes_total", "quay_pool_dropped_records_total", "quay_pool_dropped_bytes_total",
    "quay_pool_consumers",          "quay_pool_producer_up",          "quay_pool_events",
    "quay_pool_consumer_lag_bytes", "quay_pool_consumer_idle_seconds",
};

// quay on the virtual Enyx card of an SDK environment, beside which the
// producer program and consumers run.
class PoolMetrics : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    sdktest::Env env;
    int port = qd::FreePort();
    qd::Process quay, producer, consumer;

    void SetUp() override {
        qtest::RemovePoolIpc();
        std::string ini = qtest::ReadFile(env.dir() + "/quay.ini");
        ini = std::regex_replace(ini, std::regex("\\nport *=[^\\n]*"), "\nport = " + std::to_string(port));
        ini = std::regex_replace(ini, std::regex("\\nserver_ip *=[^\\n]*"), "\nserver_ip = 127.0.0.1");
        qtest::WriteFile(env.dir() + "/quay.ini", ini);
        ASSERT_TRUE(quay.Spawn({qd::Bin("quay")}, env.dir(), env.dir() + "/quay.txt"));
        ASSERT_TRUE(Wait("quay.txt", "started monitor service!")) << Read("quay.txt");
    }
    void TearDown() override {
        consumer.Kill();
        producer.Kill();
        quay.Kill();
        qtest::RemovePoolIpc();
    }
    std::string Read(const std::string& name) const { return qtest::ReadFile(env.dir() + "/" + name); }
    bool Wait(const std::string& name, const std::string& text, double seconds = 20) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        while (Read(name).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    std::string Scrape() const { return qd::HttpGet(port); }
    std::vector<std::string> PoolFamiliesIn(const Samples& s) const {
        std::vector<std::string> out;
        for (const char* f : kPoolFamilies)
            if (s.Has(f)) out.push_back(f);
        return out;
    }
};

// The producer's counters as it prints them: copied records, copied bytes,
// dropped records, dropped bytes, from its last line.
std::vector<double> ProducerCounters(const std::string& out) {
    std::smatch m;
    std::vector<double> v;
    std::string last;
    std::regex re("copied (\\d+) records (\\d+) bytes, dropped (\\d+) records (\\d+) bytes");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it) last = it->str();
    if (std::regex_search(last, m, re))
        for (int i = 1; i <= 4; ++i) v.push_back(atof(m[i].str().c_str()));
    return v;
}

TEST_F(PoolMetrics, FamiliesAreTheProducersCountersAndAStoppedConsumersLag) {
    const std::string dev = env.dir(), log = env.logDir();
    ASSERT_TRUE(producer.Spawn({std::string(EXAMPLES_DIR) + "/QxDeliverDmaServer", "-d", dev, "-l", log, "-t", "1", "-s"},
                               dev, dev + "/producer.txt"));
    ASSERT_TRUE(Wait("producer.txt", "QxDeliverDmaServer: producing")) << Read("producer.txt");
    ASSERT_TRUE(consumer.Spawn({std::string(EXAMPLES_DIR) + "/mkrx_consumer", "-d", dev, "-l", log, "-t", "1"}, dev,
                               dev + "/consumer.txt"));
    ASSERT_TRUE(Wait("consumer.txt", "mkrx_consumer: attached")) << Read("consumer.txt");
    kill(consumer.pid(), SIGSTOP);

    // 2000 records of 100 bytes, far less than the 1 MiB ring: the stopped
    // consumer stays attached with all of them unread.
    const double records = 2000, size = 100;
    ASSERT_EQ(0, sdktest::Env::Feed("MAC_CHAN0_DATA", (uint64_t)records, (uint32_t)size, 20000));
    std::vector<double> prod;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((prod = ProducerCounters(Read("producer.txt"))).empty() || prod[0] < records) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << Read("producer.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string body = Scrape();
    Samples s(body);
    EXPECT_EQ(1, s.Value("quay_pool_up")) << body;
    EXPECT_EQ(prod[0], s.Value("quay_pool_copied_records_total")) << body;
    EXPECT_EQ(prod[1], s.Value("quay_pool_copied_bytes_total")) << body;
    EXPECT_EQ(prod[2], s.Value("quay_pool_dropped_records_total")) << body;
    EXPECT_EQ(prod[3], s.Value("quay_pool_dropped_bytes_total")) << body;
    // Each record of framing 1 is a 4-byte length and its payload.
    EXPECT_EQ(records * (size + 4), s.Value("quay_pool_written_bytes_total")) << body;
    EXPECT_EQ(1 << 20, s.Value("quay_pool_size_bytes")) << body;
    EXPECT_EQ(1, s.Value("quay_pool_consumers")) << body;
    EXPECT_EQ(1, s.Value("quay_pool_producer_up")) << body;
    EXPECT_GE(s.Value("quay_pool_events"), 1) << "the consumer's attach is logged";
    const qm::LabelSet slot = {{"pid", std::to_string(consumer.pid())}};
    EXPECT_EQ(records * (size + 4), s.Value("quay_pool_consumer_lag_bytes", slot)) << body;
    const double idle = s.Value("quay_pool_consumer_idle_seconds", slot);
    EXPECT_GE(idle, 0) << body;
    EXPECT_EQ("", qd::PromtoolProblems(body));

    // A stopped consumer's idle time only grows.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_GE(Samples(Scrape()).Value("quay_pool_consumer_idle_seconds", slot), idle + 1);

    // A producer killed under its consumer leaves the segment: still
    // published, with the producer down.
    producer.Kill();
    s = Samples(Scrape());
    EXPECT_EQ(1, s.Value("quay_pool_up"));
    EXPECT_EQ(0, s.Value("quay_pool_producer_up"));
    EXPECT_EQ(1, s.Value("quay_pool_consumers"));
}

// A segment written by hand: what its header says is published as it is,
// and a header that cannot be right publishes nothing but quay_pool_up 0.
TEST_F(PoolMetrics, HeaderThatCannotBeRightIsNotPublished) {
    EXPECT_EQ(std::vector<std::string>{}, PoolFamiliesIn(Samples(Scrape()))) << "no segment";
    EXPECT_EQ(0, Samples(Scrape()).Value("quay_pool_up"));

    const uint32_t ring = 1 << 16;
    int id = shmget(MKRX_SHM_KEY, ring + MKRX_SHM_EXTRA_SIZE, IPC_CREAT | 0777);
    ASSERT_GE(id, 0);
    auto* h = static_cast<MkrxShareMemInfo_t*>(shmat(id, nullptr, 0));
    ASSERT_NE((void*)-1, (void*)h);
    auto sane = [&] {
        memset(h, 0, MKRX_SHM_HEAD_SIZE);
        h->bufInf.uiSize = ring;
        h->bufInf.ullIn = 10 * (uint64_t)ring + 500;
        h->DmaStatInfo.ulCpyPktNum = 7;
        h->DmaStatInfo.ulSoftDisPktNum = 3;
        h->uiRunSdkNum = 2;
        h->stSdkEveInf.ullWrIdx = 5;
        h->stServUsInf.serverPid = getpid();
        h->eDataType = 1;
        h->SdkCoutInf[2] = MkrxSdkCoutInfo_t{1, {}, h->bufInf.ullIn - 300, 4242, 0, 0, {}};
        // Ahead of the write position: only a corrupted slot says so.
        h->SdkCoutInf[5] = MkrxSdkCoutInfo_t{1, {}, h->bufInf.ullIn + 1, 4343, 0, 0, {}};
    };
    sane();
    std::string body = Scrape();
    Samples s(body);
    EXPECT_EQ(1, s.Value("quay_pool_up")) << body;
    EXPECT_EQ(ring, s.Value("quay_pool_size_bytes"));
    EXPECT_EQ(10.0 * ring + 500, s.Value("quay_pool_written_bytes_total"));
    EXPECT_EQ(7, s.Value("quay_pool_copied_records_total"));
    EXPECT_EQ(3, s.Value("quay_pool_dropped_records_total"));
    EXPECT_EQ(0, s.Value("quay_pool_dropped_bytes_total"));
    EXPECT_EQ(2, s.Value("quay_pool_consumers"));
    EXPECT_EQ(5, s.Value("quay_pool_events"));
    EXPECT_EQ(1, s.Value("quay_pool_producer_up"));
    EXPECT_EQ(300, s.Value("quay_pool_consumer_lag_bytes", {{"slot", "2"}, {"pid", "4242"}})) << body;
    EXPECT_EQ(1u, s.Of("quay_pool_consumer_lag_bytes").size()) << body;
    EXPECT_FALSE(s.Has("quay_pool_consumer_idle_seconds")) << "a slot without a time of life";
    EXPECT_EQ("", qd::PromtoolProblems(body));

    struct Case {
        const char* what;
        std::function<void()> spoil;
    } cases[] = {
        {"ring size not a power of two", [&] { h->bufInf.uiSize = ring - 1; }},
        {"ring larger than the segment", [&] { h->bufInf.uiSize = ring << 1; }},
        {"tail length past the tail area", [&] { h->uiTailLen = 0x7fffffff; }},
        {"nine consumers", [&] { h->uiRunSdkNum = 9; }},
        {"65 events", [&] { h->stSdkEveInf.ullWrIdx = 65; }},
        {"data type 99", [&] { h->eDataType = 99; }},
    };
    for (const Case& c : cases) {
        sane();
        c.spoil();
        Samples bad(Scrape());
        EXPECT_EQ(0, bad.Value("quay_pool_up")) << c.what;
        EXPECT_EQ(std::vector<std::string>{}, PoolFamiliesIn(bad)) << c.what;
    }
    sane();
    EXPECT_EQ(1, Samples(Scrape()).Value("quay_pool_up"));
    shmdt(h);
    shmctl(id, IPC_RMID, nullptr);
}

}  // namespace
