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

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <string>
#include <vector>

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
    // All log files of the temp dir, in name (date) order, concatenated.
    static std::string All() {
        std::string logDir = State().dir / "log";
        std::vector<std::string> names;
        if (DIR* d = opendir(logDir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n.size() > 4 && n.compare(n.size() - 4, 4, ".log") == 0) names.push_back(n);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const auto& n : names) out += ReadFile(logDir + "/" + n);
        return out;
    }

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

#endif
