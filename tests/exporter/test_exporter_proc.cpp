// Process and socket families against what /proc and the sockets show.
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <thread>

#include "Q_Exporter.h"
#include "exporter_test_util.h"

using namespace qexp;

namespace {

class ExporterProc : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "3.4.5", "/metrics"));
        port = ListenPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override { Q_Exporter_Fini(); }

    std::map<std::string, std::string> ProcessLabels(std::string* text_out = nullptr) {
        std::string text = Scrape(port);
        if (text_out) *text_out = text;
        auto s = Samples(text, "process_base_info_guage");
        EXPECT_EQ(1u, s.size()) << text;
        return s.empty() ? std::map<std::string, std::string>() : s[0].labels;
    }
    int port = 0;
};

int CountEntries(const char* path) {
    DIR* d = opendir(path);
    int n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double ResidentMB() {
    std::string statm = qtest::ReadFile("/proc/self/statm");
    unsigned long size = 0, resident = 0;
    sscanf(statm.c_str(), "%lu %lu", &size, &resident);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

int UdpSocket(int* port) {
    int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(u, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t sl = sizeof(a);
    getsockname(u, reinterpret_cast<sockaddr*>(&a), &sl);
    *port = ntohs(a.sin_port);
    return u;
}

}  // namespace

// Defined first: no version was ever set in this process.
TEST(ExporterProcNoVersion, NoVersionLabel) {
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "", "/metrics"));
    std::string text = Scrape(ListenPort());
    Q_Exporter_Fini();
    auto s = Samples(text, "process_base_info_guage");
    ASSERT_EQ(1u, s.size()) << text;
    EXPECT_EQ(0u, s[0].labels.count("version"));
    EXPECT_EQ(1u, s[0].labels.count("PID"));
}

TEST_F(ExporterProc, ProcessLabelsFollowProc) {
    auto l = ProcessLabels();
    EXPECT_EQ(std::to_string(getpid()), l["PID"]);
    EXPECT_EQ("3.4.5", l["version"]);
    EXPECT_EQ("0.000000", l["cpu_usage"]) << "first sample has no previous one";
    EXPECT_TRUE(std::regex_match(l["start_time"], std::regex("[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}"))) << l["start_time"];
    EXPECT_EQ(std::to_string(CountEntries("/proc/self/task")), l["threads_num"]);

    // Descriptors: 24 more open files show up as 24 more handles.
    int before = atoi(ProcessLabels()["handles_num"].c_str());
    std::vector<int> fds;
    for (int i = 0; i < 24; ++i) fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    int after = atoi(ProcessLabels()["handles_num"].c_str());
    for (int fd : fds) close(fd);
    // (the previous scrape's connection may or may not be closed yet)
    EXPECT_NEAR(after - before, 24, 2);

    // Threads: four more.
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    int t_before = atoi(ProcessLabels()["threads_num"].c_str());
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { while (!stop) usleep(1000); });
    int t_after = atoi(ProcessLabels()["threads_num"].c_str());
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(t_before + 4, t_after);

    // Memory: 64 MiB touched shows up in the resident figure.
    double m_before = atof(ProcessLabels()["physics_men_use_MB"].c_str());
    EXPECT_NEAR(ResidentMB(), m_before, 8.0);
    std::vector<char> big(64u << 20);
    for (size_t i = 0; i < big.size(); i += 4096) big[i] = 1;
    double m_after = atof(ProcessLabels()["physics_men_use_MB"].c_str());
    EXPECT_GE(m_after - m_before, 60.0);
    EXPECT_NEAR(ResidentMB(), m_after, 8.0);
}

TEST_F(ExporterProc, CpuUsageIdleAndBusy) {
    EXPECT_EQ("0.000000", ProcessLabels()["cpu_usage"]);
    // Idle between two scrapes: 0.000000. The scrapes themselves cost a
    // little CPU that may fall on a tick, so a few tries are allowed.
    bool idle_zero = false;
    for (int i = 0; i < 5 && !idle_zero; ++i) {
        usleep(1000000);
        idle_zero = ProcessLabels()["cpu_usage"] == "0.000000";
    }
    EXPECT_TRUE(idle_zero);

    // One thread spinning for a second: the figure follows the CPU time the
    // process really got (the machine may be shared), in percent of one
    // processor.
    ProcessLabels();
    auto t0 = Clock::now();
    double c0 = ProcessCpuSeconds();
    volatile unsigned long spin = 0;
    while (SecondsSince(t0) < 1.0) ++spin;
    double expected = (ProcessCpuSeconds() - c0) / SecondsSince(t0) * 100.0;
    double busy = atof(ProcessLabels()["cpu_usage"].c_str());
    EXPECT_GT(busy, 5.0);
    EXPECT_GT(busy, expected * 0.5 - 10.0) << "expected about " << expected;
    EXPECT_LT(busy, expected * 1.5 + 10.0) << "expected about " << expected;
}

TEST_F(ExporterProc, EmptyVersionKeepsTheLastOne) {
    Q_Exporter_Fini();
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "", "/metrics"));
    port = ListenPort();
    EXPECT_EQ("3.4.5", ProcessLabels()["version"]);
}

TEST_F(ExporterProc, TcpFamilyShowsOwnSocketsOnly) {
    std::string text;
    ProcessLabels(&text);
    auto tcp = Samples(text, "net_tcp_state_guage");
    const std::string listen_addr = "127.0.0.1:" + std::to_string(port);
    bool listen_seen = false, conn_seen = false;
    for (auto& s : tcp) {
        if (s.labels["tcp_state"] == "LISTEN" && s.labels["local_addr"] == listen_addr) {
            listen_seen = true;
            EXPECT_EQ("0.0.0.0:0", s.labels["remote_addr"]);
            EXPECT_EQ("0", s.labels["Send_Q"]);
            EXPECT_EQ("0", s.labels["Recv_Q"]);
            EXPECT_EQ("off (0.00/retry:0/timeout:0)", s.labels["timers"]);
        }
        if (s.labels["tcp_state"] == "ESTABLISHED" && s.labels["local_addr"] == listen_addr) {
            conn_seen = true;  // the scrape's own connection
            EXPECT_TRUE(s.labels.count("cwnd"));
            int cwnd = atoi(s.labels["cwnd"].c_str());
            EXPECT_GE(cwnd, 1);
            EXPECT_LE(cwnd, 100);
        }
        EXPECT_EQ("0", s.value);
    }
    EXPECT_TRUE(listen_seen) << text;
    EXPECT_TRUE(conn_seen) << text;
    EXPECT_FALSE(HasFamily(text, "net_udp_state_guage")) << "no UDP socket is open";

    // A listening socket of a child process is not ours; one of this process is.
    int up[2], down[2];  // child -> parent: its port; parent -> child: closed when done
    ASSERT_EQ(0, pipe(up));
    ASSERT_EQ(0, pipe(down));
    pid_t child = fork();
    if (child == 0) {
        close(up[0]);
        close(down[1]);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(s, 1);
        socklen_t sl = sizeof(a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &sl);
        int p = ntohs(a.sin_port);
        if (write(up[1], &p, sizeof(p)) != sizeof(p)) _exit(1);
        char c;
        if (read(down[0], &c, 1) < 0) _exit(1);  // until the parent closes its end
        _exit(0);
    }
    close(up[1]);
    close(down[0]);
    int child_port = 0;
    ASSERT_EQ(static_cast<ssize_t>(sizeof(child_port)), read(up[0], &child_port, sizeof(child_port)));
    close(up[0]);

    int own = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(own, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    ASSERT_EQ(0, listen(own, 1));
    socklen_t sl = sizeof(a);
    getsockname(own, reinterpret_cast<sockaddr*>(&a), &sl);
    int own_port = ntohs(a.sin_port);

    // A connection between two sockets of this process: its cwnd label is
    // the congestion window the kernel reports for it.
    int cl = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(cl, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    int sv = accept(own, nullptr, nullptr);
    ASSERT_GE(sv, 0);
    sockaddr_in ca{};
    sl = sizeof(ca);
    getsockname(cl, reinterpret_cast<sockaddr*>(&ca), &sl);
    tcp_info ti{};
    socklen_t til = sizeof(ti);
    ASSERT_EQ(0, getsockopt(cl, IPPROTO_TCP, TCP_INFO, &ti, &til));

    ProcessLabels(&text);
    close(cl);
    close(sv);
    close(own);
    bool cl_seen = false;
    for (auto& s : Samples(text, "net_tcp_state_guage")) {
        if (s.labels["local_addr"] != "127.0.0.1:" + std::to_string(ntohs(ca.sin_port))) continue;
        cl_seen = true;
        EXPECT_EQ("ESTABLISHED", s.labels["tcp_state"]);
        EXPECT_EQ("127.0.0.1:" + std::to_string(own_port), s.labels["remote_addr"]);
        EXPECT_EQ(std::to_string(ti.tcpi_snd_cwnd), s.labels["cwnd"]);
    }
    EXPECT_TRUE(cl_seen) << text;
    close(down[1]);
    waitpid(child, nullptr, 0);
    bool own_seen = false, child_seen = false;
    for (auto& s : Samples(text, "net_tcp_state_guage")) {
        if (s.labels["local_addr"] == "127.0.0.1:" + std::to_string(own_port)) own_seen = true;
        if (s.labels["local_addr"] == "127.0.0.1:" + std::to_string(child_port)) child_seen = true;
    }
    EXPECT_TRUE(own_seen) << text;
    EXPECT_FALSE(child_seen) << text;
}

TEST_F(ExporterProc, UdpFamilyWhenUdpSocketsExist) {
    int up = 0;
    int u = UdpSocket(&up);
    ASSERT_GE(u, 0);
    std::string text;
    ProcessLabels(&text);
    close(u);
    ASSERT_TRUE(HasFamily(text, "net_udp_state_guage")) << text;
    auto udp = Samples(text, "net_udp_state_guage");
    ASSERT_EQ(1u, udp.size());
    EXPECT_EQ("127.0.0.1:" + std::to_string(up), udp[0].labels["local_addr"]);
    EXPECT_EQ("0.0.0.0:0", udp[0].labels["remote_addr"]);
    EXPECT_EQ("0", udp[0].labels["drops"]);
    EXPECT_EQ("0", udp[0].labels["Send_Q"]);

    std::string out;
    EXPECT_EQ(0, PromtoolCheck(text, &out)) << out;

    ProcessLabels(&text);
    EXPECT_FALSE(HasFamily(text, "net_udp_state_guage")) << "closed socket still listed";
}
