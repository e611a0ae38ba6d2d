#ifndef QUAY_TEST_DAEMON_ENV_H
#define QUAY_TEST_DAEMON_ENV_H

// The daemon as a process in a folder of its own: a virtual card of one kind
// (svc::Card), a free metrics port, the card animator, plain HTTP scrapes and
// the Prometheus text checks the daemon tests share.
//
//   qd::Daemon d(svc::kXdma, {{"monitor:record_time_len", "2"}});
//   d.StartAnimator();
//   d.Start();
//   ASSERT_TRUE(d.WaitOut("started monitor service!"));
//   auto labels = qd::Labels(d.Scrape(), "quay_fpga_status");

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../service/svc_env.h"

namespace qd {

inline std::string Bin(const char* name) { return std::string(QUAY_BINARY_DIR) + "/bin/" + name; }

// A loopback port nobody listens on right now.
inline int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof(a);
    int port = -1;
    if (fd >= 0 && bind(fd, (sockaddr*)&a, sizeof(a)) == 0 && getsockname(fd, (sockaddr*)&a, &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

// GET path from 127.0.0.1:port: the body of a whole 200 answer, else "".
inline std::string HttpGet(int port, const std::string& path = "/metrics") {
    int rc = -1;
    std::string body = qtest::RunCmd("curl -sf -m 5 http://127.0.0.1:" + std::to_string(port) + path, &rc);
    return rc == 0 ? body : std::string();
}

// Labels of the one sample of a family in a scrape body; empty when the
// family has no sample. Label values are unescaped.
inline std::map<std::string, std::string> Labels(const std::string& body, const std::string& family) {
    std::map<std::string, std::string> out;
    size_t p = body.find("\n" + family + "{");
    if (p == std::string::npos) return out;
    p += family.size() + 2;
    while (p < body.size() && body[p] != '}') {
        size_t eq = body.find("=\"", p);
        if (eq == std::string::npos) return {};
        std::string name = body.substr(p, eq - p), value;
        size_t i = eq + 2;
        for (; i < body.size() && body[i] != '"'; ++i) {
            if (body[i] == '\\' && i + 1 < body.size()) ++i;
            value += body[i];
        }
        if (i >= body.size()) return {};
        out[name] = value;
        p = i + 1;
        if (p < body.size() && body[p] == ',') ++p;
    }
    return out;
}

// promtool's verdict on a scrape body: "" when it passes.
inline std::string PromtoolProblems(const std::string& body) {
    qtest::TempDir dir("quaypromtool");
    qtest::WriteFile(dir / "body.txt", body);
    int rc = -1;
    std::string out = qtest::RunCmd("promtool check metrics < '" + (dir / "body.txt") + "' 2>&1", &rc);
    return rc == 0 ? std::string() : out + "(status " + std::to_string(rc) + ")";
}

// Names the two gauge blocks should carry for the sample register part:
// configuration (CFG then CFGFILE) and status (MON), only the types the
// monitor maps publish (numbers and addresses).
inline std::set<std::string> PublishedNames(const std::string& part, bool config) {
    CXmlHelper xml;
    std::set<std::string> names;
    if (xml.Parse(qtest::ReadFile(svc::SourceFile("data/cfg.xml")).c_str(), part) != 0) return names;
    std::vector<CFG_CLASS_e> classes;
    if (config) classes = {CFGCLASS_CFG, CFGCLASS_CFGFILE};
    else classes = {CFGCLASS_MON};
    for (CFG_CLASS_e c : classes) {
        for (const CfgDes_t& d : xml.GetList(c)) {
            if (d.eType == CFGDES_TYPE_date || d.eType == CFGDES_TYPE_TIME || d.eType == CFGDES_TYPE_TIME_YYYYMMDD)
                continue;
            names.insert(d.name);
        }
    }
    return names;
}

inline std::set<std::string> Keys(const std::map<std::string, std::string>& m) {
    std::set<std::string> k;
    for (auto& kv : m) k.insert(kv.first);
    return k;
}

// A child process with its output in a file; killed (SIGKILL) if still
// running when the object goes.
class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { Kill(); }

    bool Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& outPath,
               const std::map<std::string, std::string>& env = {}) {
        fflush(nullptr);
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            // Default dispositions and an empty mask, whatever the runner set.
            for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            // Gone with the test, whatever way the test ends.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (chdir(cwd.c_str()) != 0) _exit(127);
            FILE* f = fopen(outPath.c_str(), "a");
            if (!f) _exit(127);
            dup2(fileno(f), 1);
            dup2(fileno(f), 2);
            for (auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        m_status = -2;
        return true;
    }
    pid_t pid() const { return m_pid; }
    bool Alive() {
        Reap(false);
        return m_pid > 0 && m_status == -2;
    }
    // Exit code, or qtest::kChildSignalBase + signal; -1 on a time-out.
    int Wait(double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        while (Alive() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return m_status == -2 ? -1 : m_status;
    }
    int Signal(int sig, double seconds = 10) {
        if (Alive()) kill(m_pid, sig);
        return Wait(seconds);
    }
    void Kill() {
        if (Alive()) {
            kill(m_pid, SIGKILL);
            Reap(true);
        }
    }

private:
    void Reap(bool block) {
        if (m_pid <= 0 || m_status != -2) return;
        int st = 0;
        pid_t r = waitpid(m_pid, &st, block ? 0 : WNOHANG);
        if (r == m_pid) m_status = WIFEXITED(st) ? WEXITSTATUS(st) : qtest::kChildSignalBase + WTERMSIG(st);
    }

    pid_t m_pid = -1;
    int m_status = -1;
};

// quay in the folder of an svc::Card, on a free port, with the card animated
// on request. For the mapped-BAR card both programs must be started inside
// card().Run (the fake sysfs exists only there); Run suits every kind. Register keys of the card are those of the sample part of
// firmware 0x1005 (sz_tcp_net_x).
class Daemon {
public:
    static constexpr uint32_t kVersion = 0x1005;
    static constexpr const char* kPart = "sz_tcp_net_x";

    explicit Daemon(svc::CardKind kind, std::map<std::string, std::string> ini = {})
        : m_port(FreePort()), m_card(kind, WithPort(ini, m_port)) {
        m_card.PokeLE(m_card.VerAddr(), kVersion, 4);
    }

    svc::Card& card() { return m_card; }
    const std::string& dir() const { return m_card.dir(); }
    int port() const { return m_port; }
    Process& proc() { return m_quay; }

    // Starts quay; fakeStart ("2026-12-08 23:59:58") runs it under libfaketime
    // from that local time on.
    bool Start(const std::string& fakeStart = "") {
        std::map<std::string, std::string> env;
        if (!fakeStart.empty()) {
            // The single-thread library: the MT one serialises every clock
            // call on a mutex, which would hide races from ThreadSanitizer.
            env["LD_PRELOAD"] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
            env["FAKETIME"] = "@" + fakeStart;
            // The sanitizer runtimes would refuse a library loaded ahead of them.
            const char* asan = getenv("ASAN_OPTIONS");
            env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
        }
        // A race report ends the daemon at once, so no test can miss it.
        const char* tsan = getenv("TSAN_OPTIONS");
        env["TSAN_OPTIONS"] = std::string(tsan ? tsan : "") + ":halt_on_error=1";
        return m_quay.Spawn({Bin("quay")}, dir(), dir() + "/out.txt", env);
    }

    bool StartAnimator(double lostEvery = 0.5, int intervalMs = 50) {
        std::string card;
        if (m_card.kind() == svc::kXdma) card = "xdma:" + dir() + "/card.regs";
        else if (m_card.kind() == svc::kPio) card = std::string("pio:/sys/bus/pci/devices/") + svc::kPioBdf + "/resource0";
        else card = "enyx:0:" + std::to_string(svc::kEnyxCore);
        bool ok = m_anim.Spawn({Bin("quay-vcard"), "--card", card, "--bin", dir() + "/bin", "--version",
                                std::to_string(kVersion), "--interval-ms", std::to_string(intervalMs),
                                "--lost-every", std::to_string(lostEvery), "--seed", "7"},
                               dir(), dir() + "/vcard.txt");
        return ok && WaitFile("vcard.txt", "animating", 10);
    }
    Process& animator() { return m_anim; }
    // Kills both programs; for bodies run by card().Run, whose child ends
    // without running destructors.
    void KillAll() {
        m_quay.Kill();
        m_anim.Kill();
    }

    std::string Out() const { return qtest::ReadFile(dir() + "/out.txt"); }
    std::string LogFiles() const { return qtest::ReadLogs(dir() + "/log", "quay_"); }
    std::string Scrape() const { return HttpGet(m_port); }

    bool WaitOut(const std::string& text, double seconds = 10, size_t count = 1) const {
        return WaitFile("out.txt", text, seconds, count);
    }
    bool WaitFile(const std::string& name, const std::string& text, double seconds, size_t count = 1) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        do {
            if (svc::Count(qtest::ReadFile(dir() + "/" + name), text) >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

private:
    static std::map<std::string, std::string> WithPort(std::map<std::string, std::string> ini, int port) {
        if (!ini.count("monitor:port")) ini["monitor:port"] = std::to_string(port);
        ini.emplace("monitor:server_ip", "127.0.0.1");
        return ini;
    }

    int m_port;
    svc::Card m_card;
    Process m_anim;
    Process m_quay;  // declared last: stopped first
};

// Today's local date as YYYYMMDD.
using qtest::Today;

}  // namespace qd

#endif
