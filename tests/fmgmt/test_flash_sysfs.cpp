// flash_cmd_qx and flash_reload_qx on a fake PCIe sysfs tree: the device is
// found with libpci, its resource0 file is mapped, and the controller
// registers are read and written in that file.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "fake_sysfs.h"
#include "flash_qx.h"
#include "mcs_util.h"
#include "test_util.h"

namespace {

const char* kDev = "0000:d8:00.0";

uint32_t Word(const qtest::FakeSysfs& sys, uint64_t offset)
{
    std::string b = sys.ReadResource(kDev, offset, 4);
    uint32_t v = 0;
    if (b.size() == 4) memcpy(&v, b.data(), 4);
    return v;
}

std::string LE(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class FlashSysfs : public ::testing::Test {
protected:
    // Runs fn inside the fake tree with its standard output and error in a
    // file; returns the child's status (fn's result mapped to 0, 1 for -1, 2
    // otherwise, or the status the code under test exited with).
    template <class F>
    int RunCaptured(F fn)
    {
        std::string out = m_dir / "child.out";
        return m_sys.Run([&] {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
            int ret = fn();
            fflush(nullptr);
            return ret == 0 ? 0 : ret == -1 ? 1 : 2;
        });
    }
    std::string Output() const { return qtest::ReadFile(m_dir / "child.out"); }

    void AddCard(uint64_t size)
    {
        m_sys.AddCard(kDev, size, "");
        m_sys.AddFile(kDev, "config", std::string(256, '\0'));
    }
    std::string Config(size_t off) const
    {
        return qtest::ReadFile(m_sys.CardDir(kDev) + "/config").substr(off, 1);
    }

    qtest::TempDir m_dir{"flashsysfs"};
    qtest::FakeSysfs m_sys;
};

}  // namespace

// The production path up to the flash identification: the device is
// enabled through libpci (command register 0x06), BAR 0 is mapped, the
// image parsed, the controller prepared (control 0x1E6); a controller that
// reports an error cannot identify the flash and the process ends with -95.
TEST_F(FlashSysfs, UpgradeMapsEnablesAndEndsWhenFlashIsUnidentified)
{
    AddCard(0x80000);
    ASSERT_TRUE(m_sys.WriteResource(kDev, 0x40064, LE(0x404)));  // tx empty, command error
    std::string mcs = fmtest::MakeMcs(m_dir, "img", fmtest::RandomImage(1000, 1), 0x01002000);
    ASSERT_FALSE(mcs.empty());

    int status = RunCaptured([&] { return flash_cmd_qx(kDev, mcs.c_str()); });
    std::string out = Output();
    EXPECT_EQ(-95 & 0xFF, status) << out;
    EXPECT_NE(std::string::npos, out.find("mgmtDevice Name 0000:d8:00.0\n")) << out;
    EXPECT_NE(std::string::npos, out.find("INFO: Parsing file " + mcs)) << out;
    EXPECT_NE(std::string::npos, out.find("INFO: ***Found 1 ELA Records")) << out;
    EXPECT_NE(std::string::npos, out.find("status reg in error situation \nUnable to get flash ready \n")) << out;
    EXPECT_NE(std::string::npos, out.find("Exiting now, as could not get correct idcode")) << out;
    EXPECT_EQ(std::string("\x06", 1), Config(4));
    EXPECT_EQ(0x1E6u, Word(m_sys, 0x40060));
    EXPECT_EQ(0u, Word(m_sys, 0x40068));  // nothing was sent
}

// Mapping failures: no resource file, a device text libpci cannot parse, a
// device text that would leave sysfs, a BAR too small for the controller.
TEST_F(FlashSysfs, UpgradeMappingFailures)
{
    AddCard(0x1000);
    std::string mcs = fmtest::MakeMcs(m_dir, "img", fmtest::RandomImage(100, 2), 0);
    struct Case {
        const char* dev;
        const char* msg;
    };
    for (const Case& c : {Case{"0000:d9:00.0", "open sysfs failed\n"}, Case{"zz", "Failed to parse device idzz\n"},
                          Case{"../d8:00.0", "open sysfs failed\n"},
                          Case{kDev, "too small for the flash controller"}}) {
        int status = RunCaptured([&] { return flash_cmd_qx(c.dev, mcs.c_str()); });
        std::string out = Output();
        EXPECT_EQ(1, status) << out;
        EXPECT_NE(std::string::npos, out.find(c.msg)) << out;
        EXPECT_NE(std::string::npos, out.find("Failed to map pcie device.\n")) << out;
        EXPECT_NE(std::string::npos, out.find("ZARorur failed.\n")) << out;
        EXPECT_EQ(std::string::npos, out.find("Parsing file")) << out;
    }
}

// The reload writes its control register at BAR 0 + 0x50004 and leaves the
// command register alone.
TEST_F(FlashSysfs, ReloadWritesControlRegister)
{
    AddCard(0x60000);
    struct Case {
        int delay;
        uint32_t value;
    };
    for (const Case& c : {Case{10000, 0x2710A596}, Case{1, 0x0003A596}, Case{-4, 0x0003A596}}) {
        ASSERT_TRUE(m_sys.WriteResource(kDev, 0x50004, LE(0xDEADBEEF)));
        int status = RunCaptured([&] { return flash_reload_qx(kDev, c.delay); });
        std::string out = Output();
        EXPECT_EQ(0, status) << out;
        EXPECT_EQ(c.value, Word(m_sys, 0x50004)) << c.delay;
        EXPECT_EQ(0u, Word(m_sys, 0x50000));
        EXPECT_NE(std::string::npos, out.find("Board Reload Utility.\n")) << out;
        EXPECT_NE(std::string::npos,
                  out.find("Board Reload Utility Complete. The system may restart, which is normal.\n"))
            << out;
    }
    EXPECT_NE(std::string::npos, Output().find(" delay :3\n-- controlRegBits: 0x3a596\n"));
    EXPECT_EQ(std::string(1, '\0'), Config(4));
}

// A BAR without the reload controller: the writes are refused, not made.
TEST_F(FlashSysfs, ReloadRefusesRegistersOutsideTheBar)
{
    AddCard(0x1000);
    int status = RunCaptured([&] { return flash_reload_qx(kDev, 10000); });
    std::string out = Output();
    EXPECT_EQ(1, status) << out;
    EXPECT_NE(std::string::npos, out.find("ERROR: register write at BAR 0 offset 0x50004 refused")) << out;
    EXPECT_NE(std::string::npos, out.find("Board Reload Utility failed")) << out;
    EXPECT_EQ(std::string::npos, out.find("Complete")) << out;

    status = RunCaptured([&] { return flash_reload_qx("0000:d9:00.0", 10000); });
    out = Output();
    EXPECT_EQ(1, status) << out;
    EXPECT_NE(std::string::npos, out.find("open sysfs failed\nFailed to map pcie device.\n")) << out;
}
