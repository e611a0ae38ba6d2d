#ifndef CFG_TEST_LOG_H
#define CFG_TEST_LOG_H

// Log capture for the configuration and catalogue tests: the logger is
// started once into a scratch directory, and what it prints on standard
// output between start and Text() is captured.
#include <gtest/gtest.h>

#include <string>

#include "gt_logger.h"
#include "test_util.h"

namespace cfgtest {

// The logger's directory lives as long as the process: at exit the log file
// is closed, then the directory removed.
struct CfgLogDir {
    qtest::TempDir dir{"cfglog"};
    CfgLogDir() {
        if (elog_init(dir.path().c_str(), "cfgtest") != 0) abort();
        elog_start();
    }
    ~CfgLogDir() { elog_fini(); }
};

inline void EnsureLogger() { static CfgLogDir logDir; }

class LogCapture {
public:
    LogCapture() {
        EnsureLogger();
        testing::internal::CaptureStdout();
    }
    ~LogCapture() { Text(); }
    const std::string& Text() {
        if (!m_done) {
            m_text = testing::internal::GetCapturedStdout();
            m_done = true;
        }
        return m_text;
    }

private:
    bool m_done = false;
    std::string m_text;
};

// True when the log holds a line of the given level ("ERROR", "WARN",
// "INFO") and tag "fpga" whose message is exactly msg.
inline bool HasMsg(const std::string& log, const char* level, const std::string& msg) {
    std::string lvl = std::string("[") + level;
    std::string needle = "[fpga]" + msg + "\n";
    for (size_t pos = log.find(needle); pos != std::string::npos; pos = log.find(needle, pos + 1)) {
        size_t bol = log.rfind('\n', pos);
        bol = bol == std::string::npos ? 0 : bol + 1;
        if (log.compare(bol, lvl.size(), lvl) == 0) return true;
    }
    return false;
}

}  // namespace cfgtest

#define EXPECT_LOG(cap, level, msg) \
    EXPECT_TRUE(cfgtest::HasMsg((cap).Text(), level, msg)) << "missing " << level << " \"" << (msg) << "\" in:\n" << (cap).Text()

#endif
