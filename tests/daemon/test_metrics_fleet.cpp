// Three daemons on three virtual cards scraped by one real Prometheus server
// with the fleet example's configuration and rules, the producer and a
// consumer on one of the cards: every expression of the Grafana dashboard
// and every recording rule answers for all three hosts, and a session lost on
// one card shows on that host only. In PID and IPC namespaces of their own,
// under the pool's key lock.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <set>

#include "ipc_key_lock.h"
#include "metrics_env.h"
#include "sdk_env.h"

namespace {

// The hosts (instance labels) of the series in a query's JSON answer.
std::set<std::string> Instances(const std::string& json) {
    std::set<std::string> out;
    std::regex re("\"instance\":\"([^\"]+)\"");
    for (std::sregex_iterator it(json.begin(), json.end(), re), end; it != end; ++it) out.insert((*it)[1]);
    return out;
}

std::string Query(int port, const std::string& promql) {
    return qtest::RunCmd("curl -s -m 5 http://127.0.0.1:" + std::to_string(port) +
                         "/api/v1/query --data-urlencode 'query=" + promql + "'");
}

std::string Edit(std::string text, const std::string& re, const std::string& to) {
    return std::regex_replace(text, std::regex(re), to);
}

// The expressions a user's Grafana sends for the dashboard, every host chosen.
std::vector<std::string> DashboardExprs() {
    std::vector<std::string> out;
    const std::string json = qtest::ReadFile(svc::SourceFile("packaging/grafana/quay.json"));
    std::regex re("\"expr\": \"((?:[^\"\\\\]|\\\\.)*)\"");
    for (std::sregex_iterator it(json.begin(), json.end(), re), end; it != end; ++it) {
        std::string e = Edit((*it)[1], "\\\\\"", "\"");
        out.push_back(Edit(e, "\\$instance", ".+"));
    }
    return out;
}

std::vector<std::string> RecordedNames(const std::string& rules) {
    std::vector<std::string> out;
    std::regex re("record: (\\S+)");
    for (std::sregex_iterator it(rules.begin(), rules.end(), re), end; it != end; ++it) out.push_back((*it)[1]);
    return out;
}

// quay on a virtual XDMA card in an IPC namespace of its own, as on a host
// of its own: it sees no pool.
struct XdmaHost {
    int port = qd::FreePort();
    svc::Card card{svc::kXdma, {{"monitor:port", std::to_string(port)},
                                {"monitor:server_ip", "127.0.0.1"},
                                {"monitor:record_time_len", "1"}}};
    qd::Process quay;
    bool Start() {
        card.PokeLE(card.VerAddr(), qd::Daemon::kVersion, 4);
        if (!quay.Spawn({"/usr/bin/unshare", "--ipc", qd::Bin("quay")}, card.dir(), card.dir() + "/out.txt"))
            return false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (qtest::ReadFile(card.dir() + "/out.txt").find("started monitor service!") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !quay.Alive()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
};

class Fleet : public ::testing::Test {
protected:
    qtest::IpcKeyLock m_keys;  // first: held before set-up, released after tear-down
    sdktest::Env env;           // the Enyx card of the pool
    int enyxPort = qd::FreePort();
    std::unique_ptr<XdmaHost> xdma[2];
    qd::Process quay, producer, consumer, prom;
    qtest::TempDir dir{"quayfleet"};
    int promPort = 0;
    std::set<std::string> hosts;

    void SetUp() override {
        qtest::RemovePoolIpc();
        std::string ini = qtest::ReadFile(env.dir() + "/quay.ini");
        ini = Edit(ini, "\\nport *=[^\\n]*", "\nport = " + std::to_string(enyxPort));
        ini = Edit(ini, "\\nserver_ip *=[^\\n]*", "\nserver_ip = 127.0.0.1");
        ini = Edit(ini, "\\nrecord_time_len *=[^\\n]*", "\nrecord_time_len = 1");
        qtest::WriteFile(env.dir() + "/quay.ini", ini);
        ASSERT_TRUE(quay.Spawn({qd::Bin("quay")}, env.dir(), env.dir() + "/quay.txt"));
        hosts.insert("127.0.0.1:" + std::to_string(enyxPort));
        if (system("unshare --ipc true") != 0) GTEST_SKIP() << "no IPC namespaces here";
        for (auto& d : xdma) {
            d.reset(new XdmaHost());
            ASSERT_TRUE(d->Start()) << qtest::ReadFile(d->card.dir() + "/out.txt");
            hosts.insert("127.0.0.1:" + std::to_string(d->port));
        }
        const std::string dev = env.dir(), log = env.logDir();
        ASSERT_TRUE(producer.Spawn({std::string(EXAMPLES_DIR) + "/QxDeliverDmaServer", "-d", dev, "-l", log, "-t", "1"},
                                   dev, dev + "/producer.txt"));
        ASSERT_TRUE(WaitText(dev + "/producer.txt", "QxDeliverDmaServer: producing")) << qtest::ReadFile(dev + "/producer.txt");
        ASSERT_TRUE(consumer.Spawn({std::string(EXAMPLES_DIR) + "/mkrx_consumer", "-d", dev, "-l", log, "-t", "1"}, dev,
                                   dev + "/consumer.txt"));
        ASSERT_TRUE(WaitText(dev + "/consumer.txt", "mkrx_consumer: attached"));
        ASSERT_EQ(0, sdktest::Env::Feed("MAC_CHAN0_DATA", 1000000, 100, 2000));
        StartPrometheus();
    }
    void TearDown() override {
        prom.Signal(SIGTERM, 5);
        for (auto& d : xdma)
            if (d) d->quay.Kill();
        consumer.Kill();
        producer.Kill();
        quay.Kill();
        qtest::RemovePoolIpc();
    }

    // The fleet example as shipped, scraping and evaluating every second, its
    // target file listing the three daemons.
    void StartPrometheus() {
        const std::string src = svc::SourceFile("packaging/prometheus/");
        mkdir((dir / "fleet").c_str(), 0755);
        mkdir((dir / "fleet/targets").c_str(), 0755);
        std::string cfg = qtest::ReadFile(src + "fleet/prometheus.yml");
        cfg = Edit(cfg, "(scrape|evaluation)_interval: 15s", "$1_interval: 1s");
        qtest::WriteFile(dir / "fleet/prometheus.yml", cfg);
        qtest::WriteFile(dir / "fleet/quay_fleet_rules.yml", qtest::ReadFile(src + "fleet/quay_fleet_rules.yml"));
        qtest::WriteFile(dir / "quay_rules.yml", qtest::ReadFile(src + "quay_rules.yml"));
        std::string targets = "- targets:\n";
        for (const std::string& h : hosts) targets += "    - " + h + "\n";
        qtest::WriteFile(dir / "fleet/targets/test.yml", targets);
        promPort = qd::FreePort();
        ASSERT_TRUE(prom.Spawn({"/usr/bin/prometheus", "--config.file=" + (dir / "fleet/prometheus.yml"),
                                "--storage.tsdb.path=" + (dir / "data"),
                                "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                               dir.path(), dir / "prometheus.txt"));
    }
    static bool WaitText(const std::string& file, const std::string& text, double seconds = 20) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        while (qtest::ReadFile(file).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    // The hosts a query answers for, once it answers for want (or the
    // deadline passed).
    std::set<std::string> HostsOf(const std::string& promql, const std::set<std::string>& want, double seconds) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int)(seconds * 1000));
        std::set<std::string> got;
        do {
            got = Instances(Query(promPort, promql));
            if (got == want) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        } while (std::chrono::steady_clock::now() < end && prom.Alive());
        return got;
    }
};

TEST_F(Fleet, DashboardAndRecordingRulesAnswerForEveryHostAndALossForItsOwn) {
    ASSERT_EQ(hosts, HostsOf("up{job=\"quay\"} == 1", hosts, 30)) << qtest::ReadFile(dir / "prometheus.txt");
    // The pool's copies reach the server: the producer's host, alone, has a rate.
    const std::string pool = "127.0.0.1:" + std::to_string(enyxPort);
    EXPECT_EQ(std::set<std::string>{pool}, HostsOf("rate(quay_pool_copied_records_total[1m]) > 0", {pool}, 30));

    const std::vector<std::string> exprs = DashboardExprs();
    ASSERT_EQ(6u, exprs.size());
    for (const std::string& e : exprs) EXPECT_EQ(hosts, HostsOf(e, hosts, 20)) << e;
    const std::vector<std::string> records =
        RecordedNames(qtest::ReadFile(svc::SourceFile("packaging/prometheus/fleet/quay_fleet_rules.yml")));
    ASSERT_GE(records.size(), 6u);
    for (const std::string& r : records) EXPECT_EQ(hosts, HostsOf(r, hosts, 20)) << r;

    // A session lost on the first XDMA card: its counter steps by 2.
    const std::string lost = "127.0.0.1:" + std::to_string(xdma[0]->port);
    xdma[0]->card.PokeLE(0x600, 2, 4);
    const std::string inc = "increase(quay_card_register{name=\"session_lost_num_path0\"}[1m]) > 0";
    EXPECT_EQ(std::set<std::string>{lost}, HostsOf(inc, {lost}, 20));
    EXPECT_EQ(std::set<std::string>{lost},
              HostsOf("instance:quay_session_lost:increase10m > 0", {lost}, 20));
    EXPECT_EQ(std::set<std::string>{lost}, HostsOf("ALERTS{alertname=\"QuaySessionLost\"}", {lost}, 20));
}

}  // namespace
