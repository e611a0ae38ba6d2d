// Host checks (with fake lspci, lsmod and ps first on PATH) and utilities.

#include <gtest/gtest.h>
#include <pthread.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common.h"
#include "fake_cmds.h"

namespace {

std::string Lines(const std::string& text, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += text + " " + std::to_string(i) + "\n";
    return s;
}

const char* const kEnyx = "3b:00.0 Network controller: Enyx Device 0001";
const char* const kXi = "d8:00.0 Memory controller: Xilinx Corporation Device 903f";

// Census with e Enyx and x Xilinx lines; each case in its own process (the
// census is cached per process).
int Census(int e, int x) {
    qtest::FakeBin bin;
    bin.Add("lspci", Lines(kEnyx, e) + "00:1f.0 ISA bridge: Intel Corporation C620\n" + Lines(kXi, x));
    return qtest::RunInChild([&] {
        qtest::ScopedPath path(bin.dir());
        return (int)CheckEnvBoard();
    });
}

TEST(HostChecks, CensusTable) {
    EXPECT_EQ(MKRX_NO_BOARD, Census(0, 0));
    EXPECT_EQ(MKRX_ONE_XI_BOARD, Census(0, 1));
    EXPECT_EQ(MKRX_MULTI_XI_BOARD, Census(0, 3));
    EXPECT_EQ(MKRX_ONE_ENYX_BOARD, Census(1, 0));
    EXPECT_EQ(MKRX_MULTI_ENYX_BOARD, Census(2, 0));
    EXPECT_EQ(MKRX_MIXED_BOARD, Census(1, 2));
    EXPECT_EQ(MKRX_MIXED_BOARD, Census(3, 1));
}

TEST(HostChecks, CensusIsCached) {
    qtest::FakeBin bin;
    bin.Add("lspci", Lines(kEnyx, 1) + Lines(kXi, 2));
    EXPECT_EQ(0, qtest::RunInChild([&] {
        qtest::ScopedPath path(bin.dir());
        EXPECT_EQ(MKRX_MIXED_BOARD, CheckEnvBoard());
        EXPECT_EQ(2, bin.Calls("lspci"));
        bin.Add("lspci", "");  // the host changes; the census does not
        bin.ResetCalls("lspci");
        EXPECT_EQ(MKRX_MIXED_BOARD, CheckEnvBoard());
        EXPECT_EQ(0, bin.Calls("lspci"));
    }));
}

TEST(HostChecks, MissingProgramsCountAsNoOutput) {
    qtest::TempDir empty;
    EXPECT_EQ(0, qtest::RunInChild([&] {
        // Only grep on PATH, no lspci/lsmod: the shell reports it on stderr,
        // grep sees nothing.
        ASSERT_EQ(0, symlink("/usr/bin/grep", (empty / "grep").c_str()));
        setenv("PATH", empty.path().c_str(), 1);
        EXPECT_EQ(MKRX_NO_BOARD, CheckEnvBoard());
        EXPECT_EQ(0, IsXiDriverInstalled());
        EXPECT_EQ(0, IsEDriverInstalled());
    }));
}

TEST(HostChecks, DriverChecksCountLines) {
    qtest::FakeBin bin;
    qtest::ScopedPath path(bin.dir());
    bin.Add("lsmod", "Module Size Used by\next4 1 0\n");
    EXPECT_EQ(0, IsXiDriverInstalled());
    EXPECT_EQ(0, IsEDriverInstalled());
    bin.Add("lsmod", "xdma 110592 0\n" + Lines("hfp_mod", 5));
    EXPECT_EQ(1, IsXiDriverInstalled());
    EXPECT_EQ(0, IsEDriverInstalled()) << "5 hfp lines are not enough";
    bin.Add("lsmod", Lines("hfp_mod", 6));
    EXPECT_EQ(0, IsXiDriverInstalled());
    EXPECT_EQ(1, IsEDriverInstalled());
    // A last line without a newline still counts.
    bin.Add("lsmod", "xdma 1 0");
    EXPECT_EQ(1, IsXiDriverInstalled());
}

struct BeforeRunCase {
    int e, x;
    std::string lsmod;
    int ret;
    std::string out;
};

TEST(HostChecks, CheckBeforeRunMessages) {
    const std::string noBoard =
        "Unable to recongnize fpga board! if there indeed exist fpga board, firmware maybe error.\n";
    const BeforeRunCase cases[] = {
        {0, 0, "", -1, noBoard},
        {1, 0, Lines("hfp", 6), 0, ""},
        {2, 0, Lines("hfp", 5),
         -1, "There exist E board, but the E driver not installed, please install first.\n"},
        {0, 1, "xdma 1 0\n", 0, ""},
        {0, 2, "", -1, "There exist Xi board, but the Xi driver not installed, please install first.\n"},
        {1, 1, "", 0, "Attention! the E driver not installed!Attention! the Xi driver not installed! \n"},
        {1, 1, "xdma 1 0\n", 0, "Attention! the E driver not installed! \n"},
        {1, 1, Lines("hfp", 6), 0, "Attention! the Xi driver not installed! \n"},
        {1, 1, "xdma 1 0\n" + Lines("hfp", 6), 0, " \n"},
    };
    for (const auto& c : cases) {
        qtest::FakeBin bin;
        bin.Add("lspci", Lines(kEnyx, c.e) + Lines(kXi, c.x));
        bin.Add("lsmod", c.lsmod);
        qtest::TempDir out;
        std::string outFile = out / "stdout";
        int status = qtest::RunInChild([&] {
            qtest::ScopedPath path(bin.dir());
            if (!freopen(outFile.c_str(), "w", stdout)) return 99;
            int ret = CheckBeforeRun();
            fflush(stdout);
            return ret == -1 ? 1 : ret == 0 ? 0 : 2;
        });
        EXPECT_EQ(c.ret == -1 ? 1 : 0, status) << "E=" << c.e << " X=" << c.x;
        EXPECT_EQ(c.out, qtest::ReadFile(outFile)) << "E=" << c.e << " X=" << c.x;
    }
}

// A /proc of its own: "self" in namespace pid:[1] at depth 1, and one
// directory per process with the files the count reads.
struct FakeProc {
    std::string pid, cmdline, comm, ns, nspid;
};

void AddFakeProc(const qtest::TempDir& root, const FakeProc& p) {
    std::string d = root / p.pid;
    ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    qtest::WriteFile(d + "/cmdline", p.cmdline);
    qtest::WriteFile(d + "/comm", p.comm + "\n");
    qtest::WriteFile(d + "/status", "Name:\t" + p.comm + "\nNSpid:\t" + p.nspid + "\n");
    if (!p.ns.empty()) {
        ASSERT_EQ(0, mkdir((d + "/ns").c_str(), 0755));
        ASSERT_EQ(0, symlink(p.ns.c_str(), (d + "/ns/pid").c_str()));
    }
}

TEST(HostChecks, ProducerProgramIsCountedByItsOwnName) {
    using namespace std::string_literals;
    const std::string prodComm = "QxDeliverDmaSer";  // what the kernel keeps of the name
    const struct {
        FakeProc proc;
        int count;
    } cases[] = {
        {{"10", "./QxDeliverDmaServer\0-d\0cfg\0"s, prodComm, "pid:[1]", "10"}, 1},
        {{"11", "/opt/qx/bin/QxDeliverDmaServer\0"s, prodComm, "pid:[1]", "11"}, 1},
        {{"12", "man\0QxDeliverDmaServer\0"s, "man", "pid:[1]", "12"}, 0},
        {{"13", "tail\0-f\0QxDeliverDmaServer.log\0"s, "tail", "pid:[1]", "13"}, 0},
        {{"14", "man QxDeliverDmaServer\0"s, "sleep", "pid:[1]", "14"}, 0},
        {{"15", "tail -f /var/log/QxDeliverDmaServer\0"s, "sleep", "pid:[1]", "15"}, 0},
        {{"16", "QxDeliverDmaServer\0"s, "sleep", "pid:[1]", "16"}, 0},  // exec -a: argv[0] alone
        {{"17", "./QxDeliverDmaServerOld\0"s, prodComm, "pid:[1]", "17"}, 0},
        {{"18", "vim\0QxDeliverDmaServer_notes\0"s, "vim", "pid:[1]", "18"}, 0},
        {{"19", "./QxDeliverDmaServer\0"s, prodComm, "pid:[2]", "19\t1"}, 0},  // a container's producer
        {{"20", "./QxDeliverDmaServer\0"s, prodComm, "", "20"}, 1},     // not traceable: same depth
        {{"21", "./QxDeliverDmaServer\0"s, prodComm, "", "21\t1"}, 0},  // not traceable: deeper
        {{"22", "", prodComm, "pid:[1]", "22"}, 0},                     // a zombie has no command line
    };
    auto makeRoot = [](qtest::TempDir& root) {
        ASSERT_EQ(0, mkdir((root / "self").c_str(), 0755));
        ASSERT_EQ(0, mkdir((root / "self/ns").c_str(), 0755));
        ASSERT_EQ(0, symlink("pid:[1]", (root / "self/ns/pid").c_str()));
        qtest::WriteFile(root / "self/status", "Name:\ttest\nNSpid:\t9\n");
        ASSERT_EQ(0, mkdir((root / "sys").c_str(), 0755));
    };
    qtest::TempDir all;
    makeRoot(all);
    int total = 0;
    for (const auto& c : cases) {
        qtest::TempDir one;
        makeRoot(one);
        AddFakeProc(one, c.proc);
        EXPECT_EQ(c.count, CountProgProcesses(one.path().c_str(), MKRX_PROD_PROG_NAME)) << "pid " << c.proc.pid;
        AddFakeProc(all, c.proc);
        total += c.count;
    }
    EXPECT_EQ(total, CountProgProcesses(all.path().c_str(), MKRX_PROD_PROG_NAME));
    EXPECT_EQ(-1, CountProgProcesses((all / "missing").c_str(), MKRX_PROD_PROG_NAME));
}

TEST(HostChecks, CurrentUser) {
    ASSERT_EQ(0u, getuid()) << "tests run as root";
    EXPECT_EQ("root", GetCurUserName());
    EXPECT_TRUE(IsCurUserRoot());
    EXPECT_EQ(0, qtest::RunInChild([] {
        ASSERT_EQ(0, setuid(65534));
        EXPECT_NE("root", GetCurUserName());
        EXPECT_FALSE(IsCurUserRoot());
    }));
}

TEST(Utilities, FileSize) {
    qtest::TempDir d;
    qtest::WriteFile(d / "f", std::string(1234, 'x'));
    EXPECT_EQ(1234, Uti_GetFileSize((d / "f").c_str()));
    qtest::WriteFile(d / "empty", "");
    EXPECT_EQ(0, Uti_GetFileSize((d / "empty").c_str()));
    EXPECT_EQ(-1, Uti_GetFileSize((d / "missing").c_str()));
    EXPECT_EQ(-1, Uti_GetFileSize(nullptr));
}

TEST(Utilities, IpStr2Val) {
    uint8_t b[8];
    memset(b, 0xEE, sizeof(b));
    EXPECT_EQ(0, ipStr2val("225.0.0.187", b));
    EXPECT_EQ(225, b[0]);
    EXPECT_EQ(0, b[1]);
    EXPECT_EQ(0, b[2]);
    EXPECT_EQ(187, b[3]);
    EXPECT_EQ(0, ipStr2val("10.10.10.34", b));  // 34 is a plain value
    EXPECT_EQ(34, b[3]);
    EXPECT_EQ(0, ipStr2val("256.1.2.300", b));  // low 8 bits
    EXPECT_EQ(0, b[0]);
    EXPECT_EQ(44, b[3]);

    EXPECT_EQ(-1, ipStr2val("1.2x", b));
    EXPECT_EQ(-1, ipStr2val("1.2.3.4 ", b));
    EXPECT_EQ(-1, ipStr2val("1,2,3,4", b));

    // More than four components is refused without writing past 4 bytes.
    memset(b, 0xEE, sizeof(b));
    EXPECT_EQ(-1, ipStr2val("1.2.3.4.5", b));
    EXPECT_EQ(-1, ipStr2val("1.2.3.4.", b));
    EXPECT_EQ(-1, ipStr2val("1.1.1.1.1.1.1.1.1.1", b));
    for (int i = 4; i < 8; ++i) EXPECT_EQ(0xEE, b[i]) << i;

    memset(b, 0xEE, sizeof(b));
    EXPECT_EQ(0, ipStr2val("", b));
    EXPECT_EQ(0xEE, b[0]);
    EXPECT_EQ(-1, ipStr2val(nullptr, b));
    // Only the first 20 characters are read.
    EXPECT_EQ(0, ipStr2val("001.002.003.00000004x", b));
    EXPECT_EQ(4, b[3]);
}

TEST(Utilities, Shifts) {
    EXPECT_EQ(0x8000000000000000ull, Uti_MoveLeft64(1, 63));
    EXPECT_EQ(0u, Uti_MoveLeft64(1, 64));
    EXPECT_EQ(0u, Uti_MoveLeft64(~0ull, 64));
    EXPECT_EQ(0x1234u, Uti_MoveLeft64(0x1234, 0));
    EXPECT_EQ(0xffffffff00000000ull, Uti_MoveLeft64(0xffffffffull, 32));
    EXPECT_EQ(0x80000000ull, Uti_MoveRight64(0x8000000000000000ull, 32));
    EXPECT_EQ(0u, Uti_MoveRight64(~0ull, 64));
    EXPECT_EQ(1u, Uti_MoveRight64(~0ull, 63));
    EXPECT_EQ(0x1234u, Uti_MoveRight64(0x1234, 0));
    EXPECT_EQ(0, Uti_IsBigEndian());
}

TEST(Utilities, ContainsLetters) {
    EXPECT_FALSE(containsLetters("600000,000001"));
    EXPECT_TRUE(containsLetters("60000a"));
    EXPECT_TRUE(containsLetters(std::string("Z")));
    EXPECT_FALSE(containsLetters(std::string()));
    EXPECT_FALSE(containsLetters((const char*)nullptr));
}

TEST(Utilities, BindToCpu) {
    qtest::TempDir d;
    std::string outFile = d / "out";
    EXPECT_EQ(0, qtest::RunInChild([&] {
        ASSERT_TRUE(freopen(outFile.c_str(), "w", stdout));
        EXPECT_EQ(0, bind_to_cpu(0));
        cpu_set_t set;
        ASSERT_EQ(0, pthread_getaffinity_np(pthread_self(), sizeof(set), &set));
        EXPECT_EQ(1, CPU_COUNT(&set));
        EXPECT_TRUE(CPU_ISSET(0, &set));
        EXPECT_NE(0, bind_to_cpu(1024));
        EXPECT_NE(0, bind_to_cpu(-1));
        ASSERT_EQ(0, pthread_getaffinity_np(pthread_self(), sizeof(set), &set));
        EXPECT_TRUE(CPU_ISSET(0, &set)) << "failed binds leave the affinity alone";
        fflush(stdout);
    }));
    EXPECT_EQ("Invalid CPU 1024 > CPU_SETSIZE(1024), WE don't bind to anycore."
              "Failed to bind to CPU -1",
              qtest::ReadFile(outFile));
}

TEST(Utilities, FillDebugFileHex) {
    qtest::TempDir d;
    std::string outFile = d / "out";
    std::string hexFile = d / "hex";
    EXPECT_EQ(0, qtest::RunInChild([&] {
        ASSERT_TRUE(freopen(outFile.c_str(), "w", stdout));
        int fd = open(hexFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const uint8_t data[5] = {0x01, 0xAB, 0xFF, 0x00, 0x7e};
        char buf[64];
        FillDebugFileHex(buf, sizeof(buf), fd, data, 5);   // "01ABFF007E\n"
        FillDebugFileHex(buf, 8, fd, data, 5);             // 3 bytes fit: "01ABFF\n"
        FillDebugFileHex(buf, 2, fd, data, 5);             // only the newline
        FillDebugFileHex(buf, sizeof(buf), fd, data, 0);   // "\n"
        // An odd buffer never gets its terminator written past the end.
        char odd[8];
        memset(odd, 'Z', sizeof(odd));
        FillDebugFileHex(odd, 7, fd, data, 5);             // 2 bytes: "01AB\n"
        EXPECT_EQ('Z', odd[6]);
        EXPECT_EQ('Z', odd[7]);
        close(fd);
        fflush(stdout);
    }));
    EXPECT_EQ("01ABFF007E\n01ABFF\n\n\n01AB\n", qtest::ReadFile(hexFile));
    EXPECT_EQ("Left 2 bytes not write into file. totalSizes:5, writed:6.\n"
              "Left 5 bytes not write into file. totalSizes:5, writed:0.\n"
              "Left 3 bytes not write into file. totalSizes:5, writed:4.\n",
              qtest::ReadFile(outFile));
}

TEST(Utilities, SequenceGapCheck) {
    qtest::TempDir d;
    std::string outFile = d / "out";
    EXPECT_EQ(0, qtest::RunInChild([&] {
        ASSERT_TRUE(freopen(outFile.c_str(), "w", stdout));
        uint32_t seq[256] = {0};
        CheckSeqNumIncre(seq, 100, 0x41);   // stored 0: no complaint
        CheckSeqNumIncre(seq, 101, 0x41);   // in order
        seq[0xff] = 7;
        CheckSeqNumIncre(seq, 9, 0xff);     // gap
        EXPECT_EQ(101u, seq[0x41]);
        EXPECT_EQ(9u, seq[0xff]);
        fflush(stdout);
    }));
    EXPECT_EQ("ERROR! not equal!! old_seq 7, current seq 9. \n", qtest::ReadFile(outFile));
}

TEST(Utilities, RotateDay) {
    time_t now = time(nullptr);
    struct tm tmv;
    ASSERT_NE(nullptr, localtime_r(&now, &tmv));
    uint32_t last = 0;
    EXPECT_EQ(0, CheckIsRotateDay(last));
    uint32_t today = last;
    EXPECT_GE(today, (uint32_t)((tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday));
    EXPECT_EQ(0, CheckIsRotateDay(last));
    EXPECT_EQ(today, last);
    last = today - 1;  // yesterday's key (any smaller key)
    EXPECT_EQ(1, CheckIsRotateDay(last));
    EXPECT_EQ(today, last);
    EXPECT_EQ(0, CheckIsRotateDay(last));
    last = today + 10000;  // clock set back
    EXPECT_EQ(0, CheckIsRotateDay(last));
    EXPECT_EQ(today + 10000, last);
}

}  // namespace
