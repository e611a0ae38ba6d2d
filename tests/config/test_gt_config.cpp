// Configuration service: loading quay.ini, the device and monitor records,
// typed look-ups and the MAC / IPv4 text parsers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "log_capture.h"
#include "gt_config.h"
#include "test_util.h"

using qtest::LogCapture;

namespace {

const char* kMonitorIni =
    "[monitor]\n"
    "port = 9400\n"
    "server_ip = 127.0.0.1\n"
    "ver = 2.4.5\n"
    "url = /metrics\n"
    "gauge_stu_name = quay_status\n"
    "gauge_stu_des = status registers\n"
    "gauge_cfg_name = quay_config\n"
    "gauge_cfg_des = configuration registers\n";

class ConfigTest : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::string& text) {
        std::string p = m_dir / name;
        qtest::WriteFile(p, text);
        return p;
    }
    // A loaded configuration of the given text.
    void Load(const std::string& text) { ASSERT_EQ(0, m_cfg.Init(Write("quay.ini", text).c_str())); }

    qtest::TempDir m_dir{"cfgini"};
    CGtConfig m_cfg;
};

TEST_F(ConfigTest, InitOnceThenSamePathOrRefusesAnotherAndKeepsFirst) {
    std::string a = Write("a.ini", "[x]\nv = 1\n");
    std::string b = Write("b.ini", "[x]\nv = 2\n");
    {
        LogCapture cap;
        EXPECT_EQ(0, m_cfg.Init(a.c_str()));
        EXPECT_LOGGED(cap, "INFO", "Init success!");
    }
    qtest::WriteFile(a, "[x]\nv = 3\n");
    EXPECT_EQ(0, m_cfg.Init(a.c_str()));
    EXPECT_EQ(1, m_cfg.GetConfigInt("x:v", -1)) << "the same path must not reload";
    LogCapture cap;
    EXPECT_EQ(600005, m_cfg.Init(b.c_str()));
    EXPECT_LOGGED(cap, "WARN", "Init more than one times with different path: last:" + a + ", now:" + b);
    EXPECT_EQ(1, m_cfg.GetConfigInt("x:v", -1));
    EXPECT_EQ(a, m_cfg.GetConfigPath());
}

TEST_F(ConfigTest, UnloadableFilesFailWith600004AndTheSystemErrorText) {
    std::string missing = m_dir / "none.ini";
    {
        LogCapture cap;
        EXPECT_EQ(600004, m_cfg.Init(missing.c_str()));
        EXPECT_LOGGED(cap, "WARN", "can't parse config file: " + missing + ".msg:No such file or directory");
    }
    EXPECT_FALSE(m_cfg.IsInited());
    {
        // A directory opens but reads nothing: refused, not an empty file.
        CGtConfig cfg;
        LogCapture cap;
        EXPECT_EQ(600004, cfg.Init(m_dir.path().c_str()));
        EXPECT_LOGGED(cap, "WARN", "can't parse config file: " + m_dir.path() + ".msg:Is a directory");
    }
    // Neither a FIFO (the read would block) nor a device that never ends.
    std::string fifo = m_dir / "fifo.ini", zero = m_dir / "zero.ini";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink("/dev/zero", zero.c_str()));
    for (const std::string& path : {fifo, zero}) {
        CGtConfig cfg;
        LogCapture cap;
        EXPECT_EQ(600004, cfg.Init(path.c_str()));
        EXPECT_LOGGED(cap, "WARN", "can't parse config file: " + path + ".msg:not a regular file");
    }
    {
        // A line that is no INI syntax makes iniparser refuse the file.
        CGtConfig cfg;
        std::string bad = Write("bad.ini", "[device]\ndev_write = x\nthis line is garbage\n");
        LogCapture cap;
        EXPECT_EQ(600004, cfg.Init(bad.c_str()));
        EXPECT_LOGGED(cap, "WARN", "can't parse config file: " + bad + ".msg:syntax error");
    }
    // After a failed Init, another path may still be tried.
    EXPECT_EQ(0, m_cfg.Init(Write("ok.ini", "[a]\nb=1\n").c_str()));
}

TEST_F(ConfigTest, NothingLoadedGivesNotInitialisedAndDefaults) {
    GT_CONFIG_DEVICE_INFO_t dev;
    GT_CONFIG_MONITOR_t mon;
    LogCapture cap;
    EXPECT_EQ(600002, m_cfg.GetCfgInfo(dev));
    EXPECT_EQ(600002, m_cfg.GetMonitorConfig(mon));
    EXPECT_LOGGED(cap, "WARN", "Please init config first!");
    EXPECT_EQ("dflt", m_cfg.GetConfigString("a:b", "dflt"));
    EXPECT_EQ("", m_cfg.GetConfigString("a:b", nullptr));
    EXPECT_EQ(7, m_cfg.GetConfigInt("a:b", 7));
    EXPECT_EQ(-9, m_cfg.GetConfigLongInt("a:b", -9));
}

TEST_F(ConfigTest, ReloadReadsTheNewContentAndAFailedReloadLeavesNothingLoaded) {
    std::string p = Write("quay.ini", "[a]\nb = 1\n");
    ASSERT_EQ(0, m_cfg.Init(p.c_str()));
    qtest::WriteFile(p, "[a]\nb = 2\n");
    EXPECT_EQ(0, m_cfg.ReloadFile(p.c_str()));
    EXPECT_EQ(2, m_cfg.GetConfigInt("a:b", -1));
    unlink(p.c_str());
    LogCapture cap;
    EXPECT_EQ(600004, m_cfg.ReloadFile(p.c_str()));
    EXPECT_LOGGED(cap, "WARN", "can't parse config file: " + p + ".msg:No such file or directory");
    EXPECT_EQ(-1, m_cfg.GetConfigInt("a:b", -1));
    GT_CONFIG_DEVICE_INFO_t dev;
    EXPECT_EQ(600002, m_cfg.GetCfgInfo(dev));
}

TEST_F(ConfigTest, LookupsUseBaseDetectionCaseFoldingAndFull64Bits) {
    Load("[Sec]\nDec = 42\nhex = 0x1FF\noct = 010\nword = abc\nneg = -5\n"
         "all = 0xFFFFFFFFFFFFFFFF\ntop = 0x8000000000000000\ntext = hello world\n");
    EXPECT_EQ(42, m_cfg.GetConfigInt("sec:dec", 0));
    EXPECT_EQ(42, m_cfg.GetConfigInt("SEC:DEC", 0));
    EXPECT_EQ(0x1FF, m_cfg.GetConfigInt("sec:hex", 0));
    EXPECT_EQ(8, m_cfg.GetConfigInt("sec:oct", 0));
    EXPECT_EQ(0, m_cfg.GetConfigInt("sec:word", 5)) << "present but not a number reads as 0";
    EXPECT_EQ(-5, m_cfg.GetConfigLongInt("sec:neg", 0));
    EXPECT_EQ(-1, m_cfg.GetConfigLongInt("sec:all", 0));
    EXPECT_EQ(static_cast<int64_t>(0x8000000000000000ull), m_cfg.GetConfigLongInt("sec:top", 0));
    EXPECT_EQ(0, m_cfg.GetConfigLongInt("sec:word", 5));
    EXPECT_EQ("hello world", m_cfg.GetConfigString("Sec:Text", ""));
    EXPECT_TRUE(m_cfg.HasConfigItem("sec:text"));
    EXPECT_FALSE(m_cfg.HasConfigItem("sec:none"));
}

// ---------------------------------------------------------------- device record

TEST_F(ConfigTest, EmptyPathsAndIdsFromZeroSelectEnyx) {
    Load("[device]\ndev_write =\ndev_read =\ncore_id = 0\nbus_id = 0\n"
         "dma0name = MAC_CHAN0_DATA\ndma1name = MAC_CHAN1_DATA\n");
    GT_CONFIG_DEVICE_INFO_t dev;
    LogCapture cap;
    ASSERT_EQ(0, m_cfg.GetCfgInfo(dev));
    EXPECT_EQ(GT_DRV_TYPE_ENYX, dev.eDrvType);
    EXPECT_EQ(0, dev.nCoreId);
    EXPECT_EQ(0, dev.nBusId);
    EXPECT_EQ("MAC_CHAN0_DATA", dev.strDevDma0Name);
    EXPECT_EQ("MAC_CHAN1_DATA", dev.strDevDma1Name);
    EXPECT_TRUE(dev.strDevicePathWrite.empty());
    EXPECT_LOGGED(cap, "INFO",
                  "device config, get device coreId:0, busId:0,dma0name:MAC_CHAN0_DATA,dma1name:MAC_CHAN1_DATA, .");
}

TEST_F(ConfigTest, AbsentBusIdSelectsXdmaAndPioModeTheMappedBar) {
    Load("[device]\ndev_write =\ndev_read =\ncore_id = 0\n");
    GT_CONFIG_DEVICE_INFO_t dev;
    {
        LogCapture cap;
        ASSERT_EQ(0, m_cfg.GetCfgInfo(dev));
        EXPECT_LOGGED(cap, "INFO", "device config, get devicePahWrite:, read:");
    }
    EXPECT_EQ(GT_DRV_TYPE_XDMA, dev.eDrvType);
    EXPECT_EQ(-1, dev.nBusId);

    CGtConfig pio;
    std::string p = Write("pio.ini", "[device]\ndev_write = /dev/xdma0_user\ndev_read = /dev/xdma0_c2h_0\n"
                                     "pio_mode = 1\ncore_id = 0\nbus_id = 0\n");
    ASSERT_EQ(0, pio.Init(p.c_str()));
    GT_CONFIG_DEVICE_INFO_t dev2;
    LogCapture cap;
    ASSERT_EQ(0, pio.GetCfgInfo(dev2));
    EXPECT_EQ(GT_DRV_TYPE_PIO, dev2.eDrvType);
    EXPECT_EQ("/dev/xdma0_user", dev2.strDevicePathWrite);
    EXPECT_EQ("/dev/xdma0_c2h_0", dev2.strDevicePathRead);
    EXPECT_LOGGED(cap, "INFO", "device config, get devicePahWrite:/dev/xdma0_user, read:/dev/xdma0_c2h_0");
}

TEST_F(ConfigTest, MissingDeviceKeysAreReportedWith600007) {
    struct Case {
        const char* ini;
        std::string msg;
    } cases[] = {
        {"[device]\ndev_read =\n", "can't get device:dev_write, path:"},
        {"[device]\ndev_write =\n", "can't get device:dev_read, path:"},
        {"[device]\ndev_write =\ndev_read =\ncore_id=0\nbus_id=0\ndma1name = b\n", "can't get device:dma0name"},
        {"[device]\ndev_write =\ndev_read =\ncore_id=0\nbus_id=0\ndma0name = a\ndma1name =\n",
         "can't get device:dma1name"},
    };
    for (const Case& c : cases) {
        CGtConfig cfg;
        std::string p = Write("dev.ini", c.ini);
        ASSERT_EQ(0, cfg.Init(p.c_str()));
        GT_CONFIG_DEVICE_INFO_t dev;
        LogCapture cap;
        EXPECT_EQ(600007, cfg.GetCfgInfo(dev)) << c.ini;
        std::string msg = c.msg;
        if (msg.back() == ':') msg += p;
        EXPECT_LOGGED(cap, "ERROR", msg);
    }
}

TEST_F(ConfigTest, SubscriptionKeysOnlyWithAListAndWithinTheHashMemory) {
    Load("[device]\ndev_write = /dev/a\ndev_read = /dev/b\n");
    GT_CONFIG_DEVICE_INFO_t dev;
    dev.subsstockid = "kept";
    dev.ram_num = 3;
    dev.ram_width = 4;
    ASSERT_EQ(0, m_cfg.GetCfgInfo(dev));
    EXPECT_EQ("kept", dev.subsstockid);
    EXPECT_EQ(3u, dev.ram_num);
    EXPECT_EQ(4u, dev.ram_width);

    CGtConfig cfg;
    ASSERT_EQ(0, cfg.Init(Write("s.ini", "[device]\ndev_write = a\ndev_read = b\n"
                                         "[Others]\nstocks = 600000, 000001\n").c_str()));
    ASSERT_EQ(0, cfg.GetCfgInfo(dev));
    EXPECT_EQ("600000, 000001", dev.subsstockid);
    EXPECT_EQ(8u, dev.ram_num);
    EXPECT_EQ(9u, dev.ram_width);

    // 16 banks of 2^12 slots fill the card's window exactly; more, or a
    // negative count, would write outside it.
    const char* bad[] = {"stock_ram_num = 16\nstock_ram_width = 13\n", "stock_ram_num = -1\n",
                         "stock_ram_width = 40\n", "stock_ram_width = -2\n"};
    CGtConfig ok;
    ASSERT_EQ(0, ok.Init(Write("ok.ini", "[device]\ndev_write = a\ndev_read = b\n[Others]\nstocks = all\n"
                                         "stock_ram_num = 16\nstock_ram_width = 12\n").c_str()));
    ASSERT_EQ(0, ok.GetCfgInfo(dev));
    EXPECT_EQ(16u, dev.ram_num);
    for (const char* b : bad) {
        CGtConfig cfg2;
        ASSERT_EQ(0, cfg2.Init(Write("b.ini", std::string("[device]\ndev_write = a\ndev_read = b\n"
                                                          "[Others]\nstocks = 600000\n") + b).c_str()));
        GT_CONFIG_DEVICE_INFO_t d2;
        LogCapture cap;
        EXPECT_EQ(600007, cfg2.GetCfgInfo(d2)) << b;
        EXPECT_NE(std::string::npos, cap.Text().find("do not fit the card's hash memory")) << b;
        EXPECT_TRUE(d2.subsstockid.empty());
    }
}

TEST_F(ConfigTest, GarbageDeviceNumbersAreNamedAndOutOfRangeIdsRefused) {
    Load("[device]\ndev_write =\ndev_read =\ncore_id = zero\nbus_id = 0\ndma0name = a\ndma1name = b\n");
    GT_CONFIG_DEVICE_INFO_t dev;
    {
        LogCapture cap;
        ASSERT_EQ(0, m_cfg.GetCfgInfo(dev));
        EXPECT_LOGGED(cap, "WARN", "device:core_id: \"zero\" is not a number, read as 0");
    }
    EXPECT_EQ(GT_DRV_TYPE_ENYX, dev.eDrvType);
    CGtConfig cfg;
    ASSERT_EQ(0, cfg.Init(Write("big.ini", "[device]\ndev_write =\ndev_read =\nbus_id = 70000\n").c_str()));
    LogCapture cap;
    EXPECT_EQ(600007, cfg.GetCfgInfo(dev));
    EXPECT_LOGGED(cap, "ERROR", "device:bus_id 70000 out of range");
}

// ---------------------------------------------------------------- monitor record

TEST_F(ConfigTest, MonitorRecordFilledAndLogged) {
    Load(std::string(kMonitorIni) + "record_time_len = 12\n");
    GT_CONFIG_MONITOR_t mon;
    LogCapture cap;
    ASSERT_EQ(0, m_cfg.GetMonitorConfig(mon));
    EXPECT_EQ(9400, mon.nPort);
    EXPECT_STREQ("127.0.0.1", mon.strIp);
    EXPECT_STREQ("2.4.5", mon.strVer);
    EXPECT_EQ("/metrics", mon.strUrl);
    EXPECT_STREQ("quay_status", mon.strGaugeStuName);
    EXPECT_EQ("status registers", mon.strGaugeStuDes);
    EXPECT_STREQ("quay_config", mon.strGaugeCfgName);
    EXPECT_EQ("configuration registers", mon.strGaugeCfgDes);
    EXPECT_EQ(12, mon.recordTimeLen);
    EXPECT_LOGGED(cap, "INFO", "monitor config, port:9400, ver:2.4.5, ip:127.0.0.1, url:/metrics");
    EXPECT_LOGGED(cap, "INFO",
                  "monitor config, StuGaugeName:quay_status, des:status registers,CfgGaugeName:quay_config, "
                  "des:configuration registers");
}

TEST_F(ConfigTest, RecordPeriodNegativeGives30ZeroAndNonNumbersGiveZero) {
    const struct {
        const char* line;  // appended to the monitor section
        int32_t period;
    } rows[] = {
        {"record_time_len = 0\n", 0},   {"record_time_len = abc\n", 0}, {"record_time_len = \n", 0},
        {"record_time_len = -5\n", 30}, {"record_time_len = -1\n", 30}, {"", 30},  // absent
    };
    for (const auto& r : rows) {
        CGtConfig cfg;
        ASSERT_EQ(0, cfg.Init(Write("m.ini", std::string(kMonitorIni) + r.line).c_str()));
        GT_CONFIG_MONITOR_t mon;
        mon.recordTimeLen = 99;
        ASSERT_EQ(0, cfg.GetMonitorConfig(mon)) << r.line;
        EXPECT_EQ(r.period, mon.recordTimeLen) << r.line;
    }
}

TEST_F(ConfigTest, MonitorStopsAtTheFirstMissingKeyInTableOrder) {
    const char* keys[] = {"server_ip", "ver", "url", "gauge_stu_name", "gauge_stu_des", "gauge_cfg_name",
                          "gauge_cfg_des"};
    for (const char* key : keys) {
        std::string ini = kMonitorIni;
        size_t at = ini.find(std::string("\n") + key + " =");
        ASSERT_NE(std::string::npos, at) << key;
        ini.erase(at + 1, ini.find('\n', at + 1) - at);
        CGtConfig cfg;
        ASSERT_EQ(0, cfg.Init(Write("m.ini", ini).c_str()));
        GT_CONFIG_MONITOR_t mon;
        LogCapture cap;
        EXPECT_EQ(600007, cfg.GetMonitorConfig(mon)) << key;
        EXPECT_LOGGED(cap, "ERROR", std::string("can't get monitor:") + key);
        EXPECT_EQ(9400, mon.nPort) << "fields read before stay filled";
        if (strcmp(key, "gauge_cfg_des") == 0) {
            EXPECT_STREQ("quay_config", mon.strGaugeCfgName);
        }
    }
}

TEST_F(ConfigTest, MonitorTextsAreCutToTheirFieldsAndPortChecked) {
    std::string longName(100, 'n');
    std::string ini = kMonitorIni;
    ini.replace(ini.find("quay_status"), strlen("quay_status"), longName);
    ini.replace(ini.find("2.4.5"), 5, "v1234567890123456789012345");
    Load(ini);
    GT_CONFIG_MONITOR_t mon;
    {
        LogCapture cap;
        ASSERT_EQ(0, m_cfg.GetMonitorConfig(mon));
        EXPECT_LOGGED(cap, "WARN", "monitor:gauge_stu_name is 100 bytes long, only the first 63 are kept");
    }
    EXPECT_EQ(std::string(63, 'n'), mon.strGaugeStuName);
    EXPECT_EQ(19u, strlen(mon.strVer));

    for (const char* port : {"70000", "-1"}) {
        std::string p = kMonitorIni;
        p.replace(p.find("9400"), 4, port);
        CGtConfig cfg;
        ASSERT_EQ(0, cfg.Init(Write("p.ini", p).c_str()));
        LogCapture cap;
        EXPECT_EQ(600007, cfg.GetMonitorConfig(mon)) << port;
        EXPECT_LOGGED(cap, "ERROR", std::string("monitor:port ") + port + " out of range");
    }
}

// ---------------------------------------------------------------- address texts

TEST(ConfigAddressText, MacTexts) {
    struct Case {
        const char* text;
        int32_t ret;
        uint8_t bytes[6];
    } cases[] = {
        {"01:02:03:04:05:06", 0, {1, 2, 3, 4, 5, 6}},
        {"1-2-3-4-5-6", 0, {1, 2, 3, 4, 5, 6}},
        {"0a:0B:cc:DD:ee:FF", 0, {0x0a, 0x0b, 0xcc, 0xdd, 0xee, 0xff}},
        {"01:02:03:04:05", 600007, {}},        // five numbers
        {"1:2:3:4:5:6:7", 600007, {}},         // seven numbers: refused
        {"1:2:3:4:5:6:", 600007, {}},          // something after the sixth
        {"100:2:3:4:5:6", 600007, {}},         // not a byte
        {"1::2:3:4:5:6", 600007, {}},          // empty number
        {"g1:02:03:04:05", 600007, {}},        // not hexadecimal
        {"1:2:3:4:5", 600005, {}},             // 9 characters
        {"0102030405", 600005, {}},            // 10 characters
        {"01:02:03:04:05:06:0", 600005, {}},   // 19 characters
        {"", 600005, {}},
    };
    for (const Case& c : cases) {
        uint8_t out[8];
        memset(out, 0xEE, sizeof(out));
        LogCapture cap;
        EXPECT_EQ(c.ret, CGtConfig::HexStr2Mac(c.text, out)) << c.text;
        if (c.ret == 0) {
            EXPECT_EQ(0, memcmp(out, c.bytes, 6)) << c.text;
            char msg[64];
            snprintf(msg, sizeof(msg), "get mac: %02x:%02x:%02x:%02x:%02x:%02x", c.bytes[0], c.bytes[1],
                     c.bytes[2], c.bytes[3], c.bytes[4], c.bytes[5]);
            EXPECT_LOGGED(cap, "INFO", msg);
        } else {
            for (int i = 0; i < 6; i++) EXPECT_EQ(0xEE, out[i]) << c.text << ": failure writes nothing";
            if (c.ret == 600005)
                EXPECT_LOGGED(cap, "WARN", std::string("MAC length error: ") + c.text +
                                            "! len:" + std::to_string(strlen(c.text)));
            else
                EXPECT_LOGGED(cap, "WARN", std::string("config item error: ") + c.text + "!");
        }
        EXPECT_EQ(0xEE, out[6]) << c.text << ": nothing beyond six bytes";
    }
    uint8_t out[6];
    EXPECT_EQ(600005, CGtConfig::HexStr2Mac(nullptr, out));
    EXPECT_EQ(600005, CGtConfig::HexStr2Mac("01:02:03:04:05:06", nullptr));
}

TEST(ConfigAddressText, Ipv4Texts) {
    struct Case {
        const char* text;
        int32_t ret;
        int cnt;
        uint8_t bytes[4];
    } cases[] = {
        {"192.168.1.10", 0, 4, {0xC0, 0xA8, 0x01, 0x0A}},
        {"0.0.0.0", 0, 4, {0, 0, 0, 0}},
        {"239-1-2-3", 0, 4, {239, 1, 2, 3}},
        {"10.20.30", 600007, 3, {}},       // three numbers
        {"1.2.3.4.5", 600007, 4, {}},      // five numbers: refused
        {"1.2.3.256", 600007, 3, {}},      // not a byte
        {"1.2.3.4.", 600007, 4, {}},       // something after the fourth
        {"1..2.3.4", 600007, 1, {}},       // empty number
        {"1.2.3.0004", 600007, 3, {}},     // four digits
        {"1.2.3", 600005, 0, {}},          // 5 characters: the length check comes first
        {"100.100.100.1000", 600005, 0, {}},
    };
    for (const Case& c : cases) {
        uint8_t out[6];
        memset(out, 0xEE, sizeof(out));
        LogCapture cap;
        EXPECT_EQ(c.ret, CGtConfig::DesStr2IpV4(c.text, out)) << c.text;
        if (c.ret == 0) {
            EXPECT_EQ(0, memcmp(out, c.bytes, 4)) << c.text;
            char msg[64];
            snprintf(msg, sizeof(msg), "get ip: %d:%d:%d:%d", c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]);
            EXPECT_LOGGED(cap, "INFO", msg);
        } else {
            for (int i = 0; i < 4; i++) EXPECT_EQ(0xEE, out[i]) << c.text;
            if (c.ret == 600005)
                EXPECT_LOGGED(cap, "WARN", std::string("ip length error: ") + c.text +
                                            "! len:" + std::to_string(strlen(c.text)));
            else
                EXPECT_LOGGED(cap, "WARN", std::string("config item error, src: ") + c.text +
                                            "! cnt:" + std::to_string(c.cnt));
        }
        EXPECT_EQ(0xEE, out[4]) << c.text << ": nothing beyond four bytes";
    }
}

}  // namespace
