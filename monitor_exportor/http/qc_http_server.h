// The exporter's HTTP server: one poll thread over non-blocking IPv4 TCP
// sockets, a single route and two fixed responses.
#ifndef QC_HTTP_SERVER_H
#define QC_HTTP_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "q_http.h"

typedef int sock_t;

enum {
    OPT_WAIT_RECV = 0x08,  // wait for input
    OPT_CLOSE = 0x10,      // close at the end of this pass
    OPT_WAIT_SEND = 0x20,  // wait to send
};

// Limits of one connection.
enum {
    QC_RECV_CHUNK = 2048,         // bytes read per ready event
    QC_MAX_REQUEST_HEAD = 8192,   // a head not complete within this many bytes is refused
    QC_MAX_CONN_AGE_MS = 6000,    // a client connection lives at most this long
    QC_MAX_IDLE_PASSES = 15,      // ... and is closed after more passes than this without progress,
    QC_MIN_PASS_GAP_MS = 300,     // ... counting a pass only this long after the last one counted
    QC_POLL_TIMEOUT_MS = 300,
    QC_POLL_MAX_EVENTS = 20,
    QC_LISTEN_BACKLOG = 128,
    QC_MAX_ACCEPT_PER_EVENT = 64,
};

// One socket in the table, the listening socket included.
struct QC_ConnectInfo {
    // bFlagsSet: the socket is already non-blocking and close-on-exec
    // (accept4 made it so); otherwise the constructor makes it so.
    QC_ConnectInfo(sock_t s, bool bListen, int64_t now_ms, bool bFlagsSet = false);
    QC_ConnectInfo(const QC_ConnectInfo&) = delete;
    QC_ConnectInfo& operator=(const QC_ConnectInfo&) = delete;

    sock_t m_socket;
    bool m_bListen;
    int nWaitOptType;
    std::string strRecv;  // the request head received so far (bounded by QC_MAX_REQUEST_HEAD)
    int m_recvLen;
    std::string strSend;  // the complete response
    int m_sendLen;
    int64_t m_CTime;   // creation time, monotonic milliseconds
    int m_nEvTimes;    // poll passes in a row without progress on this connection
    int64_t m_lastPassMs;  // when the last pass was counted in m_nEvTimes (creation at first)
    Q_HTTP::Q_http_message hm;
    uint32_t m_u32_epoll_events;  // mask the socket is registered with, 0 when not registered
    bool m_bAnswered;  // the request was handled; later input is read and dropped
};

typedef std::function<int(QC_ConnectInfo&)> recvCallBack;

class QC_http_server_socket {
public:
    QC_http_server_socket();
    ~QC_http_server_socket();
    QC_http_server_socket(const QC_http_server_socket&) = delete;
    QC_http_server_socket& operator=(const QC_http_server_socket&) = delete;

    int init(uint16_t port, const std::string& ip, recvCallBack cb);
    int start();
    void stop();
    bool started() const { return m_bStart; }
    bool on_poll_thread() const { return m_PollThread.get_id() == std::this_thread::get_id(); }

    // Number of entries in the table (the listening socket included); only
    // meaningful while the poll thread is not running.
    size_t connection_count() const { return m_ConnectList.size(); }

    int do_poll();
    int do_scoket_event(QC_ConnectInfo& c, int flags);

private:
    sock_t do_listen();
    void poll_thread();
    void accept_clients();
    void sync_epoll(QC_ConnectInfo& c);
    void close_entry(QC_ConnectInfo& c);

    uint16_t m_nPort;
    std::string m_strIP;
    std::thread m_PollThread;
    recvCallBack m_recvcall;
    std::atomic<bool> m_bStart;
    sock_t m_main_socket;
    std::map<sock_t, QC_ConnectInfo> m_ConnectList;
    int m_epollfd;
};

typedef std::function<void(QC_ConnectInfo&)> QC_Http_CallBack;

class QC_HttpServer {
public:
    QC_HttpServer();
    int init(QC_Http_CallBack& callback, int port, const std::string& ip, const std::string& path);
    int start();
    void stop();
    bool started() const { return m_http_socket.started(); }
    bool on_poll_thread() const { return m_http_socket.on_poll_thread(); }
    const std::string& path() const { return m_strPath; }

    int RecvCall(QC_ConnectInfo& c);

private:
    QC_http_server_socket m_http_socket;
    QC_Http_CallBack m_callback;
    std::string m_strPath;
};

#endif
