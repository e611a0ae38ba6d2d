// The C interface's registration and record rules, seen through real scrapes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <functional>
#include <thread>

#include "Q_Exporter.h"
#include "exporter_test_util.h"

using namespace qexp;

namespace {

// Each block's callback forwards to a std::function set by the test.
std::function<void(Q_Exporter_LPHandle)> g_fill[3];
void Fill0(Q_Exporter_LPHandle h) { if (g_fill[0]) g_fill[0](h); }
void Fill1(Q_Exporter_LPHandle h) { if (g_fill[1]) g_fill[1](h); }
void Fill2(Q_Exporter_LPHandle h) { if (g_fill[2]) g_fill[2](h); }

class ExporterApi : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& f : g_fill) f = nullptr;
        ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "2.1.0", "/metrics"));
        port = ListenPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override {
        Q_Exporter_Fini();
        for (auto& f : g_fill) f = nullptr;
    }
    // A scrape whose text must pass promtool.
    std::string CheckedScrape() {
        std::string text = Scrape(port);
        EXPECT_FALSE(text.empty());
        std::string out;
        EXPECT_EQ(0, PromtoolCheck(text, &out)) << out << "\n" << text;
        return text;
    }
    int port = 0;
};

}  // namespace

TEST_F(ExporterApi, RegistrationNameRule) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Q_Exporter_Regist_Gauge("", "d", Fill0));
    EXPECT_EQ(-1, Q_Exporter_Regist_Gauge(nullptr, "d", Fill0));
    EXPECT_EQ(-1, Q_Exporter_Regist_Gauge("__reserved", "d", Fill0));
    EXPECT_EQ(-1, Q_Exporter_Regist_Gauge("fine", nullptr, Fill0));
    EXPECT_EQ(-1, Q_Exporter_Regist_Gauge("fine", "d", nullptr));
    EXPECT_EQ(-1, Q_Exporter_Regist_Counter("__x_total", "d", Fill0));
    EXPECT_EQ(-1, Q_Exporter_Regist_Counter("", "d", Fill0));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Regist_Gauge failed. Please check the parameter.\n"));
    EXPECT_NE(std::string::npos, err.find("Regist_Counter failed. Please check the parameter.\n"));

    EXPECT_EQ(0, Q_Exporter_Regist_Gauge("_single_underscore", "", Fill0));  // empty description allowed
    EXPECT_EQ(0, Q_Exporter_Regist_Gauge("with-hyphen", "accepted, but not a metric name", Fill1));
    g_fill[0] = [](Q_Exporter_LPHandle h) { Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "a", 1); };
    g_fill[1] = g_fill[0];

    // The hyphenated block is refused by the registry at scrape time: left
    // out (reported once on stderr) while the rest of the scrape is served.
    testing::internal::CaptureStderr();
    std::string text = Scrape(port);
    std::string text2 = Scrape(port);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, Samples(text, "_single_underscore").size()) << text;
    EXPECT_EQ(std::string::npos, text.find("with-hyphen"));
    EXPECT_TRUE(HasFamily(text, "process_base_info_guage"));
    size_t first = err.find("with-hyphen");
    EXPECT_NE(std::string::npos, first) << err;
    EXPECT_EQ(std::string::npos, err.find("with-hyphen", first + 1)) << "reported more than once: " << err;
}

TEST_F(ExporterApi, HandleTypesAndIndexes) {
    std::atomic<int> calls{0};
    g_fill[0] = [&](Q_Exporter_LPHandle h) {  // gauge block
        ++calls;
        EXPECT_STREQ("rules_level", Q_Exporter_GetName(h));
        EXPECT_EQ(0, h->_type);
        EXPECT_EQ(0, Q_Exporter_CreatRecord(h));
        EXPECT_EQ(1, Q_Exporter_CreatRecord(h));
        EXPECT_EQ(2, Q_Exporter_CreatRecord(h));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_int(h, 0, "i", -5));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_int64(h, 0, "big", INT64_C(9007199254740993)));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_double(h, 0, "d", 3.14));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_str(h, 0, "s", "text \"quoted\" \\ back"));
        // counter functions refuse a gauge handle
        EXPECT_EQ(-1, Q_Exporter_Counter_Add_Features_int(h, 0, "x", 1));
        EXPECT_EQ(-1, Q_Exporter_Counter_Add_Features_int64(h, 0, "x", 1));
        EXPECT_EQ(-1, Q_Exporter_Counter_Add_Features_str(h, 0, "x", "1"));
        EXPECT_EQ(-1, Q_Exporter_Counter_Add_Features_double(h, 0, "x", 1.0));
        // indexes outside the block and bad names
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_int(h, 3, "i", 1));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_int(h, -1, "i", 1));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_str(h, 1, "", "v"));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_str(h, 1, "__name", "v"));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_str(h, 1, nullptr, "v"));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_str(h, 1, "v", nullptr));
        Q_Exporter_SetValue(h, 7, 99.0);   // ignored
        Q_Exporter_SetValue(h, -1, 99.0);  // ignored
        Q_Exporter_Gauge_Add_int(h, 1, "row", 1);
        Q_Exporter_Gauge_Add_int(h, 2, "row", 2);
        Q_Exporter_SetValue(h, 1, 12.5);
        Q_Exporter_SetValue(h, 2, -4);
        // null and forged handles
        EXPECT_EQ(-1, Q_Exporter_CreatRecord(nullptr));
        EXPECT_EQ(nullptr, Q_Exporter_GetName(nullptr));
        Q_Exporter_Handle bad = {h->_handle, 2};
        EXPECT_EQ(-1, Q_Exporter_CreatRecord(&bad));
        EXPECT_EQ(nullptr, Q_Exporter_GetName(&bad));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_int(&bad, 0, "x", 1));
        Q_Exporter_SetValue(&bad, 0, 55.0);  // ignored
        Q_Exporter_SetValue(nullptr, 0, 55.0);
    };
    g_fill[1] = [&](Q_Exporter_LPHandle h) {  // counter block
        ++calls;
        EXPECT_STREQ("rules_total", Q_Exporter_GetName(h));
        EXPECT_EQ(1, h->_type);
        int i = Q_Exporter_CreatRecord(h);
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_int(h, i, "x", 1));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_int64(h, i, "x", 1));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_str(h, i, "x", "1"));
        EXPECT_EQ(-1, Q_Exporter_Gauge_Add_double(h, i, "x", 1.0));
        EXPECT_EQ(0, Q_Exporter_Counter_Add_Features_int(h, i, "i", 3));
        EXPECT_EQ(0, Q_Exporter_Counter_Add_Features_int64(h, i, "l", INT64_C(-7)));
        EXPECT_EQ(0, Q_Exporter_Counter_Add_Features_str(h, i, "s", "v"));
        EXPECT_EQ(0, Q_Exporter_Counter_Add_Features_double(h, i, "d", 0.5));
        EXPECT_EQ(-1, Q_Exporter_Counter_Add_Features_int(h, i + 1, "i", 3));
        Q_Exporter_SetValue(h, i, 41.0);
        int n = Q_Exporter_CreatRecord(h);
        Q_Exporter_Counter_Add_Features_str(h, n, "s", "negative");
        Q_Exporter_SetValue(h, n, -3.0);
    };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("rules_level", "rule checks", Fill0));
    ASSERT_EQ(0, Q_Exporter_Regist_Counter("rules_total", "rule checks", Fill1));

    std::string text = CheckedScrape();
    EXPECT_EQ(2, calls.load());
    EXPECT_EQ("gauge", FamilyType(text, "rules_level"));
    EXPECT_EQ("counter", FamilyType(text, "rules_total"));
    EXPECT_NE(std::string::npos, text.find("# HELP rules_level rule checks\n"));

    auto g = Samples(text, "rules_level");
    ASSERT_EQ(3u, g.size()) << text;
    std::map<std::string, Sample> by_row;
    for (auto& s : g) by_row[s.labels.count("row") ? s.labels["row"] : "0"] = s;
    EXPECT_EQ("-5", by_row["0"].labels["i"]);
    EXPECT_EQ("9007199254740993", by_row["0"].labels["big"]);
    EXPECT_EQ("3.140000", by_row["0"].labels["d"]);
    EXPECT_EQ("text \"quoted\" \\ back", by_row["0"].labels["s"]);
    EXPECT_EQ("12.5", by_row["1"].value);
    EXPECT_EQ("-4", by_row["2"].value);

    auto c = Samples(text, "rules_total");
    ASSERT_EQ(2u, c.size()) << text;
    for (auto& s : c) {
        if (s.labels["s"] == "v") {
            EXPECT_EQ("41", s.value);
            EXPECT_EQ("3", s.labels["i"]);
            EXPECT_EQ("-7", s.labels["l"]);
            EXPECT_EQ("0.500000", s.labels["d"]);
        } else {
            EXPECT_EQ("negative", s.labels["s"]);
            EXPECT_EQ("0", s.value);  // a negative increment leaves it at 0
        }
    }
}

TEST_F(ExporterApi, GaugeValueVersusScrapeTime) {
    g_fill[0] = [](Q_Exporter_LPHandle h) {
        const double values[] = {0.0, 0.5e-6, -0.5e-6, 2e-6, -2e-6, 1e-6};
        for (double v : values) {
            int i = Q_Exporter_CreatRecord(h);
            Q_Exporter_Gauge_Add_double(h, i, "set", v);
            Q_Exporter_SetValue(h, i, v);
        }
        int i = Q_Exporter_CreatRecord(h);
        Q_Exporter_Gauge_Add_str(h, i, "set", "never");
        // Set as exact: kept as given, 0 included; a bad index is ignored.
        const std::pair<const char*, double> exact[] = {{"zero", 0.0}, {"half_micro", 0.5e-6}};
        for (auto& e : exact) {
            i = Q_Exporter_CreatRecord(h);
            Q_Exporter_Gauge_Add_str(h, i, "exact", e.first);
            Q_Exporter_SetValueExact(h, i, e.second);
        }
        Q_Exporter_SetValueExact(h, i + 1, 7.0);
        Q_Exporter_SetValueExact(nullptr, 0, 7.0);
    };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("value_rule", "value rule", Fill0));
    double t0 = static_cast<double>(time(nullptr));
    std::string text = CheckedScrape();
    double t1 = static_cast<double>(time(nullptr));
    std::map<std::string, std::string> v;
    std::map<std::string, std::string> exact;
    for (auto& s : Samples(text, "value_rule")) (s.labels.count("exact") ? exact[s.labels["exact"]] : v[s.labels["set"]]) = s.value;
    EXPECT_EQ("0", exact["zero"]) << text;
    EXPECT_DOUBLE_EQ(0.5e-6, strtod(exact["half_micro"].c_str(), nullptr)) << text;
    ASSERT_EQ(6u, v.size()) << text;  // 0.000000 appears for 0, 0.5e-6 and -0.5e-6 alike
    for (const char* key : {"0.000000", "-0.000000", "never"}) {
        ASSERT_TRUE(v.count(key)) << key << "\n" << text;
        double t = strtod(v[key].c_str(), nullptr);
        EXPECT_GE(t, t0) << key;
        EXPECT_LE(t, t1) << key;
        EXPECT_EQ(std::floor(t), t) << "whole seconds expected: " << v[key];
    }
    EXPECT_DOUBLE_EQ(2e-6, strtod(v["0.000002"].c_str(), nullptr));
    EXPECT_DOUBLE_EQ(-2e-6, strtod(v["-0.000002"].c_str(), nullptr));
    EXPECT_DOUBLE_EQ(1e-6, strtod(v["0.000001"].c_str(), nullptr));  // not strictly inside the band
}

TEST_F(ExporterApi, DuplicateLabelsAndIdenticalLabelSets) {
    g_fill[0] = [](Q_Exporter_LPHandle h) {
        int a = Q_Exporter_CreatRecord(h);
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_str(h, a, "k", "first"));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_str(h, a, "k", "second"));
        EXPECT_EQ(0, Q_Exporter_Gauge_Add_int(h, a, "k", 3));
        Q_Exporter_SetValue(h, a, 10);
        int b = Q_Exporter_CreatRecord(h);
        Q_Exporter_Gauge_Add_str(h, b, "k", "first");
        Q_Exporter_SetValue(h, b, 20);  // same label set: the later value wins
    };
    g_fill[1] = [](Q_Exporter_LPHandle h) {
        for (double v : {1.5, 2.5, 3.0}) {
            int i = Q_Exporter_CreatRecord(h);
            Q_Exporter_Counter_Add_Features_str(h, i, "k", "same");
            Q_Exporter_SetValue(h, i, v);  // increments add up
        }
    };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("dup_level", "dups", Fill0));
    ASSERT_EQ(0, Q_Exporter_Regist_Counter("dup_total", "dups", Fill1));
    std::string text = CheckedScrape();
    auto g = Samples(text, "dup_level");
    ASSERT_EQ(1u, g.size()) << text;
    EXPECT_EQ("first", g[0].labels["k"]);
    EXPECT_EQ("20", g[0].value);
    auto c = Samples(text, "dup_total");
    ASSERT_EQ(1u, c.size()) << text;
    EXPECT_EQ("7", c[0].value);
}

TEST_F(ExporterApi, RegistrationReplacesEntry) {
    g_fill[0] = [](Q_Exporter_LPHandle h) {
        Q_Exporter_Gauge_Add_str(h, Q_Exporter_CreatRecord(h), "by", "gauge");
    };
    g_fill[1] = [](Q_Exporter_LPHandle h) {
        int i = Q_Exporter_CreatRecord(h);
        Q_Exporter_Counter_Add_Features_str(h, i, "by", "counter");
        Q_Exporter_SetValue(h, i, 5);
    };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("swap_total", "first help", Fill0));
    std::string text = Scrape(port);  // a gauge named *_total: promtool's lint would object
    EXPECT_EQ("gauge", FamilyType(text, "swap_total"));
    EXPECT_NE(std::string::npos, text.find("# HELP swap_total first help\n"));

    ASSERT_EQ(0, Q_Exporter_Regist_Counter("swap_total", "second help", Fill1));
    text = CheckedScrape();
    EXPECT_EQ("counter", FamilyType(text, "swap_total"));
    EXPECT_NE(std::string::npos, text.find("# HELP swap_total second help\n"));
    auto s = Samples(text, "swap_total");
    ASSERT_EQ(1u, s.size());
    EXPECT_EQ("counter", s[0].labels["by"]);
    EXPECT_EQ("5", s[0].value);

    // After Fini nothing stays registered.
    Q_Exporter_Fini();
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", nullptr, "/metrics"));
    port = ListenPort();
    text = CheckedScrape();
    EXPECT_FALSE(HasFamily(text, "swap_total"));
}

TEST_F(ExporterApi, BlocksRegisteredWhileServing) {
    std::atomic<int> scrapes{0};
    g_fill[0] = [&](Q_Exporter_LPHandle h) {
        // Registering from inside a scrape takes effect from the next scrape.
        if (scrapes++ == 0) {
            EXPECT_EQ(0, Q_Exporter_Regist_Gauge("late_block", "added during a scrape", Fill1));
        }
        Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "n", 1);
    };
    g_fill[1] = [](Q_Exporter_LPHandle h) { Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "late", 1); };
    std::string text = CheckedScrape();
    EXPECT_FALSE(HasFamily(text, "early_block"));
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("early_block", "registered after Init", Fill0));
    text = CheckedScrape();
    EXPECT_TRUE(HasFamily(text, "early_block"));
    EXPECT_FALSE(HasFamily(text, "late_block"));
    text = CheckedScrape();
    EXPECT_TRUE(HasFamily(text, "late_block"));

    // Registration racing with scrapes from another thread.
    g_fill[2] = [](Q_Exporter_LPHandle h) { Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "r", 1); };
    std::atomic<bool> stop{false};
    std::thread regs([&] {
        for (int i = 0; !stop; ++i) {
            std::string name = "race_block_" + std::to_string(i % 50);
            Q_Exporter_Regist_Gauge(name.c_str(), "race", Fill2);
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::string body = Scrape(port);
        ASSERT_FALSE(body.empty());
    }
    stop = true;
    regs.join();
    text = CheckedScrape();
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(HasFamily(text, "race_block_" + std::to_string(i))) << i;
}

TEST_F(ExporterApi, EmptyBlocksAndRefusedNames) {
    g_fill[0] = [](Q_Exporter_LPHandle) {};  // no records
    g_fill[1] = [](Q_Exporter_LPHandle h) {
        int i = Q_Exporter_CreatRecord(h);
        Q_Exporter_Gauge_Add_str(h, i, "good", "kept");
        Q_Exporter_Gauge_Add_str(h, i, "bad-label", "dropped");
        Q_Exporter_Gauge_Add_str(h, i, "utf8", "ok \xe4\xb8\xad bad \xff\xfe end");
    };
    g_fill[2] = [](Q_Exporter_LPHandle h) { Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "x", 1); };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("empty_block", "nothing", Fill0));
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("mixed_labels", "one refused label", Fill1));
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("net_tcp_state_guage", "clash with a built-in family", Fill2));
    ASSERT_EQ(0, Q_Exporter_Regist_Counter("process_base_info_guage", "clash", Fill2));

    testing::internal::CaptureStderr();
    std::string text = CheckedScrape();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(HasFamily(text, "empty_block"));
    auto m = Samples(text, "mixed_labels");
    ASSERT_EQ(1u, m.size()) << text;
    EXPECT_EQ("kept", m[0].labels["good"]);
    EXPECT_EQ(0u, m[0].labels.count("bad-label"));
    EXPECT_EQ("ok \xe4\xb8\xad bad \xef\xbf\xbd\xef\xbf\xbd end", m[0].labels["utf8"]);
    EXPECT_NE(std::string::npos, err.find("bad-label")) << err;
    // The built-in families keep their own content.
    EXPECT_EQ("gauge", FamilyType(text, "process_base_info_guage"));
    for (auto& s : Samples(text, "net_tcp_state_guage")) EXPECT_EQ(0u, s.labels.count("x"));
    EXPECT_EQ(1u, Samples(text, "process_base_info_guage").size());
}

TEST_F(ExporterApi, InitAndFiniInsideCallbackRefused) {
    std::atomic<int> fini_rc{1}, init_rc{1};
    g_fill[0] = [&](Q_Exporter_LPHandle h) {
        fini_rc = Q_Exporter_Fini();
        init_rc = Q_Exporter_Init(0, "127.0.0.1", nullptr, "/metrics");
        Q_Exporter_Gauge_Add_int(h, Q_Exporter_CreatRecord(h), "n", 1);
    };
    ASSERT_EQ(0, Q_Exporter_Regist_Gauge("reentry", "calls back into the library", Fill0));
    testing::internal::CaptureStderr();
    std::string text = Scrape(port);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, fini_rc.load());
    EXPECT_EQ(-1, init_rc.load());
    EXPECT_EQ(1u, Samples(text, "reentry").size()) << text;
    EXPECT_FALSE(Scrape(port).empty());  // still serving
}
