// Mapped-BAR register driver on a fake PCIe sysfs tree: finding the card,
// mapping and the window's limits. The typed accesses and the reversed ranges
// are in the drivers' contract (test_drv_contract.cpp).

#include <gtest/gtest.h>

#include <string>

#include "drvXdmaPio.h"
#include "fake_sysfs.h"
#include "log_capture.h"

namespace {

const char* const kCard = "0000:d8:00.0";
const uint64_t kWin = 0x60000;  // register window offset in BAR 0

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back((char)v);
    return s;
}

TEST(XdmaPio, FindsCardAndMapsTheRegisterWindowOfBar0) {
    qtest::FakeSysfs sys;
    sys.AddCard(kCard, 0x100000);
    ASSERT_EQ(0, sys.Run([&] {
        qtest::LogCapture log;
        CDrvXdmaPio drv;
        ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
        EXPECT_TRUE(log.Contains("[INFO   ]")) << log.Text();
        EXPECT_TRUE(log.Contains("[fpga]xdma reg init devpath /sys/bus/pci/devices/0000:d8:00.0.\n")) << log.Text();
        EXPECT_EQ(0, drv.WriteInt32(0x100, 0x44332211));
    }));
    EXPECT_EQ(Bytes({0x11, 0x22, 0x33, 0x44}), sys.ReadResource(kCard, kWin + 0x100, 4));
    // Nothing landed below the register window.
    EXPECT_EQ(std::string(16, '\0'), sys.ReadResource(kCard, 0x100, 16));
}

TEST(XdmaPio, PicksFirstListedCardHoldingTheDevice) {
    qtest::FakeSysfs sys;
    sys.AddCard("0000:3b:00.0", 0x100000, "xdma1_user");   // other device name
    sys.AddCard("0000:5e:00.0", 0x100000, "xdma0_user");
    sys.AddCard("0000:d8:00.0", 0x100000, "xdma0_user");
    sys.AddCard("0000:af:00.0", 0x100000, "xdma0_user", "Memory controller: Intel Corporation Device 0b30");
    ASSERT_EQ(0, sys.Run([&] {
        qtest::LogCapture log;
        CDrvXdmaPio drv;
        ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
        EXPECT_TRUE(log.Contains("xdma reg init devpath /sys/bus/pci/devices/0000:5e:00.0.")) << log.Text();
        EXPECT_EQ(0, drv.WriteInt32(0, 0xdeadbeef));
    }));
    EXPECT_EQ(Bytes({0xef, 0xbe, 0xad, 0xde}), sys.ReadResource("0000:5e:00.0", kWin, 4));
    EXPECT_EQ(std::string(4, '\0'), sys.ReadResource("0000:d8:00.0", kWin, 4));
}

TEST(XdmaPio, NoMatchingCardFailsInit) {
    qtest::FakeSysfs sys;
    sys.AddCard(kCard, 0x100000, "xdma0_user");
    sys.AddCard("0000:3b:00.0", 0x100000, "xdma1_user", qtest::FakeSysfs::kXilinxDesc, /*listed=*/false);
    ASSERT_EQ(0, sys.Run([&] {
        qtest::LogCapture log;
        CDrvXdmaPio drv;
        // Present in sysfs but not listed by lspci: not found.
        EXPECT_EQ(-1, drv.Init((void*)"/dev/xdma1_user"));
        EXPECT_TRUE(log.Contains("[ERROR  ]")) << log.Text();
        EXPECT_TRUE(log.Contains("No pcie node match /dev/xdma1_user")) << log.Text();
        EXPECT_EQ(-1, drv.Init((void*)"/dev/ttyS0"));
        EXPECT_TRUE(log.Contains("DevWritePath Null parameter ")) << log.Text();
        EXPECT_EQ(-1, drv.Init(nullptr));
        // Every access is refused afterwards.
        uint8_t v = 7;
        EXPECT_EQ(600002, drv.ReadInt8(0, v));
        EXPECT_EQ(7, v);
        EXPECT_TRUE(log.Contains("Didn't inited in yet!"));
        EXPECT_EQ(-1, drv.WriteInt8(0, 1));
        EXPECT_TRUE(log.Contains("[xdma drv] Didn't inited out yet!"));
        EXPECT_EQ(-1, drv.WriteInt32(0, 1));
        EXPECT_EQ((uint64_t)-1, drv.ReadBytes(0, &v, 1));
    }));
}

TEST(XdmaPio, BadResourceFileFailsInit) {
    qtest::FakeSysfs sys;
    sys.AddCard("0000:3b:00.0", 0, "xdma0_user");   // empty resource0: cannot be mapped
    sys.AddCard("0000:5e:00.0", 0, "xdma1_user");
    ASSERT_EQ(0, unlink(sys.ResourcePath("0000:5e:00.0").c_str()));
    ASSERT_EQ(0, sys.Run([&] {
        qtest::LogCapture log;
        CDrvXdmaPio a;
        EXPECT_EQ(-1, a.Init((void*)"/dev/xdma0_user"));
        EXPECT_TRUE(log.Contains("Mmap failed, msg:Invalid argument")) << log.Text();
        CDrvXdmaPio b;
        EXPECT_EQ(-1, b.Init((void*)"/dev/xdma1_user"));
        EXPECT_TRUE(log.Contains("resource0 failed, errmsg:No such file or directory")) << log.Text();
        uint32_t v = 5;
        EXPECT_EQ(600002, b.ReadInt32(0, v));
        EXPECT_EQ(5u, v);
    }));
}

TEST(XdmaPio, OffsetBeyondMappingIsRefused) {
    qtest::FakeSysfs sys;
    const uint64_t size = 0x61000;  // register window of 0x1000 bytes
    sys.AddCard(kCard, size);
    ASSERT_TRUE(sys.WriteResource(kCard, size - 4, Bytes({1, 2, 3, 4})));
    ASSERT_EQ(0, sys.Run([&] {
        qtest::LogCapture log;
        CDrvXdmaPio drv;
        ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
        uint32_t v = 0;
        EXPECT_EQ(0, drv.ReadInt32(0xffc, v));  // last register of the window
        EXPECT_EQ(0x04030201u, v);
        EXPECT_EQ(0, log.Count("[ERROR  ]")) << log.Text();

        v = 99;
        EXPECT_EQ(600005, drv.ReadInt32(0xffd, v));  // straddles the end
        EXPECT_EQ(99u, v);
        EXPECT_EQ(600005, drv.ReadInt32(0x1000, v));
        uint64_t v64 = 99;
        EXPECT_EQ(600005, drv.ReadInt64(0x10000000ull, v64));
        EXPECT_EQ(600005, drv.ReadInt64(~0ull - 3, v64));  // offset + length wraps
        EXPECT_EQ(99u, v64);
        EXPECT_TRUE(log.Contains("Read Int64 error!"));
        EXPECT_EQ(-1, drv.WriteInt32(0xffd, 0xffffffff));
        EXPECT_EQ(-1, drv.WriteInt8(0x7fffffffffffull, 0xff));
        uint8_t buf[16] = {0};
        EXPECT_EQ(0u, drv.WriteLess128Bytes(0x1000, buf, 1));
        EXPECT_EQ((uint64_t)-1, drv.WriteBytes(0xfff, buf, 2));
        EXPECT_EQ(0u, drv.WriteBytes(0xfff, buf, 1));
        EXPECT_EQ(8, log.Count("[ERROR  ]")) << log.Text();
        EXPECT_TRUE(log.Contains("Register offset out of range, offset:0xffd, length:4, window size:0x1000."))
            << log.Text();
    }));
    EXPECT_EQ(Bytes({1, 2, 3, 0}), sys.ReadResource(kCard, size - 4, 8));
}

TEST(XdmaPio, SmallBarHasNoRegisterWindow) {
    qtest::FakeSysfs sys;
    sys.AddCard(kCard, 0x60000);
    ASSERT_EQ(0, sys.Run([&] {
        CDrvXdmaPio drv;
        ASSERT_EQ(0, drv.Init((void*)"/dev/xdma0_user"));
        uint8_t v = 3;
        EXPECT_EQ(600005, drv.ReadInt8(0, v));
        EXPECT_EQ(3, v);
        EXPECT_EQ(-1, drv.WriteInt8(0, 1));
    }));
}

}  // namespace
