// The shipped sample files: data/cfg.xml, the bin the build encodes from it,
// and data/quay.ini. Later parts test and demonstrate on them, so every
// register part that bring-up may select must load and be consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "log_capture.h"
#include "gt_config.h"
#include "xmlHelper.h"
#include "test_util.h"

namespace {

const std::string kSrcData = std::string(QUAY_SOURCE_DIR) + "/data";
const std::string kBinDir = std::string(QUAY_BINARY_DIR) + "/data";

// Parts named by device bring-up, old layout and fallbacks, plus new-layout
// names.
const char* kParts[] = {"sz_tcp_net_x", "sz_tcp_net",   "sz_udp_all_e", "sz_udp_net",     "sh_tcp_net_pio",
                        "sz_bfmdgw_e",  "sz_tcp_net_e_p", "sz_tcp_net_p", "sz_udp_net_p", "sh_tcp_all_e",
                        "sh_tcp_local", "sh_tcp_l1l2_local"};

const CFG_CLASS_e kClasses[] = {CFGCLASS_CFG, CFGCLASS_CFGFILE, CFGCLASS_TRAFIC, CFGCLASS_MON, CFGCLASS_DEBUG};

class SampleTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldDir = g_sXmlDirect;
        g_sXmlDirect = kBinDir;
    }
    void TearDown() override { g_sXmlDirect = m_oldDir; }
    std::string m_oldDir;
};

std::vector<std::string> AllPartNames() {
    tinyxml2::XMLDocument doc;
    std::vector<std::string> out;
    if (doc.LoadFile((kSrcData + "/cfg.xml").c_str()) != tinyxml2::XML_SUCCESS) return out;
    for (auto* c = doc.FirstChildElement("Cores")->FirstChildElement("Core"); c; c = c->NextSiblingElement("Core"))
        out.push_back(c->Attribute("name"));
    return out;
}

// Byte span [first, last] of a register in the units of its offset.
std::pair<uint64_t, uint64_t> Span(const CfgDes_t& d) {
    uint64_t len;
    switch (d.eType) {
        case CFGDES_TYPE_mac:
        case CFGDES_TYPE_mac_MCAST_DST: len = 6; break;
        case CFGDES_TYPE_ipv4:
        case CFGDES_TYPE_ipv4_MCAST_DST: len = 4; break;
        case CFGDES_TYPE_MUTI_INT: len = 4 * d.nDefVal; break;
        default: len = (d.tRegDes.bitOffset + d.tRegDes.bitWidth + 7) / 8; break;
    }
    // Fields are written through 64-bit read-modify-write.
    if (d.eType == CFGDES_TYPE_int && !(d.tRegDes.bitOffset == 0 &&
                                        (d.tRegDes.bitWidth == 8 || d.tRegDes.bitWidth == 16 ||
                                         d.tRegDes.bitWidth == 32 || d.tRegDes.bitWidth == 64)))
        len = 8;
    if (d.eType == CFGDES_TYPE_date) len = 8;
    return {d.tRegDes.byteOffset, d.tRegDes.byteOffset + len - 1};
}

TEST_F(SampleTest, BuiltBinIsTheEncodedDocumentAndEveryPartLoads) {
    qtest::TempDir tmp("cfgsample");
    ASSERT_EQ(0, CXmlHelper::EnDecodeFile((kBinDir + "/bin").c_str(), (tmp / "cfg.xml").c_str(), false));
    EXPECT_TRUE(qtest::ReadFile(tmp / "cfg.xml") == qtest::ReadFile(kSrcData + "/cfg.xml"))
        << "build/data/bin is stale or wrong";

    std::vector<std::string> all = AllPartNames();
    for (const char* p : kParts) EXPECT_NE(all.end(), std::find(all.begin(), all.end(), p)) << p;
    for (const std::string& p : all) {
        CXmlHelper x;
        ASSERT_EQ(0, x.LoadFromFile(p, nullptr)) << p;
        for (CFG_CLASS_e c : kClasses) {
            CfgDesIter it;
            EXPECT_NE(nullptr, x.ScanStart(c, it)) << p << ": class " << c << " has registers";
        }
    }
}

TEST_F(SampleTest, DocumentUsesEveryTypeAndEachPartIsConsistent) {
    std::set<int> types;
    // Registers of the service itself and the subscription filter.
    const std::pair<uint64_t, uint64_t> fixed[] = {
        {0, 0x3f},          {0x100, 0x101},     {0x1000, 0x1001},  {0x1014, 0x101b},
        {0x2020, 0x2023},   {0x2030, 0x2033},   {0x10000, 0x5ffff},
    };
    for (const std::string& p : AllPartNames()) {
        CXmlHelper x;
        ASSERT_EQ(0, x.LoadFromFile(p, nullptr)) << p;
        std::set<std::string> names;
        std::vector<const CfgDes_t*> regs;
        for (CFG_CLASS_e c : kClasses) {
            CfgDesIter it;
            for (CfgDes_t* d = x.ScanStart(c, it); d; d = x.ScanNext(it)) {
                types.insert(d->eType);
                EXPECT_TRUE(names.insert(d->name).second) << p << ": " << d->name << " twice";
                auto s = Span(*d);
                for (auto f : fixed)
                    EXPECT_TRUE(s.second < f.first || s.first > f.second)
                        << p << ": " << d->name << " at 0x" << std::hex << s.first << " hits a fixed register";
                regs.push_back(d);
            }
        }
        // No two registers share bytes, except bit fields of one register
        // whose bits are disjoint.
        for (size_t i = 0; i < regs.size(); i++)
            for (size_t j = i + 1; j < regs.size(); j++) {
                auto a = Span(*regs[i]), b = Span(*regs[j]);
                if (a.second < b.first || b.second < a.first) continue;
                const RegDes_t &ra = regs[i]->tRegDes, &rb = regs[j]->tRegDes;
                bool fields = ra.byteOffset == rb.byteOffset &&
                              (ra.bitOffset + ra.bitWidth <= rb.bitOffset || rb.bitOffset + rb.bitWidth <= ra.bitOffset);
                EXPECT_TRUE(fields) << p << ": " << regs[i]->name << " overlaps " << regs[j]->name;
            }
        // Each multicast MAC follows its group address.
        int pendingDst = 0;
        CfgDesIter it;
        for (CfgDes_t* d = x.ScanStart(CFGCLASS_CFGFILE, it); d; d = x.ScanNext(it)) {
            if (d->eType == CFGDES_TYPE_ipv4_MCAST_DST) pendingDst = 1;
            if (d->eType == CFGDES_TYPE_mac_MCAST_DST) {
                EXPECT_EQ(1, pendingDst) << p << ": " << d->name << " without an ipDst before it";
                pendingDst = 0;
            }
            // The readouts show "time" as a 64-bit and "time_yyyymmdd" as a 32-bit register.
            if (d->eType == CFGDES_TYPE_TIME) {
                EXPECT_EQ(64, d->tRegDes.bitWidth) << p << ": " << d->name;
            }
            if (d->eType == CFGDES_TYPE_TIME_YYYYMMDD) {
                EXPECT_EQ(32, d->tRegDes.bitWidth) << p << ": " << d->name;
            }
        }
        // The readouts' per-path session counters.
        for (const char* n : {"session_lost_num_path0", "session_lost_num_path1"}) {
            bool found = false;
            for (CfgDes_t* d = x.ScanStart(CFGCLASS_MON, it); d; d = x.ScanNext(it))
                if (d->name == n) {
                    found = true;
                    EXPECT_EQ(32, d->tRegDes.bitWidth);
                    EXPECT_EQ(0, d->tRegDes.bitOffset);
                    EXPECT_EQ(CFGDES_TYPE_int, d->eType);
                }
            EXPECT_TRUE(found) << p << ": " << n;
        }
    }
    EXPECT_EQ(9u, types.size()) << "every register type appears in the sample";
}

TEST_F(SampleTest, SampleIniConfiguresTheDeviceMonitorAndEveryRegister) {
    CGtConfig cfg;
    ASSERT_EQ(0, cfg.Init((kBinDir + "/quay.ini").c_str()));
    GT_CONFIG_DEVICE_INFO_t dev;
    ASSERT_EQ(0, cfg.GetCfgInfo(dev));
    EXPECT_EQ(GT_DRV_TYPE_ENYX, dev.eDrvType);
    EXPECT_TRUE(dev.subsstockid.empty()) << "the sample card's firmware has no subscription tables";
    {
        // Its example list, taken in for firmware with the tables, comes
        // with the bank geometry.
        qtest::TempDir d("cfgsample");
        std::string ini = qtest::ReadFile(kBinDir + "/quay.ini");
        const size_t at = ini.find("\n;stocks = ");
        ASSERT_NE(std::string::npos, at);
        ini.erase(at + 1, 1);
        qtest::WriteFile(d / "quay.ini", ini);
        CGtConfig withList;
        ASSERT_EQ(0, withList.Init((d / "quay.ini").c_str()));
        GT_CONFIG_DEVICE_INFO_t listed;
        ASSERT_EQ(0, withList.GetCfgInfo(listed));
        EXPECT_EQ("600000, 600036, 601318, 000001, 300750, 010", listed.subsstockid);
        EXPECT_EQ(8u, listed.ram_num);
    }
    GT_CONFIG_MONITOR_t mon;
    ASSERT_EQ(0, cfg.GetMonitorConfig(mon));

    for (const std::string& p : AllPartNames()) {
        CXmlHelper x;
        ASSERT_EQ(0, x.LoadFromFile(p, nullptr));
        CfgDesIter it;
        for (CfgDes_t* d = x.ScanStart(CFGCLASS_CFGFILE, it); d; d = x.ScanNext(it)) {
            if (d->eType == CFGDES_TYPE_mac_MCAST_DST) continue;  // derived from its group address
            std::string key = d->section + ":" + d->name;
            EXPECT_TRUE(cfg.HasConfigItem(key.c_str())) << p << ": " << key;
            std::string v = cfg.GetConfigString(key.c_str(), "");
            uint8_t buf[6];
            if (d->eType == CFGDES_TYPE_mac) {
                EXPECT_EQ(0, CGtConfig::HexStr2Mac(v.c_str(), buf)) << key;
            }
            if (d->eType == CFGDES_TYPE_ipv4 || d->eType == CFGDES_TYPE_ipv4_MCAST_DST) {
                EXPECT_EQ(0, CGtConfig::DesStr2IpV4(v.c_str(), buf)) << key;
            }
        }
    }
}

}  // namespace
