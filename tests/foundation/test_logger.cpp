// Logger and log files. The logger is process-wide, so every case that
// initialises it runs in a forked child.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_cmds.h"
#include "gt_logger.h"
#include "test_util.h"

namespace {

using qtest::Today;

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

bool Matches(const std::string& s, const std::string& re) { return std::regex_match(s, std::regex(re)); }

const std::string kStamp = R"(\[\d{8}-\d\d:\d\d:\d\d\])";

// A temp working dir whose stdout/stderr the child redirects into files.
struct Sandbox {
    qtest::TempDir dir{"quaylogger"};
    std::string out = dir / "stdout";
    std::string err = dir / "stderr";
    // Child side.
    void Enter() const {
        if (chdir(dir.path().c_str()) != 0) _exit(qtest::kChildSetupFailed);
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(qtest::kChildSetupFailed);
    }
    std::string Out() const { return qtest::ReadFile(out); }
    std::string Err() const { return qtest::ReadFile(err); }
    std::string LogFile(const std::string& rel) const { return qtest::ReadFile(dir / rel); }
};

TEST(LoggerInit, CreatesDirectoryWithParentsAndDatedFile) {
    Sandbox sb;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        umask(022);
        CGtLogger logger;
        EXPECT_EQ(0, logger.Init(0, "./log/a/b", "quay"));
        return 0;
    }));
    for (const char* d : {"log", "log/a", "log/a/b"}) {
        struct stat st;
        ASSERT_EQ(0, stat((sb.dir / d).c_str(), &st)) << d;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0755u, st.st_mode & 07777) << d;
    }
    std::string file = sb.LogFile("log/a/b/quay_" + Today() + ".log");
    EXPECT_TRUE(Matches(file, R"(\[INFO   \])" + kStamp + R"(\[log\]log is initialized successfully\.\n)")) << file;
    EXPECT_EQ(file, sb.Out());
    EXPECT_EQ("", sb.Err());
    // The stamp carries the file's own date.
    EXPECT_EQ(file.substr(10, 8), Today());
}

TEST(LoggerInit, PlainFileAsLogDirectory) {
    Sandbox sb;
    qtest::WriteFile(sb.dir / "logfile", "x");
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        CGtLogger logger;
        EXPECT_EQ(600004, logger.Init(0, "logfile", "quay"));
        GT_LOGI(GT_TAG_MAIN, "must not appear");
        return 0;
    }));
    EXPECT_EQ("Error! Create file logfile/quay_" + Today() + ".log fail, errmsg:Not a directory. \n"
              "Error! log init fail.\n",
              sb.Err());
    EXPECT_EQ("", sb.Out());
    EXPECT_EQ("x", sb.LogFile("logfile"));
}

TEST(LoggerInit, ReadOnlyDirectories) {
    // Root writes everywhere, except on a read-only mount: mount one in a
    // private mount namespace of the child.
    Sandbox sb;
    ASSERT_EQ(0, mkdir((sb.dir / "ro").c_str(), 0755));
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "ro", "tmpfs", MS_RDONLY, "size=64k") != 0) {
            return (int)qtest::kChildSetupFailed;
        }
        CGtLogger logger;
        EXPECT_EQ(600004, logger.Init(0, "ro", "quay"));
        EXPECT_EQ(600004, logger.Init(0, "ro/sub/log", "quay"));
        // A failed start leaves nothing behind: a good directory works after it.
        EXPECT_EQ(0, logger.Init(0, "good", "quay"));
        GT_LOGW(GT_TAG_FPGA, "after retry");
        return 0;
    }));
    EXPECT_EQ(
        "Error! file or dir: [ro] already exist and havn't write authority. use root try again ?\n"
        "Error! make file or log dir:[ro/sub/log] failed! Maybe no access authority.use root try again ?\n",
        sb.Err());
    std::vector<std::string> lines = SplitLines(sb.LogFile("good/quay_" + Today() + ".log"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(Matches(lines[1], R"(\[WARN   \])" + kStamp + R"(\[fpga\]after retry)")) << lines[1];
}

TEST(LoggerLines, PrefixesPerLevel) {
    Sandbox sb;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        CGtLogger logger;
        EXPECT_EQ(0, logger.Init(0, "log", "quay"));
        GT_LOGE(GT_TAG_SRV, "error %d", 1);
        GT_LOGW(GT_TAG_MONITOR, "warn %s", "two");
        GT_LOGI(GT_TAG_FPGA, "info");
        elog_output(ELOG_LVL_EVENT, "Main", "/x/y.cpp", "f", 1, "event");
        elog_output(ELOG_LVL_DEBUG, "fpga", "/src/tarpon/gt_config", "Load", 123, "debug");
        elog_output(ELOG_LVL_VERBOSE, "fpga", "gt_config", "Load", 12345, "verbose");
        elog_output(ELOG_LVL_ASSERT, "fpga", "/src/gt_config", "Load", 77, "assert");
        elog_set_filter_lvl(ELOG_LVL_WARN);
        GT_LOGI(GT_TAG_FPGA, "filtered out");
        GT_LOGW(GT_TAG_FPGA, "still there");
        elog_set_filter_lvl(ELOG_LVL_VERBOSE);
        elog_output(7, "fpga", "f", "g", 1, "no such level");
        elog_set_fmt(ELOG_LVL_INFO, ELOG_FMT_LVL | ELOG_FMT_LINE);
        elog_output(ELOG_LVL_INFO, "x", "f", "g", 42, "line only");
        elog_set_output_enabled(false);
        EXPECT_FALSE(elog_get_output_enabled());
        GT_LOGE(GT_TAG_FPGA, "disabled");
        return 0;
    }));
    std::string file = sb.LogFile("log/quay_" + Today() + ".log");
    EXPECT_EQ(file, sb.Out());
    std::vector<std::string> lines = SplitLines(file);
    const std::string pid = R"(pid:\d{4,} tid:\d{4,}\])";
    const std::vector<std::string> expect = {
        R"(\[INFO   \])" + kStamp + R"(\[log\]log is initialized successfully\.)",
        R"(\[ERROR  \])" + kStamp + R"(\[Srv\]error 1)",
        R"(\[WARN   \])" + kStamp + R"(\[Monitor\]warn two)",
        R"(\[INFO   \])" + kStamp + R"(\[fpga\]info)",
        R"(\[EVENT  \])" + kStamp + R"(\[Main\]event)",
        R"(\[DEBUG  \]\[\d{8}-\d\d:\d\d:\d\d )" + pid + R"(\[fpga\]\(gt_config:123\)debug)",
        R"(\[VERBOSE\]\[\d{8}-\d\d:\d\d:\d\d )" + pid + R"(\[fpga\]\(gt_config:1234\)verbose)",
        R"(\[ASSERT \]\[\d{8}-\d\d:\d\d:\d\d )" + pid + R"(\[fpga\]\(gt_config Load:77\)assert)",
        R"(\[WARN   \])" + kStamp + R"(\[fpga\]still there)",
        R"(\[INFO   \]\(42\)line only)",
    };
    ASSERT_EQ(expect.size(), lines.size()) << file;
    for (size_t i = 0; i < expect.size(); ++i) EXPECT_TRUE(Matches(lines[i], expect[i])) << lines[i];
}

TEST(LoggerLines, OverlongTextIsCut) {
    Sandbox sb;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        CGtLogger logger;
        EXPECT_EQ(0, logger.Init(0, "log", "quay"));
        // "[INFO   ][YYYYMMDD-HH:MM:SS][Main]" is 34 characters.
        std::string fits(2048 - 34 - 1, 'f');
        GT_LOGI(GT_TAG_MAIN, "%s", fits.c_str());
        GT_LOGI(GT_TAG_MAIN, "%sX", fits.c_str());
        GT_LOGI(GT_TAG_MAIN, "%s", std::string(5000, 'm').c_str());
        std::string tag(3000, 't');
        elog_output(ELOG_LVL_DEBUG, tag.c_str(), std::string(3000, 'p').c_str(), "fn", 1, "msg");
        elog_raw("%s", std::string(5000, 'r').c_str());
        elog_raw_huge("%s", std::string(3000000, 'h').c_str());
        elog_raw_huge("%s|", "tail");
        return 0;
    }));
    std::string file = sb.LogFile("log/quay_" + Today() + ".log");
    EXPECT_EQ(file.size(), sb.Out().size());
    std::vector<std::string> lines = SplitLines(file.substr(0, file.find('r')));
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(2047u, lines[1].size());
    EXPECT_EQ('f', lines[1].back());
    EXPECT_EQ(2047u, lines[2].size()) << "cut before the X";
    EXPECT_EQ('f', lines[2].back());
    EXPECT_EQ(2047u, lines[3].size());
    EXPECT_EQ('m', lines[3].back());
    EXPECT_EQ(2047u, lines[4].size());
    EXPECT_EQ('t', lines[4].back());
    size_t r = file.find('r');
    size_t h = file.find('h');
    EXPECT_EQ(2048u, h - r) << "raw line bound";
    EXPECT_EQ(std::string(2048, 'r'), file.substr(r, 2048));
    EXPECT_EQ(2048000u + 5u, file.size() - h) << "huge raw bound, then 'tail|'";
    EXPECT_EQ("tail|", file.substr(file.size() - 5));
}

TEST(LoggerLines, HexDump) {
    Sandbox sb;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        CGtLogger logger;
        EXPECT_EQ(0, logger.Init(0, "log", "quay"));
        uint8_t buf[20];
        for (int i = 0; i < 20; ++i) buf[i] = (uint8_t)(0x41 + i);
        buf[2] = 0x00;
        buf[3] = 0x7f;
        elog_hexdump("buf", 16, buf, 20);
        elog_hexdump("w4", 4, buf, 3);
        elog_hexdump("none", 16, buf, 0);
        elog_hexdump("zero width", 0, buf, 20);  // would never advance
        elog_set_filter_lvl(ELOG_LVL_INFO);
        elog_hexdump("filtered", 16, buf, 20);
        return 0;
    }));
    std::vector<std::string> lines = SplitLines(sb.LogFile("log/quay_" + Today() + ".log"));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("[DEBUG  ]HEX buf: 0000-0010: 41 42 00 7F 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50    AB..EFGHIJKLMNOP",
              lines[1]);
    EXPECT_EQ("[DEBUG  ]HEX buf: 0010-0020: 51 52 53 54" + std::string(4 * 3 + 1 + 8 * 3 + 1 + 1, ' ') +
                  "  QRST",
              lines[2]);
    EXPECT_EQ("[DEBUG  ]HEX w4: 0000-0004: 41 42 00      AB.", lines[3]);
}

TEST(LoggerLines, ThreadsWriteWholeLines) {
    Sandbox sb;
    const int kThreads = 4, kLines = 1500;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        CGtLogger logger;
        EXPECT_EQ(0, logger.Init(0, "log", "quay"));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &go] {
                while (!go) std::this_thread::yield();
                for (int s = 0; s < kLines; ++s) {
                    std::string payload((s * 37 + t * 101) % 1900 + 1, (char)('a' + t));
                    GT_LOGI(GT_TAG_SRV, "T%d S%d %s", t, s, payload.c_str());
                }
            });
        }
        go = true;
        for (auto& th : threads) th.join();
        return 0;
    }));
    std::vector<std::string> lines = SplitLines(sb.LogFile("log/quay_" + Today() + ".log"));
    ASSERT_EQ((size_t)(kThreads * kLines + 1), lines.size());
    std::vector<int> next(kThreads, 0);
    const std::regex re(R"(\[INFO   \]\[\d{8}-\d\d:\d\d:\d\d\]\[Srv\]T(\d) S(\d+) ([a-d]+))");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, re)) << "line " << i << ": " << lines[i].substr(0, 120);
        int t = std::stoi(m[1]), s = std::stoi(m[2]);
        ASSERT_EQ(next[t], s) << "thread " << t << " lines in order";
        ++next[t];
        EXPECT_EQ(std::string((s * 37 + t * 101) % 1900 + 1, (char)('a' + t)), m[3].str());
    }
}

TEST(LoggerLifecycle, NothingBeforeStartAndFileUntouchedAfterFini) {
    Sandbox sb;
    ASSERT_EQ(0, qtest::RunInChild([&] {
        sb.Enter();
        GT_LOGE(GT_TAG_MAIN, "before init");
        CGtLogger* logger = new CGtLogger();
        EXPECT_EQ(0, logger->Init(0, "log", "quay"));
        GT_LOGI(GT_TAG_MAIN, "during");
        delete logger;  // closes the file
        GT_LOGI(GT_TAG_MAIN, "after fini");
        elog_raw("raw after fini\n");
        elog_fini();  // twice is harmless
        // A new start opens the file again and appends.
        CGtLogger again;
        EXPECT_EQ(0, again.Init(0, "log", "quay"));
        GT_LOGI(GT_TAG_MAIN, "restarted");
        return 0;
    }));
    std::vector<std::string> file = SplitLines(sb.LogFile("log/quay_" + Today() + ".log"));
    ASSERT_EQ(4u, file.size());
    EXPECT_NE(std::string::npos, file[1].find("]during"));
    EXPECT_NE(std::string::npos, file[2].find("log is initialized successfully."));
    EXPECT_NE(std::string::npos, file[3].find("]restarted"));
    std::string out = sb.Out();
    EXPECT_EQ(std::string::npos, out.find("before init"));
    EXPECT_NE(std::string::npos, out.find("[Main]after fini\n"));
    EXPECT_NE(std::string::npos, out.find("raw after fini\n"));
}

// Day rotation, run in a helper process under libfaketime whose clock each
// "T:" step sets.
const char* const kFaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

struct HelperRun {
    std::string out, err;
    int status = -1;
};

HelperRun RunHelper(const Sandbox& sb, const std::string& steps) {
    std::string ts = sb.dir / "faketime";
    qtest::WriteFile(ts, "2025-02-25 23:59:58\n");
    std::string cmd = "cd '" + sb.dir.path() + "' && env TZ=UTC LD_PRELOAD=" + kFaketime +
                      " FAKETIME_TIMESTAMP_FILE='" + ts +
                      "' FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1 ASAN_OPTIONS=verify_asan_link_order=0 " +
                      FOUND_LOG_HELPER + " log quay " + steps + " >stdout 2>stderr";
    HelperRun r;
    qtest::RunCmd(cmd, &r.status);
    r.out = sb.Out();
    r.err = sb.Err();
    return r;
}

TEST(LoggerRotation, FirstLineOfNewDayOpensNewFile) {
    if (access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime not installed";
    Sandbox sb;
    HelperRun r = RunHelper(sb, "I L:a 'T:2025-02-26 00:00:01' L:b L:c 'T:2025-02-25 23:00:00' L:d "
                                "'T:2025-02-27 00:00:00' L:e F L:after");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("init=0\n", r.err);
    EXPECT_EQ("[INFO   ][20250225-23:59:58][log]log is initialized successfully.\n"
              "[INFO   ][20250225-23:59:58][Main]a\n",
              sb.LogFile("log/quay_20250225.log"));
    EXPECT_EQ("[INFO   ][20250226-00:00:01][Main]b\n"
              "[INFO   ][20250226-00:00:01][Main]c\n"
              "[INFO   ][20250225-23:00:00][Main]d\n",
              sb.LogFile("log/quay_20250226.log"))
        << "clock set back keeps the current file";
    EXPECT_EQ("[INFO   ][20250227-00:00:00][Main]e\n", sb.LogFile("log/quay_20250227.log"));
    EXPECT_NE(std::string::npos, r.out.find("[Main]after\n"));
}

TEST(LoggerRotation, NewDayFileThatCannotBeOpened) {
    if (access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime not installed";
    Sandbox sb;
    HelperRun r = RunHelper(sb, "I L:a X 'T:2025-02-26 09:00:00' L:b L:c 'T:2025-02-27 09:00:00' L:d");
    ASSERT_EQ(0, r.status) << r.err;
    // The old file is still there (moved away); the new day's file cannot be
    // created under a plain file; lines still reach standard output.
    EXPECT_EQ("init=0\nError! Create file log/quay_20250226.log fail, errmsg:Not a directory. \n"
              "Error! Create file log/quay_20250227.log fail, errmsg:Not a directory. \n",
              r.err);
    EXPECT_EQ("[INFO   ][20250225-23:59:58][log]log is initialized successfully.\n"
              "[INFO   ][20250225-23:59:58][Main]a\n",
              sb.LogFile("log.old/quay_20250225.log"));
    EXPECT_EQ("", sb.LogFile("log"));
    for (const char* l : {"]b\n", "]c\n", "]d\n"}) EXPECT_NE(std::string::npos, r.out.find(l)) << l;
}

}  // namespace
