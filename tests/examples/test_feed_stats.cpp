// The example clients' statistics line: the copy-to-read latency
// percentiles that the demo's table shows (p50, p99).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

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

// The reporter thread prints a line a second with the reading thread's
// counts, handed over by Tick(), and ends a run given a time (-s).
TEST(FeedStats, ReporterPrintsTheReadersCountsAndEndsTheRun) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uint8_t rec[8] = {1, 0, 8, 0, 0, 0, 0, 0};  // type 1, length 8, sequence number
    uint32_t seq = 0;
    testing::internal::CaptureStdout();
    {
        mkrxex::FeedStats st("rep");
        st.Start(0);
        while (st.Lines() < 2 && std::chrono::steady_clock::now() < guard) {
            ++seq;
            memcpy(rec + 4, &seq, 4);
            st.Record(rec, sizeof(rec));
            st.Tick();
        }
        st.Final();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<double> counts;
    for (size_t at = out.find("rep: "); at != std::string::npos; at = out.find("rep: ", at + 1)) {
        size_t r = out.find(" records ", at);
        counts.push_back(atof(out.c_str() + r + 9));
    }
    ASSERT_GE(counts.size(), 3u) << out;  // two seconds and the total
    EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end())) << out;
    EXPECT_EQ((double)seq, counts.back()) << out;
    EXPECT_NE(std::string::npos, out.find("rep: total ")) << out;
    EXPECT_NE(std::string::npos, out.find(" gaps 0 lost 0 bad 0")) << out;

    mkrxex::FeedStats timed("timed");
    timed.Start(0.2);
    while (!timed.TimeUp() && std::chrono::steady_clock::now() < guard) timed.Tick();
    EXPECT_TRUE(timed.TimeUp());
}
