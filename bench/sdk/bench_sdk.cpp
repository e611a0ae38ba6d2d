// The shared-pool path end to end on the simulated card: the card's feed
// generator, the producer program QxDeliverDmaServer (copy thread pinned to
// CPU 0) and 1, 2 and 4 consumer processes reading through libmkrxservice
// in run mode 2, against the ceilings measured in the same run:
//   - the simulated card alone: records/s that polling its a2c stream yields
//     with a handler that does nothing (what the virtual card can feed);
//   - the pool alone: Copy2Pool on one pinned thread and a reader thread on
//     the shared ring, in one process (what the copy can reach).
// Then the one-way latency from the copy (the type 2 header's timestamp) to a
// consumer process seeing the record, at a fixed feed rate, against a
// cache-line ping-pong between the same two CPUs (half a round trip).
//
//   bench_sdk [--seconds S] [--rate REC_PER_S]
//
// Uses the pool's fixed SysV keys and runs the producer program: do not run
// beside the tests.

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "drvRingBufPool.h"
#include "ipc_key_lock.h"
#include "enyx_hw.h"
#include "enyx_sim_ctl.h"
#include "gt_logger.h"
#include "mkrx_service.h"

namespace {

using Clock = std::chrono::steady_clock;
double g_seconds = 2.0;
double g_rate = 100000;
std::string g_dir;

void Pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}


// A client's directory and the card, as on the virtual card of the tests.
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
    return enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", &f);
}

// ---- ceilings ----

// Records/s the simulated card hands to a poller with an empty handler.
double CardAlone(uint32_t size) {
    Feed(size, 0);
    enyx_hw_accelerator_descriptor* ad[1];
    if (enyx_hw_enumerate_accelerators(nullptr, ad, 1) != 1) return 0;
    enyx_hw_accelerator* acc = enyx_hw_accelerator_get(ad[0]);
    enyx_hw_free_accelerator_descriptors(ad, 1);
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, "MAC_CHAN0_DATA");
    enyx_hw_a2c_stream_descriptor* sd[1];
    enyx_hw_accelerator_enumerate_a2c_streams(acc, f, sd, 1);
    enyx_hw_a2c_stream* a2c = enyx_hw_a2c_stream_create(sd[0], nullptr);
    enyx_hw_free_a2c_stream_descriptors(sd, 1);
    enyx_hw_filter_destroy(f);
    Pin(0);
    uint64_t n = 0;
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration<double>(g_seconds);
    while (Clock::now() < end)
        for (int i = 0; i < 1000; ++i) n += enyx_hw_a2c_stream_poll_once(a2c, [](const uint8_t*, uint32_t, void*) {}, nullptr) == 1;
    double r = n / std::chrono::duration<double>(Clock::now() - t0).count();
    enyx_hw_a2c_stream_destroy(a2c);
    enyx_hw_accelerator_put(acc);
    enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", nullptr);
    return r;
}

// Copy2Pool on CPU 0 and a reader thread on CPU 1, shared ring, one process.
double PoolAlone(uint32_t size) {
    qtest::RemovePoolIpc();
    CDrvRingBufPool pool;
    _DMaInitParam_t p;
    p.uiPoolSize = 64;
    p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
    p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
    if (pool.Init(&p) != 0) return 0;
    CMkrxPoolConsumer c;
    c.Attach(GetShareMemBase());
    std::vector<uint8_t> rec(size, 1);
    std::atomic<bool> stop{false};
    uint64_t got = 0;
    std::thread reader([&] {
        Pin(1);
        MkrxCurPoolUsge_t u;
        while (!stop.load(std::memory_order_relaxed) && c.Read(&u) == 0) {
            uint32_t used = 0;
            while (used < u.uiAvailDataLen) {
                uint32_t len;
                memcpy(&len, u.pucbuf + used, 4);
                used += 4 + len;
                ++got;
            }
            if (used) c.Consume(used);
        }
    });
    Pin(0);
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration<double>(g_seconds);
    while (Clock::now() < end)
        for (int i = 0; i < 1000; ++i) pool.Copy2Pool(rec.data(), size, nullptr);
    stop = true;
    reader.join();
    double r = got / std::chrono::duration<double>(Clock::now() - t0).count();
    c.Detach();
    return r;
}

// Half the round trip of a cache line between CPU 0 and CPU 1, median, ns.
double PingPongHalfNs() {
    alignas(64) static std::atomic<uint64_t> line{0};
    const uint64_t rounds = 200000;
    std::thread pong([&] {
        Pin(1);
        for (uint64_t i = 1; i <= rounds; ++i) {
            while (line.load(std::memory_order_acquire) != 2 * i - 1) {}
            line.store(2 * i, std::memory_order_release);
        }
    });
    Pin(0);
    std::vector<double> ns;
    for (uint64_t i = 1; i <= rounds; ++i) {
        auto t0 = Clock::now();
        line.store(2 * i - 1, std::memory_order_release);
        while (line.load(std::memory_order_acquire) != 2 * i) {}
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / 2);
    }
    pong.join();
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2];
}

// ---- processes ----

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
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// A consumer process: attaches, says so on fd, reads for the window after
// `go` appears, and writes its result line. Latency mode keeps the samples.
pid_t StartConsumer(int type, int cpu, int fd, bool latency) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    Pin(cpu);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    MkrxInitParam_t p;
    memset(&p, 0, sizeof(p));
    snprintf(p.device_ini_direct, sizeof(p.device_ini_direct), "%s", g_dir.c_str());
    snprintf(p.logdirect, sizeof(p.logdirect), "%s/clog", g_dir.c_str());
    p.eRunMode = MKRX_MULTI_SDK_CONSUME_MODE;
    p.eDataType = (MkrxDataType_e)type;
    IMkrxService* s = NewIMkrxService(&p);
    char line[256];
    if (s == nullptr) {
        snprintf(line, sizeof(line), "fail\n");
        (void)!write(fd, line, strlen(line));
        _exit(1);
    }
    (void)!write(fd, "ready\n", 6);
    std::vector<int64_t> lat;
    lat.reserve(4000000);
    uint64_t n = 0, bytes = 0;
    const uint32_t head = (uint32_t)MkrxHeadSize(type);
    auto t0 = Clock::now();
    auto end = t0 + std::chrono::duration<double>(g_seconds + 0.5);
    bool kicked = false;
    MkrxCurPoolUsge_t u;
    while (Clock::now() < end) {
        if (s->GetPoolCurrUsage(&u) != 0) {
            kicked = true;
            break;
        }
        if (u.uiAvailDataLen == 0) continue;
        int64_t now = latency ? MkrxGetTimeTamp() : 0;
        uint32_t used = 0;
        while (used < u.uiAvailDataLen) {
            uint32_t len;
            memcpy(&len, u.pucbuf + used + (type == 1 ? 0 : 8), 4);
            if (latency) {
                int64_t ts;
                memcpy(&ts, u.pucbuf + used, 8);
                lat.push_back(now - ts);
            }
            used += head + len;
            bytes += len;
            ++n;
        }
        s->SetFetchSize(used);
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (latency && !lat.empty()) {
        std::sort(lat.begin(), lat.end());
        auto q = [&](double f) { return (double)lat[std::min(lat.size() - 1, (size_t)(f * lat.size()))]; };
        snprintf(line, sizeof(line), "lat %zu %.0f %.0f %.0f %.0f\n", lat.size(), q(0.5), q(0.99), q(0.999),
                 (double)lat.back());
    } else {
        snprintf(line, sizeof(line), "thr %.0f %.0f %d\n", n / secs, bytes / secs, kicked ? 1 : 0);
    }
    (void)!write(fd, line, strlen(line));
    FreeIMkrxService(s);
    _exit(0);
}

std::string ReadLine(FILE* f) {
    char buf[256];
    return fgets(buf, sizeof(buf), f) ? std::string(buf) : std::string();
}

// Per-consumer records/s (min over consumers) with n consumers at size bytes.
double EndToEnd(uint32_t size, int consumers, int* kicked) {
    qtest::RemovePoolIpc();
    pid_t prod = StartProducer(MKRX_RAW_FPGA_WITH_LEN_HDR);
    int fds[2];
    if (pipe(fds) != 0) return 0;
    FILE* rd = fdopen(fds[0], "r");
    std::vector<pid_t> cs;
    bool ready = true;
    for (int i = 0; i < consumers && ready; ++i) {
        cs.push_back(StartConsumer(MKRX_RAW_FPGA_WITH_LEN_HDR, 1, fds[1], false));
        ready = ReadLine(rd) == "ready\n";
    }
    if (!ready) {  // another producer on the host, or none: nothing to measure
        for (pid_t c : cs) kill(c, SIGKILL), waitpid(c, nullptr, 0);
        Stop(prod);
        fclose(rd);
        close(fds[1]);
        return 0;
    }
    Feed(size, 0);
    double low = 1e18;
    *kicked = 0;
    for (int i = 0; i < consumers; ++i) {
        double rate = 0, bps = 0;
        int k = 0;
        sscanf(ReadLine(rd).c_str(), "thr %lf %lf %d", &rate, &bps, &k);
        low = std::min(low, rate);
        *kicked += k;
    }
    for (pid_t c : cs) waitpid(c, nullptr, 0);
    enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", nullptr);
    Stop(prod);
    fclose(rd);
    close(fds[1]);
    return low;
}

void Latency(double rate) {
    qtest::RemovePoolIpc();
    pid_t prod = StartProducer(MKRX_RAW_FPGA_WITH_HDR_DATA);
    int fds[2];
    if (pipe(fds) != 0) return;
    FILE* rd = fdopen(fds[0], "r");
    pid_t c = StartConsumer(MKRX_RAW_FPGA_WITH_HDR_DATA, 1, fds[1], true);
    std::string line;
    if (ReadLine(rd) == "ready\n") {
        Feed(64, rate);
        line = ReadLine(rd);
    } else {
        kill(c, SIGKILL);
    }
    waitpid(c, nullptr, 0);
    enyx_sim_a2c_feed(0, "MAC_CHAN0_DATA", nullptr);
    Stop(prod);
    fclose(rd);
    close(fds[1]);
    size_t n = 0;
    double p50 = 0, p99 = 0, p999 = 0, mx = 0;
    sscanf(line.c_str(), "lat %zu %lf %lf %lf %lf", &n, &p50, &p99, &p999, &mx);
    double bound = PingPongHalfNs();
    printf("one-way latency, copy (CPU 0) to consumer process (CPU 1), 64-byte records at %.0f rec/s, %zu samples:\n",
           rate, n);
    printf("  p50 %.0f ns  p99 %.0f ns  p99.9 %.0f ns  max %.0f ns\n", p50, p99, p999, mx);
    printf("  cache-line ping-pong CPU 0 <-> CPU 1, half round trip (median): %.0f ns\n", bound);
    printf("  p50 / bound %.1fx (goal <= 2x), p99.9 / bound %.1fx (goal <= 10x)\n", p50 / bound, p999 / bound);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--seconds")) g_seconds = atof(argv[i + 1]);
        if (!strcmp(argv[i], "--rate")) g_rate = atof(argv[i + 1]);
    }
    elog_set_output_enabled(false);
    signal(SIGPIPE, SIG_IGN);
    SetUpCard();
    printf("shared-pool path on the simulated card: producer copy thread on CPU 0, consumers on CPU 1, %.1f s windows\n\n",
           g_seconds);
    printf("%6s  %10s  %10s  %10s  %10s  %10s   %s\n", "bytes", "card alone", "pool alone", "1 consumer",
           "2 consumers", "4 consumers", "(records/s per consumer, the slowest; e2e / pool alone)");
    for (uint32_t size : {64u, 1024u}) {
        double card = CardAlone(size);
        double pool = PoolAlone(size);
        double e[3];
        int kicked[3];
        int ns[3] = {1, 2, 4};
        for (int i = 0; i < 3; ++i) e[i] = EndToEnd(size, ns[i], &kicked[i]);
        printf("%6u  %10.0f  %10.0f  %10.0f  %10.0f  %10.0f   %.2f %.2f %.2f%s\n", size, card, pool, e[0], e[1], e[2],
               e[0] / pool, e[1] / pool, e[2] / pool, kicked[0] + kicked[1] + kicked[2] ? "  (some consumers expelled)" : "");
        fflush(stdout);
    }
    printf("\n");
    Latency(g_rate);
    qtest::RemovePoolIpc();
    enyx_sim_card_remove(0);
    std::string rm = "rm -rf '" + g_dir + "'";
    if (system(rm.c_str()) != 0) {
    }
    return 0;
}
