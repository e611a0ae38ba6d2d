#ifndef MKRX_COPY_H
#define MKRX_COPY_H

// Size-classed copy of one record into a ring. The result equals a byte copy
// of n bytes; nothing before src/dst or at or after src + n / dst + n is read
// or written. Small records take a few unaligned 16-byte loads and stores
// sized to the record (overlapping at the end instead of looping); large ones
// go to the C library's memcpy, which uses the widest vectors the CPU has and
// runs at the bandwidth limit. MKRX_COPY_LIB_FROM is where bench_pool measured
// the crossover on our machines: the 16-byte classes win below 64 bytes, tie
// at 64 (where two 32-byte moves save the call) and lose above (by 1.3x at
// 1 KiB and above).

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mkrx {

constexpr size_t MKRX_COPY_LIB_FROM = 65;

namespace detail {
[[gnu::always_inline]] inline void mov16(uint8_t* d, const uint8_t* s) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
}
[[gnu::always_inline]] inline void mov32(uint8_t* d, const uint8_t* s) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), b);
}
[[gnu::always_inline]] inline void mov64(uint8_t* d, const uint8_t* s) {
    mov32(d, s);
    mov32(d + 32, s + 32);
}
inline void mov256(uint8_t* d, const uint8_t* s) {
    mov64(d, s);
    mov64(d + 64, s + 64);
    mov64(d + 128, s + 128);
    mov64(d + 192, s + 192);
}
}  // namespace detail

// Below 16 bytes: moves of 8, 4, 2 and 1 bytes by the bits of n.
[[gnu::always_inline]] inline void CopySmall(uint8_t* d, const uint8_t* s, size_t n) {
    if (n & 8) { uint64_t v; std::memcpy(&v, s, 8); std::memcpy(d, &v, 8); d += 8; s += 8; }
    if (n & 4) { uint32_t v; std::memcpy(&v, s, 4); std::memcpy(d, &v, 4); d += 4; s += 4; }
    if (n & 2) { uint16_t v; std::memcpy(&v, s, 2); std::memcpy(d, &v, 2); d += 2; s += 2; }
    if (n & 1) *d = *s;
}

// At most 64 bytes, always inline, so that the copy thread's path for small
// records calls nothing: below 16 CopySmall, 16 to 32 bytes the first and
// last 16 (overlapping), 33 to 64 the first and last 32.
[[gnu::always_inline]] inline void CopyUpTo64(uint8_t* d, const uint8_t* s, size_t n) {
    using namespace detail;
    if (n < 16) { CopySmall(d, s, n); return; }
    if (n <= 32) { mov16(d, s); mov16(d + n - 16, s + n - 16); return; }
    mov32(d, s);
    mov32(d + n - 32, s + n - 32);
}

// Up to 64 bytes as CopyUpTo64; 65 to 128: first and last 64; above:
// 256-byte blocks while more than 255 bytes remain, then blocks of 64 and
// 16, and the 16 bytes that end at the end of the data.
inline void CopyVec(uint8_t* d, const uint8_t* s, size_t n) {
    using namespace detail;
    if (n <= 64) { CopyUpTo64(d, s, n); return; }
    if (n <= 128) { mov64(d, s); mov64(d + n - 64, s + n - 64); return; }
    const uint8_t* end = s + n;
    uint8_t* dend = d + n;
    while (n > 255) { mov256(d, s); d += 256; s += 256; n -= 256; }
    while (n >= 64) { mov64(d, s); d += 64; s += 64; n -= 64; }
    while (n >= 16) { mov16(d, s); d += 16; s += 16; n -= 16; }
    if (n > 0) mov16(dend - 16, end - 16);
}

inline void CopyRecord(uint8_t* d, const uint8_t* s, size_t n) {
    if (n < MKRX_COPY_LIB_FROM) CopyUpTo64(d, s, n);
    else std::memcpy(d, s, n);
}

}  // namespace mkrx

#endif
