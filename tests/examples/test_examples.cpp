// The example clients as a user runs them: each one a process on the
// simulated card, reading the card's feed to the end; the consumer against
// the producer program, beside a second consumer, and writing a pcap file
// that tcpdump reads back.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child_proc.h"
#include "ipc_key_test.h"
#include "sdk_env.h"
#include "test_util.h"

using namespace sdktest;

namespace {

// A program of the examples folder as a child process.
std::unique_ptr<qtest::ChildProc> Start(const Env& env, const char* client, std::vector<std::string> more) {
    std::vector<std::string> a = {std::string(EXAMPLES_DIR) + "/" + client, "-d", env.dir(), "-l", env.logDir()};
    a.insert(a.end(), more.begin(), more.end());
    return std::unique_ptr<qtest::ChildProc>(new qtest::ChildProc(a));
}

// The numbers of a client's "total" line, by name ("records", "gaps", ...).
struct Totals {
    std::string line;
    Totals(qtest::ChildProc& c, const std::string& client) : line(c.Expect(client + ": total ", 12000)) {}
    double operator[](const std::string& name) const {
        size_t at = line.find(" " + name + " ");
        return at == std::string::npos ? -1 : atof(line.c_str() + at + name.size() + 2);
    }
};

// Run mode 0: the callback sees every record of the feed once, in order.
TEST(ExampleClients, CallbackClientReadsTheWholeFeed) {
    Env env("feed MAC_CHAN0_DATA count=20000 size=100 types=1,2,3\n");
    auto c = Start(env, "mkrx_callback", {"-n", "20000", "-s", "10"});
    Totals t(*c, "mkrx_callback");
    EXPECT_EQ(0, c->Wait()) << c->Seen();
    EXPECT_EQ(20000, t["records"]) << c->Seen();
    EXPECT_EQ(2000000, t["bytes"]);
    EXPECT_EQ(0, t["gaps"]);
    EXPECT_EQ(0, t["bad"]);
}

// Run mode 1 in each framing: 3 MB of feed pass through a 1 MiB ring, so
// that records cross the ring end into the tail area; at 2 MB/s the ring
// holds half a second of feed, enough for a reader on a busy machine.
class RingClient : public ::testing::TestWithParam<int> {};

TEST_P(RingClient, WalksEveryRecordAcrossTheRingEnd) {
    const int type = GetParam();
    Env env("feed MAC_CHAN0_DATA count=3000 size=1001 rate=2000 types=1,2,3\n");
    auto c = Start(env, "mkrx_ringbuf", {"-t", std::to_string(type), "-p", "1", "-n", "3000", "-s", "10"});
    Totals t(*c, "mkrx_ringbuf");
    EXPECT_EQ("mkrx_ringbuf: copy thread copied 3000 records, dropped 0 (ring full)",
              c->Expect("mkrx_ringbuf: copy thread"));
    EXPECT_EQ(0, c->Wait()) << c->Seen();
    EXPECT_EQ(3000, t["records"]) << c->Seen();
    EXPECT_EQ(0, t["gaps"]);
    EXPECT_EQ(0, t["bad"]);
    // Only the timestamp framing carries the copy time that gives a latency.
    if (type == MKRX_RAW_FPGA_WITH_HDR_DATA) {
        EXPECT_GE(t["min"], 0) << t.line;
        EXPECT_LT(t["max"], 5e6) << t.line;  // under 5 s, in us
    } else {
        EXPECT_EQ(std::string::npos, t.line.find("latency"));
    }
}

INSTANTIATE_TEST_SUITE_P(Framings, RingClient, ::testing::Values(0, 1, 2, 3));

// Run mode 2: the producer program and consumers of its pool, on the pool's
// fixed SysV keys (a private IPC namespace under the machine-wide key lock).
class PoolClients : public qtest::IpcKeyTest<> {
protected:
    void TearDown() override {
        m_consumers.clear();
        m_producer.reset();
        IpcKeyTest::TearDown();
    }
    void StartProducer(int type) {
        m_producer = Start(m_env, "QxDeliverDmaServer", {"-t", std::to_string(type)});
        ASSERT_NE("", m_producer->Expect("QxDeliverDmaServer: producing")) << m_producer->Seen();
    }
    // SIGTERM ends the producer cleanly, and the segment goes with it.
    void StopProducer() {
        EXPECT_EQ(0, m_producer->Kill(SIGTERM));
        EXPECT_EQ(-1, shmget(MKRX_SHM_KEY, 0, 0));
    }
    qtest::ChildProc& Consumer(std::vector<std::string> args) {
        m_consumers.push_back(Start(m_env, "mkrx_consumer", args));
        EXPECT_NE("", m_consumers.back()->Expect("mkrx_consumer: attached")) << m_consumers.back()->Seen();
        return *m_consumers.back();
    }

    Env m_env;
    std::unique_ptr<qtest::ChildProc> m_producer;
    std::vector<std::unique_ptr<qtest::ChildProc>> m_consumers;
};

// Two consumers of one pool each read every record written after they
// attached, with the copy-to-read latency of the timestamp framing.
TEST_F(PoolClients, TwoConsumersEachReadTheWholeFeed) {
    StartProducer(MKRX_RAW_FPGA_WITH_HDR_DATA);
    Consumer({"-t", "2", "-n", "3000", "-s", "10"});
    Consumer({"-t", "2", "-n", "3000", "-s", "10"});
    ASSERT_EQ(0, Env::Feed(kCh0, 3000, 1001, 2000));  // 3 MB through the 1 MiB ring at 2 MB/s
    for (auto& c : m_consumers) {
        Totals t(*c, "mkrx_consumer");
        EXPECT_EQ(0, c->Wait()) << c->Seen();
        EXPECT_EQ(3000, t["records"]) << c->Seen();
        EXPECT_EQ(0, t["gaps"]);
        EXPECT_EQ(0, t["bad"]);
        EXPECT_GE(t["min"], 0) << t.line;
        EXPECT_LT(t["max"], 5e6) << t.line;
    }
    StopProducer();
}

// A consumer whose standard output blocks (a full pipe here; a file on a
// busy disk, a slow terminal) keeps reading: its once-a-second line waits,
// its records do not. Its pipe is filled before the feed and read only after
// the other consumer has the whole feed; a consumer that printed from its
// reading loop stopped there and was expelled a ring behind.
TEST_F(PoolClients, ConsumerWhoseOutputBlocksKeepsReading) {
    StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    qtest::ChildProc& blocked = Consumer({"-t", "1", "-n", "3000", "-s", "20"});
    qtest::ChildProc& other = Consumer({"-t", "1", "-n", "3000", "-s", "20"});
    // A description of the pipe's write end of its own, non-blocking, to
    // fill it without touching the consumer's.
    int fd = open(("/proc/" + std::to_string(blocked.pid()) + "/fd/1").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << strerror(errno);
    const std::string filler(63, '#');
    while (write(fd, (filler + "\n").data(), filler.size() + 1) > 0) {
    }
    EXPECT_EQ(EAGAIN, errno);
    close(fd);
    ASSERT_EQ(0, Env::Feed(kCh0, 3000, 1001, 2000));  // 3 MB through the 1 MiB ring at 2 MB/s
    Totals o(other, "mkrx_consumer");
    EXPECT_EQ(0, other.Wait()) << other.Seen();
    EXPECT_EQ(3000, o["records"]);
    Totals b(blocked, "mkrx_consumer");  // reads the pipe: the consumer may end now
    EXPECT_EQ(0, blocked.Wait()) << b.line;
    EXPECT_EQ(3000, b["records"]) << b.line;
    EXPECT_EQ(0, b["gaps"]);
    StopProducer();
}

// Payload lengths of the first packets of a tcpdump hex dump, and the first
// bytes of the first packet as tcpdump prints them.
std::vector<size_t> PacketLengths(const std::string& dump, std::string* firstHex) {
    std::vector<size_t> lens;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t nl = dump.find('\n', pos);
        std::string line = dump.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? dump.size() : nl + 1;
        if (line.compare(0, 3, "\t0x") != 0) {
            lens.push_back(0);  // a packet's first line
            continue;
        }
        // "\t0x0010:  0001 0203 ...  ascii": the hex groups end at two blanks.
        size_t from = line.find(':') + 3, to = line.find("  ", from);
        std::string hex = line.substr(from, to - from);
        if (lens.size() == 1 && firstHex->empty()) *firstHex = hex;
        for (char ch : hex) lens.back() += ch != ' ';
    }
    for (auto& l : lens) l /= 2;
    return lens;
}

// The pcap file of a type 3 consumer: tcpdump reads back as many packets as
// the consumer counted, each the feed record as the card delivered it.
TEST_F(PoolClients, ConsumerWritesAPcapFileThatTcpdumpReads) {
    const std::string pcap = m_env.dir() + "/out.pcap";
    StartProducer(MKRX_PCAP_DATA);
    qtest::ChildProc& c = Consumer({"-t", "3", "-n", "20000", "-s", "10", "-w", pcap});
    ASSERT_EQ(0, Env::Feed(kCh0, 20000, 77, 20000));
    Totals t(c, "mkrx_consumer");
    EXPECT_EQ(0, c.Wait()) << c.Seen();
    StopProducer();
    ASSERT_EQ(20000, t["records"]) << c.Seen();
    EXPECT_EQ(0, t["gaps"]);

    int st = -1;
    EXPECT_EQ("20000 packets\n", qtest::RunCmd("tcpdump --count -r " + pcap + " 2>/dev/null", &st));
    EXPECT_EQ(0, st);
    std::string first;
    std::vector<size_t> lens = PacketLengths(qtest::RunCmd("tcpdump -r " + pcap + " -c 3 2>/dev/null"), &first);
    EXPECT_EQ(std::vector<size_t>({77, 77, 77}), lens);
    // Type 1, length 77, sequence number 1: the feed's first record.
    EXPECT_EQ("0100 4d00 0100 0000", first.substr(0, 19));
}

}  // namespace
