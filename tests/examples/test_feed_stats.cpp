// The example clients' statistics line: the copy-to-read latency
// percentiles that the demo's table shows (p50, p99).
#include <gtest/gtest.h>

#include <string>

#include "mkrx_example.h"

namespace {

// The value after key in the "total" line of stats.
double TotalField(mkrxex::FeedStats& stats, const std::string& key) {
    testing::internal::CaptureStdout();
    stats.Final();
    const std::string line = testing::internal::GetCapturedStdout();
    size_t at = line.find(" " + key + " ");
    return at == std::string::npos ? -1 : atof(line.c_str() + at + key.size() + 2);
}

}  // namespace

TEST(FeedStats, LatencyPercentilesFollowTheDistribution) {
    mkrxex::FeedStats even("even");
    for (int us = 1; us <= 1000; ++us) even.Latency(us * 1000LL);
    // A percentile is the lower edge of its bucket: at most 1/32 below.
    EXPECT_LE(TotalField(even, "p50"), 501);
    EXPECT_GE(TotalField(even, "p50"), 501 * 31.0 / 32);
    EXPECT_LE(TotalField(even, "p99"), 991);
    EXPECT_GE(TotalField(even, "p99"), 991 * 31.0 / 32);

    // 1% of slow records set the p99, not the p50.
    mkrxex::FeedStats tail("tail");
    for (int i = 0; i < 989; ++i) tail.Latency(10000);
    for (int i = 0; i < 11; ++i) tail.Latency(5000000);
    EXPECT_NEAR(10, TotalField(tail, "p50"), 0.4);
    EXPECT_NEAR(5000, TotalField(tail, "p99"), 160);
    EXPECT_EQ(5000, TotalField(tail, "max"));
}
