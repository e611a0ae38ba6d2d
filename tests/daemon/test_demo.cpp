// make demo's script: the whole system on the virtual Enyx card (animator,
// feed, daemon, producer, two consumers) under one live table, until Ctrl-C
// or for a bounded time, and nothing left running or in the IPC namespace
// afterwards. The tests run in PID and IPC namespaces of their own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include "daemon_env.h"
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
}
