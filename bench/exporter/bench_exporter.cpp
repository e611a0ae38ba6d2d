// Scrape latency (one client) and throughput (several clients) of the
// exporter's own HTTP server, and of prometheus-cpp's pull Exposer serving
// the same families built by the same code, measured with wrk.
//
//   bench_exporter [seconds per run] [clients for throughput] [rounds]
//
// Runs alternate between the two servers and the medians over the rounds
// are printed. Each run gets a fresh network namespace when the process may
// create one (root), so that sockets of earlier runs (TIME_WAIT) and of other
// programs do not enter the socket tables the scrapes read. Both servers
// close the connection after each response (the Exposer's civetweb keeps no
// connection alive by default), so wrk reconnects for every request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "Q_Exporter.h"
#include "q_exporter_internal.h"

namespace {

// The daemon's two blocks: one record each, all information in labels.
void ConfigBlock(Q_Exporter_LPHandle h) {
    int i = Q_Exporter_CreatRecord(h);
    char name[32];
    for (int k = 0; k < 40; ++k) {
        snprintf(name, sizeof(name), "cfg_reg_%02d", k);
        Q_Exporter_Gauge_Add_int64(h, i, name, INT64_C(0x10000) * k + 7);
    }
    for (int k = 0; k < 20; ++k) {
        snprintf(name, sizeof(name), "cfg_text_%02d", k);
        Q_Exporter_Gauge_Add_str(h, i, name, "192.168.10.20:5000");
    }
}

void StatusBlock(Q_Exporter_LPHandle h) {
    int i = Q_Exporter_CreatRecord(h);
    char name[32];
    for (int k = 0; k < 40; ++k) {
        snprintf(name, sizeof(name), "mon_reg_%02d", k);
        Q_Exporter_Gauge_Add_int64(h, i, name, INT64_C(123456789) * k);
    }
    Q_Exporter_Gauge_Add_str(h, i, "last_reset", "20250225 08:41:13 quay");
}

Q_BlockMap Blocks() {
    Q_BlockMap m;
    m["quay_config"] = Metrics_Param{METRICS_TYPE_GAUGE, reinterpret_cast<void*>(&ConfigBlock), "configuration"};
    m["quay_status"] = Metrics_Param{METRICS_TYPE_GAUGE, reinterpret_cast<void*>(&StatusBlock), "status"};
    return m;
}

// The same families for the Exposer: the same collection code and monitors
// of its own (the Exposer may call in from several threads).
class SameFamilies : public prometheus::Collectable {
public:
    std::vector<prometheus::MetricFamily> Collect() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return q_collect_families(m_blocks, m_base, m_net, nullptr);
    }

private:
    mutable std::mutex m_mutex;
    Q_BlockMap m_blocks = Blocks();
    mutable CBaseMonitor_linux m_base;
    mutable CMonitor_NetStatInfo_Linux m_net;
};

// For reference: the same families registered once in a prometheus-cpp
// registry, served without any per-scrape work (no /proc reads, no
// callbacks) - the usual way of using the Exposer, and not what the
// exporter promises (fresh values at every scrape).
std::shared_ptr<prometheus::Registry> StaticRegistry() {
    auto reg = std::make_shared<prometheus::Registry>();
    CBaseMonitor_linux base;
    CMonitor_NetStatInfo_Linux net;
    prometheus::Labels proc;
    for (const auto& kv : base.GetProcessInfo()) proc.insert(kv);
    prometheus::BuildGauge().Name("process_base_info_guage").Help("the base_info of application").Register(*reg)
        .Add(proc).SetToCurrentTime();
    Q_NetStat_List tcp;
    net.GetNetstatInfo_TCP(tcp);
    if (!tcp.empty()) {
        auto& fam = prometheus::BuildGauge().Name("net_tcp_state_guage").Help("the net_tcp_state of application")
                        .Register(*reg);
        for (const auto& l : tcp) fam.Add(prometheus::Labels(l.begin(), l.end()));
    }
    for (const auto& entry : Blocks()) {
        Q_Gauge_Block block;
        block.set_name(entry.first);
        block.set_desc(entry.second.strDesc);
        block.set_registry(reg);
        Q_Exporter_Handle h = {&block, METRICS_TYPE_GAUGE};
        reinterpret_cast<Q_Cb_Gauge>(entry.second.f)(&h);
        block.Do_Register();
    }
    return reg;
}

bool UnshareNet() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

// The socket table modes: the daemon reads /proc/<pid>/net/tcp at every
// scrape, and the kernel walks the whole TCP hash for it, so its size sets
// a floor under every scrape's cost.
enum class Table { Host, Small };

std::string g_hostNs;  // "" until the base namespaces exist
bool g_haveNs = false;
int g_baseHost = -1, g_baseSmall = -1;  // namespace files to return to

// Enters a fresh namespace for one run: a child of the host's (sharing its
// full-size TCP hash) or a child of a namespace whose children get a small
// private hash (net.ipv4.tcp_child_ehash_entries, set only inside our own
// namespace).
bool FreshNetns(Table t) {
    if (!g_haveNs) return false;
    int base = t == Table::Host ? g_baseHost : g_baseSmall;
    if (setns(base, CLONE_NEWNET) != 0) return false;
    return UnshareNet();
}

void SetUpNamespaces() {
    g_baseHost = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (g_baseHost < 0 || !UnshareNet()) return;
    FILE* f = fopen("/proc/sys/net/ipv4/tcp_child_ehash_entries", "w");
    if (!f) return;
    fprintf(f, "1024\n");
    fclose(f);
    g_baseSmall = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    g_haveNs = g_baseSmall >= 0;
}

int OwnListenPort() {
    for (int fd = 3; fd < 1024; ++fd) {
        int acc = 0;
        socklen_t len = sizeof(acc);
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acc, &len) != 0 || !acc) continue;
        sockaddr_in sa;
        socklen_t sl = sizeof(sa);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &sl) == 0 && sa.sin_family == AF_INET)
            return ntohs(sa.sin_port);
    }
    return 0;
}

struct WrkResult {
    bool ok = false;
    double p50_us = 0, p99_us = 0, rps = 0;
    double cpu_us_per_req = 0;  // CPU time of this process (the server) per request
    long requests = 0, non2xx = 0, sock_errors = 0;
    std::string raw;
};

double ToMicros(double v, const std::string& unit) {
    if (unit == "us") return v;
    if (unit == "ms") return v * 1000.0;
    if (unit == "s") return v * 1e6;
    if (unit == "m") return v * 60e6;
    return v;
}

WrkResult RunWrk(int port, int threads, int conns, int seconds) {
    WrkResult r;
    char cmd[512];
    snprintf(cmd, sizeof(cmd), "wrk -t%d -c%d -d%ds --latency http://127.0.0.1:%d/metrics 2>&1", threads, conns,
             seconds, port);
    FILE* p = popen(cmd, "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.raw.append(buf, n);
    pclose(p);
    std::smatch m;
    std::regex p50("\\n\\s*50%\\s+([0-9.]+)(us|ms|s|m)"), p99("\\n\\s*99%\\s+([0-9.]+)(us|ms|s|m)");
    std::regex rps("Requests/sec:\\s+([0-9.]+)"), reqs("([0-9]+) requests in");
    std::regex non2xx("Non-2xx or 3xx responses: ([0-9]+)");
    std::regex errs("Socket errors: connect ([0-9]+), read ([0-9]+), write ([0-9]+), timeout ([0-9]+)");
    if (std::regex_search(r.raw, m, p50)) r.p50_us = ToMicros(atof(m[1].str().c_str()), m[2]);
    if (std::regex_search(r.raw, m, p99)) r.p99_us = ToMicros(atof(m[1].str().c_str()), m[2]);
    if (std::regex_search(r.raw, m, rps)) r.rps = atof(m[1].str().c_str());
    if (std::regex_search(r.raw, m, reqs)) r.requests = atol(m[1].str().c_str());
    if (std::regex_search(r.raw, m, non2xx)) r.non2xx = atol(m[1].str().c_str());
    if (std::regex_search(r.raw, m, errs))
        r.sock_errors = atol(m[1].str().c_str()) + atol(m[2].str().c_str()) + atol(m[3].str().c_str()) +
                        atol(m[4].str().c_str());
    r.ok = r.rps > 0 && r.p99_us > 0;
    return r;
}

enum class Server { Ours, Peer, PeerStatic };

const char* Name(Server s) {
    switch (s) {
        case Server::Ours: return "QxFPGAExporter";
        case Server::Peer: return "prometheus-cpp Exposer";
        case Server::PeerStatic: return "(Exposer, built once)";
    }
    return "";
}

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

WrkResult RunWrkTimed(int port, int threads, int conns, int seconds) {
    double c0 = ProcessCpuSeconds();
    WrkResult r = RunWrk(port, threads, conns, seconds);
    if (r.requests > 0) r.cpu_us_per_req = (ProcessCpuSeconds() - c0) * 1e6 / static_cast<double>(r.requests);
    return r;
}

// One run in a fresh namespace against a freshly started server.
WrkResult Run(Server s, Table t, int threads, int conns, int seconds, bool* netns) {
    *netns = FreshNetns(t);
    WrkResult r;
    if (s == Server::Ours) {
        if (Q_Exporter_Init(0, "127.0.0.1", "bench", "/metrics") != 0) return r;
        Q_Exporter_Regist_Gauge("quay_config", "configuration", ConfigBlock);
        Q_Exporter_Regist_Gauge("quay_status", "status", StatusBlock);
        r = RunWrkTimed(OwnListenPort(), threads, conns, seconds);
        Q_Exporter_Fini();
    } else {
        std::shared_ptr<prometheus::Collectable> families;
        if (s == Server::Peer)
            families = std::make_shared<SameFamilies>();
        else
            families = StaticRegistry();
        prometheus::Exposer exposer("127.0.0.1:0");
        exposer.RegisterCollectable(families);
        auto ports = exposer.GetListeningPorts();
        if (ports.empty()) return r;
        r = RunWrkTimed(ports[0], threads, conns, seconds);
    }
    return r;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Summary {
    int good = 0, runs = 0;
    double p50 = 0, p99 = 0, rps = 0, cpu = 0;
    long requests = 0, non2xx = 0;
};

Summary Summarise(const std::vector<WrkResult>& rs) {
    Summary s;
    std::vector<double> p50, p99, rps, cpu;
    for (const auto& r : rs) {
        ++s.runs;
        if (!r.ok) continue;
        ++s.good;
        p50.push_back(r.p50_us);
        p99.push_back(r.p99_us);
        rps.push_back(r.rps);
        cpu.push_back(r.cpu_us_per_req);
        s.requests += r.requests;
        s.non2xx += r.non2xx;
    }
    s.p50 = Median(p50);
    s.p99 = Median(p99);
    s.rps = Median(rps);
    s.cpu = Median(cpu);
    return s;
}

void PrintLine(Server srv, const char* load, const Summary& s) {
    printf("  %-24s %-10s p50 %7.0f us  p99 %7.0f us  %7.1f req/s  server CPU %5.0f us/req  (%d/%d runs ok, %ld "
           "requests, %ld non-2xx)\n",
           Name(srv), load, s.p50, s.p99, s.rps, s.cpu, s.good, s.runs, s.requests, s.non2xx);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int seconds = argc > 1 ? atoi(argv[1]) : 3;
    int clients = argc > 2 ? atoi(argv[2]) : 8;
    int rounds = argc > 3 ? atoi(argv[3]) : 3;
    if (seconds <= 0) seconds = 3;
    if (clients <= 0) clients = 8;
    if (rounds <= 0) rounds = 3;
    if (system("command -v wrk >/dev/null 2>&1") != 0) {
        printf("bench_exporter: wrk not found, nothing measured\n");
        return 0;
    }
    // The library's "exporter listen ok." lines would scatter the report.
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int saved_stdout = dup(1);
    std::string body = GetAllBackBuf(Blocks());
    printf("bench_exporter: scrape body %zu bytes; wrk, %d s per run, %d rounds, 1 client for latency, %d for "
           "throughput\n",
           body.size(), seconds, rounds, clients);
    SetUpNamespaces();

    const Table tables[] = {Table::Host, Table::Small};
    const Server servers[] = {Server::Ours, Server::Peer, Server::PeerStatic};
    // [table][server][load]
    std::vector<WrkResult> res[2][3][2];
    bool netns = true, ns = false;
    // Without the namespaces (not root) only the shared table can be measured.
    const int ntables = g_haveNs ? 2 : 1;
    for (int round = 0; round < rounds; ++round) {
        for (int t = 0; t < ntables; ++t) {
            for (int load = 0; load < 2; ++load) {
                // Alternate which of the two compared servers goes first.
                for (int k = 0; k < 3; ++k) {
                    int sv = k == 2 ? 2 : (k + round) % 2;
                    fflush(stdout);
                    dup2(devnull, 1);
                    WrkResult r = load == 0 ? Run(servers[sv], tables[t], 1, 1, seconds, &ns)
                                            : Run(servers[sv], tables[t], 2, clients, seconds, &ns);
                    fflush(stdout);
                    dup2(saved_stdout, 1);
                    if (!r.ok) printf("run failed (%s):\n%s\n", Name(servers[sv]), r.raw.c_str());
                    netns = netns && ns;
                    res[t][sv][load].push_back(r);
                }
            }
        }
    }

    printf("\nbench_exporter results, medians over %d rounds%s\n", rounds,
           netns ? " (each run in a fresh network namespace)" : " (shared network namespace: no root?)");
    char thr[32];
    snprintf(thr, sizeof(thr), "%d clients", clients);
    for (int t = 0; t < ntables; ++t) {
        printf("%s\n", t == 0 ? "socket table of the host's size (what the daemon pays on a real host)"
                              : "small private socket table (1024 buckets: the servers' own cost shows)");
        Summary sum[3][2];
        for (int sv = 0; sv < 3; ++sv) {
            for (int load = 0; load < 2; ++load) sum[sv][load] = Summarise(res[t][sv][load]);
            PrintLine(servers[sv], "1 client", sum[sv][0]);
            PrintLine(servers[sv], thr, sum[sv][1]);
        }
        if (sum[1][0].rps > 0 && sum[1][1].rps > 0 && sum[1][0].p99 > 0 && sum[1][1].p99 > 0)
            printf("  ours/peer: throughput %.2fx (%s), %.2fx (1 client); p99 %.2fx (1 client), %.2fx (%s); "
                   "p50 %.2fx (1 client); server CPU per request %.2fx (1 client), %.2fx (%s)\n",
                   sum[0][1].rps / sum[1][1].rps, thr, sum[0][0].rps / sum[1][0].rps, sum[0][0].p99 / sum[1][0].p99,
                   sum[0][1].p99 / sum[1][1].p99, thr, sum[0][0].p50 / sum[1][0].p50, sum[0][0].cpu / sum[1][0].cpu,
                   sum[0][1].cpu / sum[1][1].cpu, thr);
    }
    return 0;
}
