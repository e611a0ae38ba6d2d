#ifndef QUAY_TEST_LOG_CAPTURE_H
#define QUAY_TEST_LOG_CAPTURE_H

// Reading back what the code under test logged.
//
// The first LogCapture of a process starts the process-wide logger
// (CGtLogger::Init) in a temp dir with the name "test", unless a logger was
// already started. Each LogCapture remembers where the log file stood when it
// was made; Text() returns every line logged since.
//
//   qtest::LogCapture log;
//   EXPECT_EQ(600002, drv.ReadInt8(0, v));
//   EXPECT_TRUE(log.Contains("[WARN   ]")) << log.Text();
//   EXPECT_TRUE(log.Contains("Didn't inited in yet!"));

#include <dirent.h>

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
            std::string logDir = dir / "log";
            started = logger.Init(0, logDir.c_str(), "test") == 0;
        }
    };
    static Shared& State() {
        static Shared* s = new Shared();  // kept to the end of the process
        return *s;
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
};

}  // namespace qtest

#endif
