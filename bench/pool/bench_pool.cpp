// Copy throughput of the pool: one pinned producer thread calling Copy2Pool
// and one pinned reader thread walking the records in place, for the private
// ring and the shared ring, against boost::lockfree::spsc_queue moving the
// same bytes between the same two cores with the same ring size, and against
// memcpy of the same records into a ring of that size (one thread: the
// bandwidth bound of this machine). Also the record copy alone, size-classed
// vector copy against the C library's memcpy, to place the crossover.
//
//   bench_pool [--ring MIB] [--rounds N] [--sizes 32,64,...]
//
// The shared ring uses the fixed SysV keys: do not run beside the tests.

#include <pthread.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "drvRingBufPool.h"
#include "ipc_key_lock.h"
#include "gt_logger.h"
#include "mkrxCopy.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_prodCpu = 0;
int g_readCpu = 1;
uint32_t g_ringMiB = 1;
int g_rounds = 5;
std::string g_sizes = "32,64,256,1024,8192";
bool Want(uint32_t n) { return ("," + g_sizes + ",").find("," + std::to_string(n) + ",") != std::string::npos; }

void Pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uint64_t RecordsFor(uint32_t size) { return std::max<uint64_t>(200000, (uint64_t)(600u << 20) / size); }

// One round: producer(n) on the producer CPU, reader(n) on the reader CPU;
// records per second, timed from the start of both to the reader's end.
double TwoThreads(uint64_t n, const std::function<void(uint64_t)>& produce, const std::function<void(uint64_t)>& read) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    Clock::time_point t0, t1;
    std::thread p([&] {
        Pin(g_prodCpu);
        ready++;
        while (!go.load()) {}
        produce(n);
    });
    std::thread r([&] {
        Pin(g_readCpu);
        ready++;
        while (ready.load() < 2) {}
        t0 = Clock::now();
        go.store(true);
        read(n);
        t1 = Clock::now();
    });
    p.join();
    r.join();
    return n / std::chrono::duration<double>(t1 - t0).count();
}

// Producer side shared by both pool forms: offers each record again while
// the pool drops it because the ring is full.
void ProducePool(CDrvRingBufPool& pool, const uint8_t* rec, uint32_t size, uint64_t n) {
    const uint64_t* dropped = &pool.GetPktStat(0)->ulSoftDisPktNum;
    uint64_t d = mkrx::LoadRelaxed(dropped);
    for (uint64_t i = 0; i < n; ++i) {
        for (;;) {
            pool.Copy2Pool(rec, size, nullptr);
            uint64_t now = mkrx::LoadRelaxed(dropped);
            if (now == d) break;
            d = now;
        }
    }
}

// The reader's work per record, the same for every queue: the length and the
// first 8 payload bytes.
inline uint64_t Touch(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

volatile uint64_t g_sink;

// What every reader does when it finds nothing new: a pause, so that it does
// not pull the write position's cache line away after every record.
inline void Idle() { _mm_pause(); }

double PoolPrivate(uint32_t size, const std::vector<uint8_t>& rec) {
    CDrvRingBufPool pool;
    _DMaInitParam_t param;
    param.uiPoolSize = g_ringMiB;
    param.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
    param.eRunMode = MKRX_ONE_SDK_RINGBUF_MODE;
    if (pool.Init(&param) != 0) return 0;
    ringbuffer* rb = pool.GetPoolBuf(0);
    memset(rb->p.buffer, 0, rb->p.size);  // fault the pages in before timing
    return TwoThreads(
        RecordsFor(size), [&](uint64_t n) { ProducePool(pool, rec.data(), size, n); },
        [&](uint64_t n) {
            uint64_t got = 0, sum = 0;
            uint32_t out = rb->c.out;
            while (got < n) {
                uint32_t in = mkrx::LoadAcquire(&rb->p.in);  // once per batch
                if (in == out) {
                    Idle();
                    continue;
                }
                while (out != in) {
                    uint32_t off = out & (rb->c.size - 1);
                    const uint8_t* r = rb->c.buffer + off;
                    uint32_t len;
                    memcpy(&len, r, 4);
                    sum += Touch(r + 4);
                    uint32_t need = 4 + len, toEnd = rb->c.size - off;
                    out += need < toEnd ? need : toEnd;
                    ++got;
                }
                mkrx::StoreRelease(&rb->c.out, out);
            }
            g_sink = sum;
        });
}


double PoolShared(uint32_t size, const std::vector<uint8_t>& rec) {
    qtest::RemovePoolIpc();
    double rate = 0;
    {
        CDrvRingBufPool pool;
        _DMaInitParam_t param;
        param.uiPoolSize = g_ringMiB;
        param.eDataType = MKRX_RAW_FPGA_WITH_LEN_HDR;
        param.eRunMode = MKRX_MULTI_SDK_PRODUCE_MODE;
        if (pool.Init(&param) != 0) return 0;
        CMkrxPoolConsumer c;
        if (c.Attach(GetShareMemBase()) != 0) return 0;
        rate = TwoThreads(
            RecordsFor(size), [&](uint64_t n) { ProducePool(pool, rec.data(), size, n); },
            [&](uint64_t n) {
                uint64_t got = 0, sum = 0;
                while (got < n) {
                    MkrxCurPoolUsge_t u;
                    if (c.Read(&u) != 0) break;
                    if (u.uiAvailDataLen == 0) {
                        Idle();
                        continue;
                    }
                    uint32_t used = 0;
                    while (used < u.uiAvailDataLen) {
                        uint32_t len;
                        memcpy(&len, u.pucbuf + used, 4);
                        sum += Touch(u.pucbuf + used + 4);
                        used += 4 + len;
                        ++got;
                    }
                    if (used) c.Consume(used);
                }
                g_sink = sum;
            });
        c.Detach();
    }
    qtest::RemovePoolIpc();
    return rate;
}

template <uint32_t N>
double BoostQueue(const std::vector<uint8_t>& rec) {
    using Rec = std::array<uint8_t, N + 4>;  // the same length word and payload
    auto* q = new boost::lockfree::spsc_queue<Rec>(((size_t)g_ringMiB << 20) / sizeof(Rec));
    Rec r;
    uint32_t len = N;
    memcpy(r.data(), &len, 4);
    memcpy(r.data() + 4, rec.data(), N);
    double rate = TwoThreads(
        RecordsFor(N),
        [&](uint64_t n) {
            for (uint64_t i = 0; i < n; ++i)
                while (!q->push(r)) {}
        },
        [&](uint64_t n) {
            uint64_t got = 0, sum = 0;
            while (got < n) {
                size_t k = q->consume_all([&](const Rec& x) { sum += Touch(x.data() + 4); });
                if (k == 0) Idle();
                got += k;
            }
            g_sink = sum;
        });
    delete q;
    return rate;
}

// One thread copying the records back to back into a ring of the same size.
double MemcpyBound(uint32_t size, const std::vector<uint8_t>& rec) {
    const size_t ring = (size_t)g_ringMiB << 20;
    std::vector<uint8_t> buf(ring + 8192);
    uint64_t n = RecordsFor(size);
    size_t pos = 0;
    auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
        memcpy(buf.data() + pos, rec.data(), size);
        pos += size + 4;
        if (pos >= ring) pos = 0;
        asm volatile("" ::: "memory");
    }
    auto t1 = Clock::now();
    return n / std::chrono::duration<double>(t1 - t0).count();
}

// ns per copy of one record of size bytes into a ring, by copy routine.
double CopyNs(uint32_t size, void (*copy)(uint8_t*, const uint8_t*, size_t)) {
    const size_t ring = 1 << 20;
    std::vector<uint8_t> buf(ring + 8192), src(8192, 7);
    uint64_t n = std::max<uint64_t>(1000000, (256u << 20) / size);
    size_t pos = 0;
    auto t0 = Clock::now();
    for (uint64_t i = 0; i < n; ++i) {
        copy(buf.data() + pos, src.data(), size);
        pos += size + 3;  // unaligned, as records lie back to back
        if (pos >= ring) pos = 0;
        asm volatile("" ::: "memory");
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / n;
}

void LibCopy(uint8_t* d, const uint8_t* s, size_t n) { memcpy(d, s, n); }
void VecCopy(uint8_t* d, const uint8_t* s, size_t n) { mkrx::CopyVec(d, s, n); }

template <uint32_t N>
void Row() {
    if (!Want(N)) return;
    std::vector<uint8_t> rec(N);
    for (uint32_t i = 0; i < N; ++i) rec[i] = (uint8_t)i;
    std::vector<double> priv, shr, boost, mem;
    for (int r = 0; r < g_rounds; ++r) {  // alternate, so drift hits all alike
        priv.push_back(PoolPrivate(N, rec));
        shr.push_back(PoolShared(N, rec));
        boost.push_back(BoostQueue<N>(rec));
        mem.push_back(MemcpyBound(N, rec));
    }
    double p = Median(priv), s = Median(shr), b = Median(boost), m = Median(mem);
    printf("%6u  %9.2f  %9.2f  %9.2f  %9.2f   %6.2fx  %6.2fx   %5.0f%%  %5.0f%%  %8.0f\n", N, p / 1e6, s / 1e6,
           b / 1e6, m / 1e6, p / b, s / b, 100 * p / m, 100 * s / m, p * N / (1 << 20));
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--ring")) g_ringMiB = (uint32_t)atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--rounds")) g_rounds = atoi(argv[i + 1]);
        if (!strcmp(argv[i], "--sizes")) g_sizes = argv[i + 1];
    }
    elog_set_output_enabled(false);
    int ncpu = (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (ncpu < 2) g_readCpu = 0;
    printf("pool copy throughput: producer on CPU %d, reader on CPU %d, ring %u MiB, median of %d rounds\n",
           g_prodCpu, g_readCpu, g_ringMiB, g_rounds);
    printf("records of length word + payload; Mrec/s; ratio to boost spsc_queue and to memcpy into the ring\n\n");
    printf("%6s  %9s  %9s  %9s  %9s   %7s  %7s   %6s  %6s  %8s\n", "bytes", "private", "shared", "boost", "memcpy",
           "prv/bst", "shr/bst", "prv/mc", "shr/mc", "prv MiB/s");
    Row<32>();
    Row<64>();
    Row<256>();
    Row<1024>();
    Row<8192>();

    printf("\nrecord copy alone, ns per record (unaligned, into a 1 MiB ring): size-classed vector copy vs memcpy\n");
    printf("%6s  %8s  %8s  %7s\n", "bytes", "vector", "memcpy", "vec/mc");
    for (uint32_t n : {8u, 16u, 24u, 32u, 48u, 64u, 100u, 128u, 200u, 256u, 384u, 512u, 1024u, 2048u, 4096u, 8192u}) {
        double v = CopyNs(n, VecCopy), l = CopyNs(n, LibCopy);
        printf("%6u  %8.2f  %8.2f  %6.2fx\n", n, v, l, v / l);
    }
    return 0;
}
