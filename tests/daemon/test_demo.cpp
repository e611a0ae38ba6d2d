// make demo's script: the whole system on the virtual Enyx card (animator,
// feed, daemon, producer, two consumers) under one live table, until Ctrl-C
// or for a bounded time, and nothing left running or in the IPC namespace
// afterwards. The tests run in PID and IPC namespaces of their own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include "child_proc.h"
#include "daemon_env.h"
#include "enyx_hw.h"
#include "enyx_sim_env.h"
#include "ipc_key_lock.h"

namespace {

// Starts demo.sh as a terminal's foreground job would run it (its own
// process group), output to out; env: extra settings.
pid_t StartDemo(const std::string& out, const std::map<std::string, std::string>& env = {}) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        for (const auto& e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
        FILE* f = freopen(out.c_str(), "w", stdout);
        if (!f || dup2(fileno(stdout), 2) < 0) _exit(127);
        execl("/bin/bash", "bash", svc::SourceFile("scripts/demo.sh").c_str(), QUAY_BINARY_DIR, (char*)nullptr);
        _exit(127);
    }
    return pid;
}

// The processes of the demo still running after it ended ("" when none);
// kills them. In a PID namespace of its own the test sees every process of
// the demo (the producer runs in a session of its own); elsewhere only the
// demo's process group.
std::string LeftRunning(pid_t pid) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string left;
    if (getpid() == 1) {
        DIR* d = opendir("/proc");
        for (struct dirent* e; d && (e = readdir(d)) != nullptr;) {
            pid_t p = (pid_t)atoi(e->d_name);
            if (p <= 1) continue;
            std::string stat = qtest::ReadFile("/proc/" + std::string(e->d_name) + "/stat");
            size_t close = stat.rfind(')');
            if (close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0) continue;  // gone, or a zombie
            left += stat.substr(0, close + 1) + "\n";
            kill(p, SIGKILL);
        }
        if (d) closedir(d);
        return left;
    }
    if (kill(-pid, 0) != 0) return "";
    left = qtest::RunCmd("ps -o pid,stat,args -g " + std::to_string(pid));
    kill(-pid, SIGKILL);
    return left.empty() ? "(group alive)" : left;
}

// The lines of the demo's own programs' output that the logger marks as
// errors ("" when none): the card, the daemon and quay_tool's configuration
// of the card from the sample quay.ini.
std::string ErrorLines(const std::string& work) {
    return qtest::RunCmd("grep -h -F '[ERROR' '" + work + "/tool.out' '" + work + "/quay.out' '" + work +
                         "/log/'* 2>/dev/null");
}

bool PoolIpcLeft() {
    return shmget(MKRX_SHM_KEY, 0, 0) >= 0 || semget(MKRX_SEM_SLOT_KEY, 0, 0) >= 0 ||
           semget(MKRX_SEM_EVENT_KEY, 0, 0) >= 0;
}

// The whitespace-separated words of a line.
std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

// The word after key in a consumer's line ("records" -> its count).
std::string After(const std::string& line, const std::string& key) {
    std::vector<std::string> w = Words(line);
    for (size_t i = 0; i + 1 < w.size(); ++i)
        if (w[i] == key) return w[i + 1];
    return "";
}

// The lines of text that begin with prefix.
std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
}

}  // namespace

TEST(Demo, RunsTheWholeSystemUntilCtrlCAndLeavesNothingRunning) {
    qtest::IpcKeyLock keys;
    qtest::TempDir dir("quaydemo");
    const std::string out = dir / "demo.txt", work = dir / "demo";
    pid_t pid = StartDemo(out, {{"DEMO_DIR", work}});
    ASSERT_GT(pid, 0);
    // The first scrape that shows the animated card's date.
    bool scraped = false;
    for (int i = 0; i < 200 && !scraped; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        scraped = qtest::ReadFile(out).find("trade date " + qd::Today()) != std::string::npos;
    }
    kill(-pid, SIGINT);  // Ctrl-C reaches the whole foreground group
    int st = 0;
    waitpid(pid, &st, 0);
    const std::string left = LeftRunning(pid);

    std::string text = qtest::ReadFile(out);
    EXPECT_TRUE(scraped) << text;
    EXPECT_NE(std::string::npos, text.find("curl -s http://127.0.0.1:")) << text;
    EXPECT_NE(std::string::npos, text.find("daemon    scrape ")) << text;
    EXPECT_NE(std::string::npos, text.find("demo stopped; nothing left running")) << text;
    EXPECT_EQ("", left) << "processes of the demo still running";
    EXPECT_FALSE(PoolIpcLeft()) << qtest::RunCmd("ipcs; cat " + work + "/producer.out " + work + "/log/Qx*");
}

// A bounded run without a terminal: the table's last frame carries the
// consumers' own totals, its frames before it counts that only grow, and the
// producer's copies cover what each consumer read.
TEST(Demo, BoundedRunTableAgreesWithTheConsumersOwnCounts) {
    qtest::IpcKeyLock keys;
    qtest::TempDir dir("quaydemo");
    const std::string work = dir / "demo", out = dir / "demo.txt";
    pid_t pid = StartDemo(out, {{"DEMO_SECONDS", "4"}, {"DEMO_DIR", work}, {"DEMO_RATE", "20000"}});
    ASSERT_GT(pid, 0);
    int st = -1;
    for (int i = 0; i < 300 && waitpid(pid, &st, WNOHANG) != pid; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ("", LeftRunning(pid)) << "processes of the demo still running";
    EXPECT_FALSE(PoolIpcLeft());

    const std::string text = qtest::ReadFile(out);
    const size_t fin = text.find(" final\n");
    ASSERT_NE(std::string::npos, fin) << text;
    const std::string frames = text.substr(0, fin), last = text.substr(fin);
    const std::vector<std::string> header = {"consumer", "rec/s", "records", "gaps", "lost", "p50_us", "p99_us"};
    EXPECT_EQ(header, Words(LinesStarting(last, "consumer ").at(0)));
    const std::vector<std::string> copied = Words(LinesStarting(last, "producer ").at(0));
    ASSERT_GE(copied.size(), 3u) << last;
    for (const char* c : {"c1", "c2"}) {
        const std::string own = qtest::RunCmd("grep '^mkrx_consumer: total ' '" + work + "/" + c + ".out'");
        const std::vector<std::string> row = Words(LinesStarting(last, std::string(c) + " ").at(0));
        ASSERT_EQ(7u, row.size()) << last;
        EXPECT_EQ(After(own, "rec/s"), row[1]) << own;
        EXPECT_EQ(After(own, "records"), row[2]) << own;
        EXPECT_EQ(After(own, "gaps"), row[3]) << own;
        EXPECT_EQ(After(own, "lost"), row[4]) << own;
        EXPECT_EQ(After(own, "p50"), row[5]) << own;
        EXPECT_EQ(After(own, "p99"), row[6]) << own;
        EXPECT_GT(atof(row[2].c_str()), 10000) << "a consumer that read little of 4 s at 20000/s\n" << last;
        EXPECT_LE(atof(row[2].c_str()), atof(copied[2].c_str())) << last;  // "copied N,"
        // Once a second while it ran: its count so far, never going back.
        double prev = 0;
        size_t seen = 0;
        for (const std::string& l : LinesStarting(frames, std::string(c) + " ")) {
            const std::vector<std::string> w = Words(l);
            if (w.size() != 7 || w[2] == "-") continue;
            EXPECT_GE(atof(w[2].c_str()), prev) << frames;
            prev = atof(w[2].c_str());
            ++seen;
        }
        EXPECT_GE(seen, 2u) << frames;
        EXPECT_LE(prev, atof(row[2].c_str())) << text;
    }
    EXPECT_EQ(1u, LinesStarting(last, "daemon    scrape ").size()) << last;
    EXPECT_EQ(std::string::npos, text.find('\033')) << "escape sequences in a file";
    // The sample quay.ini fits the demo's card: configuring it logs no error.
    EXPECT_NE(std::string::npos, qtest::ReadFile(work + "/tool.out").find("quay_tool reset finished."));
    EXPECT_EQ("", ErrorLines(work));
}

// On a terminal (under script) every frame is drawn from the top left over
// the last one without clearing the screen, keeps the intro lines, and shows
// one moment: the producer's copies cover what each consumer has read.
TEST(Demo, TerminalFramesShowOneConsistentSnapshotEach) {
    qtest::IpcKeyLock keys;
    qtest::TempDir dir("quaydemo");
    const std::string work = dir / "demo", typescript = dir / "typescript";
    int st = -1;
    const std::string cmd = "script -qfe -c \"env DEMO_SECONDS=4 DEMO_RATE=20000 DEMO_DIR='" + work + "' bash '" +
                            svc::SourceFile("scripts/demo.sh") + "' '" + QUAY_BINARY_DIR + "'\" '" + typescript +
                            "' </dev/null >/dev/null 2>&1";
    qtest::RunCmd(cmd, &st);
    EXPECT_EQ(0, st);
    std::string text = qtest::ReadFile(typescript);
    for (const char* clear : {"\033[2J", "\033[3J", "\033c"}) EXPECT_EQ(std::string::npos, text.find(clear)) << "a clear";

    // Frames begin with the cursor homed.
    std::vector<std::string> frames;
    for (size_t at = text.find("\033[H"); at != std::string::npos;) {
        size_t next = text.find("\033[H", at + 3);
        frames.push_back(text.substr(at + 3, next == std::string::npos ? std::string::npos : next - at - 3));
        at = next;
    }
    ASSERT_GE(frames.size(), 3u) << text;
    size_t checked = 0;
    for (std::string f : frames) {
        // Each line is cleared to its end; the rest of the screen after it.
        const size_t end = f.find("\033[J");
        ASSERT_NE(std::string::npos, end) << f;
        f = f.substr(0, end);
        std::string plain;
        for (size_t i = 0; i < f.size(); ++i) {
            if (f.compare(i, 3, "\033[K") == 0) i += 2;
            else if (f[i] != '\r') plain += f[i];
        }
        EXPECT_EQ(std::string::npos, plain.find('\033')) << plain;
        EXPECT_EQ(0u, plain.find("demo folder: " + work + " ")) << plain;
        EXPECT_EQ(1u, LinesStarting(plain, "metrics:     curl -s http://127.0.0.1:").size()) << plain;
        EXPECT_EQ(1u, LinesStarting(plain, "latency:  ").size()) << plain;
        const std::vector<std::string> prod = Words(LinesStarting(plain, "producer ").at(0));
        ASSERT_GE(prod.size(), 3u) << plain;
        EXPECT_NE("-", prod[2]) << "a frame without the producer's counts\n" << plain;
        const double copied = atof(prod[2].c_str());
        for (const char* c : {"c1 ", "c2 "}) {
            const std::vector<std::string> row = Words(LinesStarting(plain, c).at(0));
            ASSERT_EQ(7u, row.size()) << plain;
            if (row[2] == "-") continue;
            EXPECT_LE(atof(row[2].c_str()), copied) << "a consumer ahead of the producer in one frame\n" << plain;
            ++checked;
        }
    }
    EXPECT_GE(checked, 4u) << text;
    EXPECT_NE(std::string::npos, frames.back().find(" final")) << frames.back();
}

// make demo-tool's session written into a file: plain text, every step done,
// the sample's example subscription list programmed into a card whose
// firmware has the tables, and no error logged.
TEST(DemoTool, SessionIntoAFileIsPlainTextWithoutErrors) {
    qtest::TempDir dir("quaydemotool");
    int st = -1;
    qtest::RunCmd("bash '" + svc::SourceFile("scripts/demo-tool.sh") + "' '" + QUAY_BINARY_DIR + "' > '" +
                      (dir / "session.txt") + "' 2>&1 </dev/null",
                  &st);
    const std::string text = qtest::ReadFile(dir / "session.txt");
    EXPECT_EQ(0, st) << text;
    EXPECT_EQ(std::string::npos, text.find('\033')) << "escape sequences in a file";
    EXPECT_NE(std::string::npos, text.find("\n$ quay_tool info\n")) << text;
    EXPECT_NE(std::string::npos, text.find("[Srv]Subscribe stockid:600000, 600036, 601318, 000001, 300750, 010\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("encode(decode(bin)) == bin")) << text;
    EXPECT_EQ(std::string::npos, text.find("[ERROR")) << text;
}

// The host end of one a2c stream of card 0, polled on a thread of its own as
// a DMA engine polls it: the card produces what its feed has due when polled.
class StreamPoller {
public:
    explicit StreamPoller(const char* name) {
        enyx_hw_accelerator_descriptor* acc[1] = {nullptr};
        if (enyx_hw_enumerate_accelerators(nullptr, acc, 1) != 1) return;
        m_acc = enyx_hw_accelerator_get(acc[0]);
        enyx_hw_free_accelerator_descriptors(acc, 1);
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_a2c_stream_descriptor* d[1] = {nullptr};
        if (m_acc && f && enyx_hw_filter_set_name(f, name) == 0 &&
            enyx_hw_accelerator_enumerate_a2c_streams(m_acc, f, d, 1) == 1) {
            m_stream = enyx_hw_a2c_stream_create(d[0], nullptr);
            enyx_hw_free_a2c_stream_descriptors(d, 1);
        }
        if (f) enyx_hw_filter_destroy(f);
        if (m_stream)
            m_thread = std::thread([this] {
                while (!m_stop.load())
                    if (enyx_hw_a2c_stream_poll_once(m_stream, [](const uint8_t*, uint32_t, void*) {}, nullptr) != 1)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
    }
    ~StreamPoller() {
        m_stop.store(true);
        if (m_thread.joinable()) m_thread.join();
        if (m_stream) enyx_hw_a2c_stream_destroy(m_stream);
        if (m_acc) enyx_hw_accelerator_put(m_acc);
    }
    StreamPoller(const StreamPoller&) = delete;
    StreamPoller& operator=(const StreamPoller&) = delete;
    bool ok() const { return m_stream != nullptr; }

private:
    enyx_hw_accelerator* m_acc = nullptr;
    enyx_hw_a2c_stream* m_stream = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// quay-vcard --stream: the card's traffic counters are what its feed really
// produced, not an invented rate. Register indexes of the demo's register
// part (sz_tcp_net_x).
class VirtualCardStream : public ::testing::Test {
protected:
    // A FIFO of 100 records: what a slow host leaves there when the next
    // record is due is dropped at the card.
    qtest::EnyxSimEnv m_sim{"card\ncore 474 regs=2097152\ncore 472\nstream MAC_CHAN0_DATA depth=100\n"
                            "stream MAC_CHAN1_DATA depth=65536\n"};
    std::unique_ptr<qtest::ChildProc> m_anim;

    void Animate(const char* stream) {
        m_anim.reset(new qtest::ChildProc({qd::Bin("quay-vcard"), "--card", "enyx:0:474", "--bin",
                                           std::string(QUAY_BINARY_DIR) + "/data/bin", "--version", "0x1005",
                                           "--interval-ms", "20", "--lost-every", "0", "--stream", stream,
                                           "--record-size", "120"}));
        ASSERT_NE(std::string::npos, m_anim->Expect("quay-vcard: ").find("animating")) << m_anim->Seen();
    }
    static uint64_t Reg(uint64_t index) {
        uint64_t v = 0;
        enyx_sim_reg_peek(0, 474, index * 4, &v, sizeof(v));
        return v;
    }
    // Waits (up to 20 s) until the register at index holds a value that
    // satisfies ok; returns the last value read.
    template <typename F>
    static uint64_t WaitReg(uint64_t index, uint32_t bits, F ok) {
        uint64_t v = 0;
        for (int i = 0; i < 200; ++i) {
            v = Reg(index) & (bits == 64 ? ~0ull : ((1ull << bits) - 1));
            if (ok(v)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return v;
    }
    enum : uint64_t { kRxPkt = 0x500, kRxByte = 0x508, kMsg = 0x520, kDmaWrite = 0x528, kSeqGap = 0x620, kRate = 0x628 };
};

TEST_F(VirtualCardStream, CountersAreTheRecordsTheFeedProducedAndDropped) {
    enyx_sim_feed_config f = {};
    f.rate = 100000;
    f.count = 2000;
    f.size = 120;
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", &f));
    Animate("MAC_CHAN0_DATA");
    enyx_sim_a2c_stats st = {};
    {
        // A host that reads the whole feed; how much of it the small FIFO
        // dropped depends on how fast the host polled.
        StreamPoller host("MAC_CHAN0_DATA");
        ASSERT_TRUE(host.ok());
        for (int i = 0; i < 400 && (st.generated + st.backpressure < 2000 || st.queued > 0); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_EQ(0, enyx_sim_a2c_stats_get(0, "MAC_CHAN0_DATA", &st));
        }
    }
    ASSERT_EQ(2000u, st.generated + st.backpressure);
    ASSERT_EQ(st.generated, st.delivered);
    // The card's counters are those counts, whatever they came to.
    EXPECT_EQ(2000u, WaitReg(kRxPkt, 64, [](uint64_t v) { return v >= 2000; }));
    EXPECT_EQ(st.delivered, WaitReg(kDmaWrite, 64, [&](uint64_t v) { return v >= st.delivered; }));
    EXPECT_EQ(st.backpressure, WaitReg(kSeqGap, 32, [&](uint64_t v) { return v == st.backpressure; }));
    EXPECT_EQ(2000u * 120u, WaitReg(kRxByte, 64, [](uint64_t v) { return v >= 2000u * 120u; }));
    EXPECT_EQ(2000u, WaitReg(kMsg, 64, [](uint64_t v) { return v >= 2000; }));
}

TEST_F(VirtualCardStream, RateIsTheFeedsOwn) {
    enyx_sim_feed_config f = {};
    f.rate = 20000;
    f.size = 120;
    ASSERT_EQ(0, enyx_sim_a2c_feed(0, "MAC_CHAN1_DATA", &f));
    StreamPoller host("MAC_CHAN1_DATA");
    ASSERT_TRUE(host.ok());
    Animate("MAC_CHAN1_DATA");
    // The feed's pace is set by its clock: 20 kpps however loaded the host.
    const uint64_t kpps = WaitReg(kRate, 32, [](uint64_t v) { return v >= 18 && v <= 22; });
    EXPECT_GE(kpps, 18u);
    EXPECT_LE(kpps, 22u);
}
