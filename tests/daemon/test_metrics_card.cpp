// The daemon's numeric families of the card: registers as sample values,
// text registers as labels, card up, last reset; the label gauges kept as
// they were.
#include <gtest/gtest.h>

#include "metrics_env.h"

namespace {

using qd::Daemon;
using qm::Samples;
const size_t npos = std::string::npos;

// The daemon on the virtual XDMA card, re-reading the card every second.
class CardMetrics : public ::testing::Test {
protected:
    CardMetrics() : d(svc::kXdma, {{"monitor:record_time_len", "1"}}) {}
    void SetUp() override {
        ASSERT_TRUE(d.Start());
        ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
    }
    double Register(const Samples& s, const char* cls, const char* name) {
        return s.Value("quay_card_register", {{"class", cls}, {"name", name}});
    }
    Daemon d;
};

// The two label gauges of a scrape, each sample's value (the scrape time)
// and today's date masked.
std::string LabelGauges(const std::string& body) {
    std::string out;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        if (line.find("quay_fpga_config") == npos && line.find("quay_fpga_status") == npos) continue;
        if (line[0] != '#') line = line.substr(0, line.rfind(' ')) + " SCRAPE_TIME";
        for (size_t p; (p = line.find(qd::Today())) != npos;) line.replace(p, 8, "TODAY");
        out += line + "\n";
    }
    return out;
}

TEST_F(CardMetrics, LabelGaugesStayAsTheyWere) {
    // Registers of each kind of label, and a reset by the tool.
    d.card().PokeLE(0x600, 5, 4);            // session_lost_num_path0
    d.card().PokeLE(0x628, 1234, 4);         // rx_rate_kpps
    d.card().PokeLE(0x410, 1, 1);            // link_status
    d.card().PokeLE(0x248, 1ull << 60, 8);   // logon_user_tag
    d.card().PokeLE(0x200, 0xC0A80A15, 4);   // local_ip
    d.card().PokeLE(0x208, 0x0A0B0C0D0E0F, 6);  // local_mac
    qtest::WriteFile(d.dir() + "/.reset_log", "20261201 07:00:05 quay_tool");
    // Read by the next record period.
    std::string body = d.Scrape();
    auto read = [&] {
        return qd::Labels(body, "quay_fpga_config")["local_mac"] == "0a:0b:0c:0d:0e:0f" &&
               qd::Labels(body, "quay_fpga_status")["session_lost_num_path0"] == "5";
    };
    for (int i = 0; i < 150 && !read(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        body = d.Scrape();
    }
    const std::string golden = svc::SourceFile("tests/daemon/data/label_gauges.txt");
    const std::string now = LabelGauges(body);
    if (getenv("QUAY_WRITE_GOLDEN")) qtest::WriteFile(golden, now);
    EXPECT_EQ(qtest::ReadFile(golden), now);
}

TEST_F(CardMetrics, RegisterSamplesAreTheValuesInTheCard) {
    struct Case {
        const char* cls;
        const char* name;
        uint64_t off;
        size_t bytes;
        uint64_t first, second;
    } cases[] = {
        {"mon", "session_lost_num_path0", 0x600, 4, 5, 12},
        {"mon", "rx_rate_kpps", 0x628, 4, 0xFFFFFFFF, 0},
        {"cfg", "link_status", 0x410, 1, 1, 0},
        // Above 2^53: published as the nearest double.
        {"cfgfile", "logon_user_tag", 0x248, 8, 0x0123456789ABCDEFull, (1ull << 53) + 1},
        {"cfgfile", "server_port", 0x228, 2, 9129, 65535},
    };
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) d.card().PokeLE(c.off, round ? c.second : c.first, c.bytes);
        std::string body = qm::ScrapeUntil(d, [&](const Samples& s) {
            for (const Case& c : cases)
                if (Register(s, c.cls, c.name) != (double)(round ? c.second : c.first)) return false;
            return true;
        });
        Samples s(body);
        for (const Case& c : cases)
            EXPECT_EQ((double)(round ? c.second : c.first), Register(s, c.cls, c.name))
                << c.name << " round " << round << "\n" << body;
    }
}

TEST_F(CardMetrics, TextRegistersAreInfoLabelsAndPassLint) {
    d.card().PokeLE(0x200, 0xC0A80A15, 4);  // local_ip, shown highest byte first
    std::string body = qm::ScrapeUntil(d, [](const Samples& s) {
        std::vector<qm::Sample> info = s.Of("quay_card_info");
        return info.size() == 1 && info[0].labels["local_ip"] == "192.168.10.21";
    });
    Samples s(body);
    std::vector<qm::Sample> info = s.Of("quay_card_info");
    ASSERT_EQ(1u, info.size()) << body;
    EXPECT_EQ(1, info[0].value);
    EXPECT_EQ("192.168.10.21", info[0].labels["local_ip"]) << body;
    EXPECT_TRUE(s.Of("quay_card_register", {{"name", "local_ip"}}).empty()) << "a text register is no number";
    EXPECT_TRUE(s.Of("quay_card_register", {{"name", "build_date"}}).empty()) << "dates are not published";
    EXPECT_EQ(1, s.Value("quay_card_up"));
    EXPECT_EQ(0, s.Value("quay_last_reset_timestamp_seconds"));
    EXPECT_FALSE(s.Has("quay_last_reset_info"));
    EXPECT_EQ("", qd::PromtoolProblems(body));
}

TEST_F(CardMetrics, LastResetIsTheAcceptedResetLogLine) {
    const std::string resetLog = d.dir() + "/.reset_log";
    struct tm t = {};
    t.tm_year = 2026 - 1900, t.tm_mon = 11, t.tm_mday = 1, t.tm_hour = 7, t.tm_sec = 5, t.tm_isdst = -1;
    const double when = (double)mktime(&t);
    struct Case {
        const char* text;
        double time;
        const char* by;
    } cases[] = {
        {"20261201 07:00:05 quay_tool", when, "quay_tool"},
        {"20261201 07:00:05 quay", when, "quay"},
        // The client service's and a malformed line: the last good one stays.
        {"20261203 09:30:00 Dma", when, "quay"},
        {"20261203 09:30:00 quay\n", when, "quay"},
    };
    for (const Case& c : cases) {
        qtest::WriteFile(resetLog, c.text);
        Samples s(d.Scrape());
        EXPECT_EQ(c.time, s.Value("quay_last_reset_timestamp_seconds")) << c.text;
        EXPECT_EQ(1, s.Value("quay_last_reset_info", {{"by", c.by}})) << c.text;
        EXPECT_EQ(1u, s.Of("quay_last_reset_info").size()) << c.text;
    }
    EXPECT_EQ(2u, svc::Count(d.Out(), "reset_log file content error info!")) << "logged once per scrape";
}

}  // namespace
