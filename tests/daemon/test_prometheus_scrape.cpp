// A real Prometheus server, with the example configuration and rules of
// packaging/prometheus, scrapes the daemon while the animator runs.
#include <gtest/gtest.h>

#include "daemon_env.h"

namespace {

// One query through the HTTP API: the JSON answer.
std::string Query(int port, const std::string& promql) {
    return qtest::RunCmd("curl -s -m 5 http://127.0.0.1:" + std::to_string(port) +
                         "/api/v1/query --data-urlencode 'query=" + promql + "'");
}

TEST(PrometheusScrape, SeesTheDaemonUpAndTheCardLabels) {
    qd::Daemon d(svc::kXdma, {{"monitor:record_time_len", "1"}});
    ASSERT_TRUE(d.StartAnimator());
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();

    qtest::TempDir dir("quayprom");
    const std::string src = svc::SourceFile("packaging/prometheus/");
    std::string cfg = qtest::ReadFile(src + "prometheus.yml");
    size_t t = cfg.find("127.0.0.1:9321");
    ASSERT_NE(std::string::npos, t);
    cfg.replace(t, 14, "127.0.0.1:" + std::to_string(d.port()));
    size_t iv = cfg.find("scrape_interval: 15s");
    ASSERT_NE(std::string::npos, iv);
    cfg.replace(iv, 20, "scrape_interval: 1s");
    qtest::WriteFile(dir / "prometheus.yml", cfg);
    qtest::WriteFile(dir / "quay_rules.yml", qtest::ReadFile(src + "quay_rules.yml"));

    const int promPort = qd::FreePort();
    qd::Process prom;  // killed when the test ends, passed or not
    ASSERT_TRUE(prom.Spawn({"/usr/bin/prometheus", "--config.file=" + (dir / "prometheus.yml"),
                            "--storage.tsdb.path=" + (dir / "data"),
                            "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                           dir.path(), dir / "prometheus.txt"));

    std::string up;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end && prom.Alive()) {
        up = Query(promPort, "up{job=\"quay\"}");
        if (up.find("\"1\"]") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_NE(std::string::npos, up.find("\"1\"]")) << up << "\n" << qtest::ReadFile(dir / "prometheus.txt");

    std::string card = Query(promPort, "quay_fpga_config{job=\"quay\"}");
    EXPECT_NE(std::string::npos, card.find("\"cur_trade_date\":\"" + qd::Today() + "\"")) << card;
    EXPECT_NE(std::string::npos, card.find("\"link_status\":\"1\"")) << card;
    EXPECT_NE(std::string::npos, card.find("\"card\":\"md-card-0\"")) << card;
    std::string status = Query(promPort, "count(quay_fpga_status{last_reset=\"00000000 00:00:00\"})");
    EXPECT_NE(std::string::npos, status.find("\"result\":[{")) << status;
    // The rules loaded beside the configuration: the card answers, so no
    // "not up" alert is even pending.
    std::string alerts = Query(promPort, "ALERTS{alertname=\"QuayCardNotUp\"}");
    EXPECT_NE(std::string::npos, alerts.find("\"result\":[]")) << alerts;
    prom.Signal(SIGTERM, 5);
}

}  // namespace
