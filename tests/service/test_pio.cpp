// The mapped-BAR ("pio mode") card, inside the fake sysfs: bring-up,
// configuring, reading back and reset. Holds the sysfs_pci lock.

#include <gtest/gtest.h>

#include "svc_checks.h"

using namespace svc;

TEST(BringUpPio, MappedBarCard) {
    Card card(kPio);
    card.PokeLE(6, 0x4001, 4);
    card.PokeLE(0, 0x32A5021E, 6);
    EXPECT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.initRet);
        EXPECT_EQ(GT_DRV_TYPE_PIO, s.svc->GetDeviceDrvType());
        EXPECT_EQ(0, s.runRet);
        EXPECT_EQ(4096u, g_fpgaResetAddr);
        EXPECT_EQ(4116u, g_fpgaTcpSrcIpAddr);
    }));
    std::string log = card.LogText();
    EXPECT_NE(std::string::npos, log.find("Inited XDMA!"));
    EXPECT_NE(std::string::npos, log.find("Successly Read register part:\"sh_tcp_net_pio\""));

    // No card with that XDMA device.
    card.WriteIni({{"device:dev_write", "/dev/xdma7_user"}, {"device:dev_read", "/dev/xdma7_c2h_0"},
                   {"device:core_id", "-1"}, {"device:bus_id", "-1"}, {"device:pio_mode", "1"}});
    EXPECT_EQ(0, card.Run([&] { EXPECT_EQ(-1, Service(false).initRet); }));
    EXPECT_NE(std::string::npos, card.LogText().find("Init PIO DMA failed! ret:-1"));
}

// The sample registers themselves, on every kind of card: test_sample_config.cpp.
TEST(ConfigPio, ReadBackAndReset) {
    Card card(kPio);
    card.PokeLE(6, 0x1005, 4);
    card.PokeLE(8240, 0xFFFFFFFF, 4);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        g_uiResetHoldSeconds = 0;
        EXPECT_EQ(0, s.svc->HaultResetFpga());
        EXPECT_EQ(4u, card.PeekLE(256, 2));
        EXPECT_EQ(0u, card.PeekLE(8240, 4));
        EXPECT_EQ(0, s.svc->ResetFpga("quay", true));
        EXPECT_EQ(0u, card.PeekLE(256, 2));
        Log log(card.dir() + "/log");
        size_t m = log.Mark();
        EXPECT_EQ(0, s.svc->ReadFpgaConfiguration(READ_MODE_PRINT));
        std::string t = log.Since(m);
        EXPECT_NE(std::string::npos, t.find("                      local_ip: 192.168.10.21\n")) << t;
        EXPECT_NE(std::string::npos, t.find("                  channel_list: 2011, 2021, 2031, 2041, \n")) << t;
    }));
    EXPECT_NE(std::string::npos, qtest::ReadFile(card.dir() + "/.reset_log").find(" quay"));
}
