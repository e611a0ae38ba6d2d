#include "qc_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline bool transient(int err) { return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

const char kNotFound[] = "HTTP/1.1 404 NOT FOUND\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

}  // namespace

QC_ConnectInfo::QC_ConnectInfo(sock_t s, bool bListen, int64_t now, bool bFlagsSet)
    : m_socket(s),
      m_bListen(bListen),
      nWaitOptType(OPT_WAIT_RECV),
      m_recvLen(0),
      m_sendLen(0),
      m_CTime(now),
      m_nEvTimes(0),
      m_lastPassMs(now),
      hm(),
      m_u32_epoll_events(0),
      m_bAnswered(false) {
    if (s >= 0 && !bFlagsSet) {
        int fl = fcntl(s, F_GETFL);
        if (fl >= 0 && !(fl & O_NONBLOCK)) fcntl(s, F_SETFL, fl | O_NONBLOCK);
        int fd = fcntl(s, F_GETFD);
        if (fd >= 0 && !(fd & FD_CLOEXEC)) fcntl(s, F_SETFD, fd | FD_CLOEXEC);
    }
}

// ---------------------------------------------------------------------------

QC_http_server_socket::QC_http_server_socket()
    : m_nPort(0), m_strIP("0.0.0.0"), m_bStart(false), m_main_socket(-1), m_epollfd(-1) {}

QC_http_server_socket::~QC_http_server_socket() {
    if (m_bStart || m_main_socket != -1 || !m_ConnectList.empty()) stop();
}

int QC_http_server_socket::init(uint16_t port, const std::string& ip, recvCallBack cb) {
    if (m_bStart) {
        fprintf(stderr, "QC_http_server_socket::init has already started.\n");
        return -1;
    }
    // Listening from an earlier init that was never started: drop it first.
    if (m_main_socket != -1 || !m_ConnectList.empty()) stop();

    m_nPort = port;
    m_strIP = ip.size() > 2 ? ip : std::string("0.0.0.0");
    signal(SIGPIPE, SIG_IGN);
    sock_t s = do_listen();
    if (s < 0) return -1;
    m_main_socket = s;
    m_recvcall = std::move(cb);
    return 0;
}

sock_t QC_http_server_socket::do_listen() {
    sock_t s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int on = 1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_nPort);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        inet_pton(AF_INET, m_strIP.c_str(), &addr.sin_addr) != 1 ||
        bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(s, QC_LISTEN_BACKLOG) != 0) {
        close(s);
        return -1;
    }
    m_ConnectList.emplace(std::piecewise_construct, std::forward_as_tuple(s),
                          std::forward_as_tuple(s, true, now_ms()));
    fprintf(stdout, "exporter listen ok.\n");
    fflush(stdout);
    return s;
}

int QC_http_server_socket::start() {
    if (m_main_socket == -1 || m_bStart) return -1;
    m_bStart = true;
    try {
        m_PollThread = std::thread(&QC_http_server_socket::poll_thread, this);
    } catch (...) {
        m_bStart = false;
        return -1;
    }
    return 0;
}

void QC_http_server_socket::stop() {
    if (m_PollThread.joinable() && m_PollThread.get_id() == std::this_thread::get_id()) {
        // From a callback on the poll thread: joining itself is impossible.
        fprintf(stderr, "QC_http_server_socket::stop called on the poll thread, ignored.\n");
        return;
    }
    m_bStart = false;
    if (m_PollThread.joinable()) m_PollThread.join();
    for (auto& kv : m_ConnectList) {
        if (kv.second.m_socket >= 0) close(kv.second.m_socket);
    }
    m_ConnectList.clear();
    m_main_socket = -1;
    if (m_epollfd >= 0) {
        close(m_epollfd);
        m_epollfd = -1;
    }
}

void QC_http_server_socket::poll_thread() {
    while (m_bStart) do_poll();
    if (m_epollfd >= 0) {
        close(m_epollfd);
        m_epollfd = -1;
    }
}

void QC_http_server_socket::sync_epoll(QC_ConnectInfo& c) {
    uint32_t want = 0;
    if (c.nWaitOptType & OPT_WAIT_RECV) want |= EPOLLIN | EPOLLERR;
    if (c.nWaitOptType & OPT_WAIT_SEND) want |= EPOLLOUT | EPOLLERR;
    if (want == c.m_u32_epoll_events) return;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = want;
    ev.data.fd = c.m_socket;
    if (want == 0) {
        epoll_ctl(m_epollfd, EPOLL_CTL_DEL, c.m_socket, &ev);
        c.m_u32_epoll_events = 0;
    } else if (c.m_u32_epoll_events == 0) {
        if (epoll_ctl(m_epollfd, EPOLL_CTL_ADD, c.m_socket, &ev) == 0) c.m_u32_epoll_events = want;
    } else if (epoll_ctl(m_epollfd, EPOLL_CTL_MOD, c.m_socket, &ev) == 0) {
        c.m_u32_epoll_events = want;
    }
}

void QC_http_server_socket::close_entry(QC_ConnectInfo& c) {
    if (c.m_socket < 0) return;
    if (c.m_u32_epoll_events != 0 && m_epollfd >= 0) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        epoll_ctl(m_epollfd, EPOLL_CTL_DEL, c.m_socket, &ev);
        c.m_u32_epoll_events = 0;
    }
    close(c.m_socket);
    c.m_socket = -1;
}

void QC_http_server_socket::accept_clients() {
    for (int i = 0; i < QC_MAX_ACCEPT_PER_EVENT; ++i) {
        sock_t s = accept4(m_main_socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) return;
            if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
            // Out of descriptors or similar: report at most once a second
            // and give the table time to drain instead of spinning.
            static int64_t s_lastReport = 0;
            int64_t now = now_ms();
            if (now - s_lastReport >= 1000) {
                s_lastReport = now;
                fprintf(stderr, "%d: failed to accept. errno%d\n", m_main_socket, err);
            }
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) usleep(10000);
            return;
        }
        auto res = m_ConnectList.emplace(std::piecewise_construct, std::forward_as_tuple(s),
                                         std::forward_as_tuple(s, false, now_ms(), true));
        if (!res.second) {  // cannot happen: a number in the table is still open
            close(s);
            continue;
        }
        // The request often arrives with the handshake; try it at once.
        do_scoket_event(res.first->second, 1);
    }
}

int QC_http_server_socket::do_poll() {
    if (m_epollfd < 0) {
        m_epollfd = epoll_create(QC_POLL_MAX_EVENTS);
        if (m_epollfd < 0) {
            fprintf(stderr, "failed to epoll_create. errno%d\n", errno);
            usleep(100000);
            return -1;
        }
        auto it = m_ConnectList.find(m_main_socket);
        if (it != m_ConnectList.end()) {
            struct epoll_event ev;
            memset(&ev, 0, sizeof(ev));
            ev.events = EPOLLIN;
            ev.data.fd = m_main_socket;
            if (epoll_ctl(m_epollfd, EPOLL_CTL_ADD, m_main_socket, &ev) == 0) it->second.m_u32_epoll_events = EPOLLIN;
        }
    }

    // Bring every connection's registration in line with its state. Passes
    // come quickly while other clients are busy: one counts towards the idle
    // limit only QC_MIN_PASS_GAP_MS after the last one counted, so a request
    // is not dropped because others came and went.
    int64_t passStart = now_ms();
    for (auto& kv : m_ConnectList) {
        QC_ConnectInfo& c = kv.second;
        if (c.m_bListen || c.m_socket < 0) continue;
        if (passStart - c.m_lastPassMs >= QC_MIN_PASS_GAP_MS) {
            ++c.m_nEvTimes;
            c.m_lastPassMs = passStart;
        }
        sync_epoll(c);
    }

    struct epoll_event events[QC_POLL_MAX_EVENTS];
    int n = epoll_wait(m_epollfd, events, QC_POLL_MAX_EVENTS, QC_POLL_TIMEOUT_MS);
    for (int i = 0; i < n; ++i) {
        sock_t fd = events[i].data.fd;
        uint32_t ev = events[i].events;
        if (fd == m_main_socket) {
            accept_clients();
            continue;
        }
        auto it = m_ConnectList.find(fd);
        if (it == m_ConnectList.end()) {
            // Not ours (any more): only drop the registration.
            struct epoll_event dummy;
            memset(&dummy, 0, sizeof(dummy));
            epoll_ctl(m_epollfd, EPOLL_CTL_DEL, fd, &dummy);
            continue;
        }
        int flags = 0;
        if (ev & EPOLLIN) flags |= 1;
        if (ev & EPOLLOUT) flags |= 2;
        if (flags == 0 && (ev & (EPOLLERR | EPOLLHUP))) flags = 4;
        do_scoket_event(it->second, flags);
    }

    // Clean-up: closed connections and those past their age limits.
    int64_t now = now_ms();
    for (auto it = m_ConnectList.begin(); it != m_ConnectList.end();) {
        QC_ConnectInfo& c = it->second;
        if (c.m_socket < 0) {
            it = m_ConnectList.erase(it);
            continue;
        }
        bool expired = !c.m_bListen && (now - c.m_CTime > QC_MAX_CONN_AGE_MS || c.m_nEvTimes > QC_MAX_IDLE_PASSES);
        if ((c.nWaitOptType & OPT_CLOSE) || expired) {
            close_entry(c);
            if (c.m_socket == m_main_socket) m_main_socket = -1;
            it = m_ConnectList.erase(it);
            continue;
        }
        ++it;
    }
    return n < 0 ? -1 : 0;
}

int QC_http_server_socket::do_scoket_event(QC_ConnectInfo& c, int flags) {
    if (flags & 1) {
        char buf[QC_RECV_CHUNK];
        ssize_t r = recv(c.m_socket, buf, sizeof(buf), 0);
        if (r == 0) {
            c.nWaitOptType |= OPT_CLOSE;
            return 0;
        }
        if (r < 0) {
            if (!transient(errno)) {
                fprintf(stdout, "recv err socket %d\n", c.m_socket);
                c.nWaitOptType |= OPT_CLOSE;
                return 0;
            }
        } else {
            c.m_nEvTimes = 0;
            if (!c.m_bAnswered) {
                // The head is kept up to QC_MAX_REQUEST_HEAD bytes; what lies
                // beyond a complete head is never looked at.
                size_t room = QC_MAX_REQUEST_HEAD - c.strRecv.size();
                size_t take = static_cast<size_t>(r) < room ? static_cast<size_t>(r) : room;
                c.strRecv.append(buf, take);
                c.m_recvLen = static_cast<int>(c.strRecv.size());
                int ret = m_recvcall ? m_recvcall(c) : -1;
                if (ret > 0) {
                    c.m_bAnswered = true;
                    c.nWaitOptType &= ~OPT_WAIT_RECV;
                    c.nWaitOptType |= OPT_WAIT_SEND;
                    std::string().swap(c.strRecv);
                    c.m_recvLen = 0;
                    c.hm = Q_HTTP::Q_http_message();
                    flags |= 2;  // the socket is almost always writable now
                } else if (ret == 0 && c.strRecv.size() < QC_MAX_REQUEST_HEAD) {
                    c.nWaitOptType |= OPT_WAIT_RECV;
                } else {
                    c.nWaitOptType |= OPT_CLOSE;  // malformed or over-long head
                    return 0;
                }
            }
            // Input after the request was answered is dropped.
        }
    }

    if ((flags & 2) && (c.nWaitOptType & OPT_WAIT_SEND)) {
        int remaining = static_cast<int>(c.strSend.size()) - c.m_sendLen;
        if (remaining <= 0) {
            c.nWaitOptType |= OPT_CLOSE;
            return 0;
        }
        ssize_t sent = send(c.m_socket, c.strSend.data() + c.m_sendLen, static_cast<size_t>(remaining), MSG_NOSIGNAL);
        if (sent < 0) {
            if (!transient(errno)) {
                c.nWaitOptType |= OPT_CLOSE;
                return 0;
            }
            sent = 0;
        }
        if (sent > 0) c.m_nEvTimes = 0;
        c.m_sendLen += static_cast<int>(sent);
        if (c.m_sendLen >= static_cast<int>(c.strSend.size())) {
            // Done: announce the end of the response and wait for the peer
            // to close (or for the age limits), dropping anything it sends.
            c.nWaitOptType &= ~OPT_WAIT_SEND;
            c.nWaitOptType |= OPT_WAIT_RECV;
            std::string().swap(c.strSend);
            c.m_sendLen = 0;
            shutdown(c.m_socket, SHUT_WR);
        }
    }

    if (flags & 4) c.nWaitOptType |= OPT_CLOSE;
    return 0;
}

// ---------------------------------------------------------------------------

QC_HttpServer::QC_HttpServer() : m_strPath("/metrics") {}

int QC_HttpServer::init(QC_Http_CallBack& callback, int port, const std::string& ip, const std::string& path) {
    if (m_http_socket.started()) {
        fprintf(stderr, "QC_http_server_socket::init has already started.\n");
        return -1;
    }
    m_strPath = path.empty() ? std::string("/metrics") : path;
    m_callback = callback;
    return m_http_socket.init(static_cast<uint16_t>(port), ip, [this](QC_ConnectInfo& c) { return RecvCall(c); });
}

int QC_HttpServer::start() { return m_http_socket.start(); }

void QC_HttpServer::stop() { m_http_socket.stop(); }

int QC_HttpServer::RecvCall(QC_ConnectInfo& c) {
    int r = Q_HTTP::parse_http(c.strRecv.data(), c.m_recvLen, &c.hm, 1);
    if (r <= 0) return r;

    const Q_HTTP::_st_str& uri = c.hm.uri;
    // The method is matched on its first three characters only.
    const Q_HTTP::_st_str get3{c.hm.method.p, c.hm.method.len >= 3 ? 3u : 0u};
    // A request line without a protocol (HTTP/0.9 style) is not served.
    if (Q_HTTP::str_equal_nocase(get3, "GET") && Q_HTTP::str_equal_nocase(uri, m_strPath.c_str()) &&
        c.hm.proto.len > 0 && m_callback) {
        try {
            m_callback(c);
        } catch (...) {
            c.strSend.clear();
        }
        if (!c.strSend.empty()) {
            char head[160];
            int n = snprintf(head, sizeof(head),
                             "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n",
                             static_cast<int>(c.strSend.size()));
            c.strSend.insert(0, head, static_cast<size_t>(n));
            c.nWaitOptType |= OPT_WAIT_SEND;
            return r;
        }
    }
    if (c.strSend.empty()) c.strSend.assign(kNotFound, sizeof(kNotFound) - 1);
    c.nWaitOptType |= OPT_WAIT_SEND;
    return r;
}
