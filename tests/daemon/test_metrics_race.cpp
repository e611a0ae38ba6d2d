// Scrapes of the numeric families racing the daily reset and the periodic
// readings: every scrape carries every register sample. Run under
// ThreadSanitizer by make test-tsan.
#include <gtest/gtest.h>

#include <atomic>

#include "metrics_env.h"

namespace {

// The registers a scrape publishes as numbers, "class/name".
std::set<std::string> RegisterKeys(const qm::Samples& s) {
    std::set<std::string> keys;
    for (const qm::Sample& r : s.Of("quay_card_register")) keys.insert(r.labels.at("class") + "/" + r.labels.at("name"));
    return keys;
}

TEST(MetricsRace, ScrapesDuringTheResetAndTheReadingsAreWhole) {
    qd::Daemon d(svc::kXdma, {{"monitor:record_time_len", "1"}});
    ASSERT_TRUE(d.StartAnimator(0.1, 10));
    ASSERT_TRUE(d.Start("2026-12-08 23:59:58"));
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();

    const std::set<std::string> first = RegisterKeys(qm::Samples(d.Scrape()));
    ASSERT_GT(first.size(), 10u);
    std::atomic<bool> stop{false};
    int scrapes = 0;
    std::vector<std::string> bad;
    std::thread scraper([&] {
        while (!stop) {
            std::string body = d.Scrape();
            qm::Samples s(body);
            ++scrapes;
            if (RegisterKeys(s) != first || s.Value("quay_card_up") != 1 || s.Of("quay_card_info").size() != 1)
                bad.push_back(body);
        }
    });
    bool reset = d.WaitOut("Reset command by quay", 8) && d.WaitOut("******** Read configuration ********", 5, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    stop = true;
    scraper.join();

    EXPECT_TRUE(reset) << d.Out();
    EXPECT_GT(scrapes, 20);
    EXPECT_TRUE(bad.empty()) << bad.size() << " torn scrapes, first:\n" << (bad.empty() ? "" : bad[0]);
    // The reset is then published as the last one.
    EXPECT_EQ(1, qm::Samples(d.Scrape()).Value("quay_last_reset_info", {{"by", "quay"}}));
    ASSERT_TRUE(d.proc().Alive()) << d.Out();
    EXPECT_EQ(qtest::kChildSignalBase + SIGTERM, d.proc().Signal(SIGTERM));
    EXPECT_EQ(std::string::npos, d.Out().find("ThreadSanitizer")) << d.Out();
}

}  // namespace
