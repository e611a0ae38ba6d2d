// Register configuration and reset on the XDMA-file and simulated Enyx
// cards (the mapped-BAR card has its own program, it needs the sysfs lock).

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>

#include "nc_hash.h"
#include "svc_checks.h"

using namespace svc;

namespace {

const char* const kFaketimeLib = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

std::string Reg(const std::string& cls, const std::string& name, unsigned off, unsigned bitoff, unsigned size,
                const std::string& type, const std::string& defval = "") {
    std::string r = "    <regValue class=\"" + cls + "\" ";
    if (cls == "CFGFILE") r += "section=\"t\" ";
    char b[160];
    snprintf(b, sizeof(b), "name=\"%s\" regnum=\"0x%x\" bitoffset=\"%u\" size=\"%u\" type=\"%s\"", name.c_str(), off,
             bitoff, size, type.c_str());
    r += b;
    if (cls == "CFGFILE") r += " defval=\"" + (defval.empty() ? std::string("0") : defval) + "\"";
    return r + "/>\n";
}

std::string Part(const std::string& name, const std::string& regs) {
    return "<?xml version=\"1.0\"?>\n<Cores>\n  <Core name=\"" + name + "\">\n" + regs + "  </Core>\n</Cores>\n";
}

// Registers with the corner cases of every type, for firmware code 1.
std::string EdgeXml() {
    return Part("sz_tcp_net_x",
                Reg("CFGFILE", "u8", 0x40, 0, 8, "int", "0x12") +              // 0x1FF configured
                    Reg("CFGFILE", "u16def", 0x48, 0, 16, "int", "0xBEEF") +   // not configured
                    Reg("CFGFILE", "field3", 0x50, 4, 3, "int", "7") +         // 0 configured
                    Reg("CFGFILE", "u64def", 0x58, 0, 64, "int", "0x1122334455667788") +
                    Reg("CFGFILE", "early_mac", 0x60, 0, 48, "macDst") +       // before any ipDst
                    Reg("CFGFILE", "grp_ip", 0x68, 0, 32, "ipDst") +
                    Reg("CFGFILE", "grp_mac", 0x70, 0, 48, "macDst") +
                    Reg("CFGFILE", "list", 0x80, 0, 32, "mutiInt", "4") +
                    Reg("CFGFILE", "list_missing", 0x90, 0, 32, "mutiInt", "4") +
                    Reg("CFGFILE", "list_big", 0xA0, 0, 32, "mutiInt", "2") +
                    Reg("CFGFILE", "list_33bit", 0xA8, 0, 32, "mutiInt", "2") +
                    Reg("CFGFILE", "list_junk", 0xB0, 0, 32, "mutiInt", "3") +
                    Reg("CFGFILE", "bad_ip", 0xC0, 0, 32, "ipv4") +
                    Reg("CFGFILE", "bad_mac", 0xC8, 0, 48, "mac") +
                    Reg("CFGFILE", "never", 0xD0, 0, 31, "date") +
                    Reg("CFGFILE", "rw_field", 0xD8, 4, 3, "int", "0") +
                    Reg("CFGFILE", "tool_day", 0xE0, 0, 32, "time_yyyymmdd", "0") +
                    Reg("CFGFILE", "tool_time", 0xE8, 0, 64, "time", "0") +
                    Reg("CFGFILE", "vlan_id", 0xF0, 0, 16, "int", "0"));
}

const std::map<std::string, std::string> kEdgeIni = {
    {"t:u8", "0x1FF"},
    {"t:field3", "0"},
    {"t:early_mac", "01:02:03:04:05:06"},
    {"t:grp_ip", "239.1.2.3"},
    {"t:list", "1,2"},
    {"t:list_big", "99999999999999999999999,5"},
    {"t:list_33bit", "4294967296"},
    {"t:list_junk", "7,8x"},
    {"t:bad_ip", "1.2.3"},
    {"t:bad_mac", "zz:zz"},
    {"t:rw_field", "5"},
    {"t:tool_day", "20240101"},
    {"t:tool_time", "0x77"},
    {"t:vlan_id", "70000"},
};

const uint64_t kSentinel = 0xA5A5A5A5A5A5A5A5ull;

void PresetEdge(const Card& card) {
    for (unsigned off = 0x40; off < 0x100; off += 8) card.PokeLE(off, kSentinel, 8);
    card.PokeLE(0x50, ~0ull, 8);
    card.PokeLE(0xD8, ~0ull, 8);
}

void CheckEdge(const Card& card, const std::string& log) {
    EXPECT_EQ(0xFFu, card.PeekLE(0x40, 1));
    EXPECT_EQ('\xA5', card.Peek(0x40, 2)[1]);  // an 8-bit write stays 8 bits
    EXPECT_EQ(0xBEEFu, card.PeekLE(0x48, 2));
    EXPECT_EQ(0xFFFFFFFFFFFFFF8Full, card.PeekLE(0x50, 8));
    EXPECT_EQ(0x1122334455667788ull, card.PeekLE(0x58, 8));
    EXPECT_EQ(kSentinel, card.PeekLE(0x60, 8));  // macDst before its ipDst: nothing written
    EXPECT_NE(std::string::npos, log.find("%%%% ERROR config in gt_fpgaConfigxxxx, t:early_mac  %%%%, Tips:dst ip "
                                          "should be in front of dst mac."))
        << log;
    EXPECT_EQ(Bytes({3, 2, 1, 239}), card.Peek(0x68, 4));
    EXPECT_EQ(Bytes({3, 2, 1, 0x5e, 0, 1}), card.Peek(0x70, 6));
    EXPECT_EQ("\xA5\xA5", card.Peek(0x70, 8).substr(6));  // six bytes, no more
    const uint32_t list[] = {1, 2, 0, 0};
    for (int i = 0; i < 4; i++) EXPECT_EQ(list[i], card.PeekLE(0x80 + 4 * i, 4)) << i;
    for (int i = 0; i < 4; i++) EXPECT_EQ(0u, card.PeekLE(0x90 + 4 * i, 4)) << i;
    EXPECT_EQ(kSentinel, card.PeekLE(0xA0, 8));
    EXPECT_EQ(kSentinel, card.PeekLE(0xA8, 8));
    EXPECT_NE(std::string::npos, log.find("Convert fail ! Out of range! config info is :99999999999999999999999,5, "
                                          "its first data exceed unsigned long range."));
    EXPECT_NE(std::string::npos, log.find("Convert fail ! Out of range! config info is :4294967296,"));
    EXPECT_EQ(7u, card.PeekLE(0xB0, 4));
    EXPECT_EQ(8u, card.PeekLE(0xB4, 4));
    EXPECT_EQ(0xA5A5A5A5u, card.PeekLE(0xB8, 4));
    EXPECT_EQ(0u, card.PeekLE(0xC0, 4));
    EXPECT_NE(std::string::npos, log.find("Unable to find register t:bad_ip in quay.ini."));
    EXPECT_EQ(0u, card.PeekLE(0xC8, 6));
    EXPECT_EQ(kSentinel, card.PeekLE(0xD0, 8));
    EXPECT_EQ(0xFFFFFFFFFFFFFFDFull, card.PeekLE(0xD8, 8));
    // Values wider than their field are cut as before, and said so.
    EXPECT_EQ(4464u, card.PeekLE(0xF0, 2));
    EXPECT_NE(std::string::npos, log.find("register t:vlan_id: value 70000 does not fit its 16-bit field, 4464 is written."))
        << log;
    EXPECT_NE(std::string::npos, log.find("register t:u8: value 0x1FF does not fit its 8-bit field, 255 is written."));
    size_t warnings = 0;
    for (size_t at = log.find("does not fit its"); at != std::string::npos; at = log.find("does not fit its", at + 1))
        ++warnings;
    EXPECT_EQ(2u, warnings) << "fields that fit their value are written quietly";
}

}  // namespace

// The sample registers of two families, on every kind of card: test_sample_config.cpp.

TEST(ConfigXdma, EdgeRegisters) {
    Card card(kXdma, kEdgeIni);
    ASSERT_TRUE(card.SetXml(EdgeXml()));
    PresetEdge(card);
    card.PokeLE(6, 0x1005, 4);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        g_bIsQuayTool = false;
        EXPECT_EQ(0, s.svc->ConfigFpga());
    }));
    CheckEdge(card, card.LogText());
    EXPECT_EQ(TodayYmd(), card.PeekLE(0xE0, 4));  // the daemon always writes today
    EXPECT_EQ(TodayYmd() * 1000000000ull, card.PeekLE(0xE8, 8));

    // The tool writes a configured non-zero value instead.
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        g_bIsQuayTool = true;
        EXPECT_EQ(0, s.svc->ConfigFpga());
    }));
    EXPECT_EQ(20240101u, card.PeekLE(0xE0, 4));
    EXPECT_EQ(0x77u, card.PeekLE(0xE8, 8));
}

TEST(ConfigEnyx, EdgeRegistersAndTheThirtyTwoBitFieldMode) {
    Card card(kEnyx, kEdgeIni);
    ASSERT_TRUE(card.SetXml(EdgeXml()));
    PresetEdge(card);
    card.PokeLE(28, 0x1005, 4);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(0, s.svc->ConfigFpga());
    }));
    CheckEdge(card, card.LogText());

    // Read-modify-write of bit fields on 32 bits: the upper word is not touched.
    card.PokeLE(0xD8, ~0ull, 8);
    card.PokeLE(0x50, 0x12345678FFFFFFFFull, 8);
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        bIsUseRegRWMode = true;
        uint64_t mark = enyx_sim_log_mark(0);
        EXPECT_EQ(0, s.svc->ConfigFpga());
        std::vector<enyx_sim_log_entry> log(4096);
        long n = enyx_sim_log_read(0, mark, log.data(), log.size());
        int fieldWrites = 0;
        for (long i = 0; i < n; i++) {
            if (log[i].op == 'W' && (log[i].byte_offset == 0xD8 * 4 || log[i].byte_offset == 0x50 * 4)) {
                EXPECT_EQ(32, log[i].width);
                fieldWrites++;
            }
        }
        EXPECT_EQ(2, fieldWrites);
    }));
    EXPECT_EQ(0xFFFFFFFFFFFFFFDFull, card.PeekLE(0xD8, 8));
    EXPECT_EQ(0x12345678FFFFFF8Full, card.PeekLE(0x50, 8));
}

// Dates under a fixed clock: a second process of this test runs under
// libfaketime and configures the card; this one checks what it wrote.
TEST(ConfigXdma, TimeValuesUnderFakeClock) {
    const char* dir = getenv("SVC_FAKETIME_DIR");
    if (dir) {
        qtest::ScopedChdir cd(dir);
        Log log(std::string(dir) + "/log");
        Service s;
        ASSERT_EQ(0, s.runRet);
        g_bIsQuayTool = false;
        EXPECT_EQ(0, s.svc->ConfigFpga());
        return;
    }
    struct stat st;
    if (stat(kFaketimeLib, &st) != 0) GTEST_SKIP() << "libfaketime not installed";
    Card card(kXdma, {{"market:trade_date", "20240101"}, {"market:start_time", "5"}});
    card.PokeLE(6, 0x1005, 4);
    // Under AddressSanitizer the preloaded library comes before its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asanOpts = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
    std::string cmd = std::string("ASAN_OPTIONS='") + asanOpts + "' SVC_FAKETIME_DIR='" + card.dir() +
                      "' LD_PRELOAD=" + kFaketimeLib +
                      " FAKETIME='@2025-02-25 23:59:58' /proc/" + std::to_string(getpid()) +
                      "/exe --gtest_filter=ConfigXdma.TimeValuesUnderFakeClock 2>&1";
    int status = -1;
    std::string out = qtest::RunCmd(cmd, &status);
    ASSERT_EQ(0, status) << out;
    EXPECT_EQ(20250225u, card.PeekLE(0x260, 4));                  // time_yyyymmdd
    EXPECT_EQ(20250225000000000ull, card.PeekLE(0x268, 8));       // int named origtime_yyyymmdd
    EXPECT_EQ(20250225000000000ull, card.PeekLE(0x270, 8));       // time
}

// ------------------------------------------------------------------- reset

TEST(ResetEnyx, SequenceOrderRecordFileAndHold) {
    Card card(kEnyx);
    card.PokeLE(28, 0x1005, 4);
    card.PokeLE(256, 0x0013, 2);  // reset register with bit 2 clear and other bits set
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        uint64_t mark = enyx_sim_log_mark(0);
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        EXPECT_EQ(0, s.svc->ResetFpga("quay", true));
        clock_gettime(CLOCK_MONOTONIC, &t1);
        std::vector<enyx_sim_log_entry> log(8192);
        long n = enyx_sim_log_read(0, mark, log.data(), log.size());
        std::vector<enyx_sim_log_entry> acc;
        for (long i = 0; i < n; i++)
            if (log[i].op == 'R' || log[i].op == 'W') acc.push_back(log[i]);
        ASSERT_GE(acc.size(), 6u);
        // TCP source, then destination address cleared (4 zero bytes each).
        EXPECT_EQ('W', acc[0].op);
        EXPECT_EQ(8240u * 4, acc[0].byte_offset);
        EXPECT_EQ(0u, acc[0].value);
        EXPECT_EQ(32, acc[0].width);
        EXPECT_EQ('W', acc[1].op);
        EXPECT_EQ(8224u * 4, acc[1].byte_offset);
        // Reset register: read, set bit 2, clear bit 2.
        EXPECT_EQ('R', acc[2].op);
        EXPECT_EQ(256u * 4, acc[2].byte_offset);
        EXPECT_EQ(16, acc[2].width);
        EXPECT_EQ('W', acc[3].op);
        EXPECT_EQ(256u * 4, acc[3].byte_offset);
        EXPECT_EQ(0x17u, acc[3].value);
        EXPECT_EQ('W', acc[4].op);
        EXPECT_EQ(256u * 4, acc[4].byte_offset);
        EXPECT_EQ(0x13u, acc[4].value);
        // Then the configuration, first register of the part first.
        EXPECT_EQ(0x200u * 4, acc[5].byte_offset);
        // The card was held in reset for at least the hold time (1 s).
        double held = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
        EXPECT_GE(held, 1.0);
    }));
    std::string rec = qtest::ReadFile(card.dir() + "/.reset_log");
    EXPECT_TRUE(std::regex_match(rec, std::regex("[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2} quay"))) << rec;
    struct stat st;
    ASSERT_EQ(0, stat((card.dir() + "/.reset_log").c_str(), &st));
    EXPECT_EQ(0666u, st.st_mode & 0777);
    EXPECT_NE(std::string::npos, card.LogText().find("read mode: 0x0013"));
}

TEST(ResetEnyx, SubscriptionTablesProgrammedAfterReset) {
    // New-layout firmware with hash registers and no TCP address registers,
    // subscribing the sample quay.ini's example list for such firmware.
    Card card(kEnyx, {{"Others:stocks", "600000, 600036, 601318, 000001, 300750, 010"}});
    card.PokeLE(28, 0x12320205, 4);
    card.PokeLE(0, 0x0BADC0DE, 4);  // offset 0 is not a TCP address register
    ASSERT_EQ(0, card.Run([&] {
        Service s;
        ASSERT_EQ(0, s.runRet);
        g_uiResetHoldSeconds = 0;
        EXPECT_EQ(0, s.svc->ResetFpga("quay_tool", false));
    }));
    EXPECT_EQ(0x0BADC0DEu, card.PeekLE(0, 4));
    EXPECT_EQ(0u, card.PeekLE(21, 2) & 4);
    std::string all = card.Peek(0x10000, 0x14000 * 4);
    auto rd = [&](uint64_t a) -> uint32_t {
        uint64_t o = (a - 0x10000) * 4;
        uint32_t v = 0;
        memcpy(&v, all.data() + o, 4);
        return v;
    };
    HashTableReader e1(rd, 8, 9);
    for (uint32_t id : {0x600000u, 0x600036u, 0x601318u, 0x000001u, 0x300750u}) EXPECT_GE(e1.Find(id), 0);
    EXPECT_EQ(1u, e1.ClassFlag(0x010));
    EXPECT_EQ(1u, e1.FilterSwitch());
    // Not marked: no record file.
    struct stat st;
    EXPECT_NE(0, stat((card.dir() + "/.reset_log").c_str(), &st));
}

TEST(ResetXdma, HaltResumeRecordAndFailures) {
    Card card(kXdma);
    card.PokeLE(6, 0x1005, 4);
    card.PokeLE(8240, 0xFFFFFFFF, 4);
    card.PokeLE(8224, 0xFFFFFFFF, 4);
    ASSERT_EQ(0, card.Run([&] {
        {
            CGtFpgaService bare;
            EXPECT_EQ(-1, bare.ResetFpga("quay", true));
            EXPECT_EQ(600002, bare.ConfigFpga());
            EXPECT_EQ(600002, bare.ClearFpgaConfig());
            uint8_t b = 0;
            EXPECT_EQ(600002, bare.GetReg8WithAddr(0, b));
            EXPECT_EQ(-1, bare.ResumeHaultResetFpga());
        }
        EXPECT_EQ(-1, ResumeFpgaSignal());  // no service
        Service s;
        ASSERT_EQ(0, s.runRet);
        EXPECT_EQ(0, s.svc->HaultResetFpga());
        EXPECT_EQ(0u, card.PeekLE(8240, 4));
        EXPECT_EQ(0u, card.PeekLE(8224, 4));
        EXPECT_EQ(4u, card.PeekLE(256, 2));
        EXPECT_EQ(0, ResumeFpgaSignal());
        EXPECT_EQ(0u, card.PeekLE(256, 2));
        EXPECT_EQ(9129u, card.PeekLE(0x228, 2));  // configured again

        // The record file cannot be created: the reset still succeeds.
        mkdir("./.reset_log", 0755);
        g_uiResetHoldSeconds = 0;
        EXPECT_EQ(0, s.svc->ResetFpga("quay", true));
        rmdir("./.reset_log");
        s.svc->MarkReset(nullptr);
        struct stat st;
        EXPECT_NE(0, stat("./.reset_log", &st));
        s.svc->MarkReset("a_rather_long_name_of_a_resetting_program");
        std::string rec = qtest::ReadFile("./.reset_log");
        EXPECT_EQ(38u, rec.size());
        EXPECT_EQ(" a_rather_long_name_o", rec.substr(17));

        // Accessors: a read beyond the card is a failed read, not a zero.
        uint32_t v = 0x1234;
        EXPECT_EQ(600005, s.svc->GetReg32WithAddr(kRegSpace + 16, v));
        EXPECT_EQ(0x1234u, v);
        uint64_t bits = 0;
        EXPECT_EQ(600005, s.svc->GetRegBitsWithAddr(kRegSpace, bits, 0, 48));
        uint8_t buf[129] = {0};
        EXPECT_EQ(600006, s.svc->GetRegWithBytes(kRegSpace, 8, buf));
        EXPECT_EQ(600006, s.svc->SetRegBytes(0x100, buf, 129));
        EXPECT_EQ(0, s.svc->SetRegBytes(0x100, reinterpret_cast<const uint8_t*>("\x11\x22\x33"), 3));
        EXPECT_EQ(0, s.svc->GetRegWithBytes(0x100, 3, buf));
        EXPECT_EQ(0x11, buf[0]);  // the order handed in comes back
        EXPECT_EQ(0x33, buf[2]);
        EXPECT_EQ(0x112233u, card.PeekLE(0x100, 3));
        EXPECT_EQ(0, s.svc->SetReg16WithAddr(0x108, 0xBEEF));
        EXPECT_EQ(0, s.svc->GetRegBitsWithAddr(0x108, bits, 4, 8));
        EXPECT_EQ(0xEEu, bits);
    }));
    std::string log = card.LogText();
    EXPECT_NE(std::string::npos, log.find("reset FPGA failed! ret:600002"));
    EXPECT_NE(std::string::npos, log.find("Reset fpga success."));
    EXPECT_NE(std::string::npos, log.find("Resume hault reset signal fail"));
    EXPECT_NE(std::string::npos, log.find("open ./.reset_log failed"));
    EXPECT_NE(std::string::npos, log.find("require 8 bytes, but got 0 bytes!"));
    EXPECT_NE(std::string::npos, log.find("required 129 bytes, but got 0 bytes!"));
}
