#ifndef QUAY_TEST_FAKE_CMDS_H
#define QUAY_TEST_FAKE_CMDS_H

// Fake external programs (lspci, lsmod, ps, ...) for tests of code that runs
// shell pipelines. A FakeBin is a temp directory of small shell scripts;
// ScopedPath puts it first on PATH so that popen("lspci | grep Xi") runs the
// fake lspci and the real grep.
//
//   qtest::FakeBin bin;
//   bin.Add("lspci", "d8:00.0 Memory controller: Xilinx Corporation Device 903f\n");
//   qtest::ScopedPath path(bin.dir());
//   ... code under test ...
//   EXPECT_EQ(1, bin.Calls("lspci"));

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "test_util.h"

namespace qtest {

class FakeBin {
public:
    FakeBin() : m_dir("quayfakebin") {}

    const std::string& dir() const { return m_dir.path(); }

    // Installs an executable `name` that prints `output` exactly and exits
    // with `status`. Every run appends one line to a call log (see Calls).
    // Adding the same name again replaces the program.
    void Add(const std::string& name, const std::string& output, int status = 0) {
        const std::string out = m_dir / (name + ".out");
        WriteFile(out, output);
        std::string script = "#!/bin/sh\n";
        script += "echo \"$*\" >> '" + CallLog(name) + "'\n";
        script += "cat '" + out + "'\n";
        script += "exit " + std::to_string(status) + "\n";
        WriteFile(m_dir / name, script, 0755);
    }

    // Installs an executable `name` with the given shell script body
    // (after "#!/bin/sh"); runs are logged as with Add.
    void AddScript(const std::string& name, const std::string& body) {
        std::string script = "#!/bin/sh\necho \"$*\" >> '" + CallLog(name) + "'\n" + body + "\n";
        WriteFile(m_dir / name, script, 0755);
    }

    // How many times `name` ran since it was added or ResetCalls.
    int Calls(const std::string& name) const {
        std::string log = ReadFile(CallLog(name));
        int n = 0;
        for (char c : log) n += (c == '\n');
        return n;
    }

    void ResetCalls(const std::string& name) const { std::remove(CallLog(name).c_str()); }

private:
    std::string CallLog(const std::string& name) const { return m_dir / (name + ".calls"); }

    TempDir m_dir;
};

// Puts a directory first on PATH for the life of the object.
class ScopedPath {
public:
    explicit ScopedPath(const std::string& dir) {
        const char* old = getenv("PATH");
        m_hadOld = old != nullptr;
        if (old) m_old = old;
        std::string path = dir + ":" + (old ? old : "/usr/sbin:/usr/bin:/sbin:/bin");
        setenv("PATH", path.c_str(), 1);
    }
    ~ScopedPath() {
        if (m_hadOld) {
            setenv("PATH", m_old.c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    bool m_hadOld = false;
    std::string m_old;
};

// Exit statuses of RunInChild besides the test's own.
constexpr int kChildGtestFailed = 250;   // the body recorded gtest failures
constexpr int kChildSetupFailed = 251;   // the child could not set up (see stderr)
constexpr int kChildException = 252;     // the body threw
constexpr int kChildSignalBase = 1000;   // 1000 + signal number: the child was killed

namespace detail {
inline int FailedParts() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) return 0;
    const ::testing::TestResult* r = info->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); ++i) n += r->GetTestPartResult(i).failed() ? 1 : 0;
    return n;
}

// Runs fn in the current (child) process and ends it with _exit.
template <class F>
[[noreturn]] void RunBodyAndExit(F& fn) {
    int before = FailedParts();
    int code = 0;
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
            fn();
        } else {
            code = static_cast<int>(fn());
        }
    } catch (...) {
        fflush(nullptr);
        _exit(kChildException);
    }
    int failed = FailedParts() - before;
    fflush(nullptr);
    if (failed > 0) _exit(kChildGtestFailed);
    _exit(code & 0xff);
}

inline int WaitChild(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return kChildSignalBase + WTERMSIG(st);
    return -1;
}
}  // namespace detail

// Runs fn in a forked child and returns the child's exit status:
//   fn returning void: 0, or kChildGtestFailed if any EXPECT/ASSERT failed
//     inside it (the failures are printed by the child as usual);
//   fn returning int: that value (0..255), or kChildGtestFailed as above;
//   kChildException if fn threw, kChildSignalBase + signo if the child died
//   of a signal, -1 if fork failed.
// Use it for process-wide state (logger init, caches) and anything that must
// not leak into the test process. Typical use:
//   EXPECT_EQ(0, qtest::RunInChild([&] { EXPECT_EQ(600004, logger.Init(...)); }));
template <class F>
int RunInChild(F&& fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) detail::RunBodyAndExit(fn);
    return detail::WaitChild(pid);
}

}  // namespace qtest

#endif
