// The shared-pool path on the simulated card, against what it is made of,
// measured in the same run on the same two CPUs and tagged by the kind of
// core pair (bench_window.h):
//   card alone     the simulated card's a2c poll with a handler that does
//                  nothing: ns per record it hands out (unpaced feed);
//   card + copy    the same poll on CPU 0 with Copy2Pool (shared segment,
//                  framing 1) as its handler, as the copy thread does, and a
//                  reader thread on CPU 1 in the same process;
//   end to end     the producer program QxDeliverDmaServer (copy thread on
//                  CPU 0) and one consumer process on CPU 1 reading through
//                  libmkrxservice in run mode 2.
// End to end is divided by card + copy, the same work without the process
// boundary. Readers use mkrx_reader.h (no clock read, no system call per
// loop; PauseWait between empty polls for throughput, none for latency) and
// read each record's length word and first 8 payload bytes. The processes are stopped (SIGSTOP) while the probes run, so a
// window's tag is measured on quiet CPUs right before and after it.
//
// Then the one-way latency, copy to consumer process: the type 2 header's
// timestamp (the copy's clock) against the consumer's clock, read once per
// poll that finds records, at a paced feed; against a two-line ping-pong
// (the record line and the position line) probed before and after each
// window, with the share of a spinning thread's time the host took.
//
// Then the 10 GbE line rate: 14.88 M records/s of 64 bytes, paced by the
// simulated card, through the producer program to the consumer process,
// with what was dropped where.
//
//   bench_sdk [--window MS] [--rounds N] [--rate REC_PER_S] [--line SECONDS]
//   (BENCH_TRACE=1: every end-to-end window on standard error)
//
// Uses the pool's fixed SysV keys and runs the producer program: run it in
// namespaces of its own (scripts/bench.sh does).

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_window.h"
#include "drvRingBufPool.h"
#include "enyx_hw.h"
#include "enyx_sim_ctl.h"
#include "gt_logger.h"
#include "ipc_key_lock.h"
#include "mkrx_reader.h"
#include "mkrx_service.h"

namespace {

using bench::NowNs;

double g_windowMs = 10;
int g_rounds = 15;
double g_rate = 100000;
double g_lineSeconds = 1.0;
std::string g_dir;
const char* kCh = "MAC_CHAN0_DATA";

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A client's directory and the card, as on the virtual card of the tests.
// The card files stay in the client's directory under /tmp, which may be
// disk-backed: the card's hot path must not depend on where they are.
void SetUpCard() {
    char tmpl[] = "/tmp/bench_sdk.XXXXXX";
    g_dir = mkdtemp(tmpl);
    Write(g_dir + "/card.conf",
          "card\ncore 474 regs=2097152\ncore 472\nstream MAC_CHAN0_DATA mtu=2048 depth=65536\nstream MAC_CHAN1_DATA\n"
          "reg 474 28 0x1005\n");
    setenv("ENYX_SIM_CONFIG", (g_dir + "/card.conf").c_str(), 1);
    setenv("ENYX_SIM_DIR", (g_dir + "/cards").c_str(), 1);
    std::string ini = Read(std::string(QUAY_SOURCE_DIR) + "/data/quay.ini");
    size_t p = ini.find("core_id = 0");
    if (p != std::string::npos) ini.replace(p, 11, "core_id = 474");
    Write(g_dir + "/quay.ini", ini);
    Write(g_dir + "/bin", Read(std::string(QUAY_BINARY_DIR) + "/data/bin"));
    Write(g_dir + "/device.ini", "[device]\nquay_ini_path = " + g_dir +
                                     "\ndmapoolsize = 64\ncopyCoreNum = 0\ndma0name = MAC_CHAN0_DATA\ndma1name = "
                                     "MAC_CHAN1_DATA\n");
}

int Feed(uint32_t size, double rate) {
    enyx_sim_feed_config f;
    memset(&f, 0, sizeof(f));
    f.rate = rate;
    f.size = size;
    f.ntypes = 1;
    f.types[0] = 1;
    return enyx_sim_a2c_feed(0, kCh, &f);
}
void StopFeed() { enyx_sim_a2c_feed(0, kCh, nullptr); }

// The a2c stream of channel 0, opened as the DMA engine opens it.
struct Stream {
    enyx_hw_accelerator* acc = nullptr;
    enyx_hw_a2c_stream* a2c = nullptr;
    Stream() {
        enyx_hw_accelerator_descriptor* ad[1] = {nullptr};
        if (enyx_hw_enumerate_accelerators(nullptr, ad, 1) != 1) return;
        acc = enyx_hw_accelerator_get(ad[0]);
        enyx_hw_free_accelerator_descriptors(ad, 1);
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_filter_set_name(f, kCh);
        enyx_hw_a2c_stream_descriptor* sd[1] = {nullptr};
        if (enyx_hw_accelerator_enumerate_a2c_streams(acc, f, sd, 1) == 1) a2c = enyx_hw_a2c_stream_create(sd[0], nullptr);
        enyx_hw_free_a2c_stream_descriptors(sd, 1);
        enyx_hw_filter_destroy(f);
    }
    ~Stream() {
        enyx_hw_a2c_stream_destroy(a2c);
        enyx_hw_accelerator_put(acc);
    }
};

inline uint64_t Touch(const uint8_t* payload) {
    uint64_t v;
    memcpy(&v, payload, 8);
    return v;
}
volatile uint64_t g_sink;

struct ConsumerSource {
    CMkrxPoolConsumer* c;
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) { return c->Read(u); }
    void SetFetchSize(uint32_t bytes) { c->Consume(bytes); }
};

void Forward(const uint8_t* data, uint32_t len, void* pool) {
    static_cast<CDrvRingBufPool*>(pool)->CDrvRingBufPool::Copy2Pool(data, len, nullptr);
}

// ---- in-process windows ----

// ns per record the card hands to a poller with an empty handler.
double CardAlone(bench::Pair& pair, bench::Window& w) {
    Stream s;
    double ns = 0;
    w = pair.Run([&](int side) {
        if (side != 0 || s.a2c == nullptr) return;
        uint64_t n = 0;
        int64_t t0 = NowNs(), end = t0 + (int64_t)(g_windowMs * 1e6), now = t0;
        while (now < end) {
            for (int i = 0; i < 1024; ++i)
                n += enyx_hw_a2c_stream_poll_once(s.a2c, [](const uint8_t*, uint32_t, void*) {}, nullptr) == 1;
            now = NowNs();
        }
        ns = n ? (double)(now - t0) / (double)n : 0;
    });
    return ns;
}

struct CopyResult {
    double rate = 0;        // records/s the reader took
    uint64_t dropped = 0;   // records the pool dropped
    uint64_t cardDrops = 0; // records the card dropped (back-pressure)
    uint64_t read = 0;
};

// Card poll + Copy2Pool on CPU 0, reader thread on CPU 1, for `ms`; the feed
// is whatever runs.
CopyResult CardCopy(bench::Pair& pair, bench::Window& w, double ms) {
    CopyResult r;
    qtest::RemovePoolIpc();
    // What each side writes per record lies on cache lines of its own.
    struct alignas(64) ProducerSide {
        CDrvRingBufPool pool;
        Stream s;
    };
    struct alignas(64) ReaderSide {
        CMkrxPoolConsumer c;
        ConsumerSource src{&c};
        mkrx::PoolReader<mkrx::LenHdrFraming, ConsumerSource> reader{&src};
    };
    struct alignas(64) Flag {
        std::atomic<bool> stop{false};
    };
    std::unique_ptr<ProducerSide> ps(new ProducerSide);
    std::unique_ptr<ReaderSide> rs(new ReaderSide);
    std::unique_ptr<Flag> flag(new Flag);
    _DMaInitParam_t p;
    p.uiPoolSize = 64;
    p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
    p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
    if (ps->pool.Init(&p) != 0 || rs->c.Attach(GetShareMemBase()) != 0) return r;
    uint32_t bp0 = 0, bp1 = 0;
    enyx_hw_a2c_stream_stats_get_backpressure(ps->s.a2c, &bp0);
    w = pair.Run([&](int side) {
        if (side == 0) {
            ProducerSide& P = *ps;
            while (!flag->stop.load(std::memory_order_relaxed)) enyx_hw_a2c_stream_poll_once(P.s.a2c, Forward, &P.pool);
            return;
        }
        ReaderSide& R = *rs;
        uint64_t n = 0, sum = 0;
        mkrx::PauseWait wait;
        int64_t t0 = NowNs(), end = t0 + (int64_t)(ms * 1e6), now = t0;
        for (uint32_t i = 1;; ++i) {
            int k = R.reader.Poll([&](const uint8_t*, const uint8_t* pl, uint32_t) { sum += Touch(pl); });
            if (k < 0) break;
            if (k == 0) wait.Idle();
            else wait.Busy();
            n += (uint64_t)k;
            if ((i & 1023) == 0 && (now = NowNs()) >= end) break;
        }
        flag->stop.store(true);
        r.read = n;
        r.rate = (double)n * 1e9 / (double)(now - t0);
        g_sink = sum;
    });
    enyx_hw_a2c_stream_stats_get_backpressure(ps->s.a2c, &bp1);
    r.cardDrops = bp1 - bp0;
    r.dropped = mkrx::LoadRelaxed(&ps->pool.GetPktStat(0)->ulSoftDisPktNum);
    rs->c.Detach();
    return r;
}

// ---- processes ----

// Shared between the bench and its consumer process (MAP_SHARED before fork).
struct alignas(64) Control {
    alignas(64) std::atomic<uint64_t> records{0};  // written by the consumer
    std::atomic<int> state{0};                     // 1 attached, -1 failed, 2 done
    std::atomic<int> kicked{0};
    alignas(64) std::atomic<int> window{-1};       // written by the bench
    std::atomic<bool> quit{false};
};
Control* g_ctl = nullptr;
int g_ctlFd = -1;

bool MapControl(int fd) {
    void* p = mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    g_ctl = static_cast<Control*>(p);
    g_ctlFd = fd;
    return true;
}

pid_t StartProducer(int type) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        std::string t = std::to_string(type);
        execl(QX_PRODUCER, "QxDeliverDmaServer", "-d", g_dir.c_str(), "-l", (g_dir + "/plog").c_str(), "-t", t.c_str(),
              "-p", "0", (char*)nullptr);
        _exit(127);
    }
    // Ready when the segment exists with the producer attached.
    for (int i = 0; i < 1000; ++i) {
        int id = shmget(MKRX_SHM_KEY, 0, 0);
        struct shmid_ds ds;
        if (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_nattch >= 1) break;
        usleep(10000);
    }
    usleep(100000);
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// The consumer process: run mode 2 on CPU 1 until quit; counts records in
// g_ctl; in latency mode keeps (window, ns) samples and writes them to
// g_dir/lat.bin.
template <class Framing>
void ConsumerMain(bool latency) {
    bench::Pin(1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    MkrxInitParam_t p;
    memset(&p, 0, sizeof(p));
    snprintf(p.device_ini_direct, sizeof(p.device_ini_direct), "%s", g_dir.c_str());
    snprintf(p.logdirect, sizeof(p.logdirect), "%s/clog", g_dir.c_str());
    p.eRunMode = MKRX_MULTI_SDK_CONSUME_MODE;
    p.eDataType = (MkrxDataType_e)Framing::kType;
    IMkrxService* s = NewIMkrxService(&p);
    if (s == nullptr) {
        g_ctl->state.store(-1);
        _exit(1);
    }
    g_ctl->state.store(1);
    mkrx::PoolReader<Framing> reader(s);
    std::vector<std::pair<int32_t, int32_t>> lat;
    if (latency) lat.reserve(4000000);
    uint64_t n = 0, sum = 0;
    // Throughput: pauses between empty polls (a sibling hyperthread keeps
    // its share of the core); latency: re-polls at once.
    mkrx::PauseWait pause;
    while (!g_ctl->quit.load(std::memory_order_relaxed)) {
        int64_t now = 0;
        int k = reader.Poll([&](const uint8_t* hdr, const uint8_t* pl, uint32_t) {
            if (latency) {
                if (now == 0) now = MkrxGetTimeTamp();  // once per poll that finds records
                int64_t ts;
                memcpy(&ts, hdr, 8);
                if (lat.size() < lat.capacity())
                    lat.emplace_back(g_ctl->window.load(std::memory_order_relaxed), (int32_t)std::min<int64_t>(now - ts, INT32_MAX));
            } else {
                sum += Touch(pl);
            }
        });
        if (k < 0) {
            g_ctl->kicked.store(1);
            break;
        }
        if (k > 0) {
            n += (uint64_t)k;
            g_ctl->records.store(n, std::memory_order_relaxed);
            pause.Busy();
        } else if (!latency) {
            pause.Idle();
        }
    }
    g_sink = sum;
    if (latency) {
        FILE* f = fopen((g_dir + "/lat.bin").c_str(), "wb");
        if (f) {
            if (!lat.empty()) fwrite(lat.data(), sizeof(lat[0]), lat.size(), f);
            fclose(f);
        }
    }
    g_ctl->state.store(2);
    FreeIMkrxService(s);
    _exit(0);
}

pid_t StartConsumerOnce(int type, bool latency) {
    g_ctl->records.store(0);
    g_ctl->state.store(0);
    g_ctl->kicked.store(0);
    g_ctl->quit.store(false);
    g_ctl->window.store(-1);
    // A fresh program, not a fork of this one, whose worker threads may
    // hold locks at the fork: the control page is the memfd at fd g_ctlFd.
    pid_t pid = fork();
    if (pid == 0) {
        std::string fd = std::to_string(g_ctlFd), t = std::to_string(type);
        execl("/proc/self/exe", "bench_sdk", "--consumer", fd.c_str(), t.c_str(), latency ? "1" : "0", g_dir.c_str(),
              (char*)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 4000 && g_ctl->state.load() == 0; ++i) usleep(5000);
    return pid;
}

// A consumer that fails to attach (on a busy machine the producer program
// may not be ready yet) is tried again, three times at most.
pid_t StartConsumer(int type, bool latency) {
    for (int attempt = 0;; ++attempt) {
        pid_t pid = StartConsumerOnce(type, latency);
        if (g_ctl->state.load() == 1 || attempt == 2) return pid;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        usleep(500000);
    }
}

void EndConsumer(pid_t pid) {
    kill(pid, SIGCONT);
    g_ctl->quit.store(true);
    waitpid(pid, nullptr, 0);
}

// The producer's counters in the segment (read-only attachment).
struct PoolStat {
    uint64_t copied = 0, dropped = 0;
};
PoolStat ReadPoolStat() {
    PoolStat st;
    int id = shmget(MKRX_SHM_KEY, 0, 0);
    if (id < 0) return st;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == (void*)-1) return st;
    const MkrxShareMemInfo_t* h = static_cast<const MkrxShareMemInfo_t*>(p);
    st.copied = mkrx::LoadRelaxed(&h->DmaStatInfo.ulCpyPktNum);
    st.dropped = mkrx::LoadRelaxed(&h->DmaStatInfo.ulSoftDisPktNum);
    shmdt(p);
    return st;
}

uint64_t CardStat(int (*fn)(const enyx_hw_a2c_stream*, uint32_t*)) {
    enyx_sim_a2c_stats st;
    if (enyx_sim_a2c_stats_get(0, kCh, &st) != 0) return 0;
    if (fn == enyx_hw_a2c_stream_stats_get_backpressure) return st.backpressure;
    return st.delivered;
}

// Times the threads of a process were preempted (involuntary switches).
long Preemptions(pid_t pid) {
    long n = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(dir + "/" + e->d_name + "/status");
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) n += atol(line.c_str() + 27);
        }
        closedir(d);
    }
    return n;
}

// CPU time and time spent waiting for a CPU (ns, /proc schedstat) of the
// busiest thread of a process: for the producer, its copy thread.
struct Sched {
    uint64_t run = 0, wait = 0;
};
Sched BusiestThread(pid_t pid) {
    Sched best;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(dir + "/" + e->d_name + "/schedstat");
            Sched s;
            in >> s.run >> s.wait;
            if (s.run > best.run) best = s;
        }
        closedir(d);
    }
    return best;
}

void Freeze(pid_t a, pid_t b, bool stop) {
    kill(a, stop ? SIGSTOP : SIGCONT);
    kill(b, stop ? SIGSTOP : SIGCONT);
    if (stop) usleep(2000);  // let both really stop before the probes
}

// Samples by tag: v from windows kept, loose from windows whose probes
// agree but in which a thread or process was preempted (shown, marked *,
// only where no window was kept).
struct Tagged {
    std::vector<double> v[2], loose[2];
    int dropped = 0;
    void Add(const bench::Window& w, double x) {
        if (w.kept) v[w.tag].push_back(x);
        else dropped++;
        if (!w.kept && w.tag != bench::kMixed) loose[w.tag].push_back(x);
    }
    const std::vector<double>& Best(int tag, bool* isLoose) const {
        *isLoose = v[tag].empty() && !loose[tag].empty();
        return *isLoose ? loose[tag] : v[tag];
    }
};

// End to end: records/s the consumer process took in each window.
void EndToEnd(bench::Pair& pair, uint32_t size, Tagged& out, uint64_t& drops, int& kicked) {
    qtest::RemovePoolIpc();
    pid_t prod = StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    pid_t cons = StartConsumer(MKRX_RAW_FPGA_WITH_LEN_HDR, false);
    if (g_ctl->state.load() != 1) {
        fprintf(stderr, "bench_sdk: the consumer did not attach\n");
        kill(cons, SIGKILL);
        waitpid(cons, nullptr, 0);
        Stop(prod);
        kicked = -1;
        return;
    }
    PoolStat s0 = ReadPoolStat();
    Feed(size, 0);
    Freeze(prod, cons, true);
    for (int r = 0; r < g_rounds; ++r) {
        bench::Window w;
        w.probeNs[0] = pair.Probe();
        Freeze(prod, cons, false);
        usleep(2000);  // both spinning again
        long pre = Preemptions(prod) + Preemptions(cons);
        uint64_t c0 = g_ctl->records.load();
        int64_t t0 = NowNs();
        usleep((useconds_t)(g_windowMs * 1000));
        uint64_t c1 = g_ctl->records.load();
        int64_t t1 = NowNs();
        bool calm = Preemptions(prod) + Preemptions(cons) == pre;
        Freeze(prod, cons, true);
        w.probeNs[1] = pair.Probe();
        int a = w.probeNs[0] < bench::kFarFromNs ? bench::kNear : bench::kFar;
        int b = w.probeNs[1] < bench::kFarFromNs ? bench::kNear : bench::kFar;
        w.tag = a == b ? a : bench::kMixed;
        w.kept = calm && w.tag != bench::kMixed;
        out.Add(w, (double)(c1 - c0) * 1e9 / (double)(t1 - t0));
        if (getenv("BENCH_TRACE"))
            fprintf(stderr, "e2e %u: %llu records in %.1f ms, probes %.0f %.0f\n", size,
                    (unsigned long long)(c1 - c0), (t1 - t0) / 1e6, w.probeNs[0], w.probeNs[1]);
    }
    Freeze(prod, cons, false);
    StopFeed();
    kicked = g_ctl->kicked.load();
    EndConsumer(cons);
    drops = ReadPoolStat().dropped - s0.dropped;
    Stop(prod);
}

std::string Cell(const Tagged& t, int tag, double scale, const char* fmt) {
    bool loose;
    const std::vector<double>& v = t.Best(tag, &loose);
    if (v.empty()) return "-";
    char b[48];
    snprintf(b, sizeof(b), fmt, bench::Median(v) / scale);
    return std::string(b) + " (" + std::to_string(v.size()) + (loose ? "*)" : ")");
}

void Throughput(bench::Pair& pair) {
    printf("\nthroughput, unpaced feed; readers read the length word and the first 8 payload bytes of each record;\n"
           "medians over %.0f ms windows, windows kept in (); end to end / card + copy within one tag\n",
           g_windowMs);
    printf("%5s %5s  %14s  %16s  %16s  %9s   %s\n", "tag", "bytes", "card ns/rec", "card+copy Mrec/s", "e2e Mrec/s",
           "e2e/c+c", "drops: pool in c+c, pool in e2e, expelled");
    for (uint32_t size : {64u, 1024u}) {
        Tagged card, cc, e2e;
        uint64_t ccDrops = 0, e2eDrops = 0;
        int kicked = 0;
        Feed(size, 0);
        for (int r = 0; r < g_rounds; ++r) {
            bench::Window w;
            double ns = CardAlone(pair, w);
            card.Add(w, ns);
            CopyResult c = CardCopy(pair, w, g_windowMs);
            cc.Add(w, c.rate);
            ccDrops += c.dropped;
        }
        StopFeed();
        EndToEnd(pair, size, e2e, e2eDrops, kicked);
        Feed(size, 0);
        for (int r = 0; r < g_rounds; ++r) {  // again after, so drift hits both alike
            bench::Window w;
            CopyResult c = CardCopy(pair, w, g_windowMs);
            cc.Add(w, c.rate);
            ccDrops += c.dropped;
        }
        StopFeed();
        for (int tag = 0; tag < 2; ++tag) {
            std::string ratio = "-";
            bool l1, l2;
            const std::vector<double>& a = e2e.Best(tag, &l1);
            const std::vector<double>& b = cc.Best(tag, &l2);
            if (!a.empty() && !b.empty()) {
                char buf[32];
                snprintf(buf, sizeof(buf), "%.2f%s", bench::Median(a) / bench::Median(b), l1 || l2 ? "*" : "");
                ratio = buf;
            }
            printf("%5s %5u  %14s  %16s  %16s  %9s   %llu, %llu, %s\n", bench::TagName(tag), size,
                   Cell(card, tag, 1, "%.1f").c_str(), Cell(cc, tag, 1e6, "%.2f").c_str(),
                   Cell(e2e, tag, 1e6, "%.2f").c_str(), ratio.c_str(), (unsigned long long)ccDrops,
                   (unsigned long long)e2eDrops, kicked > 0 ? "yes" : kicked < 0 ? "no consumer" : "no");
        }
        printf("      windows not kept: card %d, card+copy %d, e2e %d of %d, %d, %d (* = median of preempted windows, "
               "shown where none was kept)\n",
               card.dropped, cc.dropped, e2e.dropped, g_rounds, 2 * g_rounds, g_rounds);
        fflush(stdout);
    }
}

// Percentile of sorted v.
double Pct(const std::vector<int32_t>& v, double f) { return v[std::min(v.size() - 1, (size_t)(f * v.size()))]; }

bool Latency(bench::Pair& pair) {
    qtest::RemovePoolIpc();
    pid_t prod = StartProducer(MKRX_RAW_FPGA_WITH_HDR_DATA);
    pid_t cons = StartConsumer(MKRX_RAW_FPGA_WITH_HDR_DATA, true);
    if (g_ctl->state.load() != 1) {
        fprintf(stderr, "bench_sdk: the latency consumer did not attach\n");
        kill(cons, SIGKILL);
        waitpid(cons, nullptr, 0);
        Stop(prod);
        return false;
    }
    struct Win {
        bench::Window w;
        double lost[2];
    };
    const int rounds = 2 * g_rounds;
    std::vector<Win> wins(rounds);
    double lostBuf[2];
    for (int r = 0; r < rounds; ++r) {
        Win& x = wins[r];
        x.w.probeNs[0] = pair.Probe(2);
        g_ctl->window.store(r);
        Freeze(prod, cons, false);
        usleep(2000);
        long pre = Preemptions(prod) + Preemptions(cons);
        Feed(64, g_rate);  // armed now: nothing is due from the stopped time
        usleep((useconds_t)(g_windowMs * 1000));
        StopFeed();
        usleep(1000);
        g_ctl->window.store(-1);
        bool calm = Preemptions(prod) + Preemptions(cons) == pre;
        Freeze(prod, cons, true);
        x.w.probeNs[1] = pair.Probe(2);
        pair.Raw([&](int side) { lostBuf[side] = bench::LostShare(5); });
        x.lost[0] = lostBuf[0];
        x.lost[1] = lostBuf[1];
        int a = x.w.probeNs[0] < bench::kFarFromNs ? bench::kNear : bench::kFar;
        int b = x.w.probeNs[1] < bench::kFarFromNs ? bench::kNear : bench::kFar;
        x.w.tag = a == b ? a : bench::kMixed;
        x.w.kept = calm && a == b;
    }
    Freeze(prod, cons, false);
    EndConsumer(cons);
    Stop(prod);
    std::string raw = Read(g_dir + "/lat.bin");
    std::vector<std::pair<int32_t, int32_t>> s(raw.size() / sizeof(std::pair<int32_t, int32_t>));
    if (!s.empty()) memcpy(static_cast<void*>(s.data()), raw.data(), s.size() * sizeof(s[0]));
    printf("\none-way latency, copy (producer program, CPU 0) to consumer process (CPU 1), 64-byte records at %.0f "
           "rec/s, %.0f ms windows;\nthe consumer reads the type 2 header's timestamp and its clock once per poll that "
           "finds records\n",
           g_rate, g_windowMs);
    printf("the ping-pong bound of each window is probed on CPUs 0 and 1, %s\n", bench::SiblingsReport(0, 1).c_str());
    printf("%5s  %8s  %7s  %7s  %8s  %8s  %13s  %9s  %11s  %s\n", "tag", "samples", "p50 ns", "p99 ns", "p99.9 ns",
           "max ns", "2-line pp ns", "p50/pp", "p99.9/pp", "host took (CPU 0, CPU 1), median");
    bool any = false;
    int kept = 0;
    for (const Win& x : wins) kept += x.w.kept;
    for (int tag = 0; tag < 2; ++tag) {
        std::vector<int32_t> v;
        std::vector<double> pp, l0, l1;
        bool loose = true;
        for (int r = 0; r < rounds; ++r)
            if (wins[r].w.kept && wins[r].w.tag == tag) loose = false;
        for (int r = 0; r < rounds; ++r) {
            if (wins[r].w.tag != tag || (!loose && !wins[r].w.kept)) continue;
            pp.push_back(wins[r].w.probeNs[0]);
            pp.push_back(wins[r].w.probeNs[1]);
            l0.push_back(wins[r].lost[0]);
            l1.push_back(wins[r].lost[1]);
            for (const auto& e : s)
                if (e.first == r) v.push_back(e.second);
        }
        if (v.empty()) {
            printf("%5s  no samples\n", bench::TagName(tag));
            continue;
        }
        any = true;
        std::sort(v.begin(), v.end());
        double b = bench::Median(pp);
        printf("%5s  %7zu%s  %7.0f  %7.0f  %8.0f  %8.0f  %13.0f  %8.2fx  %10.1fx  %.1f%%, %.1f%%\n", bench::TagName(tag),
               v.size(), loose ? "*" : " ", Pct(v, 0.5), Pct(v, 0.99), Pct(v, 0.999), (double)v.back(), b, Pct(v, 0.5) / b,
               Pct(v, 0.999) / b, 100 * bench::Median(l0), 100 * bench::Median(l1));
    }
    printf("  windows kept (no process preempted, probes agree): %d of %d; * = samples of preempted windows, shown where "
           "none was kept\n",
           kept, rounds);
    if (!any) fprintf(stderr, "bench_sdk: no latency samples in any kept window (%zu samples in all)\n", s.size());
    return any;
}

// Where the line rate's 67 ns per record go, on CPU 0 alone (medians of
// kept windows): a wall-clock read (a paced card reads it whenever nothing is
// queued), the card's poll, and poll + Copy2Pool + the reader's walk of the
// same records in the same thread (in batches of 64).
void Budget(bench::Pair& pair) {
    Tagged clk, poll, all;  // by tag; the budget uses whichever tag has more
    Feed(64, 0);
    for (int r = 0; r < g_rounds; ++r) {
        bench::Window w;
        double c = 0;
        w = pair.Run([&](int side) {
            if (side != 0) return;
            const int n = 200000;
            int64_t t0 = NowNs();
            int64_t x = 0;
            for (int i = 0; i < n; ++i) x += MkrxGetTimeTamp();
            c = (double)(NowNs() - t0) / n;
            g_sink = (uint64_t)x;
        });
        clk.Add(w, c);
        double pn = CardAlone(pair, w);
        poll.Add(w, pn);
        qtest::RemovePoolIpc();
        std::unique_ptr<CDrvRingBufPool> pool(new CDrvRingBufPool);
        _DMaInitParam_t p;
        p.uiPoolSize = 64;
        p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
        p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
        std::unique_ptr<CMkrxPoolConsumer> cons(new CMkrxPoolConsumer);
        if (pool->Init(&p) != 0 || cons->Attach(GetShareMemBase()) != 0) continue;
        ConsumerSource src{cons.get()};
        mkrx::PoolReader<mkrx::LenHdrFraming, ConsumerSource> reader(&src);
        Stream s;
        double a = 0;
        w = pair.Run([&](int side) {
            if (side != 0) return;
            uint64_t n = 0, sum = 0;
            int64_t t0 = NowNs(), end = t0 + (int64_t)(g_windowMs * 1e6), now = t0;
            while (now < end) {
                for (int i = 0; i < 64; ++i) n += enyx_hw_a2c_stream_poll_once(s.a2c, Forward, pool.get()) == 1;
                reader.Poll([&](const uint8_t*, const uint8_t* pl, uint32_t) { sum += Touch(pl); });
                now = NowNs();
            }
            a = n ? (double)(now - t0) / (double)n : 0;
            g_sink = sum;
        });
        all.Add(w, a);
        cons->Detach();
    }
    StopFeed();
    int tag = clk.v[bench::kFar].size() + clk.loose[bench::kFar].size() >
                      clk.v[bench::kNear].size() + clk.loose[bench::kNear].size()
                  ? bench::kFar
                  : bench::kNear;
    bool l1, l2, l3;
    double c = bench::Median(clk.Best(tag, &l1)), pl = bench::Median(poll.Best(tag, &l2)),
           al = bench::Median(all.Best(tag, &l3));
    printf("\nthe 67.2 ns budget of the line rate, on CPU 0 alone, %s windows (kept: %zu, %zu, %zu of %d%s):\n",
           bench::TagName(tag), clk.v[tag].size(), poll.v[tag].size(), all.v[tag].size(), g_rounds,
           l1 || l2 || l3 ? "; * none kept, medians of preempted windows" : "");
    printf("  wall-clock read %.1f ns: a paced card reads it only on polls that find nothing queued, so an idle\n"
           "    copy thread pays it (as latency), one with a backlog does not\n",
           c);
    printf("  card poll, unpaced, empty handler %.1f ns\n", pl);
    printf("  card poll + Copy2Pool + the reader's walk, one thread %.1f ns (copy and walk %.1f ns)\n", al, al - pl);
    printf("  per record with a backlog: about %.1f ns of the 67.2 (the reader runs on the other CPU)\n", al);
}

// 14.88 M records/s of 64 bytes for g_lineSeconds through the producer
// program to the consumer process.
bool LineRate() {
    const double rate = 14880952;
    qtest::RemovePoolIpc();
    pid_t prod = StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    pid_t cons = StartConsumer(MKRX_RAW_FPGA_WITH_LEN_HDR, false);
    if (g_ctl->state.load() != 1) {
        fprintf(stderr, "bench_sdk: the line-rate consumer did not attach\n");
        kill(cons, SIGKILL);
        waitpid(cons, nullptr, 0);
        Stop(prod);
        return false;
    }
    uint64_t d0 = CardStat(enyx_hw_a2c_stream_stats_get_packet_count);
    uint64_t b0 = CardStat(enyx_hw_a2c_stream_stats_get_backpressure);
    PoolStat p0 = ReadPoolStat();
    double load0 = 0;
    sscanf(bench::LoadAvg().c_str(), "%lf", &load0);
    Sched sp0 = BusiestThread(prod), sc0 = BusiestThread(cons);
    int64_t t0 = NowNs();
    Feed(64, rate);
    usleep((useconds_t)(g_lineSeconds * 1e6));
    StopFeed();
    int64_t t1 = NowNs();
    Sched sp1 = BusiestThread(prod), sc1 = BusiestThread(cons);
    usleep(200000);  // the rest drains
    uint64_t d1 = CardStat(enyx_hw_a2c_stream_stats_get_packet_count);
    uint64_t b1 = CardStat(enyx_hw_a2c_stream_stats_get_backpressure);
    PoolStat p1 = ReadPoolStat();
    uint64_t got = g_ctl->records.load();
    int kicked = g_ctl->kicked.load();
    EndConsumer(cons);
    Stop(prod);
    double secs = (double)(t1 - t0) / 1e9;
    uint64_t due = (uint64_t)(rate * secs);
    printf("\nline rate: 64-byte records paced at %.2f M/s for %.2f s (%llu due) through the producer program (CPU 0)\n"
           "to the consumer process (CPU 1), load average %s:\n",
           rate / 1e6, secs, (unsigned long long)due, bench::LoadAvg().c_str());
    printf("  card delivered %llu, card dropped (FIFO full: the copy thread fell %u records behind) %llu\n",
           (unsigned long long)(d1 - d0), 65536u, (unsigned long long)(b1 - b0));
    printf("  pool copied %llu, software drops (pool full) %llu, consumer read %llu%s\n",
           (unsigned long long)(p1.copied - p0.copied), (unsigned long long)(p1.dropped - p0.dropped),
           (unsigned long long)got, kicked ? ", consumer expelled" : "");
    printf("  delivered/due %.3f; the budget per record is %.1f ns for poll plus copy\n",
           due ? (double)(d1 - d0) / (double)due : 0.0, 1e9 / rate);
    printf("  the copy thread had a CPU %.0f%% of the run and waited %.0f ms for one; the consumer %.0f%%, %.0f ms\n",
           100.0 * (double)(sp1.run - sp0.run) / (double)(t1 - t0), (double)(sp1.wait - sp0.wait) / 1e6,
           100.0 * (double)(sc1.run - sc0.run) / (double)(t1 - t0), (double)(sc1.wait - sc0.wait) / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && !strcmp(argv[1], "--consumer")) {  // the consumer process (StartConsumer)
        elog_set_output_enabled(false);
        g_dir = argv[5];
        if (!MapControl(atoi(argv[2]))) return 1;
        if (atoi(argv[3]) == MKRX_RAW_FPGA_WITH_HDR_DATA)
            ConsumerMain<mkrx::PktInfoFraming>(atoi(argv[4]) != 0);
        else
            ConsumerMain<mkrx::LenHdrFraming>(atoi(argv[4]) != 0);
        return 0;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--window")) g_windowMs = atof(argv[i + 1]);
        if (!strcmp(argv[i], "--rounds")) g_rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--rate")) g_rate = atof(argv[i + 1]);
        if (!strcmp(argv[i], "--line")) g_lineSeconds = atof(argv[i + 1]);
    }
    elog_set_output_enabled(false);
    signal(SIGPIPE, SIG_IGN);
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        fprintf(stderr, "bench_sdk: needs two CPUs\n");
        return 1;
    }
    int fd = memfd_create("bench_sdk_ctl", 0);
    if (fd < 0 || ftruncate(fd, sizeof(Control)) != 0 || !MapControl(fd)) return 1;
    new (g_ctl) Control();
    SetUpCard();
    printf("shared-pool path on the simulated card: copy on CPU 0, readers on CPU 1\n");
    printf("CPUs 0 and 1: %s; load average at start %s\n", bench::SiblingsReport(0, 1).c_str(), bench::LoadAvg().c_str());
    bool ok = true;
    {
        bench::Pair pair(0, 1);
        Throughput(pair);
        ok = Latency(pair) && ok;
        Budget(pair);
    }
    ok = LineRate() && ok;
    printf("load average at end %s\n", bench::LoadAvg().c_str());
    qtest::RemovePoolIpc();
    enyx_sim_card_remove(0);
    std::string rm = "rm -rf '" + g_dir + "'";
    if (getenv("BENCH_KEEP") == nullptr && system(rm.c_str()) != 0) {
    }
    return ok ? 0 : 1;
}
