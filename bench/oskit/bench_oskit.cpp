// Cost of tiny_malloc/tiny_free pairs against glibc malloc/free for block
// sizes 8 to 255, in one thread and in two threads at once. Two patterns:
// "pair" frees each block at once; "batch" holds 1000 blocks before freeing
// them. Prints ns per pair and the ratio tiny / glibc (below 1: tiny is cheaper).
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <thread>
#include <vector>

#include "thread_mutex.h"
#include "tiny_malloc.h"

namespace {

inline void Escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

struct Glibc {
    static void* Alloc(size_t n) { return malloc(n); }
    static void Free(void* p) { free(p); }
};
struct Tiny {
    static void* Alloc(size_t n) { return tiny_malloc(n); }
    static void Free(void* p) { tiny_free(p); }
};

// The part of a tiny pair no allocator work can save: the two lock and
// unlock rounds of the one process-wide recursive mutex.
OSKIT2::CThreadMutex g_floor;
void LockLoop(long n) {
    for (long i = 0; i < n; ++i) {
        g_floor.Acquire();
        Escape(&g_floor);
        g_floor.Release();
        g_floor.Acquire();
        Escape(&g_floor);
        g_floor.Release();
    }
}

// Sizes cycle through 8..255 so that every size class is used.
template <class A>
void PairLoop(long n) {
    size_t size = 8;
    for (long i = 0; i < n; ++i) {
        void* p = A::Alloc(size);
        *static_cast<char*>(p) = 1;
        Escape(p);
        A::Free(p);
        size = size == 255 ? 8 : size + 1;
    }
}

template <class A>
void BatchLoop(long n) {
    std::vector<void*> held(1000);
    size_t size = 8;
    for (long done = 0; done < n; done += 1000) {
        for (auto& p : held) {
            p = A::Alloc(size);
            *static_cast<char*>(p) = 1;
            size = size == 255 ? 8 : size + 1;
        }
        Escape(held.data());
        for (void* p : held) A::Free(p);
    }
}

// ns per pair, over all threads' pairs, wall clock.
template <void (*Loop)(long)>
double Measure(int threads, long n) {
    Loop(n / 10);  // warm: slabs and caches in place
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back(Loop, n);
    for (auto& t : pool) t.join();
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    return ns / (static_cast<double>(n) * threads);
}

template <void (*G)(long), void (*T)(long)>
void Row(const char* pattern, int threads, long n) {
    double best_g = 1e30, best_t = 1e30;
    for (int rep = 0; rep < 3; ++rep) {  // best of three against noise from other processes
        double g = Measure<G>(threads, n), t = Measure<T>(threads, n);
        if (g < best_g) best_g = g;
        if (t < best_t) best_t = t;
    }
    printf("%-6s %7d %14.1f %14.1f %10.2f\n", pattern, threads, best_g, best_t, best_t / best_g);
}

}  // namespace

int main(int argc, char** argv) {
    long n = argc > 1 ? atol(argv[1]) : 2000000;
    tiny_malloc_init();
    printf("tiny_malloc/tiny_free vs glibc malloc/free, sizes 8..255, %ld pairs per thread\n", n);
    printf("%-6s %7s %14s %14s %10s\n", "mode", "threads", "glibc ns/pair", "tiny ns/pair", "tiny/glibc");
    Row<PairLoop<Glibc>, PairLoop<Tiny>>("pair", 1, n);
    Row<PairLoop<Glibc>, PairLoop<Tiny>>("pair", 2, n);
    Row<BatchLoop<Glibc>, BatchLoop<Tiny>>("batch", 1, n);
    Row<BatchLoop<Glibc>, BatchLoop<Tiny>>("batch", 2, n);
    printf("locks  %7d %14s %14.1f   (two recursive lock/unlock rounds per pair)\n", 1, "", Measure<LockLoop>(1, n));
    printf("locks  %7d %14s %14.1f\n", 2, "", Measure<LockLoop>(2, n));
    tiny_malloc_uninit();
    return 0;
}
