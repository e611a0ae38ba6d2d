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

// An expelled consumer's last two polls may have read bytes the producer
// wrote over them: their gaps, losses and bad records are taken back and
// reported as such; what earlier polls found stays counted.
TEST(FeedStats, OverrunTakesBackTheChecksOfTheLastTwoPollsOnly) {
    mkrxex::FeedStats st("ovr");
    auto rec = [&](uint32_t seq, uint16_t own) {
        uint8_t r[8] = {1, 0, 0, 0, 0, 0, 0, 0};
        memcpy(r + 2, &own, 2);
        memcpy(r + 4, &seq, 4);
        st.Record(r, sizeof(r));
    };
    st.NewPoll();
    rec(1, 8);
    rec(3, 8);  // an earlier gap of one: stays
    st.NewPoll();
    rec(4, 9);  // bad
    st.NewPoll();
    rec(4, 8);
    rec(90, 8);  // what an overwritten ring may look like: a gap and a bad record
    rec(91, 7);
    st.NewPoll();
    rec(5, 1);
    st.Overrun();
    EXPECT_EQ(1, TotalField(st, "gaps"));
    EXPECT_EQ(1, TotalField(st, "lost"));
    EXPECT_EQ(1, TotalField(st, "bad"));
    testing::internal::CaptureStdout();
    st.Final();
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("ovr: 4 records of the last two polls"));
}
