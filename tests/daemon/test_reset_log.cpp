// The reset log "./.reset_log" when it is not a regular file: a FIFO or a
// link met by a scrape or by the daily reset is refused at once, without
// waiting in it or writing through it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "daemon_env.h"

namespace {

using qd::Daemon;

// A reset log that is not a regular file, met at a scrape: refused at once,
// and scrapes go on when it is gone.
TEST(ResetLogAtAScrape, NoRegularFileIsRefusedAndScrapesGoOn) {
    Daemon d(svc::kXdma);
    ASSERT_TRUE(d.Start());
    ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
    const std::string resetLog = d.dir() + "/.reset_log", target = d.dir() + "/target";
    qtest::WriteFile(target, "20261201 07:00:05 quay");
    struct Case {
        const char* what;
        std::function<int()> make;
    } cases[] = {
        {"fifo", [&] { return mkfifo(resetLog.c_str(), 0666); }},
        {"symlink", [&] { return symlink(target.c_str(), resetLog.c_str()); }},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, c.make()) << c.what;
        std::string body = d.Scrape();
        ASSERT_FALSE(body.empty()) << c.what << ": the scrape hangs";
        EXPECT_EQ("00000000 00:00:00", qd::Labels(body, "quay_fpga_status")["last_reset"]) << c.what;
        unlink(resetLog.c_str());
        EXPECT_FALSE(d.Scrape().empty()) << c.what;
    }
    EXPECT_EQ(2u, svc::Count(d.Out(), "open ./.reset_log failed.msg:not a regular file")) << d.Out();
}

// The same at the daily reset: the main loop neither blocks in the FIFO nor
// writes through the link, and a stop signal still ends it.
TEST(ResetLogAtDailyReset, NoRegularFileIsLeftAloneAndTheDaemonStops) {
    struct Case {
        const char* what;
        bool fifo;
    } cases[] = {{"fifo", true}, {"symlink", false}};
    for (const Case& c : cases) {
        Daemon d(svc::kXdma);
        const std::string resetLog = d.dir() + "/.reset_log", target = d.dir() + "/target";
        qtest::WriteFile(target, "keep");
        chmod(target.c_str(), 0600);
        ASSERT_EQ(0, c.fifo ? mkfifo(resetLog.c_str(), 0600) : symlink(target.c_str(), resetLog.c_str()));
        ASSERT_TRUE(d.Start("2026-12-08 23:59:58"));
        ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
        ASSERT_TRUE(d.WaitOut("open ./.reset_log failed.msg:not a regular file", 10)) << c.what << "\n" << d.Out();
        EXPECT_FALSE(d.Scrape().empty()) << c.what;
        EXPECT_EQ(qtest::kChildSignalBase + SIGTERM, d.proc().Signal(SIGTERM)) << c.what;
        struct stat st;
        ASSERT_EQ(0, stat(target.c_str(), &st));
        EXPECT_EQ("keep", qtest::ReadFile(target)) << c.what;
        EXPECT_EQ(0600u, st.st_mode & 0777) << c.what;
    }
}

}  // namespace
