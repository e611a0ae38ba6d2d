// Reply handling of liboskit's proxy clients: SOCKS4/4a, SOCKS5 (with and
// without a user), HTTP CONNECT and the SOCKS5 UDP relay. A loopback
// listener plays the proxy: it answers the client's connection with the
// input's reply bytes and then ends its side, so a short reply is seen as
// a closed connection at once.
//
// Input: a mode byte (the client, see kModes), then for the TCP clients the
// reply. For the UDP relay: one byte n, n reply bytes, then datagrams the
// relay sends to the client, each as [buffer size / 4][length, 2 bytes][bytes].

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_util.h"
#include "oskit_net.h"

namespace {

struct Listener {
    int fd = -1;
    unsigned short port = 0;
};

const Listener& ProxyListener()
{
    static Listener l = [] {
        Listener r;
        r.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t al = sizeof(a);
        QFUZZ_CHECK(r.fd >= 0 && bind(r.fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0);
        QFUZZ_CHECK(listen(r.fd, 16) == 0 && getsockname(r.fd, reinterpret_cast<sockaddr*>(&a), &al) == 0);
        r.port = ntohs(a.sin_port);
        return r;
    }();
    return l;
}

// Accepts the client's connection (if it makes one before done is set),
// sends the reply, ends its side and reads until the client closes.
void Serve(const std::string& reply, const std::atomic<bool>& done)
{
    const int lfd = ProxyListener().fd;
    int c = -1;
    for (;;) {
        pollfd p{lfd, POLLIN, 0};
        if (poll(&p, 1, 5) > 0 || done.load()) {
            c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC | (done.load() ? SOCK_NONBLOCK : 0));
            break;
        }
    }
    if (c < 0) return;
    if (!reply.empty()) send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    shutdown(c, SHUT_WR);
    char b[4096];
    while (recv(c, b, sizeof(b), 0) > 0) {
    }
    close(c);
}

void Datagrams(OSKIT2::Socks5Udp& udp, qfuzz::Reader& in)
{
    sockaddr_in to{};
    socklen_t tl = sizeof(to);
    QFUZZ_CHECK(getsockname(udp.GetUdpHandle(), reinterpret_cast<sockaddr*>(&to), &tl) == 0);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QFUZZ_CHECK(s >= 0);
    while (in.Left() > 0) {
        const int bufLen = in.Byte() * 4;
        std::string d = in.Take(in.Word());
        if (sendto(s, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) !=
            static_cast<ssize_t>(d.size()))
            continue;
        std::vector<char> buf(static_cast<size_t>(bufLen) + 1);
        sockaddr_in from{};
        socklen_t fl = sizeof(from);
        int n = udp.RecvFrom(buf.data(), bufLen, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n == OSKIT_ERR_S5_UDP_BUFFER) {
            buf.assign(65536, 0);
            n = udp.RecvFrom(buf.data(), static_cast<int>(buf.size()), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &fl);
        }
        if (n < 0) continue;
        // An accepted datagram is the 10-byte IPv4 header and its payload.
        QFUZZ_CHECK(d.size() >= 10 && static_cast<size_t>(n) == d.size() - 10);
        QFUZZ_CHECK(memcmp(buf.data(), d.data() + 10, static_cast<size_t>(n)) == 0);
        QFUZZ_CHECK(memcmp(&from.sin_addr, d.data() + 4, 4) == 0 && memcmp(&from.sin_port, d.data() + 8, 2) == 0);
    }
    close(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    const int mode = in.Byte() % 8;
    const bool udpMode = mode >= 6;
    std::string reply = udpMode ? in.Take(in.Byte()) : in.Take(in.Left());
    const unsigned short port = ProxyListener().port;

    std::atomic<bool> done{false};
    std::thread proxy(Serve, std::cref(reply), std::cref(done));
    int fd = -1;
    switch (mode) {
    case 0: fd = socks4_connect("127.0.0.1", port, "10.0.0.1", 80); break;
    case 1: fd = socks4_connect("127.0.0.1", port, "example.org", 80); break;
    case 2: fd = socks5_tcp_connect("127.0.0.1", port, "example.org", 443, nullptr, nullptr); break;
    case 3: fd = socks5_tcp_connect("127.0.0.1", port, "10.0.0.2", 443, "user", "secret"); break;
    case 4: fd = http_connect("127.0.0.1", port, "example.org", 443, nullptr, nullptr); break;
    case 5: fd = http_connect("127.0.0.1", port, "10.0.0.2", 8080, "user", "secret"); break;
    default: {
        OSKIT2::Socks5Udp udp;
        int rc = udp.UdpInit("127.0.0.1", port, mode == 7 ? "user" : nullptr, mode == 7 ? "secret" : nullptr);
        QFUZZ_CHECK(rc == 1 || rc < 0);
        if (rc == 1) Datagrams(udp, in);
        udp.CloseSocket();
    }
    }
    if (fd >= 0) close(fd);
    done = true;
    proxy.join();
    return 0;
}
