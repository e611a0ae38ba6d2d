// Readouts: line formats, print and record modes, session-loss increments,
// the monitor maps (also read from another thread), and failing reads.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "svc_checks.h"

using namespace svc;

namespace {

std::string Pad(const std::string& name) { return std::string(name.size() < 30 ? 30 - name.size() : 0, ' ') + name; }

std::string R(const std::string& cls, const std::string& name, unsigned off, unsigned bitoff, unsigned size,
              const std::string& type, unsigned defval = 0) {
    char b[256];
    snprintf(b, sizeof(b),
             "    <regValue class=\"%s\" %sname=\"%s\" regnum=\"0x%x\" bitoffset=\"%u\" size=\"%u\" type=\"%s\"%s/>\n",
             cls.c_str(), cls == "CFGFILE" ? "section=\"r\" " : "", name.c_str(), off, bitoff, size, type.c_str(),
             cls == "CFGFILE" ? (" defval=\"" + std::to_string(defval) + "\"").c_str() : "");
    return b;
}

std::string ReadoutXml(const std::string& extraTraffic = "") {
    return "<?xml version=\"1.0\"?>\n<Cores>\n  <Core name=\"sz_tcp_net_x\">\n" +
           R("CFG", "r_int8", 0x400, 0, 8, "int") + R("CFG", "r_int16", 0x408, 0, 16, "int") +
           R("CFG", "r_int32", 0x410, 0, 32, "int") + R("CFG", "r_int64", 0x418, 0, 64, "int") +
           R("CFG", "r_field", 0x420, 4, 3, "int") + R("CFG", "r_mac", 0x428, 0, 48, "mac") +
           R("CFG", "r_ip", 0x430, 0, 32, "ipv4") + R("CFG", "r_date", 0x438, 0, 31, "date") +
           R("CFG", "r_time", 0x450, 0, 64, "time") + R("CFG", "r_day", 0x458, 0, 32, "time_yyyymmdd") +
           R("CFG", "r_badtime", 0x460, 0, 32, "time") + R("CFGFILE", "c_list", 0x480, 0, 32, "mutiInt", 3) +
           R("CFGFILE", "c_grp", 0x490, 0, 32, "ipDst") + R("CFGFILE", "c_grpmac", 0x498, 0, 48, "macDst") +
           R("TRAFIC", "rx_pkt", 0x500, 0, 64, "int") + extraTraffic +
           R("MON", "session_lost_num_path0", 0x600, 0, 32, "int") +
           R("MON", "session_lost_num_path1", 0x608, 0, 32, "int") + R("MON", "mon_ip", 0x610, 0, 32, "ipv4") +
           R("DEBUG", "dbg_cnt", 0x700, 0, 32, "int") + R("DEBUG", "dbg_field", 0x708, 4, 3, "int") +
           "  </Core>\n</Cores>\n";
}

void PresetReadout(const Card& card) {
    card.PokeLE(6, 0x1005, 4);
    card.PokeLE(0x400, 0x7F, 1);
    card.PokeLE(0x408, 0x1234, 2);
    card.PokeLE(0x410, 100000, 4);
    card.PokeLE(0x418, 0x123456789ull, 8);
    card.PokeLE(0x420, 0xF0, 8);
    card.Poke(0x428, Bytes({6, 5, 4, 3, 2, 1}));
    card.Poke(0x430, Bytes({4, 3, 2, 1}));
    card.PokeLE(0x438, 0x32A5021E, 8);
    card.PokeLE(0x450, 20250225000000000ull, 8);
    card.PokeLE(0x458, 20250225, 4);
    card.PokeLE(0x480, 7, 4);
    card.PokeLE(0x484, 8, 4);
    card.PokeLE(0x488, 9, 4);
    card.PokeLE(0x500, 42, 8);
    card.PokeLE(0x600, 5, 4);
    card.PokeLE(0x608, 3, 4);
    card.PokeLE(0x700, 11, 4);
    card.PokeLE(0x708, 0xF0, 8);
}

std::string Line(CGtFpgaService* svc, const char* name, OUTPUT_TYPE_e type) {
    const CfgDes_t* d = nullptr;
    for (CFG_CLASS_e c : {CFGCLASS_CFG, CFGCLASS_CFGFILE, CFGCLASS_TRAFIC, CFGCLASS_MON, CFGCLASS_DEBUG})
        if (!d) d = FindDes(g_lpXmlHelper, c, name);
    EXPECT_NE(nullptr, d) << name;
    if (!d) return "";
    char buf[512] = "stale";
    EXPECT_EQ(0, svc->ReadAndPrintParam(d, type, buf, sizeof(buf)));
    return buf;
}

std::unique_ptr<Card> ReadoutCard(CardKind kind = kXdma) {
    std::unique_ptr<Card> c(new Card(kind));
    EXPECT_TRUE(c->SetXml(ReadoutXml()));
    PresetReadout(*c);
    return c;
}

}  // namespace

TEST(Readout, DetailedAndPlainLineOfEveryType) {
    auto card = ReadoutCard();
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        CGtFpgaService* v = s.svc;
        const OUTPUT_TYPE_e D = OUTPUT_BUFFER, P = OUTPUT_BUFFER_CLEAN;
        EXPECT_EQ(Pad("r_int8") + ": ( 0x400 ) ( 0x7f ): 127       \n", Line(v, "r_int8", D));
        EXPECT_EQ(Pad("r_int8") + ": 127       \n", Line(v, "r_int8", P));
        EXPECT_EQ(Pad("r_int16") + ": ( 0x408 ) ( 0x1234 ): 4660      \n", Line(v, "r_int16", D));
        EXPECT_EQ(Pad("r_int32") + ": 100000    \n", Line(v, "r_int32", P));
        EXPECT_EQ(Pad("r_int64") + ": ( 0x418 ) ( 0x123456789 ): 4886718345\n", Line(v, "r_int64", D));
        EXPECT_EQ(Pad("r_int64") + ": 4886718345\n", Line(v, "r_int64", P));
        EXPECT_EQ(Pad("r_field") + ": ( 0x420 ) ( 0xf0 ): Hex: 0x7, Dec: 7\n", Line(v, "r_field", D));
        EXPECT_EQ(Pad("r_field") + ": Hex: 0x7, Dec: 7\n", Line(v, "r_field", P));
        EXPECT_EQ(Pad("r_mac") + ": ( 0x428 ) 01:02:03:04:05:06\n", Line(v, "r_mac", D));
        EXPECT_EQ(Pad("r_mac") + ": 01:02:03:04:05:06\n", Line(v, "r_mac", P));
        EXPECT_EQ(Pad("r_ip") + ": ( 0x430 ) 1.2.3.4\n", Line(v, "r_ip", D));
        EXPECT_EQ(Pad("r_ip") + ": 1.2.3.4\n", Line(v, "r_ip", P));
        EXPECT_EQ(Pad("r_date") + ": ( 0x438 ) ( 0x32a5021e ): 2025.05.05 08:30\n", Line(v, "r_date", D));
        EXPECT_EQ(Pad("r_date") + ": 2025.05.05 08:30\n", Line(v, "r_date", P));
        EXPECT_EQ(Pad("r_time") + ": ( 0x450 ) ( 0x47f178ebbf2a00 ): 20250225000000000\n", Line(v, "r_time", D));
        EXPECT_EQ(Pad("r_day") + ": ( 0x458 ) ( 0x134fe71 ): 20250225  \n", Line(v, "r_day", D));
        EXPECT_EQ(Pad("r_day") + ": 20250225  \n", Line(v, "r_day", P));
        EXPECT_EQ(Pad("c_list") + ": 7, 8, 9, \n", Line(v, "c_list", D));
        EXPECT_EQ(Pad("dbg_field") + ": ( 0x708 ) ( 0xf0 ): Hex: 0x7, Dec: 7\n", Line(v, "dbg_field", D));
        // A "time" register that is not 64 bits wide writes no line.
        EXPECT_EQ("stale", Line(v, "r_badtime", D));
        // The first plain reading of the session-loss counters: increment from 0.
        EXPECT_EQ(Pad("session_lost_num_path0") + ": 5         \n" + Pad("session_lost_num_path0_incr") +
                      ": 5         \n",
                  Line(v, "session_lost_num_path0", P));
        EXPECT_EQ(Pad("session_lost_num_path1") + ": ( 0x608 ) ( 0x3 ): 3         \n",
                  Line(v, "session_lost_num_path1", D));
        // Cut to the buffer.
        char small[8];
        const CfgDes_t* d = FindDes(g_lpXmlHelper, CFGCLASS_CFG, "r_ip");
        EXPECT_EQ(0, v->ReadAndPrintParam(d, P, small, sizeof(small)));
        EXPECT_EQ(Pad("r_ip").substr(0, 7), std::string(small));
    }));
    EXPECT_NE(std::string::npos, card->LogText().find("Unknown bit witdth, width:32."));
}

TEST(Readout, MonitorMapsKindsAndValues) {
    auto card = ReadoutCard();
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        CGtFpgaService* v = s.svc;
        CXmlHelper* x = g_lpXmlHelper;
        uint8_t kind = 9;
        uint64_t val = 77;
        std::string text = "keep";
        // Before InitMonitor nothing is in the maps.
        EXPECT_EQ(0, v->ReadMonitorConfiguration(FindDes(x, CFGCLASS_CFG, "r_int8"), kind, val, text));
        EXPECT_EQ(0, kind);
        EXPECT_EQ(77u, val);
        EXPECT_EQ(0, v->InitMonitor());
        EXPECT_EQ(0, v->ReadFpgaConfiguration(READ_MODE_PRINT));
        EXPECT_EQ(0, v->ReadMonitor(READ_MODE_PRINT));
        EXPECT_EQ(0, v->ReadStatistics(READ_MODE_PRINT));

        struct {
            CFG_CLASS_e cls;
            const char* name;
            bool stat;
            int kind;
            uint64_t value;
            const char* text;
        } cases[] = {
            {CFGCLASS_CFG, "r_int8", false, 1, 127, ""},
            {CFGCLASS_CFG, "r_int64", false, 1, 0x123456789ull, ""},
            {CFGCLASS_CFG, "r_field", false, 1, 7, ""},
            {CFGCLASS_CFG, "r_mac", false, 2, 0, "01:02:03:04:05:06"},
            {CFGCLASS_CFG, "r_ip", false, 2, 0, "1.2.3.4"},
            {CFGCLASS_CFG, "r_date", false, 0, 0x32A5021E, "2025.05.05 08:30"},
            {CFGCLASS_CFG, "r_time", false, 0, 20250225000000000ull, ""},
            {CFGCLASS_CFG, "r_day", false, 0, 0, ""},
            {CFGCLASS_CFGFILE, "c_list", false, 2, 0, ""},
            {CFGCLASS_CFGFILE, "c_grp", false, 2, 0, "0.0.0.0"},
            {CFGCLASS_MON, "session_lost_num_path0", true, 1, 5, ""},
            {CFGCLASS_MON, "mon_ip", true, 2, 0, "0.0.0.0"},
        };
        for (auto& c : cases) {
            const CfgDes_t* d = FindDes(x, c.cls, c.name);
            ASSERT_NE(nullptr, d) << c.name;
            kind = 9;
            val = 99;
            text = "x";
            if (c.stat)
                EXPECT_EQ(0, v->ReadMonitorStat(d, kind, val, text));
            else
                EXPECT_EQ(0, v->ReadMonitorConfiguration(d, kind, val, text));
            EXPECT_EQ(c.kind, kind) << c.name;
            EXPECT_EQ(c.value, val) << c.name;
            EXPECT_EQ(c.text, text) << c.name;
            // The other map does not hold it.
            kind = 9;
            if (c.stat)
                v->ReadMonitorConfiguration(d, kind, val, text);
            else
                v->ReadMonitorStat(d, kind, val, text);
            EXPECT_EQ(0, kind) << c.name;
        }
        // A debug register read by the statistics readout is in no map.
        kind = 9;
        val = 5;
        v->ReadMonitorStat(FindDes(x, CFGCLASS_DEBUG, "dbg_cnt"), kind, val, text);
        EXPECT_EQ(0, kind);
        EXPECT_EQ(5u, val);
    }));
}

TEST(Readout, PrintRecordModesAndIncrements) {
    auto card = ReadoutCard();
    const std::string head = "******** Read Traffic Info ********";
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        CGtFpgaService* v = s.svc;
        Log log(card->dir() + "/log");
        size_t m = log.Mark();
        EXPECT_EQ(0, v->ReadTraffic(READ_MODE_RECORD));
        EXPECT_EQ(0, v->ReadTraffic(READ_MODE_RECORD));
        EXPECT_EQ(1u, Count(log.Since(m), head));
        EXPECT_EQ(1u, Count(log.Since(m), Pad("rx_pkt") + ": 42        \n"));
        card->PokeLE(0x500, 43, 8);
        EXPECT_EQ(0, v->ReadTraffic(READ_MODE_RECORD));
        EXPECT_EQ(2u, Count(log.Since(m), head));
        EXPECT_EQ(1u, Count(log.Since(m), Pad("rx_pkt") + ": 43        \n"));
        // Print mode always logs and leaves the remembered block alone.
        EXPECT_EQ(0, v->ReadTraffic(READ_MODE_PRINT));
        EXPECT_EQ(0, v->ReadTraffic(7));
        EXPECT_EQ(4u, Count(log.Since(m), head));
        EXPECT_EQ(0, v->ReadTraffic(READ_MODE_RECORD));
        EXPECT_EQ(4u, Count(log.Since(m), head));

        // Session-loss increments: 5 then 12 gives 5 and 7; path1 3 then 3 gives 3 and 0.
        m = log.Mark();
        EXPECT_EQ(0, v->ReadMonitor(READ_MODE_PRINT));
        card->PokeLE(0x600, 12, 4);
        EXPECT_EQ(0, v->ReadMonitor(READ_MODE_PRINT));
        std::string t = log.Since(m);
        EXPECT_EQ(2u, Count(t, "******** Read Monitor Info ********"));
        const std::string i0 = Pad("session_lost_num_path0_incr") + ": ";
        const std::string i1 = Pad("session_lost_num_path1_incr") + ": ";
        size_t first = t.find(i0 + "5         \n");
        size_t second = t.find(i0 + "7         \n");
        EXPECT_NE(std::string::npos, first) << t;
        EXPECT_NE(std::string::npos, second) << t;
        EXPECT_LT(first, second);
        EXPECT_EQ(1u, Count(t, i1 + "3         \n"));
        EXPECT_EQ(1u, Count(t, i1 + "0         \n"));

        // The statistics block holds detailed lines; the configuration block plain ones.
        m = log.Mark();
        EXPECT_EQ(0, v->ReadStatistics(READ_MODE_PRINT));
        EXPECT_EQ(0, v->ReadFpgaConfiguration(READ_MODE_PRINT));
        t = log.Since(m);
        EXPECT_NE(std::string::npos, t.find("******** Read Statistics ********"));
        EXPECT_NE(std::string::npos, t.find(Pad("dbg_cnt") + ": ( 0x700 ) ( 0xb ): 11        \n"));
        EXPECT_NE(std::string::npos, t.find("******** Read configuration ********"));
        EXPECT_NE(std::string::npos, t.find(Pad("r_ip") + ": 1.2.3.4\n" + Pad("r_date") + ": 2025.05.05 08:30\n"));
        EXPECT_NE(std::string::npos, t.find(Pad("c_list") + ": 7, 8, 9, \n"));
    }));
}

TEST(Readout, FailingReadsEmptyCatalogueAndNoService) {
    Card card(kXdma);
    // A traffic register past the end of the card.
    ASSERT_TRUE(card.SetXml(ReadoutXml("    <regValue class=\"TRAFIC\" name=\"far\" regnum=\"0x300000\" bitoffset=\"0\" "
                                       "size=\"32\" type=\"int\"/>\n" +
                                       std::string("    <regValue class=\"TRAFIC\" name=\"farmac\" regnum=\"0x300010\" "
                                                   "bitoffset=\"0\" size=\"48\" type=\"mac\"/>\n"))));
    PresetReadout(card);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        Log log(card.dir() + "/log");
        size_t m = log.Mark();
        EXPECT_EQ(600005, s.svc->ReadTraffic(READ_MODE_PRINT));
        std::string t = log.Since(m);
        EXPECT_NE(std::string::npos, t.find("Read address 0x300000 fail, we stop read."));
        EXPECT_EQ(std::string::npos, t.find("******** Read Traffic Info ********"));
        EXPECT_EQ(std::string::npos, t.find("rx_pkt"));
        char buf[128];
        const CfgDes_t* mac = FindDes(g_lpXmlHelper, CFGCLASS_TRAFIC, "farmac");
        EXPECT_EQ(600006, s.svc->ReadAndPrintParam(mac, OUTPUT_BUFFER, buf, sizeof(buf)));
        EXPECT_EQ(600002, s.svc->ReadAndPrintParam(nullptr, OUTPUT_BUFFER, buf, sizeof(buf)));
    }));

    // A part without registers: every readout and configuring is empty.
    ASSERT_TRUE(card.SetXml("<Cores><Core name=\"sz_tcp_net_x\"></Core></Cores>"));
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        Log log(card.dir() + "/log");
        size_t m = log.Mark();
        EXPECT_EQ(0, s.svc->InitMonitor());
        EXPECT_EQ(0, s.svc->ConfigFpga());
        EXPECT_EQ(0, s.svc->ReadFpgaConfiguration(READ_MODE_PRINT));
        EXPECT_EQ(0, s.svc->ReadStatistics(READ_MODE_RECORD));  // empty equals the empty start: nothing
        EXPECT_EQ(0, s.svc->ReadMonitor(READ_MODE_PRINT));
        std::string t = log.Since(m);
        EXPECT_EQ(1u, Count(t, "******** Read configuration ********"));
        EXPECT_EQ(0u, Count(t, "******** Read Statistics ********"));
    }));

    // No service set-up at all.
    ASSERT_EQ(0, card.Run([&] {
        CGtFpgaService v;
        EXPECT_EQ(600002, v.ReadFpgaConfiguration(READ_MODE_PRINT));
        EXPECT_EQ(600002, v.ReadStatistics(READ_MODE_PRINT));
        EXPECT_EQ(600002, v.ReadTraffic(READ_MODE_PRINT));
        EXPECT_EQ(600002, v.ReadMonitor(READ_MODE_PRINT));
        EXPECT_EQ(600002, v.InitMonitor());
    }));
    std::string log = card.LogText();
    EXPECT_NE(std::string::npos, log.find("[Srv]not inited yet!"));
    EXPECT_NE(std::string::npos, log.find("[Srv][fpgaservice]not inited yet!"));
}

// The monitor server's thread reads the maps while the main thread reads the
// card and updates them.
TEST(Readout, MonitorMapsFromAnotherThread) {
    auto card = ReadoutCard();
    ASSERT_EQ(0, card->Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        CGtFpgaService* v = s.svc;
        ASSERT_EQ(0, v->InitMonitor());
        CXmlHelper* x = g_lpXmlHelper;
        const CfgDes_t* cnt = FindDes(x, CFGCLASS_CFG, "r_int32");
        const CfgDes_t* ip = FindDes(x, CFGCLASS_CFG, "r_ip");
        const CfgDes_t* mon = FindDes(x, CFGCLASS_MON, "session_lost_num_path0");
        std::atomic<bool> stop{false};
        std::atomic<int> bad{0};
        std::atomic<long> reads{0};
        std::thread server([&] {
            uint64_t last = 0, lastMon = 0;
            while (!stop.load()) {
                uint8_t kind = 0;
                uint64_t val = 0;
                std::string text;
                v->ReadMonitorConfiguration(cnt, kind, val, text);
                if (kind != 1 || val < last) bad++;
                last = val;
                v->ReadMonitorConfiguration(ip, kind, val, text);
                if (kind != 2 || (text != "" && text != "1.2.3.4")) bad++;
                v->ReadMonitorStat(mon, kind, val, text);
                if (kind != 1 || val < lastMon) bad++;
                lastMon = val;
                reads++;
            }
        });
        for (uint32_t i = 1; i <= 300; i++) {
            card->PokeLE(0x410, 100000 + i, 4);
            card->PokeLE(0x600, i, 4);
            EXPECT_EQ(0, v->ReadFpgaConfiguration(READ_MODE_RECORD));
            EXPECT_EQ(0, v->ReadMonitor(READ_MODE_RECORD));
        }
        while (reads.load() < 10) std::this_thread::yield();
        stop = true;
        server.join();
        EXPECT_EQ(0, bad.load());
        uint8_t kind = 0;
        uint64_t val = 0;
        std::string text;
        v->ReadMonitorConfiguration(cnt, kind, val, text);
        EXPECT_EQ(100300u, val);
    }));
}

// The sample part read back on both other card kinds: what configuring wrote
// comes back in the plain lines.
TEST(Readout, SampleConfigurationReadBackOnXdmaAndEnyx) {
    for (CardKind k : {kXdma, kEnyx}) {
        Card card(k);
        card.PokeLE(card.VerAddr(), 0x1005, 4);
        ASSERT_EQ(0, card.Run([&] {
            Service s;
            ASSERT_EQ(0, s.runRet);
            ASSERT_EQ(0, s.svc->ConfigFpga());
            Log log(card.dir() + "/log");
            size_t m = log.Mark();
            EXPECT_EQ(0, s.svc->ReadFpgaConfiguration(READ_MODE_PRINT));
            std::string t = log.Since(m);
            EXPECT_NE(std::string::npos, t.find(Pad("local_ip") + ": 192.168.10.21\n")) << KindName(k) << t;
            EXPECT_NE(std::string::npos, t.find(Pad("local_mac") + ": 02:1a:7c:10:20:31\n")) << KindName(k);
            EXPECT_NE(std::string::npos, t.find(Pad("reconnect_mode") + ": Hex: 0x2, Dec: 2\n")) << KindName(k);
            EXPECT_NE(std::string::npos, t.find(Pad("channel_list") + ": 2011, 2021, 2031, 2041, \n")) << KindName(k);
        })) << KindName(k);
    }
}

// Every call that needs the card refuses before Init (and, where it walks the
// catalogue, before one is attached) with its own result and message.
TEST(ServiceGuard, EachCallRefusesWithItsResultAndMessage) {
    using Call = std::function<int(CGtFpgaService&)>;
    uint8_t b[8] = {0};
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    char buf[64];
    CfgDes_t des;
    const char* const kPlain = "][Srv]not inited yet!";
    const char* const kSpaced = "][Srv][fpgaservice] not inited yet!";
    const char* const kTight = "][Srv][fpgaservice]not inited yet!";
    struct {
        const char* name;
        Call call;
        int ret;
        const char* msg;
        bool needsCatalogue;
    } cases[] = {
        {"ConfigFpga", [](CGtFpgaService& s) { return s.ConfigFpga(); }, 600002, kSpaced, true},
        {"ClearFpgaConfig", [](CGtFpgaService& s) { return s.ClearFpgaConfig(); }, 600002, kPlain, false},
        {"ResumeHaultResetFpga", [](CGtFpgaService& s) { return s.ResumeHaultResetFpga(); }, -1, kPlain, false},
        {"GetReg8WithAddr", [&](CGtFpgaService& s) { return s.GetReg8WithAddr(0, u8); }, 600002, kPlain, false},
        {"GetReg16WithAddr", [&](CGtFpgaService& s) { return s.GetReg16WithAddr(0, u16); }, 600002, kPlain, false},
        {"GetReg32WithAddr", [&](CGtFpgaService& s) { return s.GetReg32WithAddr(0, u32); }, 600002, kPlain, false},
        {"GetRegBitsWithAddr", [&](CGtFpgaService& s) { return s.GetRegBitsWithAddr(0, u64, 0, 8); }, 600002, kPlain,
         false},
        {"GetRegWithBytes", [&](CGtFpgaService& s) { return s.GetRegWithBytes(0, 4, b); }, 600002, kPlain, false},
        {"SetReg16WithAddr", [](CGtFpgaService& s) { return s.SetReg16WithAddr(0, 0); }, 600002, kPlain, false},
        {"SetRegBytes", [&](CGtFpgaService& s) { return s.SetRegBytes(0, b, 4); }, 600002, kPlain, false},
        {"InitMonitor", [](CGtFpgaService& s) { return s.InitMonitor(); }, 600002, kPlain, true},
        {"ReadAndPrintParam", [&](CGtFpgaService& s) { return s.ReadAndPrintParam(&des, OUTPUT_BUFFER, buf, 64); },
         600002, kSpaced, false},
        {"ReadFpgaConfiguration", [](CGtFpgaService& s) { return s.ReadFpgaConfiguration(0); }, 600002, kPlain, true},
        {"ReadStatistics", [](CGtFpgaService& s) { return s.ReadStatistics(0); }, 600002, kTight, true},
        {"ReadTraffic", [](CGtFpgaService& s) { return s.ReadTraffic(0); }, 600002, kTight, true},
        {"ReadMonitor", [](CGtFpgaService& s) { return s.ReadMonitor(0); }, 600002, kTight, true},
    };
    Card card(kXdma);
    ASSERT_EQ(0, card.Run([&] {
        Service inited(false);  // driver and configuration, no catalogue
        ASSERT_EQ(0, inited.initRet);
        for (auto& c : cases) {
            CGtFpgaService bare;
            size_t mark = card.LogMark();
            EXPECT_EQ(c.ret, c.call(bare)) << c.name;
            std::string log = card.LogSince(mark);
            EXPECT_EQ(1u, Count(log, std::string(c.msg) + "\n")) << c.name << "\n" << log;
            EXPECT_EQ(1u, Count(log, "not inited yet!")) << c.name << "\n" << log;
            if (!c.needsCatalogue) continue;
            mark = card.LogMark();
            EXPECT_EQ(c.ret, c.call(*inited.svc)) << c.name;
            EXPECT_EQ(1u, Count(card.LogSince(mark), std::string(c.msg) + "\n")) << c.name;
        }
    }));
}
