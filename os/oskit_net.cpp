#include "oskit_net.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "oskit_str.h"

extern "C" {
FOnUDPReceiveEx g_pReceiveFunctionEx = nullptr;
}

namespace {

const int kIoTimeoutMs = 5000;

// Waits for events on sock: 1 ready, -101 poll failed, -102 time-out.
int WaitFor(int sock, short events) {
    struct pollfd pfd = {sock, events, 0};
    for (;;) {
        int rc = poll(&pfd, 1, kIoTimeoutMs);
        if (rc > 0) return 1;
        if (rc == 0) return OSKIT_ERR_TIMEOUT;
        if (errno != EINTR) return OSKIT_ERR_SELECT;
    }
}

bool StartsWithLetter(const char* s) { return s && isalpha(static_cast<unsigned char>(s[0])); }

// Dotted-decimal IPv4 of at most 15 characters.
bool ParseIPv4(const char* s, struct in_addr* addr) {
    if (!s || strlen(s) > 15) return false;
    return inet_pton(AF_INET, s, addr) == 1;
}

bool SendAll(int fd, const void* buf, int len) { return timed_write_n(fd, buf, len) == len; }
bool RecvAll(int fd, void* buf, int len) { return timed_read_n(fd, buf, len) == len; }

// Method selection and, with a user, the RFC 1929 exchange. 0 or a code.
int Socks5Negotiate(int fd, const char* user, const char* password) {
    unsigned char method = user ? 0x02 : 0x00;
    unsigned char req[3] = {0x05, 0x01, method};
    if (!SendAll(fd, req, 3)) return OSKIT_ERR_S5_METHOD_SEND;
    unsigned char rep[2];
    if (!RecvAll(fd, rep, 2)) return OSKIT_ERR_S5_METHOD_REPLY;
    if (rep[0] != 0x05 || rep[1] != method) return OSKIT_ERR_S5_METHOD_REFUSED;
    if (!user) return 0;
    if (!password) password = "";
    size_t ul = strlen(user), pl = strlen(password);
    if (ul > 255 || pl > 255) return OSKIT_ERR_S5_CRED_LEN;
    std::vector<unsigned char> auth;
    auth.push_back(0x01);
    auth.push_back(static_cast<unsigned char>(ul));
    auth.insert(auth.end(), user, user + ul);
    auth.push_back(static_cast<unsigned char>(pl));
    auth.insert(auth.end(), password, password + pl);
    if (!SendAll(fd, auth.data(), static_cast<int>(auth.size()))) return OSKIT_ERR_S5_CRED_SEND;
    if (!RecvAll(fd, rep, 2)) return OSKIT_ERR_S5_AUTH_REPLY;
    if (rep[1] != 0x00) return OSKIT_ERR_S5_AUTH_REFUSED;
    return 0;
}

// The request for cmd to dest:port; false for a bad destination.
bool Socks5Request(unsigned char cmd, const char* dest, unsigned short port, std::vector<unsigned char>* out) {
    if (!dest || !*dest || (cmd != 0x01 && cmd != 0x03)) return false;
    out->assign({0x05, cmd, 0x00});
    if (StartsWithLetter(dest)) {
        size_t n = strlen(dest);
        if (n > 255) return false;
        out->push_back(0x03);
        out->push_back(static_cast<unsigned char>(n));
        out->insert(out->end(), dest, dest + n);
    } else {
        struct in_addr a;
        if (!ParseIPv4(dest, &a)) return false;
        out->push_back(0x01);
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
        out->insert(out->end(), b, b + 4);
    }
    out->push_back(static_cast<unsigned char>(port >> 8));
    out->push_back(static_cast<unsigned char>(port & 0xFF));
    return true;
}

// Sends the request and reads the reply's IPv4 address. 0 or a code.
int Socks5Exchange(int fd, const std::vector<unsigned char>& req, struct sockaddr_in* bound) {
    if (!SendAll(fd, req.data(), static_cast<int>(req.size()))) return OSKIT_ERR_S5_REQ_SEND;
    unsigned char head[4];
    if (!RecvAll(fd, head, 4)) return OSKIT_ERR_S5_REPLY;
    if (head[0] != 0x05 || head[1] != 0x00 || head[2] != 0x00 || head[3] != 0x01) return OSKIT_ERR_S5_FAILED;
    unsigned char addr[6];
    if (!RecvAll(fd, addr, 6)) return OSKIT_ERR_S5_REPLY;
    if (bound) {
        memset(bound, 0, sizeof(*bound));
        bound->sin_family = AF_INET;
        memcpy(&bound->sin_addr.s_addr, addr, 4);
        memcpy(&bound->sin_port, addr + 4, 2);
    }
    return 0;
}

}  // namespace

extern "C" {

int timed_write_n(int sock, const void* buf, int len) {
    const char* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        int w = WaitFor(sock, POLLOUT);
        if (w < 0) return w;
        ssize_t n = send(sock, p + done, static_cast<size_t>(len - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return OSKIT_ERR_SEND;
        }
        done += static_cast<int>(n);
    }
    return len;
}

int timed_read_n(int sock, void* buf, int len) {
    char* p = static_cast<char*>(buf);
    int done = 0;
    while (done < len) {
        int w = WaitFor(sock, POLLIN);
        if (w < 0) return w;
        ssize_t n = recv(sock, p + done, static_cast<size_t>(len - done), 0);
        if (n == 0) return OSKIT_ERR_CLOSED;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return OSKIT_ERR_RECV;
        }
        done += static_cast<int>(n);
    }
    return len;
}

int connect_server(const char* host, unsigned short port) {
    if (!host || !*host) return OSKIT_ERR_CONNECT;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (StartsWithLetter(host)) {
        struct addrinfo hints, *res = nullptr;
        memset(&hints, 0, sizeof(hints));
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return OSKIT_ERR_CONNECT;
        sa.sin_addr = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr;
        freeaddrinfo(res);
    } else if (!ParseIPv4(host, &sa.sin_addr)) {
        return OSKIT_ERR_CONNECT;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return OSKIT_ERR_CONNECT;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return OSKIT_ERR_CONNECT;
    }
    return fd;
}

int socks5_tcp_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port,
                       const char* user, const char* password) {
    std::vector<unsigned char> req;
    if (!Socks5Request(0x01, dest, dest_port, &req)) return OSKIT_ERR_S5_BAD_REQUEST;
    int fd = connect_server(proxy, proxy_port);
    if (fd < 0) return fd;
    int rc = Socks5Negotiate(fd, user, password);
    if (rc == 0) rc = Socks5Exchange(fd, req, nullptr);
    if (rc != 0) {
        close(fd);
        return rc;
    }
    return fd;
}

int socks4_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port) {
    if (!dest || !*dest) return OSKIT_ERR_S4_DEST;
    std::vector<unsigned char> req = {0x04, 0x01, static_cast<unsigned char>(dest_port >> 8),
                                      static_cast<unsigned char>(dest_port & 0xFF)};
    bool named = StartsWithLetter(dest);
    if (named) {
        if (strlen(dest) > 255) return OSKIT_ERR_S4_DEST;
        req.insert(req.end(), {0, 0, 0, 43});
    } else {
        struct in_addr a;
        if (!ParseIPv4(dest, &a)) return OSKIT_ERR_S4_DEST;
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&a.s_addr);
        req.insert(req.end(), b, b + 4);
    }
    req.push_back(0x00);  // empty user id
    if (named) {
        req.insert(req.end(), dest, dest + strlen(dest));
        req.push_back(0x00);
    }
    int fd = connect_server(proxy, proxy_port);
    if (fd < 0) return fd;
    int rc = 0;
    unsigned char rep[8];
    if (!SendAll(fd, req.data(), static_cast<int>(req.size())))
        rc = OSKIT_ERR_S4_SEND;
    else if (!RecvAll(fd, rep, 8))
        rc = OSKIT_ERR_S4_REPLY;
    else if (rep[0] != 0x00 || rep[1] != 0x5A)
        rc = OSKIT_ERR_S4_REJECTED;
    if (rc != 0) {
        close(fd);
        return rc;
    }
    return fd;
}

int http_connect(const char* proxy, unsigned short proxy_port, const char* dest, unsigned short dest_port,
                 const char* user, const char* password) {
    if (!password) password = "";
    if (user && (strlen(user) > 255 || strlen(password) > 255)) return OSKIT_ERR_HTTP_CRED;
    if (!dest || !*dest || strlen(dest) > 255) return OSKIT_ERR_HTTP_SEND;
    char line[1024];
    snprintf(line, sizeof(line), "CONNECT %s:%u HTTP/1.1\r\nHost: %s:%u\r\nAccept: */*\r\n", dest, dest_port, dest,
             dest_port);
    std::string req = line;
    if (user) {
        std::string cred = std::string(user) + ":" + password;
        std::vector<char> b64(4 * ((cred.size() + 2) / 3) + 1);
        base64_encode(b64.data(), reinterpret_cast<const unsigned char*>(cred.data()), static_cast<int>(cred.size()));
        req += std::string("Proxy-Authorization: Basic ") + b64.data() + "\r\n";
    }
    req += "Proxy-Connection: Keep-Alive\r\n\r\n";
    int fd = connect_server(proxy, proxy_port);
    if (fd < 0) return fd;
    if (!SendAll(fd, req.data(), static_cast<int>(req.size()))) {
        close(fd);
        return OSKIT_ERR_HTTP_SEND;
    }
    // The head is read a byte at a time so that no tunnelled byte after it is
    // consumed. Only its first 1023 bytes are kept (the status line is what
    // counts); a longer head is read on to its end, up to 64 KiB.
    char head[1024];
    size_t kept = 0, total = 0;
    char tail[4] = {0, 0, 0, 0};
    for (;;) {
        char c;
        if (total >= 65536 || !RecvAll(fd, &c, 1)) {
            close(fd);
            return OSKIT_ERR_HTTP_REPLY;
        }
        if (kept < sizeof(head) - 1) head[kept++] = c;
        ++total;
        memmove(tail, tail + 1, 3);
        tail[3] = c;
        if (total >= 4 && memcmp(tail, "\r\n\r\n", 4) == 0) break;
    }
    head[kept] = '\0';
    if (kept < 10 || head[9] != '2') {
        close(fd);
        return OSKIT_ERR_HTTP_REFUSED;
    }
    return fd;
}

}  // extern "C"

namespace OSKIT2 {

// -------------------------------------------------------------- Socks5Udp

Socks5Udp::Socks5Udp() : tcp_fd(-1), udp_fd(-1), m_bAlreadyReaded(true), m_iPackSize(0) {
    memset(&udp_serv, 0, sizeof(udp_serv));
}

Socks5Udp::~Socks5Udp() { CloseSocket(); }

void Socks5Udp::CloseSocket() {
    if (tcp_fd >= 0) close(tcp_fd);
    if (udp_fd >= 0) close(udp_fd);
    tcp_fd = udp_fd = -1;
    m_bAlreadyReaded = true;
    m_iPackSize = 0;
}

int Socks5Udp::UdpInit(const char* proxy, unsigned short port, const char* user, const char* password) {
    CloseSocket();
    int fd = connect_server(proxy, port);
    if (fd < 0) return fd;
    tcp_fd = fd;
    int rc = Socks5Negotiate(tcp_fd, user, password);
    if (rc != 0) {
        CloseSocket();
        return rc;
    }
    udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t sl = sizeof(local);
    if (udp_fd < 0 || bind(udp_fd, reinterpret_cast<struct sockaddr*>(&local), sizeof(local)) != 0 ||
        getsockname(udp_fd, reinterpret_cast<struct sockaddr*>(&local), &sl) != 0) {
        CloseSocket();
        return OSKIT_ERR_S5_UDP_SOCKET;
    }
    std::vector<unsigned char> req;
    Socks5Request(0x03, "0.0.0.0", ntohs(local.sin_port), &req);
    rc = Socks5Exchange(tcp_fd, req, &udp_serv);
    if (rc != 0) {
        CloseSocket();
        return rc;
    }
    // A relay named 0.0.0.0 listens on the address the control connection reached.
    if (udp_serv.sin_addr.s_addr == htonl(INADDR_ANY)) {
        struct sockaddr_in peer;
        socklen_t pl = sizeof(peer);
        if (getpeername(tcp_fd, reinterpret_cast<struct sockaddr*>(&peer), &pl) == 0)
            udp_serv.sin_addr = peer.sin_addr;
    }
    return 1;
}

int Socks5Udp::SendTo(const void* buf, int len, int flags, const struct sockaddr* to) {
    if (!to || to->sa_family != AF_INET) return OSKIT_ERR_S5_UDP_ADDRTYPE;
    if (len < 0 || (len > 0 && !buf) || udp_fd < 0) return OSKIT_ERR_S5_UDP_SEND;
    if (len + 10 > 65535) return OSKIT_ERR_S5_UDP_TOO_LONG;
    const struct sockaddr_in* dst = reinterpret_cast<const struct sockaddr_in*>(to);
    std::vector<unsigned char> dgram(10 + static_cast<size_t>(len));
    dgram[3] = 0x01;
    memcpy(&dgram[4], &dst->sin_addr.s_addr, 4);
    memcpy(&dgram[8], &dst->sin_port, 2);
    if (len) memcpy(&dgram[10], buf, static_cast<size_t>(len));
    ssize_t n = sendto(udp_fd, dgram.data(), dgram.size(), flags | MSG_NOSIGNAL,
                       reinterpret_cast<const struct sockaddr*>(&udp_serv), sizeof(udp_serv));
    if (n != static_cast<ssize_t>(dgram.size())) return OSKIT_ERR_S5_UDP_SEND;
    return len;
}

int Socks5Udp::RecvFrom(void* buf, int len, int flags, struct sockaddr* from, socklen_t* fromlen) {
    if (m_bAlreadyReaded) {
        if (udp_fd < 0) return OSKIT_ERR_RECV;
        ssize_t n = recv(udp_fd, m_szRecvBuf, sizeof(m_szRecvBuf), flags);
        if (n < 0) return OSKIT_ERR_RECV;
        m_iPackSize = static_cast<int>(n);
        // Only the fixed 10-byte IPv4 header is accepted; anything shorter or
        // another address type is dropped before its fields are trusted.
        if (n < 10) return OSKIT_ERR_S5_UDP_SHORT;
        if (m_szRecvBuf[0] != 0 || m_szRecvBuf[1] != 0) return OSKIT_ERR_S5_UDP_RESERVED;
        if (m_szRecvBuf[2] != 0) return OSKIT_ERR_S5_UDP_TOO_LONG;
        if (m_szRecvBuf[3] != 0x01) return OSKIT_ERR_S5_UDP_ADDRTYPE;
        m_bAlreadyReaded = false;
    }
    int payload = m_iPackSize - 10;
    if (!buf || len < payload) return OSKIT_ERR_S5_UDP_BUFFER;
    if (payload) memcpy(buf, m_szRecvBuf + 10, static_cast<size_t>(payload));
    if (from) {
        struct sockaddr_in sa;
        memset(&sa, 0, sizeof(sa));
        sa.sin_family = AF_INET;
        memcpy(&sa.sin_addr.s_addr, m_szRecvBuf + 4, 4);
        memcpy(&sa.sin_port, m_szRecvBuf + 8, 2);
        memcpy(from, &sa, sizeof(sa));
    }
    if (fromlen) *fromlen = 16;
    m_bAlreadyReaded = true;
    return payload;
}

// ---------------------------------------------------------- CUDPBroadcast

CUDPBroadcast::CUDPBroadcast() : m_iPort(0), m_pReceiveFunction(nullptr), m_lpOwner(nullptr), m_iSock(-1) {}

CUDPBroadcast::~CUDPBroadcast() {
    // Stopped here: Run() must not outlive the derived part of the object.
    Stop(100);
    if (m_iSock >= 0) close(m_iSock);
}

int CUDPBroadcast::MakeSocket(const char* address) {
    if (m_iSock >= 0) close(m_iSock);
    m_iSock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_iSock < 0) {
        fprintf(stderr, "Create socket failed[%d]\n", errno);
        m_iSock = -1;
        return -1;
    }
    int on = 1;
    if (setsockopt(m_iSock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
        printf("set socket broadcast error[%d]\n", m_iSock);
        printf("errno:%d\n", errno);
    }
    setsockopt(m_iSock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(m_iPort));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
        fprintf(stderr, "bind socket failed[%d]\n", EINVAL);
        close(m_iSock);
        m_iSock = -2;
        return 0;
    }
    if (bind(m_iSock, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
        fprintf(stderr, "bind socket failed[%d]\n", errno);
        close(m_iSock);
        m_iSock = -2;
    }
    return 0;
}

int CUDPBroadcast::Init(unsigned port, FOnUDPReceive callback, void* owner) {
    m_iPort = port;
    m_pReceiveFunction = callback;
    m_lpOwner = owner;
    return MakeSocket(nullptr);
}

int CUDPBroadcast::InitEx(unsigned port, FOnUDPReceiveEx callback, void* owner) {
    m_iPort = port;
    m_pReceiveFunction = nullptr;
    g_pReceiveFunctionEx = callback;
    m_lpOwner = owner;
    return MakeSocket(nullptr);
}

int CUDPBroadcast::InitByAddr(const char* address, unsigned port, FOnUDPReceiveEx callback, void* owner) {
    m_iPort = port;
    m_pReceiveFunction = nullptr;
    g_pReceiveFunctionEx = callback;
    m_lpOwner = owner;
    return MakeSocket(address);
}

namespace {
// Runs from a cleanup handler; close is a cancellation point, so a pending
// cancel must not act inside it.
void CloseSock(void* arg) {
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    int* sock = static_cast<int*>(arg);
    if (*sock >= 0) close(*sock);
    *sock = -1;
    pthread_setcancelstate(old, nullptr);
}
}  // namespace

long CUDPBroadcast::Run() {
    if (m_iSock < 0) {
        printf("UDP广播套接字初始化失败!\n");
        return -1;
    }
    std::vector<char> buf(65536);
    long rc = 0;
    pthread_cleanup_push(CloseSock, &m_iSock);
    while (!IsTerminateRequest()) {
        struct pollfd pfd = {m_iSock, POLLIN, 0};
        int ready = poll(&pfd, 1, 1000);
        if (ready <= 0) continue;
        struct sockaddr_in from;
        socklen_t fl = sizeof(from);
        ssize_t n = recvfrom(m_iSock, buf.data(), 65535, 0, reinterpret_cast<struct sockaddr*>(&from), &fl);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) printf("接收udp数据出错[%d]\n", errno);
            continue;
        }
        buf[static_cast<size_t>(n)] = '\0';
        IncreaseLoops();
        if (m_pReceiveFunction) {
            m_pReceiveFunction(m_lpOwner, buf.data(), static_cast<int>(n));
        } else if (g_pReceiveFunctionEx) {
            char ip[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, ip, sizeof(ip));
            g_pReceiveFunctionEx(m_lpOwner, buf.data(), static_cast<int>(n), ip, ntohs(from.sin_port));
        }
    }
    pthread_cleanup_pop(1);
    return rc;
}

int CUDPBroadcast::Broadcast(const void* data, int len) {
    if (m_iSock < 0 || len < 0) return -1;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(m_iPort));
    sa.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    return static_cast<int>(sendto(m_iSock, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                                   reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)));
}

namespace {
int SetBuf(int sock, int opt, int n) {
    if (sock < 0 || n < 0) return -1;
    if (setsockopt(sock, SOL_SOCKET, opt, &n, sizeof(n)) != 0) return -1;
    int v = 0;
    socklen_t l = sizeof(v);
    if (getsockopt(sock, SOL_SOCKET, opt, &v, &l) != 0) return -1;
    return v;
}
}  // namespace

int CUDPBroadcast::SetSendBufLen(int n) { return SetBuf(m_iSock, SO_SNDBUF, n); }

int CUDPBroadcast::SetRecvBufLen(int n) { return SetBuf(m_iSock, SO_RCVBUF, n); }

void CUDPBroadcast::Destroy() {
    Stop(100);
    delete this;
}

// ---------------------------------------------------------- CNetInterface

bool CNetInterface::GetIpAddress(tagIPAddress* list, int& count) {
    int cap = count;
    count = 0;
    if (!list || cap <= 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct ifreq reqs[20];
    struct ifconf conf;
    conf.ifc_len = sizeof(reqs);
    conf.ifc_req = reqs;
    if (ioctl(fd, SIOCGIFCONF, &conf) != 0) {
        close(fd);
        return false;
    }
    int n = conf.ifc_len / static_cast<int>(sizeof(struct ifreq));
    for (int i = 0; i < n && count < cap; ++i) {
        struct sockaddr_in* sa = reinterpret_cast<struct sockaddr_in*>(&reqs[i].ifr_addr);
        if (sa->sin_family != AF_INET || sa->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) continue;
        tagIPAddress& e = list[count];
        memset(&e, 0, sizeof(e));
        inet_ntop(AF_INET, &sa->sin_addr, e.szIP, sizeof(e.szIP));
        struct ifreq mask = reqs[i];
        if (ioctl(fd, SIOCGIFNETMASK, &mask) == 0)
            e.dwMask = reinterpret_cast<struct sockaddr_in*>(&mask.ifr_netmask)->sin_addr.s_addr;
        ++count;
    }
    close(fd);
    return true;
}

bool CNetInterface::GetMacAddress(tagMacAddress*, int& count) {
    bool positive = count > 0;
    count = 0;
    return positive;
}

}  // namespace OSKIT2
