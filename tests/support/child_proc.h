#ifndef QUAY_TEST_CHILD_PROC_H
#define QUAY_TEST_CHILD_PROC_H

// A program run as a child process with its standard output on a pipe, for
// tests that drive other processes line by line.
//
//   qtest::ChildProc p({"/path/prog", "arg"});
//   EXPECT_EQ("ready", p.Expect("ready"));   // the first line starting so
//   EXPECT_EQ(0, p.Kill(SIGTERM));           // exit status, 1000 + signal
//
// The child is killed (SIGKILL) and reaped on destruction if still running.

#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qtest {

class ChildProc {
public:
    // uid: run as that user (from root); 0 keeps the caller's.
    explicit ChildProc(const std::vector<std::string>& args, uid_t uid = 0) {
        int fds[2];
        if (args.empty() || pipe(fds) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that was killed
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(126);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_fd = fds[0];
    }
    ~ChildProc() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0) close(m_fd);
    }
    ChildProc(const ChildProc&) = delete;
    ChildProc& operator=(const ChildProc&) = delete;

    pid_t pid() const { return m_pid; }

    // The next line that starts with prefix, waiting up to ms; "" on time-out
    // or end of output. Lines passed over are kept in Seen().
    std::string Expect(const std::string& prefix, int ms = 20000) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = m_buf.find('\n')) != std::string::npos) {
                std::string line = m_buf.substr(0, nl);
                m_buf.erase(0, nl + 1);
                m_seen += line + "\n";
                if (line.compare(0, prefix.size(), prefix) == 0) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            struct pollfd pfd = {m_fd, POLLIN, 0};
            if (poll(&pfd, 1, (int)left.count()) <= 0) return "";
            char tmp[4096];
            ssize_t n = read(m_fd, tmp, sizeof(tmp));
            if (n <= 0) return "";
            m_buf.append(tmp, (size_t)n);
        }
    }
    const std::string& Seen() const { return m_seen; }

    // Exit status, or 1000 + signal number; -1 if it has not ended within ms.
    int Wait(int ms = 20000) {
        for (int i = 0; i <= ms / 10; ++i) {
            int st;
            if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
                m_reaped = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    int Kill(int sig) {
        kill(m_pid, sig);
        return Wait();
    }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_reaped = false;
    std::string m_buf;
    std::string m_seen;
};

}  // namespace qtest

#endif
