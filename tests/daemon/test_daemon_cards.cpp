// The daemon on each kind of virtual card, animated: the first reading in
// the log, the two gauge blocks with the card's values, and the animated
// counters reaching the scrape after the next record period.
#include <gtest/gtest.h>

#include "daemon_env.h"

namespace {

class DaemonOnCard : public ::testing::TestWithParam<svc::CardKind> {};

TEST_P(DaemonOnCard, PublishesTheCardAndFollowsItEveryRecordPeriod) {
    qd::Daemon d(GetParam(), {{"monitor:record_time_len", "2"}});
    ASSERT_EQ(0, d.card().Run([&] {
        struct KillAll {
            qd::Daemon& d;
            ~KillAll() { d.KillAll(); }
        } killAll{d};
        ASSERT_TRUE(d.StartAnimator()) << qtest::ReadFile(d.dir() + "/vcard.txt");
        ASSERT_TRUE(d.Start());
        ASSERT_TRUE(d.WaitOut("started monitor service!")) << d.Out();
        std::string log = d.LogFiles();
        EXPECT_NE(std::string::npos, log.find("******** Read configuration ********")) << log;
        EXPECT_NE(std::string::npos, log.find("******** Read Statistics ********")) << log;

        std::string first = d.Scrape();
        auto cfg = qd::Labels(first, "quay_fpga_config");
        auto st = qd::Labels(first, "quay_fpga_status");
        EXPECT_EQ(qd::PublishedNames(qd::Daemon::kPart, true), qd::Keys(cfg)) << first;
        std::set<std::string> stNames = qd::PublishedNames(qd::Daemon::kPart, false);
        stNames.insert("last_reset");
        EXPECT_EQ(stNames, qd::Keys(st)) << first;
        // Values the animator put on the card before the first reading.
        EXPECT_EQ(qd::Today(), cfg["cur_trade_date"]);
        EXPECT_EQ("1", cfg["link_status"]);
        EXPECT_EQ("00000000 00:00:00", st["last_reset"]);
        EXPECT_EQ("", qd::PromtoolProblems(first));

        // Monitor counters are published as of the last record period.
        ASSERT_TRUE(d.WaitOut("******** Read Monitor Info ********")) << d.Out();
        std::string later = d.Scrape();
        auto st2 = qd::Labels(later, "quay_fpga_status");
        EXPECT_NE("0", st2["session_lost_num_path0"]) << later;
        EXPECT_NE("0", st2["rx_rate_kpps"]) << later;
        EXPECT_NE(st, st2);
        EXPECT_EQ("", qd::PromtoolProblems(later));
        EXPECT_EQ(qtest::kChildSignalBase + SIGTERM, d.proc().Signal(SIGTERM));
    }));
}

std::string KindName(const ::testing::TestParamInfo<svc::CardKind>& i) { return svc::KindName(i.param); }

#ifdef DAEMON_CARDS_PIO
INSTANTIATE_TEST_SUITE_P(MappedBar, DaemonOnCard, ::testing::Values(svc::kPio), KindName);
#else
INSTANTIATE_TEST_SUITE_P(XdmaAndEnyx, DaemonOnCard, ::testing::Values(svc::kXdma, svc::kEnyx), KindName);
#endif

}  // namespace

// The animator test runs in the XDMA program only: two tests of one name
// would be one name to CTest, which orders the leftover check by names.
#ifndef DAEMON_CARDS_PIO
namespace {

TEST(CardAnimator, MovesOnlyTheRegistersOfThePartTheVersionNames) {
    qd::Daemon d(svc::kXdma);
    const std::string card = "xdma:" + d.dir() + "/card.regs";
    int rc = -1;
    std::string out = qtest::RunCmd(qd::Bin("quay-vcard") + " --card " + card + " --bin " + d.dir() +
                                        "/bin --version 0x7000 2>&1", &rc);
    EXPECT_EQ(1, rc);
    EXPECT_NE(std::string::npos, out.find("version 0x7000 names no register part")) << out;

    // Firmware code 4 (sh_tcp_net_pio): its registers move, the version
    // register says so, the service's configured registers stay as they are.
    ASSERT_TRUE(d.card().PokeLE(0x200, 0x0a0b0c0d, 4));
    qd::Process anim;
    ASSERT_TRUE(anim.Spawn({qd::Bin("quay-vcard"), "--card", card, "--bin", d.dir() + "/bin", "--version", "0x4001",
                            "--interval-ms", "20"},
                           d.dir(), d.dir() + "/vcard.txt"));
    ASSERT_TRUE(d.WaitFile("vcard.txt", "register part sh_tcp_net_pio", 10));
    const uint64_t pkts = d.card().PeekLE(0x500, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(d.card().PeekLE(0x500, 8), pkts) << "rx_pkt_num";
    EXPECT_EQ(std::to_string(d.card().PeekLE(0x408, 4)), qd::Today()) << "cur_trade_date";
    EXPECT_EQ(0x4001u, d.card().PeekLE(6, 4));
    EXPECT_EQ(0x0a0b0c0du, d.card().PeekLE(0x200, 4));
    EXPECT_EQ(0, anim.Signal(SIGTERM));
}

}  // namespace
#endif
