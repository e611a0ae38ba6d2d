#ifndef QUAY_TEST_LOG_CAPTURE_H
#define QUAY_TEST_LOG_CAPTURE_H

// Reading back what the code under test logged.
//
// Including this header starts the process-wide logger (CGtLogger::Init) at
// program start, in a temp dir with the name "test"; the dir is removed at
// exit. Forked children (RunInChild, FakeSysfs::Run) inherit it and log into
// the same file. Each LogCapture remembers where the log file stood when it
// was made; Text() returns every line logged since. Do not include it in a
// test program that must start the logger in a directory of its own (the
// logger starts once per process; a later Init keeps the first directory).
//
//   qtest::LogCapture log;
//   EXPECT_EQ(600002, drv.ReadInt8(0, v));
//   EXPECT_TRUE(log.Contains("[WARN   ]")) << log.Text();
//   EXPECT_TRUE(log.Contains("Didn't inited in yet!"));
//   EXPECT_LOGGED(log, "WARN", "Didn't inited in yet!");   // the whole line, level and tag

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <string>

#include "gt_logger.h"
#include "test_util.h"

namespace qtest {

class LogCapture {
public:
    LogCapture() { m_start = All().size(); }

    // Lines logged since this object was made.
    std::string Text() const {
        std::string all = All();
        return all.size() > m_start ? all.substr(m_start) : std::string();
    }
    bool Contains(const std::string& s) const { return Text().find(s) != std::string::npos; }
    // How many times s occurs in Text().
    int Count(const std::string& s) const {
        std::string t = Text();
        int n = 0;
        for (size_t p = t.find(s); p != std::string::npos; p = t.find(s, p + s.size())) ++n;
        return n;
    }
    // Whether a line of the given level ("ERROR", "WARN", "INFO") and tag
    // holds exactly msg as its message.
    bool HasLine(const char* level, const std::string& msg, const char* tag = "fpga") const {
        const std::string text = Text();
        const std::string lvl = std::string("[") + level;
        const std::string needle = std::string("[") + tag + "]" + msg + "\n";
        for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
            size_t bol = text.rfind('\n', pos);
            bol = bol == std::string::npos ? 0 : bol + 1;
            if (text.compare(bol, lvl.size(), lvl) == 0) return true;
        }
        return false;
    }
    // The directory holding the log files.
    static const std::string& Dir() { return State().dir.path(); }

private:
    struct Shared {
        TempDir dir{"quaylog"};
        CGtLogger logger;
        bool started = false;
        Shared() {
            // The start line goes to the file only: standard output may be
            // read by test discovery (--gtest_list_tests).
            std::string logDir = dir / "log";
            fflush(stdout);
            int saved = dup(STDOUT_FILENO);
            int devnull = open("/dev/null", O_WRONLY);
            if (saved >= 0 && devnull >= 0) dup2(devnull, STDOUT_FILENO);
            started = logger.Init(0, logDir.c_str(), "test") == 0;
            if (saved >= 0 && devnull >= 0) dup2(saved, STDOUT_FILENO);
            if (devnull >= 0) close(devnull);
            if (saved >= 0) close(saved);
        }
    };
    static Shared& State() {
        static Shared s;
        return s;
    }
    static std::string All() { return ReadLogs(State().dir / "log"); }

    size_t m_start = 0;
    friend struct LogCaptureStarter;
};

struct LogCaptureStarter {
    LogCaptureStarter() { LogCapture::State(); }
};
// Started in the test process itself, so that no child makes (and leaves
// behind) a dir of its own.
inline LogCaptureStarter g_logCaptureStarter;

}  // namespace qtest

// Expects a logged line of that level, tag "fpga" and exactly that message.
#define EXPECT_LOGGED(cap, level, msg)                                                                     \
    EXPECT_TRUE((cap).HasLine(level, msg)) << "missing " << (level) << " \"" << (msg) << "\" in:\n" \
                                           << (cap).Text()

#endif
