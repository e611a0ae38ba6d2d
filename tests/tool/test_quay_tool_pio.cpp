// The tool in pio mode: the card's BAR mapped through a fake sysfs tree.
#include <gtest/gtest.h>

#include "fake_sysfs.h"
#include "tool_env.h"

TEST(QuayToolPio, DebugAccessInsideAndOutsideTheMappedBar) {
    qtest::ToolEnv env;
    qtest::FakeSysfs sys;
    const std::string bdf = "0000:d8:00.0";
    sys.AddCard(bdf, 0x80000);  // register window: 0x20000 bytes after 0x60000
    sys.Bin().Add("lsmod", "xdma                  110592  0\n");
    std::string ini = env.Ini();
    ini = qtest::SetIniKey(ini, "device", "dev_write", "/dev/xdma0_user");
    ini = qtest::SetIniKey(ini, "device", "dev_read", "/dev/xdma0_user");
    ini = qtest::SetIniKey(ini, "device", "pio_mode", "1");
    env.WriteIni(ini);
    sys.WriteResource(bdf, 0x60000 + 0x1f000, std::string("\xa1\xb2\xc3\xd4", 4));

    // The checks run in the child, inside the private mount namespace.
    ASSERT_EQ(0, sys.Run([&] {
        std::string cmd = "cd '" + env.dir() + "' && '" + qtest::ToolEnv::Tool() + "' ";
        int rc = -1;
        std::string inside = qtest::RunCmd(cmd + "debug read 0x1f000 4 2>&1", &rc);
        EXPECT_EQ(0, rc);
        EXPECT_NE(std::string::npos, inside.find("Inited XDMA!")) << inside;
        EXPECT_NE(std::string::npos, inside.find("read 4 bytes from addr 0x1f000\n\nd4 c3 b2 a1 \n")) << inside;

        std::string write = qtest::RunCmd(cmd + "debug write 0x1f010 2 0xbeef 2>&1", &rc);
        EXPECT_EQ(0, rc);
        EXPECT_NE(std::string::npos, write.find("write 0xbeef into addr 0x1f010")) << write;

        // Past the register window: refused with a warning, not a crash.
        std::string outside = qtest::RunCmd(cmd + "debug read 0x20000 8 2>&1", &rc);
        EXPECT_EQ(0, rc) << outside;
        EXPECT_EQ(std::string::npos, outside.find("bytes from addr")) << outside;
        EXPECT_NE(std::string::npos, outside.find("[WARN   ]")) << outside;
        std::string far = qtest::RunCmd(cmd + "debug write 0x7fffffff0 4 1 2>&1", &rc);
        EXPECT_EQ(0, rc) << far;
        EXPECT_EQ(std::string::npos, far.find("write 0x1 into")) << far;
    }));
    EXPECT_EQ(std::string("\xef\xbe", 2), sys.ReadResource(bdf, 0x60000 + 0x1f010, 2));
}
