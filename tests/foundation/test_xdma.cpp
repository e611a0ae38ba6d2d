// XDMA character-device register driver on the virtual card: a regular file
// stands in for the device (both sides may name the same file). The typed
// accesses and the reversed ranges are in the drivers' contract
// (test_drv_contract.cpp); here are the XDMA driver's own rules and messages.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <string>

#include "drvXdma.h"
#include "fake_cmds.h"
#include "log_capture.h"

namespace {

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int v : b) s.push_back((char)v);
    return s;
}

std::string FileBytes(const std::string& path, size_t off, size_t len) {
    std::string all = qtest::ReadFile(path);
    return off < all.size() ? all.substr(off, len) : std::string();
}

class XdmaTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dev = m_dir / "xdma0_user";
        // 4 KB register space: byte i holds i & 0xff.
        std::string img(4096, '\0');
        for (size_t i = 0; i < img.size(); ++i) img[i] = (char)(i & 0xff);
        qtest::WriteFile(m_dev, img);
    }
    int InitBoth(CDrvXdma& drv) {
        XDMA_PARAM_t p{m_dev.c_str(), m_dev.c_str(), 32768, 32768, 1};
        return drv.Init(&p);
    }

    qtest::TempDir m_dir{"quayxdma"};
    std::string m_dev;
};

TEST_F(XdmaTest, InitRulesAndOneSidedDrivers) {
    qtest::LogCapture log;
    {
        CDrvXdma drv;
        ASSERT_EQ(0, InitBoth(drv));
        EXPECT_EQ(600001, InitBoth(drv));
        EXPECT_TRUE(log.Contains("Init device xdma driver failed, already inited!"));
    }
    {
        CDrvXdma drv;
        std::string missing = m_dir / "nope";
        XDMA_PARAM_t p{missing.c_str(), m_dev.c_str(), 0, 0, 0};
        EXPECT_EQ(600003, drv.Init(&p));
        EXPECT_TRUE(log.Contains("Open device in failed, please check the device exist or not: " + missing + "!"));
        XDMA_PARAM_t q{m_dev.c_str(), missing.c_str(), 0, 0, 0};
        EXPECT_EQ(600003, drv.Init(&q));
        EXPECT_TRUE(log.Contains("Open device out failed, please check the device exist or not: " + missing + "!"));
        // A failed Init leaves nothing half open: a corrected one succeeds.
        EXPECT_EQ(0, InitBoth(drv));
    }
    {
        CDrvXdma readOnly;
        XDMA_PARAM_t p{nullptr, m_dev.c_str(), 0, 0, 0};
        ASSERT_EQ(0, readOnly.Init(&p));
        uint32_t v = 0;
        EXPECT_EQ(0, readOnly.ReadInt32(4, v));
        EXPECT_EQ(0x07060504u, v);
        EXPECT_EQ(-1, readOnly.WriteInt8(0, 1));
        EXPECT_TRUE(log.Contains("[fpga][xdma drv] Didn't inited out yet!\n"));
        EXPECT_EQ(-1, readOnly.WriteInt16(0, 1));
        EXPECT_EQ(-1, readOnly.WriteInt32(0, 1));
        EXPECT_EQ(-1, readOnly.WriteInt64(0, 1));
        EXPECT_EQ(0u, readOnly.WriteBytes(0, (const uint8_t*)"x", 1));
        EXPECT_EQ(4, log.Count("[fpga]Didn't inited out yet!\n")) << log.Text();
        EXPECT_EQ(FileBytes(m_dev, 0, 8), Bytes({0, 1, 2, 3, 4, 5, 6, 7}));
    }
    {
        CDrvXdma writeOnly;
        XDMA_PARAM_t p{m_dev.c_str(), nullptr, 0, 0, 0};
        ASSERT_EQ(0, writeOnly.Init(&p));
        EXPECT_EQ(0, writeOnly.WriteInt32(0, 0xAABBCCDD));
        uint8_t v8 = 9;
        uint16_t v16 = 9;
        uint32_t v32 = 9;
        uint64_t v64 = 9;
        EXPECT_EQ(600002, writeOnly.ReadInt8(0, v8));
        EXPECT_EQ(600002, writeOnly.ReadInt16(0, v16));
        EXPECT_EQ(600002, writeOnly.ReadInt32(0, v32));
        EXPECT_EQ(600002, writeOnly.ReadInt64(0, v64));
        EXPECT_EQ(9, v8 + 0 * v16);
        EXPECT_EQ(9u, v32);
        EXPECT_EQ(9u, v64);
        EXPECT_EQ(4, log.Count("[fpga]Didn't inited in yet!\n")) << log.Text();
    }
    CDrvXdma none;
    EXPECT_NE(0, none.Init(nullptr));
}

TEST_F(XdmaTest, ShortReadAndSeekFailureLeaveValueUntouched) {
    qtest::LogCapture log;
    CDrvXdma drv;
    ASSERT_EQ(0, InitBoth(drv));
    uint32_t v32 = 0x12345678;
    EXPECT_EQ(600005, drv.ReadInt32(4094, v32));  // two of four bytes exist
    EXPECT_EQ(0x12345678u, v32);
    EXPECT_TRUE(log.Contains("Read failed, should Read 4, now 0, errno:")) << log.Text();
    EXPECT_TRUE(log.Contains("Read failed, system msg:")) << log.Text();
    EXPECT_TRUE(log.Contains(". Note:If is pio mode,add pio_mode=1 in quay.ini.\n")) << log.Text();
    EXPECT_TRUE(log.Contains("[fpga]Read Int32 error!\n"));
    uint64_t v64 = 1;
    EXPECT_EQ(600005, drv.ReadInt64(8192, v64));
    EXPECT_EQ(1u, v64);
    EXPECT_TRUE(log.Contains("[fpga]Read Int64 error!\n"));
    uint8_t buf[8] = {0};
    // The partial chunk is not counted: nothing of it reaches the caller.
    EXPECT_EQ(0u, drv.ReadLess128Bytes(4094, buf, 4));
    EXPECT_EQ(0, buf[0]);

    EXPECT_EQ(600005, drv.ReadInt32(0x8000000000000000ull, v32));
    EXPECT_TRUE(log.Contains("seek failed. set offset:0x8000000000000000, but return:0xffffffffffffffff, "
                             "errno:22, errInfo:Invalid argument."))
        << log.Text();
    EXPECT_EQ(-1, drv.WriteInt16(0x8000000000000000ull, 1));
    EXPECT_EQ(2, log.Count("seek failed."));

    // lseek's failure value -1 is also the offset 2^64 - 1 cast to off_t.
    uint8_t before[4] = {0}, after[4] = {0};
    ASSERT_EQ(4u, drv.ReadBytes(0, before, 4));
    const uint8_t mark[4] = {0xde, 0xad, 0xbe, 0xef};
    EXPECT_EQ(0u, drv.WriteBytes(~0ull, mark, 4));
    EXPECT_EQ(0u, drv.ReadBytes(~0ull, buf, 4));
    ASSERT_EQ(4u, drv.ReadBytes(0, after, 4));
    EXPECT_EQ(0, memcmp(before, after, 4));
    EXPECT_EQ(4, log.Count("seek failed."));
}

TEST_F(XdmaTest, ShortWriteFails) {
    // A file size limit makes writes past it fail like a broken device.
    EXPECT_EQ(0, qtest::RunInChild([&] {
        qtest::LogCapture log;
        CDrvXdma drv;
        ASSERT_EQ(0, InitBoth(drv));
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {4096, 4096};
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &rl));
        EXPECT_EQ(0, drv.WriteInt32(4092, 0x01020304));
        EXPECT_EQ(-1, drv.WriteInt32(4096, 0x01020304));
        EXPECT_TRUE(log.Contains("Write failed, should write 4, now 0, errno:27, errInfo:File too large.")) << log.Text();
        const uint8_t w[8] = {0};
        EXPECT_EQ(0u, drv.WriteBytes(4100, w, 8));
    }));
    EXPECT_EQ(4096u, qtest::ReadFile(m_dev).size());
    EXPECT_EQ(Bytes({4, 3, 2, 1}), FileBytes(m_dev, 4092, 4));
}

TEST_F(XdmaTest, MissingDeviceFileAndNullBuffers) {
    qtest::LogCapture log;
    CDrvXdma drv;
    XDMA_PARAM_t p{"/nonexistent/xdma0_user", "/nonexistent/xdma0_c2h_0", 0, 0, 0};
    EXPECT_EQ(600003, drv.Init(&p));
    uint32_t v = 3;
    EXPECT_EQ(600002, drv.ReadInt32(0, v));
    EXPECT_EQ(-1, drv.WriteInt32(0, 1));
    CDrvXdma ok;
    ASSERT_EQ(0, InitBoth(ok));
    EXPECT_EQ(0u, ok.ReadBytes(0, nullptr, 4));
    EXPECT_EQ(0u, ok.WriteBytes(0, nullptr, 4));
    EXPECT_TRUE(log.Contains("Didn't inited in yet!"));
}

}  // namespace
