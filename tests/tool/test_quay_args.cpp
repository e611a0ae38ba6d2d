// The daemon's command line: help and version answer at once, anywhere, and
// any other argument is refused; none of them starts the daemon, creates
// ./log or reads quay.ini (a daemon that started would make ./log before
// anything else and log its welcome line).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "test_util.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

class QuayArgs : public ::testing::Test {
protected:
    qtest::TempDir m_dir{"quayargs"};

    Outcome Run(const std::string& args) {
        Outcome o;
        const std::string cmd = "cd '" + m_dir.path() + "' && timeout 20 '" + std::string(QUAY_BINARY_DIR) +
                                "/bin/quay' " + args + " 2>'" + (m_dir / "err.txt") + "'";
        o.out = qtest::RunCmd(cmd, &o.status);
        o.err = qtest::ReadFile(m_dir / "err.txt");
        return o;
    }
    bool LogMade() const {
        struct stat st;
        return stat((m_dir / "log").c_str(), &st) == 0;
    }
};

const char* kUsageHead = "usage: quay [--help | --version]\n";

}  // namespace

TEST_F(QuayArgs, HelpAndVersionPrintAndExitZeroWithoutStarting) {
    for (const char* a : {"--help", "-h"}) {
        Outcome o = Run(a);
        EXPECT_EQ(0, o.status) << a;
        EXPECT_EQ(0u, o.out.find(kUsageHead)) << a << "\n" << o.out;
        EXPECT_NE(std::string::npos, o.out.find("Exit status: 0 after a failed bring-up")) << o.out;
        EXPECT_EQ("", o.err) << a;
    }
    Outcome v = Run("--version");
    EXPECT_EQ(0, v.status);
    EXPECT_TRUE(std::regex_match(v.out, std::regex("quay Software Ver 2\\.5\\.6 Support Xdma and E \\.[A-Z][a-z]{2} "
                                                   "[ 0-9]\\d \\d{4} \\d\\d:\\d\\d:\\d\\d\n")))
        << v.out;
    EXPECT_FALSE(LogMade()) << "a help or version run made ./log";
}

TEST_F(QuayArgs, AnyOtherArgumentPrintsTheUsageOnStandardErrorAndExitsTwo) {
    for (const char* a : {"-x", "start", "--help extra", "--version --help", "''"}) {
        Outcome o = Run(a);
        EXPECT_EQ(2, o.status) << a;
        EXPECT_EQ("", o.out) << a;
        EXPECT_EQ(0u, o.err.find(kUsageHead)) << a << "\n" << o.err;
    }
    EXPECT_FALSE(LogMade()) << "a refused argument made ./log";
}
