// Device bring-up: driver choice, version decoding, register addresses per
// firmware family, register part selection with fallback, and the device
// report, on the virtual card of each kind.

#include <gtest/gtest.h>

#include "svc_env.h"

using namespace svc;

namespace {

// A register description with the given parts, each holding one register
// named after the part.
std::string MiniXml(const std::vector<std::string>& parts) {
    std::string x = "<?xml version=\"1.0\"?>\n<Cores>\n";
    for (auto& p : parts) {
        x += "  <Core name=\"" + p + "\">\n    <regValue class=\"CFG\" name=\"part_" + p +
             "\" regnum=\"0x400\" bitoffset=\"0\" size=\"32\" type=\"int\"/>\n  </Core>\n";
    }
    return x + "</Cores>\n";
}

bool HasPartMarker(const std::string& part) {
    return FindDes(g_lpXmlHelper, CFGCLASS_CFG, "part_" + part) != nullptr;
}

struct Family {
    uint32_t version;
    int firm;
    uint32_t reset, tcpSrc, tcpDst, date, dateTrue, hwVer;
    const char* part;
};

// Old-layout families with the addresses they fix (starting from the
// defaults of a PCIe card) and the part they load from the sample file.
const Family kFamilies[] = {
    {0x1005, 1, 256, 8240, 8224, 0, 32, 8, "sz_tcp_net_x"},
    {0x2010, 3, 21, 8240, 8224, 29, 29, 26, "sz_udp_all_e"},
    {0x3010, 3, 21, 8240, 8224, 29, 29, 26, "sz_udp_all_e"},
    {0x4001, 4, 4096, 4116, 4120, 29, 29, 8, "sh_tcp_net_pio"},
    {0x5001, 5, 21, 8240, 8224, 29, 29, 26, "sz_bfmdgw_e"},
    {0x8001, 8, 21, 8240, 8224, 0, 32, 8, "sz_tcp_net_e_p"},
    {0x9001, 9, 0, 0, 0, 0, 32, 8, "sz_udp_net_p"},
    {0xC020, 12, 21, 0, 0, 29, 29, 26, "sh_tcp_all_e"},
};

}  // namespace

TEST(BringUpVersion, NewLayoutNamesAndDescriptions) {
    qtest::TempDir logDir;
    Log log(logDir.path());
    struct {
        uint32_t v;
        const char* part;
        const char* desc;
    } cases[] = {
        {0x21320105, "sh_tcp_l1l2_local", "ShangHai Mdgw.Behind Mdgw TCP. L1+L2 Local version. Firmware version: 1.05 "},
        {0x12110203, "sz_udp_l1_net", "ShenZhen Mdgw. Behind Mdgw MULTICAST. L1 Network version. Firmware version: 2.03 "},
        {0x13420a10, "sz_bftcp_t2s_local", "BF Mdgw TCP. t2s "},
        {0x14220101, "sz_bfudp_l2_local", "BF Mdgw MULTICAST. L2 "},
        {0x31320105, "tcp_l1l2_local", "Info:Behind Mdgw TCP. "},  // exchange 3: no prefix
        {0x20000000, "sh_", "Firmware version: 0.00 "},
        {0x00010000, "net", "Network version. "},
    };
    for (auto& c : cases) {
        uint32_t code = 1;
        std::string part = "unchanged";
        size_t mark = log.Mark();
        g_bIsNewFpgaverRule = false;
        EXPECT_EQ(0, GetFpgaVer(c.v, code, part));
        EXPECT_EQ(c.part, part);
        EXPECT_EQ(c.v & 0xFFFF0000u, code);
        EXPECT_TRUE(g_bIsNewFpgaverRule);
        std::string text = log.Since(mark);
        EXPECT_NE(std::string::npos, text.find(c.desc)) << text;
        char head[64];
        snprintf(head, sizeof(head), "Fpga version 0x%x, Info:", c.v);
        EXPECT_NE(std::string::npos, text.find(head)) << text;
        EXPECT_NE(std::string::npos, text.find(std::string("Will search register section:\"") + c.part + "\""));
    }
    // Old layout: code from bits 12-15, part name untouched.
    uint32_t code = 0;
    std::string part = "keep";
    g_bIsNewFpgaverRule = false;
    EXPECT_EQ(0, GetFpgaVer(0xC020, code, part));
    EXPECT_EQ(12u, code);
    EXPECT_EQ("keep", part);
    EXPECT_FALSE(g_bIsNewFpgaverRule);
    EXPECT_NE(std::string::npos, log.Text().find("Old Fpga version rule. Fpga version val 0xc020"));
}

TEST(BringUpXdma, EveryFamilyFixesItsAddressesAndLoadsItsPart) {
    Card card(kXdma);
    ASSERT_TRUE(card.binOk());
    for (const Family& f : kFamilies) {
        card.PokeLE(6, f.version, 4);
        size_t mark = card.LogMark();
        EXPECT_EQ(0, card.Run([&] {
            Service s;
            ASSERT_EQ(0, s.initRet);
            EXPECT_EQ(GT_DRV_TYPE_XDMA, s.svc->GetDeviceDrvType());
            EXPECT_EQ(0, s.runRet);
            EXPECT_EQ(f.firm, (int)g_eFirmVersion);
            EXPECT_EQ(f.reset, g_fpgaResetAddr);
            EXPECT_EQ(f.tcpSrc, g_fpgaTcpSrcIpAddr);
            EXPECT_EQ(f.tcpDst, g_fpgaTcpDstIpAddr);
            EXPECT_EQ(f.date, g_fpgaDateAddr);
            EXPECT_EQ(f.dateTrue, g_fpgaDateTrueAddr);
            EXPECT_EQ(f.hwVer, g_fpgaHwVerAddr);
            EXPECT_EQ(6u, g_fpgaVerAddr);
            EXPECT_EQ(19u, g_fpgaCurDataAddr);
            EXPECT_FALSE(g_bIsNewFpgaverRule);
            ASSERT_NE(nullptr, g_lpXmlHelper);
            EXPECT_EQ(g_lpXmlHelper, s.svc->GetParamInfo());
            EXPECT_FALSE(g_lpXmlHelper->m_listCfgFile.empty());
        })) << std::hex << f.version;
        std::string log = card.LogSince(mark);
        EXPECT_NE(std::string::npos, log.find(std::string("Successly Read register part:\"") + f.part + "\""))
            << std::hex << f.version << log;
        EXPECT_NE(std::string::npos, log.find("Inited XDMA!"));
        EXPECT_NE(std::string::npos, log.find("Fpga device init success."));
    }

    // New layout: reset 21, dates 0/32, the built part name, family untouched.
    card.PokeLE(6, 0x21320105, 4);
    EXPECT_EQ(0, card.Run([&] {
        Service s;
        EXPECT_EQ(0, s.runRet);
        EXPECT_TRUE(g_bIsNewFpgaverRule);
        EXPECT_EQ(21u, g_fpgaResetAddr);
        EXPECT_EQ(0u, g_fpgaDateAddr);
        EXPECT_EQ(32u, g_fpgaDateTrueAddr);
        EXPECT_EQ(0u, g_fpgaTcpSrcIpAddr);
        EXPECT_EQ(5, (int)g_eFirmVersion);
        EXPECT_NE(nullptr, FindDes(g_lpXmlHelper, CFGCLASS_CFGFILE, "local_ip"));
    }));
    EXPECT_NE(std::string::npos, card.LogText().find("Successly Read register part:\"sh_tcp_l1l2_local\""));
}

TEST(BringUpXdma, FallbackPartsMissingPartsAndUnknownVersions) {
    Card card(kXdma);
    // Only the fallbacks of codes 1, 2/3 and 8 exist; code 12 has neither part.
    ASSERT_TRUE(card.SetXml(MiniXml({"sz_tcp_net", "sz_udp_net", "sz_tcp_net_p"})));
    struct {
        uint32_t v;
        int ret;
        const char* part;
    } cases[] = {
        {0x1005, 0, "sz_tcp_net"}, {0x2001, 0, "sz_udp_net"}, {0x8001, 0, "sz_tcp_net_p"},
        {0xC020, 600004, nullptr}, {0x7000, 600006, nullptr}, {0x0000, 600006, nullptr},
        {0x4001, 0, nullptr},  // no fallback: bring-up goes on with an empty catalogue
        {0x21320105, 0, nullptr},
    };
    for (auto& c : cases) {
        card.PokeLE(6, c.v, 4);
        size_t mark = card.LogMark();
        EXPECT_EQ(0, card.Run([&] {
            Service s;
            ASSERT_EQ(0, s.initRet);
            EXPECT_EQ(c.ret, s.runRet);
            if (c.part) {
                EXPECT_TRUE(HasPartMarker(c.part));
            } else if (c.ret == 0) {
                ASSERT_NE(nullptr, s.svc->GetParamInfo());
                EXPECT_TRUE(s.svc->GetParamInfo()->m_listCfg.empty());
            } else {
                EXPECT_EQ(nullptr, s.svc->GetParamInfo());
            }
        })) << std::hex << c.v;
        std::string log = card.LogSince(mark);
        if (c.v == 0xC020) {
            EXPECT_NE(std::string::npos, log.find("Load xml file fail, register part name sh_tcp_all_e and "
                                                  "sh_tcp_local not found. The bin file may not match."));
        }
        if (c.v == 0x7000) {
            EXPECT_NE(std::string::npos, log.find("Unknow FPGA version 0x7000"));
        }
        if (c.v == 0x4001) {
            EXPECT_NE(std::string::npos, log.find("Unable to Read register part:\"sh_tcp_net_pio\""));
        }
    }
}

// A firmware family is one row of the table: bring-up of an added row fixes
// the row's addresses, loads its part (here its fallback) and the service
// then works on them; a row without a part is known to the report only.
TEST(BringUpXdma, AddedFamilyRowDrivesBringUpAndReport) {
    Card card(kXdma);
    ASSERT_TRUE(card.SetXml(MiniXml({"fake_fallback"})));
    card.PokeLE(6, 0x7abc, 2);
    card.PokeLE(0x200, 0xFFFFFFFF, 4);
    card.PokeLE(0x204, 0xFFFFFFFF, 4);
    const uint32_t K = FPGA_ADDR_KEEP;
    EXPECT_EQ(0, card.Run([&] {
        std::vector<FpgaFamily_t> table(g_tBuiltInFpgaFamilies, g_tBuiltInFpgaFamilies + g_nBuiltInFpgaFamilies);
        table.push_back({7, (FPGA_FIRM_VERSION_e)7, "FAKE_FAMILY", 0x120, 0x200, 0x204, 0x30, 0x34, K, 0x40,
                         "fake_part", "fake_fallback"});
        table.push_back({6, (FPGA_FIRM_VERSION_e)6, "REPORT_ONLY", 1, 1, 1, 1, 1, 1, 1, nullptr, nullptr});
        g_lpFpgaFamilies = table.data();
        g_nFpgaFamilies = table.size();

        Service s;
        ASSERT_EQ(0, s.initRet);
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(7, (int)g_eFirmVersion);
        EXPECT_EQ(0x120u, g_fpgaResetAddr);
        EXPECT_EQ(0x200u, g_fpgaTcpSrcIpAddr);
        EXPECT_EQ(0x204u, g_fpgaTcpDstIpAddr);
        EXPECT_EQ(0x30u, g_fpgaDateAddr);
        EXPECT_EQ(0x34u, g_fpgaDateTrueAddr);
        EXPECT_EQ(8u, g_fpgaHwVerAddr);  // kept
        EXPECT_EQ(0x40u, g_fpgaCurDataAddr);
        EXPECT_TRUE(HasPartMarker("fake_fallback"));
        EXPECT_EQ(0, s.svc->ClearFpgaConfig());
        card.PokeLE(8, 0x2000, 2);  // after the 32-bit version read: a board without report
        EXPECT_EQ(0, ShowHwDeviceInfo(s.svc));

        // The report-only row: bring-up refuses the code, the report names it.
        card.PokeLE(6, 0x6001, 4);
        EXPECT_EQ(600006, SetFpgaRunningInfo(s.svc));
        card.PokeLE(8, 0x2000, 2);
        EXPECT_EQ(0, ShowHwDeviceInfo(s.svc));
        g_lpFpgaFamilies = g_tBuiltInFpgaFamilies;
        g_nFpgaFamilies = g_nBuiltInFpgaFamilies;
    }));
    EXPECT_EQ(0u, card.PeekLE(0x200, 4));
    EXPECT_EQ(0u, card.PeekLE(0x204, 4));
    std::string log = card.LogText();
    EXPECT_NE(std::string::npos, log.find("Successly Read register part:\"fake_fallback\"")) << log;
    EXPECT_NE(std::string::npos, log.find("FAKE_FAMILY with version abc")) << log;
    EXPECT_NE(std::string::npos, log.find("Unknow FPGA version 0x6001")) << log;
    EXPECT_NE(std::string::npos, log.find("REPORT_ONLY with version 001")) << log;
}

TEST(BringUpXdma, BadConfigurationsAndDevicesFail) {
    Card card(kXdma);
    // No quay.ini at all.
    std::string ini = qtest::ReadFile(card.dir() + "/quay.ini");
    unlink((card.dir() + "/quay.ini").c_str());
    EXPECT_EQ(0, card.Run([&] {
        Service s(false);
        EXPECT_EQ(-1, s.initRet);
        EXPECT_FALSE(s.svc->IsInited());
    }));
    EXPECT_NE(std::string::npos, card.LogText().find("config init failed! ret:600004"));

    // A missing device key.
    card.SetIniText(EditIni(ini, {{"device:dev_read", "\x7f"}}));
    EXPECT_EQ(0, card.Run([&] { EXPECT_EQ(-1, Service(false).initRet); }));
    EXPECT_NE(std::string::npos, card.LogText().find("Get device infomation failed! ret:600007"));

    // A device file that is not there.
    card.SetIniText(EditIni(ini, {{"device:dev_write", card.dir() + "/nope"}}));
    EXPECT_EQ(0, card.Run([&] {
        Service s(false);
        EXPECT_EQ(-1, s.initRet);
        EXPECT_EQ(nullptr, g_lpDrv);
    }));
    EXPECT_NE(std::string::npos, card.LogText().find("Init XDMA failed! ret:600003"));

    // A version register the card cannot deliver reads as an unknown version.
    card.SetIniText(ini);
    EXPECT_EQ(0, truncate((card.dir() + "/card.regs").c_str(), 4));
    EXPECT_EQ(0, card.Run([&] {
        Service s;
        EXPECT_EQ(0, s.initRet);
        EXPECT_EQ(600006, s.runRet);
    }));
    EXPECT_NE(std::string::npos, card.LogText().find("Unknow FPGA version 0x0"));

    // Service pieces without bring-up.
    EXPECT_EQ(0, qtest::RunInChild([] {
        EXPECT_EQ(-1, FpgaDeviceinit(nullptr));
        EXPECT_EQ(600005, SetFpgaRunningInfo(nullptr));
        CGtFpgaService svc;
        EXPECT_EQ(600005, svc.Init(nullptr, nullptr));
        CGtConfig cfg;  // nothing loaded
        CountingDrv dummy(nullptr);  // never called
        EXPECT_EQ(600004, svc.Init(&dummy, &cfg));
    }));
}

TEST(BringUpXdma, DeviceReport) {
    Card card(kXdma);
    card.PokeLE(0, 0x32A5021E, 6);  // build date at g_fpgaDateAddr 0
    card.PokeLE(6, 0x8123, 2);      // SZ_TCP_NET_P 0x123
    card.PokeLE(8, 0x1203, 2);      // Xilinx U280 rev 03
    card.PokeLE(10, 0x3, 1);        // L1 and L2
    size_t mark = card.LogMark();
    EXPECT_EQ(0, card.Run([&] {
        Service s(false);
        ASSERT_EQ(0, s.initRet);
        EXPECT_EQ(0, ShowHwDeviceInfo(s.svc));
    }));
    std::string log = card.LogSince(mark);
    EXPECT_NE(std::string::npos, log.find("X U280 with version 03"));
    EXPECT_NE(std::string::npos, log.find("SZ_TCP_NET_P with version 123"));
    EXPECT_NE(std::string::npos, log.find("Support L1 "));
    EXPECT_NE(std::string::npos, log.find("Support L2 "));
    EXPECT_NE(std::string::npos, log.find("version date: 2025.05.05.08:30"));

    struct {
        uint16_t hw, ver;
        int ret;
        const char* msg;
    } cases[] = {
        {0x1101, 0x1001, 0, "X U200 with version 01"},   {0x1310, 0x2001, 0, "X U50 with version 10"},
        {0x2000, 0xC020, 0, "SH_TCP_LOCAL_E with version 020"},
        {0x1401, 0x3005, 0, "SZ_MCAST_LOCAL with version 005"},
        {0x3000, 0x1001, 600006, "Unknow HW, value:0x3"}, {0x1101, 0x7001, 600006, "Unknow FPGA version, 0x7"},
        {0x1101, 0x4001, 0, "SH_TCP_NET with version 001"}, {0x1101, 0x5001, 0, "SZ_UDP_MDGW_BF with version 001"},
        {0x1101, 0x9001, 0, "SZ_MCAST_NET_P with version 001"},
        {0x1101, 0xA001, 0, "SZ_MCAST_LOCAL_P with version 001"},
    };
    card.PokeLE(10, 0x0, 1);
    for (auto& c : cases) {
        card.PokeLE(6, c.ver, 2);
        card.PokeLE(8, c.hw, 2);
        mark = card.LogMark();
        EXPECT_EQ(0, card.Run([&] {
            Service s(false);
            EXPECT_EQ(c.ret, ShowHwDeviceInfo(s.svc));
        }));
        log = card.LogSince(mark);
        EXPECT_NE(std::string::npos, log.find(c.msg)) << c.msg << "\n" << log;
        EXPECT_EQ(std::string::npos, log.find("Support L"));
        if (c.hw == 0x2000 || c.hw == 0x1401) {
            EXPECT_EQ(std::string::npos, log.find("X U")) << log;
        }
    }
}

TEST(BringUpEnyx, VersionAtRegister28AndEnyxFamilies) {
    Card card(kEnyx);
    card.PokeLE(6, 0x1005, 4);     // what a PCIe card would read
    card.PokeLE(28, 0xC020, 4);    // what the Enyx card reads
    EXPECT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.initRet);
        EXPECT_EQ(GT_DRV_TYPE_ENYX, s.svc->GetDeviceDrvType());
        EXPECT_EQ(0, s.runRet);
        EXPECT_EQ(28u, g_fpgaVerAddr);
        EXPECT_EQ(26u, g_fpgaHwVerAddr);  // code 12 moves it from 27
        EXPECT_EQ(27u, g_fpgaFunAddr);
        EXPECT_EQ(12, (int)g_eFirmVersion);
        EXPECT_EQ(21u, g_fpgaResetAddr);
    }));
    std::string log = card.LogText();
    EXPECT_NE(std::string::npos, log.find("Inited HPF!"));
    EXPECT_NE(std::string::npos, log.find("Successly Read register part:\"sh_tcp_all_e\""));

    // A core the card does not have.
    card.WriteIni({{"device:dev_write", ""}, {"device:dev_read", ""}, {"device:core_id", "999"}, {"device:bus_id", "0"}});
    EXPECT_EQ(0, card.Run([&] { EXPECT_EQ(-1, Service(false).initRet); }));
    EXPECT_NE(std::string::npos, card.LogText().find("Init New drive failed! ret:-1"));
}

