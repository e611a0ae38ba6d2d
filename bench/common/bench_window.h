// Measuring on two vCPUs that the host moves around: short windows, each
// run by two pinned worker threads, kept only if neither thread was
// switched out (getrusage context switches) and tagged by a core-to-core
// ping-pong probe before and after, so that ratios are taken between
// windows of one kind of core pair only:
//   near  the two vCPUs sit on hyperthread siblings (~50-65 ns one way)
//   far   they do not (~250 ns)
// A window whose two probes disagree is dropped as "mixed".
//
//   bench::Pair pair(0, 1);
//   bench::Window w = pair.Run([&](int side) { ... });   // side 0 on CPU 0, 1 on CPU 1
//   if (w.kept) samples[w.tag].push_back(...);
//
// Header-only, shared by bench_pool and bench_sdk.
#ifndef QUAY_BENCH_WINDOW_H
#define QUAY_BENCH_WINDOW_H

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

inline void Pause() { __builtin_ia32_pause(); }

inline void Pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

inline long CtxSwitches() {
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw + ru.ru_nivcsw;
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

enum Tag { kNear = 0, kFar = 1, kMixed = 2 };
inline const char* TagName(int t) { return t == kNear ? "near" : t == kFar ? "far" : "mixed"; }
// Between the two clusters the issue measured (50-65 ns and ~250 ns).
constexpr double kFarFromNs = 150;

// "0,1" style: whether the kernel lists the two CPUs as thread siblings.
inline std::string SiblingsReport(int a, int b) {
    std::ifstream in("/sys/devices/system/cpu/cpu" + std::to_string(a) + "/topology/thread_siblings_list");
    std::string list;
    std::getline(in, list);
    if (list.empty()) return "unknown (no topology in /sys)";
    bool sib = false;
    size_t p = 0;
    while (p <= list.size()) {  // entries "n" or "n-m", comma separated
        size_t q = list.find(',', p);
        std::string e = list.substr(p, q == std::string::npos ? std::string::npos : q - p);
        size_t dash = e.find('-');
        int lo = atoi(e.c_str()), hi = dash == std::string::npos ? lo : atoi(e.c_str() + dash + 1);
        if (b >= lo && b <= hi && b != a) sib = true;
        if (q == std::string::npos) break;
        p = q + 1;
    }
    return std::string(sib ? "siblings" : "not siblings") + " by /sys topology (cpu" + std::to_string(a) +
           " thread_siblings_list: " + list + ")";
}

inline std::string LoadAvg() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The result of one window.
struct Window {
    bool kept = false;    // neither side switched out, probes agree
    int tag = kMixed;
    double probeNs[2] = {0, 0};
};

// Two threads pinned to two CPUs, running one job at a time.
class Pair {
public:
    Pair(int cpu0, int cpu1) {
        m_cpu[0] = cpu0;
        m_cpu[1] = cpu1;
        for (int i = 0; i < 2; ++i) m_t[i] = std::thread([this, i] { Loop(i); });
    }
    ~Pair() {
        {
            std::lock_guard<std::mutex> lk(m_mx);
            m_quit.store(true);
        }
        m_cv.notify_all();
        for (auto& t : m_t) t.join();
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    // Runs job(side) on both threads at once; true if neither thread was
    // switched out meanwhile.
    bool Raw(const std::function<void(int)>& job) {
        m_job = &job;
        m_done.store(0, std::memory_order_relaxed);
        m_preempted.store(false, std::memory_order_relaxed);
        std::unique_lock<std::mutex> lk(m_mx);
        // Release: the job is in place before the workers see the epoch.
        m_epoch.fetch_add(1, std::memory_order_release);
        m_cv.notify_all();
        // Blocked, not spinning: this thread must not take the workers' CPUs.
        m_cv.wait(lk, [this] { return m_done.load(std::memory_order_acquire) == 2; });
        return !m_preempted.load(std::memory_order_relaxed);
    }

    // Half the round trip of `lines` cache lines between the two CPUs, ns:
    // the best of 5 batches of 200 round trips. One line is the classic
    // ping-pong; two lines (a record line and a position line) are what a
    // ring moves per record.
    double Probe(int lines = 1) {
        struct alignas(64) Line {
            std::atomic<int64_t> v{0};
        };
        static Line l[2];
        l[0].v.store(0);
        l[1].v.store(0);
        double out = 1e18;
        Raw([&](int side) {
            for (int b = 0; b < 5; ++b) {
                int64_t t0 = NowNs();
                for (int64_t i = 1; i <= 200; ++i) {
                    int64_t base = (b * 200 + i) * 2;
                    if (side == 0) {
                        // Release on the last line: the other line is written first.
                        if (lines == 2) l[1].v.store(base - 1, std::memory_order_relaxed);
                        l[0].v.store(base - 1, std::memory_order_release);
                        while (l[0].v.load(std::memory_order_acquire) != base) Pause();
                        if (lines == 2 && l[1].v.load(std::memory_order_relaxed) != base) abort();
                    } else {
                        while (l[0].v.load(std::memory_order_acquire) != base - 1) Pause();
                        if (lines == 2) {
                            if (l[1].v.load(std::memory_order_relaxed) != base - 1) abort();
                            l[1].v.store(base, std::memory_order_relaxed);
                        }
                        l[0].v.store(base, std::memory_order_release);
                    }
                }
                if (side == 0) out = std::min(out, (NowNs() - t0) / 400.0);
            }
        });
        return out;
    }

    // job between two probes.
    Window Run(const std::function<void(int)>& job, int probeLines = 1) {
        Window w;
        w.probeNs[0] = Probe(probeLines);
        bool calm = Raw(job);
        w.probeNs[1] = Probe(probeLines);
        int t0 = w.probeNs[0] < kFarFromNs ? kNear : kFar, t1 = w.probeNs[1] < kFarFromNs ? kNear : kFar;
        w.tag = t0 == t1 ? t0 : kMixed;
        w.kept = calm && w.tag != kMixed;
        return w;
    }

    int Cpu(int side) const { return m_cpu[side]; }

private:
    void Loop(int side) {
        Pin(m_cpu[side]);
        uint64_t seen = 0;
        for (;;) {
            uint64_t e;
            int spins = 0;
            while ((e = m_epoch.load(std::memory_order_acquire)) == seen) {
                if (m_quit.load(std::memory_order_relaxed)) return;
                if (++spins < 2000) {
                    Pause();
                    continue;
                }
                // Idle between jobs: blocked, so that the processes a bench
                // runs on these CPUs have them to themselves.
                std::unique_lock<std::mutex> lk(m_mx);
                m_cv.wait_for(lk, std::chrono::milliseconds(50), [&] {
                    return m_epoch.load(std::memory_order_acquire) != seen || m_quit.load();
                });
            }
            seen = e;
            long cs = CtxSwitches();
            (*m_job)(side);
            if (CtxSwitches() != cs) m_preempted.store(true, std::memory_order_relaxed);
            std::lock_guard<std::mutex> lk(m_mx);
            if (m_done.fetch_add(1, std::memory_order_acq_rel) == 1) m_cv.notify_all();
        }
    }

    int m_cpu[2];
    std::thread m_t[2];
    const std::function<void(int)>* m_job = nullptr;
    std::atomic<uint64_t> m_epoch{0};
    std::atomic<int> m_done{0};
    std::atomic<bool> m_preempted{false};
    std::atomic<bool> m_quit{false};
    std::mutex m_mx;
    std::condition_variable m_cv;
};

// Share of a spinning thread's time the host took in `ms` milliseconds:
// the sum of the gaps above 1 us between two clock reads.
inline double LostShare(double ms) {
    int64_t start = NowNs(), end = start + (int64_t)(ms * 1e6), last = start, lost = 0;
    while (last < end) {
        int64_t now = NowNs();
        if (now - last > 1000) lost += now - last;
        last = now;
    }
    return (double)lost / (double)(last - start);
}

}  // namespace bench

#endif
