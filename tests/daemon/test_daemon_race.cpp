// Scrapes racing the daily reset and the periodic readings: the exporter's
// HTTP thread reads the monitor maps while the main thread resets and
// re-reads the card; every scrape carries every register, in the label
// gauges and as numbers. Run under ThreadSanitizer by make test-tsan.
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

TEST(DaemonRace, ScrapesDuringTheResetAndTheReadingsAreWhole) {
    qd::Daemon d(svc::kXdma, {{"monitor:record_time_len", "1"}});
    ASSERT_TRUE(d.StartAnimator(0.1, 10));
    ASSERT_TRUE(d.Start("2026-12-08 23:59:58"));
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();

    const std::set<std::string> cfgNames = qd::PublishedNames(qd::Daemon::kPart, true);
    std::set<std::string> stNames = qd::PublishedNames(qd::Daemon::kPart, false);
    stNames.insert("last_reset");
    const std::set<std::string> numeric = RegisterKeys(qm::Samples(d.Scrape()));
    ASSERT_GT(numeric.size(), 10u);
    std::atomic<bool> stop{false};
    int scrapes = 0;
    std::vector<std::string> bad;
    std::thread scraper([&] {
        while (!stop) {
            std::string body = d.Scrape();
            qm::Samples s(body);
            ++scrapes;
            if (qd::Keys(qd::Labels(body, "quay_fpga_config")) != cfgNames ||
                qd::Keys(qd::Labels(body, "quay_fpga_status")) != stNames || RegisterKeys(s) != numeric ||
                s.Value("quay_card_up") != 1 || s.Of("quay_card_info").size() != 1)
                bad.push_back(body);
        }
    });
    // The reset comes at the first pass after midnight and holds the card a
    // second; scrape on until the reading after it has been printed.
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
