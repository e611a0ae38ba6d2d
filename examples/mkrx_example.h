#ifndef MKRX_EXAMPLE_H
#define MKRX_EXAMPLE_H

// What the three example clients of libmkrxservice share: their command
// line, the length of a bare feed record for the record reader, the check of
// the simulated card's feed and the statistics they print. They use nothing
// but <mkrx_service.h> and <mkrx_reader.h>.
//
// Common flags:
//   -d DIR    directory of device.ini (default ./)
//   -l DIR    log directory (default ./log)
//   -c 0|1    channel: 0 raw (device:dma0name), 1 parse (device:dma1name)
//             (run modes 0 and 1; the producer picks the pool's channel)
//   -t 0..3   framing of the records in the ring (run modes 1 and 2)
//   -p CPU    CPU of the copy thread (run mode 1, default 1)
//   -n N      stop after N records
//   -s SEC    stop after SEC seconds
//   -w FILE   write what is read as a pcap file (run mode 2 with -t 3)
// Without -n and -s a client runs until SIGINT or SIGTERM. Each prints a line
// of statistics once a second and a "total" line at the end.

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mkrx_reader.h>
#include <mkrx_service.h>

namespace mkrxex {

struct Options {
    std::string devDir = "./";
    std::string logDir = "./log";
    int channel = 0;
    int dataType = 0;
    int cpu = 1;
    uint64_t count = 0;     // 0: no limit
    double seconds = 0;     // 0: no limit
    std::string pcapPath;   // -w
};

// What a client accepts beyond the common flags.
enum Flags { kTakesChannel = 1, kTakesType = 2, kTakesCpu = 4, kTakesPcap = 8 };

inline bool ParseNumber(const char* text, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// Parses argv into o; prints the problem and the usage and returns false on
// anything it does not accept.
inline bool ParseOptions(int argc, char** argv, int flags, const char* usage, Options* o) {
    const char* problem = nullptr;
    int opt;
    double v = 0;
    while (problem == nullptr && (opt = getopt(argc, argv, "d:l:c:t:p:n:s:w:")) != -1) {
        switch (opt) {
            case 'd': o->devDir = optarg; break;
            case 'l': o->logDir = optarg; break;
            case 'c':
                if (!(flags & kTakesChannel)) problem = "-c does not apply to this run mode";
                else if (ParseNumber(optarg, 0, 1, &v) && v == (int)v) o->channel = (int)v;
                else problem = "-c takes 0 or 1";
                break;
            case 't':
                if (!(flags & kTakesType)) problem = "-t does not apply to this run mode";
                else if (ParseNumber(optarg, 0, 3, &v) && v == (int)v) o->dataType = (int)v;
                else problem = "-t takes 0..3";
                break;
            case 'p':
                if (!(flags & kTakesCpu)) problem = "-p does not apply to this run mode";
                else if (ParseNumber(optarg, 0, 4095, &v) && v == (int)v) o->cpu = (int)v;
                else problem = "-p takes a CPU number";
                break;
            case 'n':
                if (ParseNumber(optarg, 1, 1e18, &v) && v == (uint64_t)v) o->count = (uint64_t)v;
                else problem = "-n takes a record count";
                break;
            case 's':
                if (ParseNumber(optarg, 0.001, 1e9, &v)) o->seconds = v;
                else problem = "-s takes seconds";
                break;
            case 'w':
                if (flags & kTakesPcap) o->pcapPath = optarg;
                else problem = "-w does not apply to this run mode";
                break;
            default: problem = "unknown flag"; break;
        }
    }
    if (problem == nullptr && optind < argc) problem = "unexpected argument";
    if (problem == nullptr && o->devDir.size() >= sizeof(MkrxInitParam_t::device_ini_direct))
        problem = "-d: path too long";
    if (problem == nullptr && o->logDir.size() >= sizeof(MkrxInitParam_t::logdirect)) problem = "-l: path too long";
    if (problem == nullptr && !o->pcapPath.empty() && o->dataType != MKRX_PCAP_DATA)
        problem = "-w needs -t 3: only pcap-framed records are written as they are";
    if (problem != nullptr) {
        fprintf(stderr, "%s: %s\nusage: %s %s\n", argv[0], problem, argv[0], usage);
        return false;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);  // lines reach a pipe as they are printed
    return true;
}

inline MkrxInitParam_t InitParam(const Options& o, MkrxChanRunMode_e mode) {
    MkrxInitParam_t p;
    memset(&p, 0, sizeof(p));
    snprintf(p.logdirect, sizeof(p.logdirect), "%s", o.logDir.c_str());
    snprintf(p.device_ini_direct, sizeof(p.device_ini_direct), "%s", o.devDir.c_str());
    p.eChannel = (MkrxServiceCbType_e)o.channel;
    p.eRunMode = mode;
    p.eDataType = (MkrxDataType_e)o.dataType;
    p.copyThreadCore = o.cpu;
    return p;
}

// SIGINT and SIGTERM ask the client's loop to stop. A lock-free atomic, so
// that the handler may set it and the reader's loop poll it.
inline std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "g_stop is set by a signal handler");
inline void StopOnSignals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = [](int) { g_stop.store(true, std::memory_order_relaxed); };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Length of a record of the simulated card's feed in a ring of framing 0:
// its own uint16 length at offset 2 (see FeedStats). 0 while fewer than its
// first 4 bytes are readable.
inline uint32_t FeedLength(const uint8_t* r, uint32_t left) {
    if (left < 4) return 0;
    uint16_t l;
    memcpy(&l, r + 2, sizeof(l));
    return l;
}

inline int64_t NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Counts what a client reads and checks the simulated card's feed: each of
// its records starts with uint16 type, uint16 length, uint32 sequence number
// of its type (from 1). The first record of a type shows where this client
// joined; after it, a number that does not follow the previous one is a gap
// (lost = the numbers skipped). Prints once a second and at the end:
//   NAME: [total ]SECS s: records N bytes N rec/s N bytes/s N gaps N lost N bad N
//         [latency_us min X avg X max X p50 X p99 X]
// (one line; the latency part with type 2 framing; the figures of a
// per-second line are the counts so far, its rates and latencies the last
// second's).
//
// The reading thread never prints, sleeps or reads a clock for this: a
// reporter thread (Start) keeps the time, asks once a second for the
// figures, which the reading thread hands over in Tick() (a relaxed load of
// a flag per poll, a copy of 5 KB once a second), and prints them. A write
// to standard output that blocks (a file on a busy disk, a full pipe) thus
// delays the line, not the reading. The reporter also ends the run after -s
// seconds through Done(). One reading thread uses an object; Final() and
// the destructor stop the reporter.
class FeedStats {
public:
    explicit FeedStats(const char* name) : m_name(name), m_last(65536, 0) { m_start = NowNs(); }
    FeedStats(const FeedStats&) = delete;
    FeedStats& operator=(const FeedStats&) = delete;
    ~FeedStats() { StopReporter(); }

    // Starts the reporter: a line a second, and the end after `seconds` (0: none).
    void Start(double seconds) {
        m_seconds = seconds;
        m_reporter = std::thread([this] { Report(); });
    }

    void Record(const uint8_t* rec, uint32_t len) {
        ++m_records;
        m_bytes += len;
        if (len < 8) {
            ++m_bad;
            return;
        }
        uint16_t type, own;
        uint32_t seq;
        memcpy(&type, rec, 2);
        memcpy(&own, rec + 2, 2);
        memcpy(&seq, rec + 4, 4);
        if (own != len) ++m_bad;
        uint32_t& last = m_last[type];
        if (last != 0 && seq != last + 1) {
            ++m_gaps;
            if (seq > last) m_lost += seq - last - 1;
        }
        last = seq;
    }
    // Copy-to-read latency of one record (type 2 framing).
    void Latency(int64_t ns) {
        m_win.Add(ns);
        m_all.Add(ns);
    }
    // One record handed out by a reader of a ring framed as dataType. With
    // type 2 framing the header's copy time gives the latency until the poll
    // that found it: the wall clock is read once per poll (NewPoll), at its
    // first record.
    void RingRecord(int dataType, const uint8_t* hdr, const uint8_t* payload, uint32_t len) {
        if (dataType == MKRX_RAW_FPGA_WITH_HDR_DATA) {
            if (m_pollNow == 0) m_pollNow = MkrxGetTimeTamp();
            MkrxPktInfo_t pi;
            memcpy(&pi, hdr, sizeof(pi));
            Latency(m_pollNow - pi.uiTimeStamp);
        }
        Record(payload, len);
    }
    // Before every poll. The checks of the last two polls stay open: see
    // Overrun.
    void NewPoll() {
        m_pollNow = 0;
        m_mark[0] = m_mark[1];
        m_mark[1] = Checks{m_records, m_gaps, m_lost, m_bad};
    }
    // The consumer was expelled: the records of the poll that said so and of
    // the poll before may hold bytes the producer wrote over them while they
    // were read. Their gaps, losses and bad records are taken back; Final
    // reports how many records that was.
    void Overrun() {
        m_overrun = m_records - m_mark[0].records;
        m_gaps = m_mark[0].gaps;
        m_lost = m_mark[0].lost;
        m_bad = m_mark[0].bad;
    }
    uint64_t records() const { return m_records; }

    // Once per poll on the reading thread: hands the figures over when the
    // reporter asks for them.
    void Tick() {
        if (!m_due.load(std::memory_order_acquire)) return;
        std::lock_guard<std::mutex> g(m_mu);
        m_snap.records = m_records;
        m_snap.bytes = m_bytes;
        m_snap.gaps = m_gaps;
        m_snap.lost = m_lost;
        m_snap.bad = m_bad;
        m_snap.lat = m_win;  // same size: no allocation
        m_win.Clear();
        m_due.store(false, std::memory_order_relaxed);
        m_handed = true;
        m_cv.notify_one();
    }
    // Per-second lines the reporter has printed so far.
    uint64_t Lines() const { return m_lines.load(std::memory_order_relaxed); }
    // True once the time given to Start is up or a signal came.
    bool TimeUp() const { return g_stop.load(std::memory_order_relaxed) || m_timeUp.load(std::memory_order_relaxed); }

    void Final() {
        StopReporter();
        Figures f{m_records, m_bytes, m_gaps, m_lost, m_bad, Lat()};
        Print("total ", (NowNs() - m_start) / 1e9, f, m_records, m_bytes, m_all);
        if (m_overrun > 0)
            printf("%s: %" PRIu64 " records of the last two polls were read while the producer expelled this "
                   "consumer and may have been overwritten; they are not checked\n",
                   m_name, m_overrun);
    }

private:
    // Latencies of a window or of the whole run: min, max, mean and a
    // histogram for the percentiles. Buckets are exact below 64 ns and then
    // 32 per power of two (within about 3%) up to 2^40 ns.
    struct Lat {
        static constexpr int kSub = 32;
        int64_t min = INT64_MAX, max = INT64_MIN, sum = 0;
        uint64_t n = 0;
        std::vector<uint32_t> hist = std::vector<uint32_t>(64 + 35 * kSub, 0);
        static size_t Bucket(int64_t ns) {
            if (ns < 64) return ns < 0 ? 0 : (size_t)ns;
            int lg = 63 - __builtin_clzll((uint64_t)ns);  // >= 6
            if (lg >= 40) return 64 + 35 * kSub - 1;
            return 64 + (size_t)(lg - 6) * kSub + (size_t)((ns >> (lg - 5)) & (kSub - 1));
        }
        // The smallest latency of a bucket (a percentile is reported as the
        // lower edge of the bucket that holds it).
        static int64_t Low(size_t b) {
            if (b < 64) return (int64_t)b;
            int lg = (int)((b - 64) / kSub) + 6;
            return ((int64_t)kSub + (int64_t)((b - 64) % kSub)) << (lg - 5);
        }
        void Add(int64_t ns) {
            min = ns < min ? ns : min;
            max = ns > max ? ns : max;
            sum += ns;
            ++n;
            ++hist[Bucket(ns)];
        }
        void Clear() {
            min = INT64_MAX;
            max = INT64_MIN;
            sum = 0;
            n = 0;
            std::fill(hist.begin(), hist.end(), 0);
        }
        // The latency below which a fraction q of the records lie.
        int64_t Percentile(double q) const {
            uint64_t rank = (uint64_t)(q * (double)n), seen = 0;
            for (size_t b = 0; b < hist.size(); ++b) {
                seen += hist[b];
                if (seen > rank) return Low(b) > min ? (Low(b) < max ? Low(b) : max) : min;
            }
            return max;
        }
    };
    // The counts of one hand-over, and the latencies of its window.
    struct Figures {
        uint64_t records = 0, bytes = 0, gaps = 0, lost = 0, bad = 0;
        Lat lat;
    };

    // The reporter thread: every second asks for the figures and prints the
    // second's line; raises the end of the run when the time is up.
    void Report() {
        int64_t last = m_start, next = m_start + 1000000000;
        uint64_t lastRecords = 0, lastBytes = 0;
        std::unique_lock<std::mutex> lk(m_mu);
        while (!m_quit) {
            const int64_t now = NowNs();
            if (m_seconds > 0 && now - m_start >= (int64_t)(m_seconds * 1e9)) m_timeUp.store(true, std::memory_order_relaxed);
            if (now < next) {
                // Wake at the next second, or at once when the run ends.
                int64_t wake = next;
                if (m_seconds > 0 && !m_timeUp.load(std::memory_order_relaxed)) {
                    const int64_t end = m_start + (int64_t)(m_seconds * 1e9);
                    wake = end < wake ? end : wake;
                }
                m_cv.wait_for(lk, std::chrono::nanoseconds(wake - now));
                continue;
            }
            m_handed = false;
            m_due.store(true, std::memory_order_release);
            m_cv.wait(lk, [&] { return m_handed || m_quit; });
            if (!m_handed) break;
            const int64_t at = NowNs();
            Figures f = m_snap;
            lk.unlock();
            Print("", (at - last) / 1e9, f, f.records - lastRecords, f.bytes - lastBytes, f.lat);
            m_lines.fetch_add(1, std::memory_order_relaxed);
            lk.lock();
            last = at;
            lastRecords = f.records;
            lastBytes = f.bytes;
            next += 1000000000;
            if (next <= at) next = at + 1000000000;  // a slow print: no catching up
        }
    }
    void StopReporter() {
        if (!m_reporter.joinable()) return;
        {
            std::lock_guard<std::mutex> g(m_mu);
            m_quit = true;
            m_due.store(false, std::memory_order_relaxed);
        }
        m_cv.notify_all();
        m_reporter.join();
    }
    void Print(const char* what, double secs, const Figures& f, uint64_t recs, uint64_t bytes, const Lat& lat) const {
        char latText[160] = "";
        if (lat.n > 0)
            snprintf(latText, sizeof(latText), " latency_us min %.1f avg %.1f max %.1f p50 %.1f p99 %.1f",
                     lat.min / 1e3, (double)lat.sum / lat.n / 1e3, lat.max / 1e3, lat.Percentile(0.50) / 1e3,
                     lat.Percentile(0.99) / 1e3);
        printf("%s: %s%.2f s: records %" PRIu64 " bytes %" PRIu64 " rec/s %.0f bytes/s %.0f gaps %" PRIu64
               " lost %" PRIu64 " bad %" PRIu64 "%s\n",
               m_name, what, secs, f.records, f.bytes, secs > 0 ? recs / secs : 0, secs > 0 ? bytes / secs : 0,
               f.gaps, f.lost, f.bad, latText);
    }

    const char* m_name;
    // The reading thread's own.
    std::vector<uint32_t> m_last;  // last sequence number per type, 0: none yet
    uint64_t m_records = 0, m_bytes = 0, m_gaps = 0, m_lost = 0, m_bad = 0;
    struct Checks {
        uint64_t records = 0, gaps = 0, lost = 0, bad = 0;
    };
    Checks m_mark[2];  // at the start of the poll before the last one, and of the last one
    uint64_t m_overrun = 0;
    int64_t m_pollNow = 0;
    Lat m_win, m_all;
    // Set before the reporter starts.
    int64_t m_start;
    double m_seconds = 0;
    // Between the two threads: m_snap, m_handed and m_quit under m_mu.
    std::thread m_reporter;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::atomic<bool> m_due{false}, m_timeUp{false};
    std::atomic<uint64_t> m_lines{0};
    bool m_handed = false, m_quit = false;
    Figures m_snap;
};

// Records still wanted under -n (no limit without it), as a reader's limit
// per poll.
inline uint32_t Wanted(const Options& o, const FeedStats& st) {
    if (o.count == 0) return UINT32_MAX;
    const uint64_t left = o.count - st.records();
    return left < UINT32_MAX ? (uint32_t)left : UINT32_MAX;
}

// True once the client has what it asked for (-n, -s) or a signal came.
inline bool Done(const Options& o, const FeedStats& st) {
    return st.TimeUp() || (o.count > 0 && st.records() >= o.count);
}

}  // namespace mkrxex

#endif
