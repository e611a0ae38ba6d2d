// The size-classed record copy: for every length a record can have in the
// small classes and a few large ones, at every alignment of source and
// destination within 16 bytes, the copy equals the source and touches no
// byte before or after it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "mkrxCopy.h"

namespace {

struct Routine {
    const char* name;
    void (*copy)(uint8_t*, const uint8_t*, size_t);
    size_t maxLen;
};

void PrintTo(const Routine& r, std::ostream* os) { *os << r.name; }

void Vec(uint8_t* d, const uint8_t* s, size_t n) { mkrx::CopyVec(d, s, n); }
void UpTo64(uint8_t* d, const uint8_t* s, size_t n) { mkrx::CopyUpTo64(d, s, n); }
void Record(uint8_t* d, const uint8_t* s, size_t n) { mkrx::CopyRecord(d, s, n); }

class RecordCopy : public ::testing::TestWithParam<Routine> {};

TEST_P(RecordCopy, EqualsTheSourceAndStaysWithinIt) {
    const Routine r = GetParam();
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= std::min<size_t>(r.maxLen, 300); ++n) lengths.push_back(n);
    for (size_t n : {511, 1024, 1031, 4096, 8192})
        if (n <= r.maxLen) lengths.push_back(n);
    constexpr size_t kGuard = 64;
    std::vector<uint8_t> src(8192 + 2 * kGuard), dst(8192 + 2 * kGuard);
    for (size_t i = 0; i < src.size(); ++i) src[i] = (uint8_t)(i * 7 + 1);
    for (size_t n : lengths)
        for (size_t so = 0; so < 16; so += 5)
            for (size_t doff = 0; doff < 16; ++doff) {
                memset(dst.data(), 0xEE, dst.size());
                uint8_t* d = dst.data() + kGuard + doff;
                const uint8_t* s = src.data() + kGuard + so;
                r.copy(d, s, n);
                ASSERT_EQ(0, memcmp(d, s, n)) << r.name << " length " << n << " offsets " << so << "/" << doff;
                for (uint8_t* p = dst.data(); p < d; ++p) ASSERT_EQ(0xEE, *p) << r.name << " wrote before, length " << n;
                for (uint8_t* p = d + n; p < dst.data() + dst.size(); ++p)
                    ASSERT_EQ(0xEE, *p) << r.name << " wrote after, length " << n;
            }
}

INSTANTIATE_TEST_SUITE_P(Routines, RecordCopy,
                         ::testing::Values(Routine{"CopyVec", Vec, 8192}, Routine{"CopyUpTo64", UpTo64, 64},
                                           Routine{"CopyRecord", Record, 8192}),
                         [](const ::testing::TestParamInfo<Routine>& i) { return std::string(i.param.name); });

}  // namespace
