// The operator's tool, run as a program against the virtual card.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "tool_env.h"

using qtest::ToolEnv;

namespace {

const char* kUsageBody =
    "for help:\n"
    "    ./quay_tool or ./quay_tool help\n"
    "rest FPGA:\n"
    "    ./quay_tool reset\n"
    "read FPGA infomation:\n"
    "    ./quay_tool info\n"
    "config FPGA:\n"
    "    ./quay_tool config\n"
    "read traffic status:\n"
    "    ./quay_tool status\n"
    "or  execute every n second\n"
    "    ./quay_tool status n\n"
    "read monitor infomation:\n"
    "    ./quay_tool monitor\n"
    "or  execute every n second\n"
    "    ./quay_tool monitor n\n"
    "product device info\n"
    "    ./quay_tool device\n"
    "upgrade fpga\n"
    "    ./quay_tool upgrade 0000:d8:00.0 pfm_top_wrapper.mcs\n"
    "fpga reload\n"
    "    ./quay_tool reload 0000:d8:00.0  (Attention: This may cause system reboot.)\n"
    "mcast IP to target MAC addr:\n"
    "    ./quay_tool mip2mac 225.0.0.187\n";

const std::regex kVersionLine(
    "Software Ver 2\\.5\\.6 Support Xdma and E \\.[A-Z][a-z]{2} [ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d");

bool HasUsage(const std::string& out) {
    size_t pos = out.find("Welcome to Quay tool\n");
    if (pos == std::string::npos) return false;
    size_t ver = out.find('\n', pos + 21);
    std::string version = out.substr(pos + 21, ver - pos - 21);
    return std::regex_match(version, kVersionLine) && out.compare(ver + 1, strlen(kUsageBody), kUsageBody) == 0;
}

bool BroughtUp(const std::string& out) { return out.find("Inited config!") != std::string::npos; }

int Count(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace

TEST(QuayTool, NoArgumentPrintsExactUsageWithoutTouchingTheHost) {
    ToolEnv env;
    int status = -1;
    std::string out = env.Run("", "", &status);
    EXPECT_EQ(0, status);
    // Only the logger's start line precedes the usage text.
    std::regex whole("\\[INFO   \\]\\[\\d{8}-\\d\\d:\\d\\d:\\d\\d\\]\\[log\\]log is initialized successfully\\.\n"
                     "Welcome to Quay tool\n[^\n]*\n(.|\n)*");
    EXPECT_TRUE(std::regex_match(out, whole)) << out;
    EXPECT_TRUE(HasUsage(out)) << out;
    EXPECT_EQ(out.size(), out.find("Welcome to Quay tool\n") + strlen("Welcome to Quay tool\n") +
                              out.substr(out.find("Welcome to Quay tool\n") + 21).find('\n') + 1 +
                              strlen(kUsageBody));
    EXPECT_EQ(0, env.bin().Calls("lspci"));
    // The run left its dated log file.
    char day[16];
    time_t now = time(nullptr);
    strftime(day, sizeof(day), "%Y%m%d", localtime(&now));
    EXPECT_NE(std::string::npos,
              qtest::ReadFile(env.dir() + "/log/quay_tool_" + day + ".log").find("log is initialized"));
}

TEST(QuayTool, DeviceFreeCommandsWithWrongCountsPrintUsageOnly) {
    ToolEnv env;
    for (const char* args : {"mip2mac", "upgrade 0000:d8:00.0", "reload a b", "mip2mac 1.1.1.1 2"}) {
        std::string out = env.Run(args);
        EXPECT_TRUE(HasUsage(out)) << args << "\n" << out;
        EXPECT_FALSE(BroughtUp(out)) << args;
    }
    EXPECT_EQ(0, env.bin().Calls("lspci"));
}

TEST(QuayTool, Mip2mac) {
    ToolEnv env;
    std::string out = env.Run("mip2mac 225.0.0.187");
    EXPECT_NE(std::string::npos, out.find("\n225.0.0.187 -> 01:00:5E:00:00:BB\n\n")) << out;
    out = env.Run("mip2mac 239.255.1.2");
    EXPECT_NE(std::string::npos, out.find("\n239.255.1.2 -> 01:00:5E:7F:01:02\n\n")) << out;
    for (const char* bad : {"1.2x", "10.10.10.10.10", "1.2.3.4.5.6.7.8.9"}) {
        out = env.Run(std::string("mip2mac ") + bad);
        EXPECT_NE(std::string::npos, out.find("Error Ip: Please check like 10.10.10.10\n")) << bad << out;
        EXPECT_EQ(std::string::npos, out.find("01:00:5E")) << bad;
    }
    EXPECT_EQ(0, env.bin().Calls("lspci"));
}

// Help is what an operator reads on a host without a card: no host check,
// no bring-up, only the usage text.
TEST(QuayTool, HelpWordsPrintTheUsageWithoutTheHostCheck) {
    ToolEnv env;
    env.bin().Add("lspci", "");  // no card at all
    for (const char* args : {"help", "-h", "--help", "help extra"}) {
        int status = -1;
        std::string out = env.Run(args, "", &status);
        EXPECT_EQ(0, status) << args;
        EXPECT_TRUE(HasUsage(out)) << args << "\n" << out;
        EXPECT_EQ(std::string::npos, out.find("Unable to recongnize fpga board!")) << args << "\n" << out;
        EXPECT_FALSE(BroughtUp(out)) << args;
    }
    EXPECT_EQ(0, env.bin().Calls("lspci"));
}

TEST(QuayTool, UnknownWordAndShortFileCommandBringTheDeviceUp) {
    ToolEnv env;
    for (const char* args : {"frobnicate", "-x", "encrypt onlyone", "decode a b c"}) {
        int status = -1;
        std::string out = env.Run(args, "", &status);
        EXPECT_EQ(0, status);
        EXPECT_TRUE(BroughtUp(out)) << args << out;
        EXPECT_NE(std::string::npos, out.find("[Main]welcome to quay_tool @ Corvane! Software Ver 2.5.6"))
            << args << out;
        EXPECT_TRUE(HasUsage(out)) << args << out;
        EXPECT_LT(out.find("welcome to quay_tool"), out.find("Welcome to Quay tool"));
    }
}

TEST(QuayTool, EnvironmentRefusalStopsBeforeBringUp) {
    ToolEnv env;
    env.bin().Add("lspci", "");
    int status = -1;
    std::string out = env.Run("info", "", &status);
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos,
              out.find("Unable to recongnize fpga board! if there indeed exist fpga board, firmware maybe error."));
    EXPECT_FALSE(BroughtUp(out));

    env.bin().Add("lspci", "d8:00.0 Memory controller: Xilinx Corporation Device 903f\n");
    env.bin().Add("lsmod", "");
    out = env.Run("info");
    EXPECT_NE(std::string::npos, out.find("There exist Xi board, but the Xi driver not installed, please install first."));
    EXPECT_FALSE(BroughtUp(out));
}

TEST(QuayTool, BringUpFailureIsLogged) {
    ToolEnv env;
    env.WriteIni(qtest::SetIniKey(env.Ini(), "device", "dev_write", env.dir() + "/no-such-device"));
    int status = -1;
    std::string out = env.Run("info", "", &status);
    EXPECT_EQ(0, status);
    EXPECT_NE(std::string::npos, out.find("[ERROR  ]")) << out;
    EXPECT_NE(std::string::npos, out.find("[Main]fpga device init fail.")) << out;
    EXPECT_EQ(std::string::npos, out.find("welcome to quay_tool"));

    // quay.ini, then bin, as a FIFO or a link to /dev/zero: refused with the
    // usual load failure, without blocking or spinning (timeout ends a hang
    // with status 124).
    for (const char* file : {"quay.ini", "bin"}) {
        for (bool fifo : {true, false}) {
            ToolEnv bad;
            std::string path = bad.dir() + "/" + file;
            unlink(path.c_str());
            ASSERT_EQ(0, fifo ? mkfifo(path.c_str(), 0600) : symlink("/dev/zero", path.c_str()));
            out = bad.Run("info", "", &status, "timeout -s KILL 20");
            EXPECT_EQ(0, status) << file << out;
            EXPECT_NE(std::string::npos, out.find(std::string(file) == "bin"
                                                      ? "bin file missing. Please cotact the technical support"
                                                      : "can't parse config file: ./quay.ini.msg:"))
                << file << out;
        }
    }

    // Unknown firmware: bring-up succeeds, the running information does not.
    ToolEnv env2;
    env2.PokeLE(6, 0xF001, 4);
    out = env2.Run("info");
    EXPECT_NE(std::string::npos, out.find("Unknow FPGA version 0xf001")) << out;
    EXPECT_NE(std::string::npos, out.find("[Main]set fpga runing info fail.")) << out;
}

TEST(QuayTool, ResetAndConfigProgramTheCardAndRecordTheReset) {
    ToolEnv env;
    for (const char* word : {"reset", "config"}) {
        std::remove((env.dir() + "/.reset_log").c_str());
        env.PokeLE(0x200, 0, 4);
        std::string out = env.Run(word);
        EXPECT_NE(std::string::npos, out.find("[Main]Reset command\n")) << out;
        EXPECT_NE(std::string::npos, out.find("[Main]quay_tool reset finished.\n")) << out;
        std::string rec = qtest::ReadFile(env.dir() + "/.reset_log");
        EXPECT_TRUE(std::regex_match(rec, std::regex("\\d{8} \\d\\d:\\d\\d:\\d\\d quay_tool"))) << rec;
        // local_ip = 192.168.10.21 from quay.ini, in register byte order.
        EXPECT_EQ(0xC0A80A15u, env.PeekLE(0x200, 4)) << word;
        // The reset bit is released at the end.
        EXPECT_EQ(0u, env.PeekLE(256, 2) & 4) << word;
    }

    // Only the tool takes a configured non-zero date instead of today's.
    env.WriteIni(qtest::SetIniKey(env.Ini(), "market", "trade_date", "20250225"));
    env.Run("config");
    EXPECT_EQ(20250225u, env.PeekLE(0x260, 4));
    env.WriteIni(qtest::SetIniKey(env.Ini(), "market", "trade_date", "0"));
    env.Run("config");
    char today[16];
    time_t now = time(nullptr);
    strftime(today, sizeof(today), "%Y%m%d", localtime(&now));
    EXPECT_EQ(strtoull(today, nullptr, 10), env.PeekLE(0x260, 4));
}

TEST(QuayTool, InfoAndDeviceReports) {
    ToolEnv env;
    std::string out = env.Run("info");
    EXPECT_NE(std::string::npos, out.find("[Main]Info command\n")) << out;
    EXPECT_NE(std::string::npos, out.find("******** Read configuration ********")) << out;
    EXPECT_NE(std::string::npos, out.find("local_ip: 0.0.0.0")) << out;

    out = env.Run("device");
    EXPECT_NE(std::string::npos, out.find("[Main]Device command\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Unknow HW, value:0x0")) << out;

    // A U200 board, revision 3 (the version register then reads as the new layout).
    env.PokeLE(8, 0x1103, 2);
    out = env.Run("device");
    EXPECT_NE(std::string::npos, out.find("X U200 with version 03")) << out;
    EXPECT_NE(std::string::npos, out.find("SZ_TCP_NET with version 005")) << out;

    env.PokeLE(8, 0x7103, 2);
    out = env.Run("device");
    EXPECT_NE(std::string::npos, out.find("Unknow HW, value:0x7")) << out;
}

TEST(QuayTool, StatusAndMonitorSingleReadoutOrRepeat) {
    ToolEnv env;
    for (const char* args : {"status", "status 0", "status -5", "status 1 2"}) {
        int status = -1;
        std::string out = env.Run(args, "", &status);
        EXPECT_EQ(0, status);
        EXPECT_NE(std::string::npos, out.find("[Main]Status command")) << args << out;
        EXPECT_EQ(1, Count(out, "******** Read Traffic Info ********")) << args << out;
        EXPECT_EQ(std::string::npos, out.find(" times ====")) << args;
    }
    std::string out = env.Run("monitor");
    EXPECT_NE(std::string::npos, out.find("[Main]Monitor command")) << out;
    EXPECT_EQ(1, Count(out, "******** Read Monitor Info ********")) << out;

    // Repeat mode numbers its passes from 1 and prints an unchanged readout once.
    out = env.Run("status 1", "", nullptr, "timeout -s INT 2.5");
    EXPECT_NE(std::string::npos, out.find("\n============ 1 times ============\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\n============ 2 times ============\n")) << out;
    EXPECT_EQ(1, Count(out, "******** Read Traffic Info ********")) << out;
}

TEST(QuayTool, DebugReadWriteAndDate) {
    ToolEnv env;
    // write: value laid out most significant byte first, stored little-endian.
    std::string out = env.Run("debug write 0x10 4 4386");
    EXPECT_NE(std::string::npos, out.find("[Main]write 0x1122 into addr 0x10")) << out;
    EXPECT_EQ(std::string("\x22\x11\x00\x00", 4), env.Peek(0x10, 4));
    env.Run("debug write 0x20 2 0x1122");
    EXPECT_EQ(0x1122u, env.PeekLE(0x20, 2));
    env.Run("debug write 0x30 12 0x0102030405060708");  // length limited to 8
    EXPECT_EQ(0x0102030405060708ull, env.PeekLE(0x30, 8));
    EXPECT_EQ(0u, env.PeekLE(0x38, 4));

    // read: address in hex with or without 0x, highest address first.
    env.Poke(0x1000, "\x01\x02\x03\x04\x05\x06\x07\x08\x09");
    out = env.Run("debug read 1000 8");
    EXPECT_NE(std::string::npos, out.find("read 8 bytes from addr 0x1000\n\n08 07 06 05 04 03 02 01 \n")) << out;
    out = env.Run("debug read 0x1000 9");
    EXPECT_NE(std::string::npos, out.find("read 9 bytes from addr 0x1000\n\n09 08 07 06 05 04 03 02 \n01 \n"))
        << out;
    out = env.Run("debug read 0x1000 200");
    EXPECT_NE(std::string::npos, out.find("read 128 bytes from addr 0x1000\n")) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("read 128 bytes from addr 0x1000\n(\n([0-9a-f]{2} ){8}){16}\n")))
        << out;
    out = env.Run("debug read 0x1000 -1");
    EXPECT_NE(std::string::npos, out.find("read 128 bytes from addr 0x1000\n")) << out;
    out = env.Run("debug read 0x1000 0");
    EXPECT_NE(std::string::npos, out.find("read 0 bytes from addr 0x1000\n\n")) << out;

    // debug runs before the running information: no welcome line, no catalogue.
    EXPECT_EQ(std::string::npos, out.find("welcome to quay_tool"));

    // Without a sub-command: debug usage and the compile date from 0x20.
    // 2024-11-05 13:47 -> year 24 (bits 25-30), month 11, day 5, hour 13, minute 47.
    uint64_t date = (24ull << 25) | (11ull << 21) | (5ull << 16) | (13ull << 6) | 47ull;
    env.PokeLE(0x20, date, 8);
    out = env.Run("debug");
    EXPECT_NE(std::string::npos, out.find("Welcome to Quay tool debug\nread less than 128 bytes\n")) << out;
    EXPECT_NE(std::string::npos, out.find("    ./quay_tool decode[or encode] infile outfile\n")) << out;
    EXPECT_NE(std::string::npos, out.find("[Main]compile date: 2024.11.05.13:47\n")) << out;

    // Addresses the driver cannot seek to, or that are not numbers, are
    // refused before any access.
    env.Poke(0, "\x01\x02\x03\x04");
    for (const char* cmd : {"debug write 0xffffffffffffffff 4 0xdeadbeef", "debug write 0x7ffffffffffffffe 4 1",
                            "debug write -1 4 1", "debug write 0x10zz 4 1", "debug read ffffffffffffffff 4"}) {
        out = env.Run(cmd);
        EXPECT_NE(std::string::npos, out.find("bad address")) << cmd << "\n" << out;
        EXPECT_EQ(std::string::npos, out.find(" into addr ")) << out;
        EXPECT_EQ(std::string::npos, out.find("bytes from addr")) << out;
    }
    EXPECT_EQ(std::string("\x01\x02\x03\x04", 4), env.Peek(0, 4));

    // Unknown sub-commands and wrong counts do nothing.
    out = env.Run("debug read 0x10");
    EXPECT_EQ(std::string::npos, out.find("bytes from addr")) << out;

    // debug stat: running information, then the statistics readout.
    out = env.Run("debug stat");
    EXPECT_NE(std::string::npos, out.find("welcome to quay_tool")) << out;
    EXPECT_NE(std::string::npos, out.find("******** Read Statistics ********")) << out;
}

TEST(QuayTool, ConfirmationAcceptsOnlyYesAndNewline) {
    ToolEnv env;
    for (const char* answer : {"y\n", "yes \n", "YES\n", " yes\n", "yes", "", "no\n"}) {
        std::string out = env.Run("reload 0000:d8:00.0", answer);
        EXPECT_NE(std::string::npos, out.find("[Main]This command will reboot HOST")) << out;
        EXPECT_NE(std::string::npos, out.find("yes(no?) ")) << out;
        EXPECT_EQ(std::string::npos, out.find("Start reloading")) << "answer '" << answer << "'\n" << out;
        EXPECT_EQ(std::string::npos, out.find("Board Reload Utility")) << answer;
    }
    // Confirmed: the reload runs (there is no such card here; it reports completion anyway).
    std::string out = env.Run("reload 0000:d8:00.0", "yes\n");
    EXPECT_NE(std::string::npos, out.find("[Main]Start reloading......")) << out;
    EXPECT_NE(std::string::npos, out.find("Board Reload Utility.\n")) << out;
    EXPECT_FALSE(BroughtUp(out));

    out = env.Run("upgrade 0000:d8:00.0 img.mcs", "yes \n");
    EXPECT_NE(std::string::npos,
              out.find("This command will upgrade FPGA, and you need execute reload cmd after this command."));
    EXPECT_EQ(std::string::npos, out.find("Start upgrading")) << out;

    // Confirmed, but the flash fails: no second prompt, no reload.
    out = env.Run("upgrade 0000:d8:00.0 img.mcs", "yes\nyes\n");
    EXPECT_NE(std::string::npos, out.find("[Main]Start upgrading......")) << out;
    EXPECT_NE(std::string::npos, out.find("ZARorur failed.\n")) << out;
    EXPECT_EQ(1, Count(out, "yes(no?) ")) << out;
    EXPECT_EQ(std::string::npos, out.find("Start reloading")) << out;
}

TEST(QuayTool, FileCommands) {
    ToolEnv env;
    std::string data;
    for (int i = 0; i < 1000; ++i) data += (char)(i * 7 + 3);
    qtest::WriteFile(env.dir() + "/plain.dat", data);

    std::string out = env.Run("encode plain.dat enc.dat");
    EXPECT_NE(std::string::npos, out.find("[Main]Encode command, infile:plain.dat, outfile:enc.dat")) << out;
    EXPECT_FALSE(BroughtUp(out));
    EXPECT_NE(data, qtest::ReadFile(env.dir() + "/enc.dat"));
    out = env.Run("decode enc.dat back.dat");
    EXPECT_NE(std::string::npos, out.find("[Main]Decode command, infile:enc.dat, outfile:back.dat")) << out;
    EXPECT_EQ(data, qtest::ReadFile(env.dir() + "/back.dat"));

    // The shipped bin decodes to the register description.
    env.Run("decode bin cfg.xml");
    EXPECT_NE(std::string::npos, qtest::ReadFile(env.dir() + "/cfg.xml").find("<Cores>"));

    // No key: encryption is refused and writes nothing.
    std::string data16 = data.substr(0, 992);
    qtest::WriteFile(env.dir() + "/plain16.dat", data16);
    out = env.Run("encrypt plain16.dat sec.dat");
    EXPECT_NE(std::string::npos, out.find("[Main]Encrypt command, infile:plain16.dat, outfile:sec.dat")) << out;
    EXPECT_FALSE(BroughtUp(out));
    EXPECT_EQ("", qtest::ReadFile(env.dir() + "/sec.dat"));

    // With a key beside the configuration, the result is plain SM4-ECB.
    qtest::WriteFile(env.dir() + "/quay.key", "00112233445566778899aabbccddeeff\n");
    out = env.Run("encrypt plain16.dat sec.dat");
    ASSERT_EQ(data16.size(), qtest::ReadFile(env.dir() + "/sec.dat").size()) << out;
    int status = -1;
    std::string dec = qtest::RunCmd("openssl enc -d -sm4-ecb -nopad -K 00112233445566778899aabbccddeeff -in '" +
                                        env.dir() + "/sec.dat'",
                                    &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(data16, dec);
    env.Run("decrypt sec.dat plain2.dat");
    EXPECT_EQ(data16, qtest::ReadFile(env.dir() + "/plain2.dat"));
}
