// Copy throughput of the pool against two peers moving the same records
// between the same two CPUs in the same run:
//   - lean: a ring written here with the private ring's layout and protocol
//     (ringbuffer: in and out on their own lines, a length word and the
//     payload back to back, the record that reaches the ring end continued
//     in an 8192-byte tail area, one release store of `in` per record, the
//     reader's position cached by the producer): what the protocol costs
//     when nothing else is on the path;
//   - boost: boost::lockfree::spsc_queue of fixed-size elements holding the
//     same length word and payload.
// Copy2Pool runs in the private ring (run mode 1) and in the shared segment
// (run mode 3), framing 1 (length word).
//
// Two tables per kind of core pair (see bench_window.h):
//   one thread   producer and reader interleaved on CPU 0 in batches of 64
//                records: ns per record, the instruction cost of the path;
//   two threads  producer on CPU 0, reader on CPU 1: records/s while the
//                reader keeps up (each producer waits when its ring is full).
// Every reader (mkrx_reader.h's RingReader and PoolReader for the rings,
// consume_all for boost) reads each record's length word and its first 8
// payload bytes, and nothing else. "shr hand" is the shared ring read by a
// hand-written walk instead of PoolReader: hand/shr near 1.00x says the
// reader's loop costs what the hand-written one does. Windows of --window ms, interleaved over
// the contenders, --rounds per size; medians over the windows kept.
//
//   bench_pool [--ring MIB] [--rounds N] [--window MS] [--sizes 32,64,...]
//   (BENCH_TRACE=1: every two-thread window on standard error)
//
// The shared ring uses the fixed SysV keys: run it in an IPC namespace of
// its own (scripts/bench.sh does).

#include <emmintrin.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "bench_window.h"
#include "drvRingBufPool.h"
#include "gt_logger.h"
#include "ipc_key_lock.h"
#include "mkrxCopy.h"
#include "mkrx_reader.h"

namespace {

using bench::NowNs;

uint32_t g_ringMiB = 1;
int g_rounds = 25;
double g_windowMs = 2;
std::string g_sizes = "32,64,256,1024,8192";

bool Want(uint32_t n) { return ("," + g_sizes + ",").find("," + std::to_string(n) + ",") != std::string::npos; }

volatile uint64_t g_sink;

// The reader's work per record, the same for every contender.
inline uint64_t Touch(const uint8_t* payload) {
    uint64_t v;
    memcpy(&v, payload, 8);
    return v;
}

// ---- the lean ring ----

class LeanRing {
public:
    explicit LeanRing(uint32_t size) : m_size(size) {
        m_buf = static_cast<uint8_t*>(mmap(nullptr, size + MKRX_TAIL_AREA_SIZE, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        memset(m_buf, 0, size + MKRX_TAIL_AREA_SIZE);
        memset(&m_rb, 0, sizeof(m_rb));
        m_rb.p.buffer = m_rb.c.buffer = m_buf;
        m_rb.p.size = m_rb.c.size = size;
    }
    ~LeanRing() { munmap(m_buf, m_size + MKRX_TAIL_AREA_SIZE); }
    LeanRing(const LeanRing&) = delete;
    LeanRing& operator=(const LeanRing&) = delete;

    // false when the ring is full.
    bool Push(const uint8_t* data, uint32_t len) {
        const uint32_t need = 4 + len;
        if (need > m_size - (m_in - m_outCache)) {
            // Acquire: the reader is done with the bytes below out.
            m_outCache = mkrx::LoadAcquire(&m_rb.c.out);
            if (need > m_size - (m_in - m_outCache)) return false;
        }
        const uint32_t off = m_in & (m_size - 1);
        const uint32_t toEnd = m_size - off;
        uint8_t* d = m_buf + off;
        memcpy(d, &len, 4);
        mkrx::CopyRecord(d + 4, data, len);
        uint32_t step = need;
        if (need >= toEnd) {
            m_tail.store(need - toEnd, std::memory_order_relaxed);
            step = toEnd;
        }
        m_in += step;
        // Release: the record's bytes (and the tail length) before the position.
        mkrx::StoreRelease(&m_rb.p.in, m_in);
        return true;
    }
    ringbuffer* Ring() { return &m_rb; }
    uint32_t GetTailUseLen() { return m_tail.load(std::memory_order_relaxed); }

private:
    alignas(64) ringbuffer m_rb;
    alignas(64) uint32_t m_in = 0;
    uint32_t m_outCache = 0;
    std::atomic<uint32_t> m_tail{0};
    uint8_t* m_buf;
    uint32_t m_size;
};

// The pool's tail length as RingReader asks for it.
struct PoolTail {
    CDrvRingBufPool* pool;
    uint32_t GetTailUseLen() { return pool->GetTailUseLen(0); }
};

// CMkrxPoolConsumer as PoolReader's source.
struct ConsumerSource {
    CMkrxPoolConsumer* c;
    int GetPoolCurrUsage(MkrxCurPoolUsge_t* u) { return c->Read(u); }
    void SetFetchSize(uint32_t bytes) { c->Consume(bytes); }
};

// ---- contenders: each is a producer step and a reader poll ----
// What the reader writes per poll lies on cache lines of its own (alignas),
// away from what the producer reads per record.

struct alignas(64) Contender {
    virtual ~Contender() = default;
    virtual bool Push(const uint8_t* rec, uint32_t len) = 0;  // false: full, try again
    virtual uint64_t Poll(uint64_t& sum) = 0;                 // records read
    uint64_t fulls = 0;                                       // pushes refused
};

// One poll of any of the rings' readers, the same work per record.
template <class Reader>
uint64_t PollTouch(Reader& reader, uint64_t& sum) {
    int n = reader.Poll([&](const uint8_t*, const uint8_t* p, uint32_t) { sum += Touch(p); });
    return n > 0 ? (uint64_t)n : 0;
}

// Copy2Pool as a contender's push: a record the pool drops because the ring
// is full is offered again.
struct PoolPush : Contender {
    CDrvRingBufPool* copier = nullptr;
    const uint64_t* dropped = nullptr;
    uint64_t seen = 0;
    bool ok = false;
    void Ready(CDrvRingBufPool* pool) {
        copier = pool;
        dropped = &pool->GetPktStat(0)->ulSoftDisPktNum;
        ok = true;
    }
    bool Push(const uint8_t* rec, uint32_t len) override {
        copier->CDrvRingBufPool::Copy2Pool(rec, len, nullptr);
        uint64_t d = mkrx::LoadRelaxed(dropped);
        if (d == seen) return true;
        seen = d;
        return false;
    }
};

struct LeanC : Contender {
    LeanRing ring;
    alignas(64) mkrx::RingReader<mkrx::LenHdrFraming, LeanRing> reader;
    alignas(64) char end[1] = {};
    LeanC() : ring(g_ringMiB << 20), reader(ring.Ring(), &ring) {}
    bool Push(const uint8_t* rec, uint32_t len) override { return ring.Push(rec, len); }
    uint64_t Poll(uint64_t& sum) override { return PollTouch(reader, sum); }
};

struct PrivateC : PoolPush {
    CDrvRingBufPool pool;
    PoolTail tail{&pool};
    alignas(64) std::optional<mkrx::RingReader<mkrx::LenHdrFraming, PoolTail>> reader;
    alignas(64) char end[1] = {};
    PrivateC() {
        _DMaInitParam_t p;
        p.uiPoolSize = g_ringMiB;
        p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
        p.eRunMode = MKRX_ONE_SDK_RINGBUF_MODE;
        if (pool.Init(&p) != 0) return;
        ringbuffer* rb = pool.GetPoolBuf(0);
        memset(rb->p.buffer, 0, rb->p.size + MKRX_TAIL_AREA_SIZE);  // fault the pages in before timing
        reader.emplace(rb, &tail);
        Ready(&pool);
    }
    uint64_t Poll(uint64_t& sum) override { return PollTouch(*reader, sum); }
};

struct SharedC : PoolPush {
    std::unique_ptr<CDrvRingBufPool> pool;
    alignas(64) CMkrxPoolConsumer consumer;
    ConsumerSource src{&consumer};
    std::optional<mkrx::PoolReader<mkrx::LenHdrFraming, ConsumerSource>> reader;
    alignas(64) char end[1] = {};
    SharedC() {
        qtest::RemovePoolIpc();
        pool.reset(new CDrvRingBufPool);
        _DMaInitParam_t p;
        p.uiPoolSize = g_ringMiB;
        p.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
        p.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
        if (pool->Init(&p) != 0 || consumer.Attach(GetShareMemBase()) != 0) return;
        reader.emplace(&src);
        Ready(pool.get());
    }
    ~SharedC() override {
        consumer.Detach();
        pool.reset();
        qtest::RemovePoolIpc();
    }
    uint64_t Poll(uint64_t& sum) override { return PollTouch(*reader, sum); }
};

// The shared ring read by a hand-written walk instead of mkrx_reader.h: the
// reader's own cost is the difference.
struct SharedHandC : SharedC {
    uint64_t Poll(uint64_t& sum) override {
        MkrxCurPoolUsge_t u;
        if (consumer.Read(&u) != 0 || u.uiAvailDataLen == 0) return 0;
        uint32_t used = 0;
        uint64_t n = 0;
        while (used < u.uiAvailDataLen) {
            uint32_t len;
            memcpy(&len, u.pucbuf + used, 4);
            sum += Touch(u.pucbuf + used + 4);
            used += 4 + len;
            ++n;
        }
        consumer.Consume(used);
        return n;
    }
};

template <uint32_t N>
struct BoostC : Contender {
    using Rec = std::array<uint8_t, N + 4>;  // the same length word and payload
    boost::lockfree::spsc_queue<Rec> q{((size_t)g_ringMiB << 20) / sizeof(Rec)};
    alignas(64) Rec r;
    alignas(64) char end[1] = {};
    bool Push(const uint8_t* rec, uint32_t len) override {
        memcpy(r.data(), &len, 4);
        memcpy(r.data() + 4, rec, len);
        return q.push(r);
    }
    uint64_t Poll(uint64_t& sum) override {
        return q.consume_all([&](const Rec& x) { sum += Touch(x.data() + 4); });
    }
};

// ns per record, producer and reader on one thread, batches of 64.
double OneThread(Contender& c, const uint8_t* rec, uint32_t len) {
    uint64_t sum = 0, n = 0;
    int64_t t0 = NowNs(), end = t0 + (int64_t)(g_windowMs * 1e6), now = t0;
    while (now < end) {
        for (int k = 0; k < 64; ++k)
            while (!c.Push(rec, len)) c.Poll(sum);
        uint64_t got = 0;
        while (got < 64) got += c.Poll(sum);
        n += 64;
        now = NowNs();
    }
    g_sink = sum;
    return (double)(now - t0) / (double)n;
}

// Records/s with the producer on side 0 and the reader on side 1.
double TwoThreads(bench::Pair& pair, bench::Window& w, Contender& c, const uint8_t* rec, uint32_t len) {
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    double rate = 0;
    w = pair.Run([&](int side) {
        ready.fetch_add(1);
        while (ready.load() < 2) bench::Pause();
        if (side == 0) {
            uint64_t fulls = 0;
            while (!stop.load(std::memory_order_relaxed))
                while (!c.Push(rec, len) && !stop.load(std::memory_order_relaxed)) {
                    ++fulls;
                    bench::Pause();
                }
            c.fulls = fulls;
            return;
        }
        uint64_t sum = 0, n = 0;
        int64_t t0 = NowNs(), end = t0 + (int64_t)(g_windowMs * 1e6), now = t0;
        for (uint32_t i = 1;; ++i) {
            uint64_t k = c.Poll(sum);
            n += k;
            if (k == 0) bench::Pause();
            if ((i & 255) == 0 && (now = NowNs()) >= end) break;
        }
        stop.store(true);
        while (c.Poll(sum) != 0) {}  // leave the ring empty for the next window
        rate = (double)n * 1e9 / (double)(now - t0);
        g_sink = sum;
    });
    return rate;
}

enum { kPrivate, kShared, kLean, kBoost, kHand, kContenders };

// By tag, by contender: v from windows kept, loose from windows whose probes
// agree but in which a thread was switched out (shown, marked *, only where
// no window was kept).
struct Samples {
    std::vector<double> v[2][kContenders], loose[2][kContenders];
    int dropped = 0;
    void Add(const bench::Window& w, int which, double x) {
        if (w.kept) v[w.tag][which].push_back(x);
        else dropped++;
        if (!w.kept && w.tag != bench::kMixed) loose[w.tag][which].push_back(x);
    }
    const std::vector<double>& Best(int tag, int which, bool* isLoose) const {
        *isLoose = v[tag][which].empty() && !loose[tag][which].empty();
        return *isLoose ? loose[tag][which] : v[tag][which];
    }
};

// A new contender, its ring run through twice so that no page fault or
// cold line lands in a window.
template <uint32_t N>
std::unique_ptr<Contender> Make(int which, const uint8_t* rec) {
    std::unique_ptr<Contender> c;
    switch (which) {
        case kPrivate: c.reset(new PrivateC); break;
        case kShared: c.reset(new SharedC); break;
        case kLean: c.reset(new LeanC); break;
        case kHand: c.reset(new SharedHandC); break;
        default: c.reset(new BoostC<N>); break;
    }
    if (auto* pool = dynamic_cast<PoolPush*>(c.get()); pool != nullptr && !pool->ok) {
        fprintf(stderr, "bench_pool: the pool of contender %d could not be set up\n", which);
        exit(1);
    }
    uint64_t sum = 0;
    for (uint64_t i = 0, n = 2 * ((uint64_t)g_ringMiB << 20) / (N + 4); i < n; ++i)
        while (!c->Push(rec, N)) c->Poll(sum);
    while (c->Poll(sum) != 0) {}
    return c;
}

std::string Cell(const Samples& s, int tag, int which, double scale) {
    bool loose;
    const std::vector<double>& v = s.Best(tag, which, &loose);
    if (v.empty()) return "-";
    char b[48];
    snprintf(b, sizeof(b), "%.2f (%zu%s)", bench::Median(v) / scale, v.size(), loose ? "*" : "");
    return b;
}

// Median of a over median of b, within one tag.
std::string RatioCell(const Samples& s, int tag, int a, int b) {
    bool la, lb;
    const std::vector<double>& va = s.Best(tag, a, &la);
    const std::vector<double>& vb = s.Best(tag, b, &lb);
    if (va.empty() || vb.empty()) return "-";
    char buf[32];
    snprintf(buf, sizeof(buf), "%.2fx%s", bench::Median(va) / bench::Median(vb), la || lb ? "*" : "");
    return buf;
}

struct SizeResult {
    uint32_t size;
    Samples one, two;
};

template <uint32_t N>
void RunSize(bench::Pair& pair, std::vector<SizeResult>& out) {
    if (!Want(N)) return;
    std::vector<uint8_t> rec(N);
    for (uint32_t i = 0; i < N; ++i) rec[i] = (uint8_t)i;
    SizeResult r;
    r.size = N;
    for (int round = 0; round < g_rounds; ++round) {
        for (int k = 0; k < kContenders; ++k) {
            int which = (k + round) % kContenders;  // rotate: drift hits all alike
            std::unique_ptr<Contender> c = Make<N>(which, rec.data());
            double ns = 0;
            bench::Window w = pair.Run([&](int side) {
                if (side == 0) ns = OneThread(*c, rec.data(), N);
            });
            r.one.Add(w, which, ns);
            double rate = TwoThreads(pair, w, *c, rec.data(), N);
            if (getenv("BENCH_TRACE"))
                fprintf(stderr, "%u %d two %.2f Mrec/s probes %.0f %.0f kept %d fulls %llu\n", N, which, rate / 1e6,
                        w.probeNs[0], w.probeNs[1], (int)w.kept, (unsigned long long)c->fulls);
            r.two.Add(w, which, rate);
        }
    }
    out.push_back(r);
}

void PrintTables(const std::vector<SizeResult>& res) {
    for (int tag = 0; tag < 2; ++tag) {
        printf("\n[%s cores] one thread: ns per record, producer and reader interleaved on CPU 0 (windows in ())\n",
               bench::TagName(tag));
        printf("%6s  %13s %13s %13s %13s %13s   %9s %9s %9s %9s %9s\n", "bytes", "private", "shared", "lean", "boost",
               "shr hand", "lean/prv", "lean/shr", "bst/prv", "bst/shr", "hand/shr");
        for (const SizeResult& r : res)
            printf("%6u  %13s %13s %13s %13s %13s   %9s %9s %9s %9s %9s\n", r.size, Cell(r.one, tag, kPrivate, 1).c_str(),
                   Cell(r.one, tag, kShared, 1).c_str(), Cell(r.one, tag, kLean, 1).c_str(),
                   Cell(r.one, tag, kBoost, 1).c_str(), Cell(r.one, tag, kHand, 1).c_str(),
                   RatioCell(r.one, tag, kLean, kPrivate).c_str(), RatioCell(r.one, tag, kLean, kShared).c_str(),
                   RatioCell(r.one, tag, kBoost, kPrivate).c_str(), RatioCell(r.one, tag, kBoost, kShared).c_str(),
                   RatioCell(r.one, tag, kHand, kShared).c_str());
        printf("\n[%s cores] two threads: Mrec/s, producer CPU 0, reader CPU 1 (windows in ())\n", bench::TagName(tag));
        printf("%6s  %13s %13s %13s %13s   %9s %9s %9s %9s\n", "bytes", "private", "shared", "lean", "boost", "prv/lean",
               "shr/lean", "prv/bst", "shr/bst");
        for (const SizeResult& r : res)
            printf("%6u  %13s %13s %13s %13s   %9s %9s %9s %9s\n", r.size, Cell(r.two, tag, kPrivate, 1e6).c_str(),
                   Cell(r.two, tag, kShared, 1e6).c_str(), Cell(r.two, tag, kLean, 1e6).c_str(),
                   Cell(r.two, tag, kBoost, 1e6).c_str(), RatioCell(r.two, tag, kPrivate, kLean).c_str(),
                   RatioCell(r.two, tag, kShared, kLean).c_str(), RatioCell(r.two, tag, kPrivate, kBoost).c_str(),
                   RatioCell(r.two, tag, kShared, kBoost).c_str());
    }
    int d1 = 0, d2 = 0, all = 0;
    for (const SizeResult& r : res) d1 += r.one.dropped, d2 += r.two.dropped, all += g_rounds * kContenders;
    printf("\nwindows not kept (a thread switched out, or the probes before and after disagree): one thread %d of %d, "
           "two threads %d of %d;\n* = median of windows with a thread switched out, shown where none was kept\n",
           d1, all, d2, all);
}

// ns per copy of one record of size bytes into a ring, by copy routine.
double CopyNs(uint32_t size, void (*copy)(uint8_t*, const uint8_t*, size_t)) {
    const size_t ring = 1 << 20;
    std::vector<uint8_t> buf(ring + 8192), src(8192, 7);
    uint64_t n = std::max<uint64_t>(300000, (64u << 20) / size);
    size_t pos = 0;
    int64_t t0 = NowNs();
    for (uint64_t i = 0; i < n; ++i) {
        copy(buf.data() + pos, src.data(), size);
        pos += size + 3;  // unaligned, as records lie back to back
        if (pos >= ring) pos = 0;
        asm volatile("" ::: "memory");
    }
    return (double)(NowNs() - t0) / (double)n;
}

void LibCopy(uint8_t* d, const uint8_t* s, size_t n) { memcpy(d, s, n); }
void VecCopy(uint8_t* d, const uint8_t* s, size_t n) { mkrx::CopyVec(d, s, n); }

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--ring")) g_ringMiB = (uint32_t)atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--rounds")) g_rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--window")) g_windowMs = atof(argv[i + 1]);
        if (!strcmp(argv[i], "--sizes")) g_sizes = argv[i + 1];
    }
    elog_set_output_enabled(false);
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        fprintf(stderr, "bench_pool: needs two CPUs\n");
        return 1;
    }
    printf("pool copy: Copy2Pool (private ring, shared segment; framing 1) against a lean ring of the same layout and\n"
           "protocol and boost::lockfree::spsc_queue; ring %u MiB; %d rounds of %.0f ms windows per size\n",
           g_ringMiB, g_rounds, g_windowMs);
    printf("readers read each record's length word and first 8 payload bytes (mkrx_reader.h for the rings)\n");
    printf("CPUs 0 and 1: %s; load average at start %s\n", bench::SiblingsReport(0, 1).c_str(), bench::LoadAvg().c_str());
    std::vector<SizeResult> res;
    {
        bench::Pair pair(0, 1);
        RunSize<32>(pair, res);
        RunSize<64>(pair, res);
        RunSize<256>(pair, res);
        RunSize<1024>(pair, res);
        RunSize<8192>(pair, res);
    }
    PrintTables(res);
    printf("load average at end %s\n", bench::LoadAvg().c_str());

    printf("\nrecord copy alone, ns per record (unaligned, into a 1 MiB ring): size-classed vector copy vs memcpy\n");
    printf("%6s  %8s  %8s  %7s\n", "bytes", "vector", "memcpy", "vec/mc");
    for (uint32_t n : {16u, 32u, 48u, 64u, 128u, 256u, 1024u, 8192u}) {
        double v = CopyNs(n, VecCopy), l = CopyNs(n, LibCopy);
        printf("%6u  %8.2f  %8.2f  %6.2fx\n", n, v, l, v / l);
    }
    return 0;
}
