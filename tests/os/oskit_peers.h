#ifndef OSKIT_TEST_PEERS_H
#define OSKIT_TEST_PEERS_H

// Loopback peers for the network tests: free ports, a child process run in
// its own process group (and killed with the test), TCP and UDP echo
// servers, and a scripted fake proxy.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace oskt {

inline sockaddr_in Loopback(unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline unsigned short BoundPort(int fd) {
    sockaddr_in sa{};
    socklen_t l = sizeof(sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    return ntohs(sa.sin_port);
}

// A port the kernel just handed out on 127.0.0.1 (released again).
inline unsigned short FreePort(int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    unsigned short port = BoundPort(fd);
    close(fd);
    return port;
}

inline bool WaitTcpPort(unsigned short port, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = Loopback(port);
        bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        close(fd);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A program run in its own process group; the group is terminated on Stop
// and the program gets SIGTERM if the test process dies first.
class PeerProcess {
public:
    ~PeerProcess() { Stop(); }
    bool Start(const std::vector<std::string>& argv, const std::string& log) {
        m_pid = fork();
        if (m_pid < 0) return false;
        if (m_pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        setpgid(m_pid, m_pid);
        return true;
    }
    bool Running() const { return m_pid > 0 && kill(m_pid, 0) == 0; }
    void Stop() {
        if (m_pid <= 0) return;
        kill(-m_pid, SIGTERM);
        // The leader is waited for without reaping it, so that its pid (the
        // group id) stays reserved while stragglers of the group are killed.
        siginfo_t si{};
        for (int i = 0; i < 60; ++i) {
            si.si_pid = 0;
            if (waitid(P_PID, static_cast<id_t>(m_pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == m_pid)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(-m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// Runs a loop on a thread until the object goes; the loop gets the listening socket.
class LoopServer {
public:
    LoopServer(int type, std::function<void(int, std::atomic<bool>&)> loop) {
        m_fd = socket(AF_INET, type, 0);
        sockaddr_in sa = Loopback(0);
        bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        if (type == SOCK_STREAM) listen(m_fd, 16);
        m_port = BoundPort(m_fd);
        m_thread = std::thread([this, loop] { loop(m_fd, m_stop); });
    }
    ~LoopServer() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    unsigned short Port() const { return m_port; }

private:
    int m_fd;
    unsigned short m_port;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Waits up to 100 ms for fd to be readable unless stop is set.
inline bool Readable(int fd, std::atomic<bool>& stop) {
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) return true;
    }
    return false;
}

// TCP echo: answers every chunk received on a connection with the same bytes.
inline LoopServer* NewTcpEcho() {
    return new LoopServer(SOCK_STREAM, [](int lfd, std::atomic<bool>& stop) {
        std::vector<std::thread> conns;
        while (Readable(lfd, stop)) {
            int c = accept(lfd, nullptr, nullptr);
            if (c < 0) continue;
            conns.emplace_back([c, &stop] {
                char buf[4096];
                while (Readable(c, stop)) {
                    ssize_t n = recv(c, buf, sizeof(buf), 0);
                    if (n <= 0) break;
                    send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
                }
                close(c);
            });
        }
        for (auto& t : conns) t.join();
    });
}

// UDP echo: sends "echo:" + payload back to the sender.
inline LoopServer* NewUdpEcho() {
    return new LoopServer(SOCK_DGRAM, [](int fd, std::atomic<bool>& stop) {
        char buf[70000];
        while (Readable(fd, stop)) {
            sockaddr_in from{};
            socklen_t fl = sizeof(from);
            ssize_t n = recvfrom(fd, buf + 5, sizeof(buf) - 5, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < 0) continue;
            memcpy(buf, "echo:", 5);
            sendto(fd, buf, static_cast<size_t>(n) + 5, 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    });
}

// Fake proxy for one connection at a time: each step reads `expect` bytes
// (recorded in Received()) and then sends `reply`; after the last step the
// connection is closed.
struct Step {
    size_t expect;
    std::string reply;
};

class ScriptedProxy {
public:
    explicit ScriptedProxy(std::vector<Step> steps)
        : m_steps(std::move(steps)),
          m_server(SOCK_STREAM, [this](int lfd, std::atomic<bool>& stop) {
              while (Readable(lfd, stop)) {
                  int c = accept(lfd, nullptr, nullptr);
                  if (c < 0) continue;
                  for (const Step& s : m_steps) {
                      std::string got;
                      while (got.size() < s.expect && Readable(c, stop)) {
                          char buf[1024];
                          ssize_t n = recv(c, buf, std::min(sizeof(buf), s.expect - got.size()), 0);
                          if (n <= 0) break;
                          got.append(buf, static_cast<size_t>(n));
                      }
                      {
                          std::lock_guard<std::mutex> l(m_lock);
                          m_received += got;
                      }
                      if (!s.reply.empty()) send(c, s.reply.data(), s.reply.size(), MSG_NOSIGNAL);
                  }
                  close(c);
              }
          }) {}
    unsigned short Port() const { return m_server.Port(); }
    std::string Received() {
        std::lock_guard<std::mutex> l(m_lock);
        return m_received;
    }

private:
    std::vector<Step> m_steps;
    std::mutex m_lock;
    std::string m_received;
    LoopServer m_server;
};

}  // namespace oskt

#endif
