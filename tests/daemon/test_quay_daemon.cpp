// The daemon's own behaviour as a process: record period, daily reset,
// signals, bring-up failures, the reset log behind last_reset.
#include <gtest/gtest.h>

#include <regex>

#include "daemon_env.h"

namespace {

using qd::Daemon;
const size_t npos = std::string::npos;

// Seconds of the day of the log lines holding text, in order.
std::vector<int> LineSeconds(const std::string& out, const std::string& text) {
    std::vector<int> secs;
    std::regex re("\\]\\[\\d{8}-(\\d\\d):(\\d\\d):(\\d\\d)\\]\\[\\w+\\]" + text);
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it)
        secs.push_back(std::stoi((*it)[1]) * 3600 + std::stoi((*it)[2]) * 60 + std::stoi((*it)[3]));
    return secs;
}

const char* const kMonHeader = "\\*\\*\\*\\*\\*\\*\\*\\* Read Monitor Info";

TEST(QuayRecordPeriod, ReadsTheCardEveryPeriodOfPasses) {
    Daemon d(svc::kXdma, {{"monitor:record_time_len", "3"}});
    ASSERT_TRUE(d.StartAnimator());
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("Read Monitor Info", 12, 2)) << d.Out();
    std::vector<int> started = LineSeconds(d.Out(), "started monitor service!");
    std::vector<int> reads = LineSeconds(d.Out(), kMonHeader);
    ASSERT_EQ(1u, started.size());
    ASSERT_GE(reads.size(), 2u);
    // Passes are one-second sleeps; log stamps are whole seconds.
    EXPECT_NEAR(3, reads[0] - started[0], 1);
    EXPECT_NEAR(3, reads[1] - reads[0], 1);
}

TEST(QuayRecordPeriod, ZeroNeverReadsAgain) {
    Daemon d(svc::kXdma, {{"monitor:record_time_len", "0"}});
    ASSERT_TRUE(d.StartAnimator());
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(npos, d.Out().find("Read Monitor Info"));
    EXPECT_NE(0u, d.card().PeekLE(0x600, 4)) << "the animator moves session_lost_num_path0";
    auto st = qd::Labels(d.Scrape(), "quay_fpga_status");
    EXPECT_EQ("0", st["session_lost_num_path0"]);
    EXPECT_TRUE(d.proc().Alive());
}

TEST(QuayWithoutMetrics, RunsOnWhenTheMonitorServerCannotStart) {
    // Port 0 fails the monitor settings; the period is then -1: no re-reading.
    Daemon d(svc::kXdma, {{"monitor:port", "0"}, {"monitor:record_time_len", "1"}});
    ASSERT_TRUE(d.StartAnimator());
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("Init monitor service failed! ret:600005")) << d.Out();
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_TRUE(d.proc().Alive());
    EXPECT_EQ(npos, d.Out().find("Read Monitor Info"));
    EXPECT_NE(npos, d.Out().find("not inited yet!"));
}

// Started two seconds before midnight under libfaketime.
class QuayDailyReset : public ::testing::Test {
protected:
    QuayDailyReset() : d(svc::kXdma) {}
    bool StartBeforeMidnight() { return d.Start("2026-12-08 23:59:58") && d.WaitOut("started monitor service!"); }
    bool ResetLogExists() const { return access((d.dir() + "/.reset_log").c_str(), F_OK) == 0; }
    // Reset register of firmware code 1, bit 2 holds the card in reset.
    uint64_t ResetBit() { return d.card().PeekLE(256, 2) & 4; }
    Daemon d;
};

TEST_F(QuayDailyReset, ResetsAtTheFirstPassAfterMidnightOnly) {
    ASSERT_TRUE(StartBeforeMidnight()) << d.Out();
    EXPECT_FALSE(ResetLogExists()) << "no reset at start-up";
    ASSERT_TRUE(d.WaitOut("Reset command by quay", 8)) << d.Out();
    ASSERT_TRUE(d.WaitOut("******** Read configuration ********", 5, 2)) << d.Out();
    std::string resetLog = qtest::ReadFile(d.dir() + "/.reset_log");
    EXPECT_TRUE(std::regex_match(resetLog, std::regex("20261209 00:00:0\\d quay"))) << resetLog;
    EXPECT_EQ(0u, ResetBit());

    std::string body = d.Scrape();
    EXPECT_EQ(resetLog, qd::Labels(body, "quay_fpga_status")["last_reset"]) << body;
    // Reconfigured from quay.ini and read again after the reset.
    EXPECT_EQ("192.168.10.21", qd::Labels(body, "quay_fpga_config")["local_ip"]) << body;

    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::string out = d.Out();
    EXPECT_EQ(1u, svc::Count(out, "========== new day 20261209, reset =========="));
    EXPECT_EQ(1u, svc::Count(out, "Reset command by quay"));
    EXPECT_EQ(resetLog, qtest::ReadFile(d.dir() + "/.reset_log"));
}

TEST_F(QuayDailyReset, StopSignalDuringTheResetWaitsForItsEnd) {
    ASSERT_TRUE(StartBeforeMidnight()) << d.Out();
    // "read mode" comes right before the reset bit is set and held a second.
    ASSERT_TRUE(d.WaitOut("read mode:", 8)) << d.Out();
    EXPECT_EQ(qtest::kChildSignalBase + SIGTERM, d.proc().Signal(SIGTERM));
    EXPECT_EQ(0u, ResetBit()) << "card left held in reset";
    EXPECT_TRUE(ResetLogExists()) << "reset not completed: " << d.Out();
}

TEST(QuaySignals, IgnoredSignalsLeaveItRunningIntAndTermEndIt) {
    for (int stop : {SIGINT, SIGTERM}) {
        Daemon d(svc::kXdma);
        ASSERT_TRUE(d.Start());
        ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
        for (int sig : {SIGHUP, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGIO, SIGPROF, SIGVTALRM, SIGURG})
            kill(d.proc().pid(), sig);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(d.proc().Alive());
        EXPECT_FALSE(d.Scrape().empty());
        EXPECT_EQ(qtest::kChildSignalBase + stop, d.proc().Signal(stop));
    }
}

TEST(QuayBringUp, FailuresEndWithStatusZeroAndTheirMessages) {
    struct Case {
        const char* what;
        std::function<void(Daemon&)> spoil;
        const char* message;
        const char* message2;
    } cases[] = {
        {"missing quay.ini", [](Daemon& d) { unlink((d.dir() + "/quay.ini").c_str()); },
         "can't parse config file: ./quay.ini", "config init failed! ret:"},
        {"quay.ini without device settings", [](Daemon& d) { d.card().SetIniText("[monitor]\nport = 9\n"); },
         "Get device infomation failed! ret:600007", "welcome to Quay @ Corvane! Software Ver 2.5.6"},
        {"unknown firmware", [](Daemon& d) { d.card().PokeLE(6, 0x7000, 4); }, "Unknow FPGA version 0x7000",
         "Fpga device init success."},
    };
    for (const Case& c : cases) {
        Daemon d(svc::kXdma);
        c.spoil(d);
        ASSERT_TRUE(d.Start());
        EXPECT_EQ(0, d.proc().Wait(10)) << c.what << "\n" << d.Out();
        EXPECT_NE(npos, d.Out().find(c.message)) << c.what << "\n" << d.Out();
        EXPECT_NE(npos, d.Out().find(c.message2)) << c.what << "\n" << d.Out();
        EXPECT_EQ(npos, d.Out().find("started monitor service!")) << c.what;
    }
}

TEST(QuayBringUp, LogDirectoryThatCannotBeMadeEndsWith255) {
    Daemon d(svc::kXdma);
    qtest::WriteFile(d.dir() + "/log", "a file where the log directory goes");
    ASSERT_TRUE(d.Start());
    EXPECT_EQ(255, d.proc().Wait(10));
    std::string out = d.Out();
    const std::string line = "###Init log service failed! ret: 600004###\n";
    ASSERT_GE(out.size(), line.size()) << out;
    EXPECT_EQ(line, out.substr(out.size() - line.size())) << out;
    EXPECT_EQ(npos, out.find("welcome to Quay")) << out;
}

TEST(QuayLastReset, ComesFromResetsByTheDaemonOrTheToolOnly) {
    Daemon d(svc::kXdma);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
    auto lastReset = [&] { return qd::Labels(d.Scrape(), "quay_fpga_status")["last_reset"]; };
    const std::string resetLog = d.dir() + "/.reset_log";

    qtest::WriteFile(resetLog, "20261201 07:00:05 quay_tool");
    EXPECT_EQ("20261201 07:00:05 quay_tool", lastReset());
    qtest::WriteFile(resetLog, "20261202 00:00:01 quay");
    EXPECT_EQ("20261202 00:00:01 quay", lastReset());
    // Written by the client service, or a line too long: the last good one stays.
    for (const char* bad : {"20261203 09:30:00 Dma", "20261203 09:30:00 quay\n", "00000000 09:30:00 quay"}) {
        qtest::WriteFile(resetLog, bad);
        EXPECT_EQ("20261202 00:00:01 quay", lastReset()) << bad;
    }
    EXPECT_EQ(3u, svc::Count(d.Out(), "reset_log file content error info!"));
    qtest::WriteFile(resetLog, "");
    EXPECT_EQ("20261202 00:00:01 quay", lastReset());
    EXPECT_NE(npos, d.Out().find("reset_log file emypt!"));
}

}  // namespace
