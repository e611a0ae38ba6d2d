// Proxy clients against Debian's dante-server and tinyproxy started on free
// loopback ports, and against a scripted fake proxy for the faults a real
// proxy does not produce.
#include <gtest/gtest.h>

#include <memory>

#include "oskit_net.h"
#include "oskit_peers.h"
#include "test_util.h"

using namespace oskt;

namespace {

// Sends text through a tunnel to the echo server and reads it back.
std::string RoundTrip(int sock, const std::string& text) {
    if (timed_write_n(sock, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size())) return "";
    std::string back(text.size(), '\0');
    if (timed_read_n(sock, &back[0], static_cast<int>(back.size())) != static_cast<int>(back.size())) return "";
    return back;
}

bool RunQuiet(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

class Danted : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access("/usr/sbin/danted", X_OK)) << "dante-server is not installed";
        m_echo.reset(NewTcpEcho());
        m_blocked.reset(NewTcpEcho());
        m_port = FreePort();
        std::string conf = m_dir / "danted.conf";
        qtest::WriteFile(conf,
                         "logoutput: " + (m_dir / "danted.log") + "\n"
                         "internal: 127.0.0.1 port = " + std::to_string(m_port) + "\n"
                         "external: 127.0.0.1\n"
                         "socksmethod: username none\n"
                         "clientmethod: none\n"
                         "user.privileged: root\n"
                         "user.unprivileged: nobody\n"
                         "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                         "socks block { from: 0.0.0.0/0 to: 127.0.0.1/32 port = " +
                             std::to_string(m_blocked->Port()) + " }\n"
                         "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect udpassociate udpreply }\n");
        ASSERT_TRUE(m_peer.Start({"/usr/sbin/danted", "-f", conf}, m_dir / "danted.out"));
        ASSERT_TRUE(WaitTcpPort(m_port, 5000)) << qtest::ReadFile(m_dir / "danted.out");
    }
    void TearDown() override { m_peer.Stop(); }

    qtest::TempDir m_dir{"oskit_danted"};
    std::unique_ptr<LoopServer> m_echo, m_blocked;
    PeerProcess m_peer;
    unsigned short m_port = 0;
};

// A system user for dante's user name method, unique to this process.
class DantedAuth : public Danted {
protected:
    void SetUp() override {
        m_user = "oskt" + std::to_string(getpid());
        bool made = false;
        for (int i = 0; i < 50 && !made; ++i) {  // useradd fails while another holds the passwd lock
            made = RunQuiet("useradd -M -s /usr/sbin/nologin " + m_user);
            if (!made) usleep(100000);
        }
        ASSERT_TRUE(made) << "useradd " << m_user;
        ASSERT_TRUE(RunQuiet("echo '" + m_user + ":Pw-" + m_user + "' | chpasswd"));
        Danted::SetUp();
    }
    void TearDown() override {
        Danted::TearDown();
        for (int i = 0; i < 50 && !RunQuiet("userdel " + m_user); ++i) usleep(100000);
    }
    std::string m_user;
};

TEST_F(Danted, Socks5ConnectWithoutAuthenticationCarriesBytes) {
    int s = socks5_tcp_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), nullptr, nullptr);
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ("through dante", RoundTrip(s, "through dante"));
    close(s);
}

TEST_F(DantedAuth, Socks5UserPasswordAcceptedAndWrongPasswordRefused) {
    std::string pw = "Pw-" + m_user;
    int s = socks5_tcp_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), m_user.c_str(), pw.c_str());
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ("authenticated", RoundTrip(s, "authenticated"));
    close(s);
    EXPECT_EQ(OSKIT_ERR_S5_AUTH_REFUSED,
              socks5_tcp_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), m_user.c_str(), "wrong"));
}

TEST_F(Danted, Socks4ConnectsAndRefusedDestinationsGiveTheirCodes) {
    int s = socks4_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port());
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ("socks four", RoundTrip(s, "socks four"));
    close(s);
    EXPECT_EQ(OSKIT_ERR_S4_REJECTED, socks4_connect("127.0.0.1", m_port, "127.0.0.1", m_blocked->Port()));
    EXPECT_EQ(OSKIT_ERR_S5_FAILED,
              socks5_tcp_connect("127.0.0.1", m_port, "127.0.0.1", m_blocked->Port(), nullptr, nullptr));
    // Dante answers SOCKS4a host-name requests with "rejected".
    EXPECT_EQ(OSKIT_ERR_S4_REJECTED, socks4_connect("127.0.0.1", m_port, "localhost", m_echo->Port()));
}

TEST_F(Danted, Socks5UdpAssociateRelaysDatagramsBothWays) {
    std::unique_ptr<LoopServer> echo(NewUdpEcho());
    auto udp = std::make_unique<OSKIT2::Socks5Udp>();
    ASSERT_EQ(1, udp->UdpInit("127.0.0.1", m_port, nullptr, nullptr));
    sockaddr_in to = Loopback(echo->Port());
    ASSERT_EQ(5, udp->SendTo("hello", 5, 0, reinterpret_cast<sockaddr*>(&to)));
    pollfd p{udp->GetUdpHandle(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000));
    char buf[64] = {};
    sockaddr_in from{};
    socklen_t fl = 0;
    ASSERT_EQ(10, udp->RecvFrom(buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fl));
    EXPECT_EQ("echo:hello", std::string(buf, 10));
    EXPECT_EQ(16u, fl);
    EXPECT_EQ(to.sin_addr.s_addr, from.sin_addr.s_addr);
    EXPECT_EQ(to.sin_port, from.sin_port);
}

TEST_F(Danted, Socks5UdpRecvFromChecksEveryDatagramHeader) {
    auto udp = std::make_unique<OSKIT2::Socks5Udp>();
    ASSERT_EQ(1, udp->UdpInit("127.0.0.1", m_port, nullptr, nullptr));
    int raw = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in client = Loopback(BoundPort(udp->GetUdpHandle()));
    auto inject = [&](const std::string& d) {
        sendto(raw, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&client), sizeof(client));
    };
    const std::string head("\0\0\0\x01\x7f\0\0\x01\x12\x34", 10);
    char buf[32];
    inject(std::string("\0\0\0\x01\x7f", 5));  // shorter than its header
    EXPECT_EQ(OSKIT_ERR_S5_UDP_SHORT, udp->RecvFrom(buf, sizeof(buf), 0, nullptr, nullptr));
    inject(std::string("\0\0\x01", 3) + head.substr(3) + "frag");
    EXPECT_EQ(OSKIT_ERR_S5_UDP_TOO_LONG, udp->RecvFrom(buf, sizeof(buf), 0, nullptr, nullptr));
    inject(std::string("\x01\0\0", 3) + head.substr(3) + "rsv");
    EXPECT_EQ(OSKIT_ERR_S5_UDP_RESERVED, udp->RecvFrom(buf, sizeof(buf), 0, nullptr, nullptr));
    inject(std::string("\0\0\0\x03\x09localhost\x12\x34", 16) + "x");  // host-name address
    EXPECT_EQ(OSKIT_ERR_S5_UDP_ADDRTYPE, udp->RecvFrom(buf, sizeof(buf), 0, nullptr, nullptr));

    inject(head + "twelve bytes");
    inject(head + "next");
    EXPECT_EQ(OSKIT_ERR_S5_UDP_BUFFER, udp->RecvFrom(buf, 11, 0, nullptr, nullptr));
    sockaddr_in from{};
    socklen_t fl = 0;
    ASSERT_EQ(12, udp->RecvFrom(buf, 12, 0, reinterpret_cast<sockaddr*>(&from), &fl));
    EXPECT_EQ("twelve bytes", std::string(buf, 12));
    EXPECT_EQ(htons(0x1234), from.sin_port);
    ASSERT_EQ(4, udp->RecvFrom(buf, sizeof(buf), 0, nullptr, nullptr));
    EXPECT_EQ("next", std::string(buf, 4));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    EXPECT_EQ(OSKIT_ERR_S5_UDP_ADDRTYPE, udp->SendTo("x", 1, 0, reinterpret_cast<sockaddr*>(&v6)));
    sockaddr_in to = Loopback(9);
    std::vector<char> big(65535 - 9);
    EXPECT_EQ(OSKIT_ERR_S5_UDP_TOO_LONG, udp->SendTo(big.data(), static_cast<int>(big.size()), 0,
                                                     reinterpret_cast<sockaddr*>(&to)));
    close(raw);
}

TEST(ProxyDown, EveryClientReportsTheFailedConnection) {
    unsigned short port = FreePort();
    EXPECT_EQ(OSKIT_ERR_CONNECT, socks5_tcp_connect("127.0.0.1", port, "127.0.0.1", 80, nullptr, nullptr));
    EXPECT_EQ(OSKIT_ERR_CONNECT, socks4_connect("127.0.0.1", port, "127.0.0.1", 80));
    EXPECT_EQ(OSKIT_ERR_CONNECT, http_connect("127.0.0.1", port, "127.0.0.1", 80, nullptr, nullptr));
    OSKIT2::Socks5Udp udp;
    EXPECT_EQ(OSKIT_ERR_CONNECT, udp.UdpInit("127.0.0.1", port, nullptr, nullptr));
    EXPECT_EQ(OSKIT_ERR_CONNECT, connect_server("1.2.3.4.5", port));
}

class Tinyproxy : public ::testing::Test {
protected:
    void StartProxy(const std::string& extra) {
        ASSERT_EQ(0, access("/usr/bin/tinyproxy", X_OK)) << "tinyproxy is not installed";
        m_echo.reset(NewTcpEcho());
        m_port = FreePort();
        std::string conf = m_dir / "tinyproxy.conf";
        qtest::WriteFile(conf, "User nobody\nGroup nogroup\nPort " + std::to_string(m_port) +
                                   "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nAllow 127.0.0.1\n"
                                   "ConnectPort " + std::to_string(m_echo->Port()) + "\n" + extra);
        ASSERT_TRUE(m_peer.Start({"/usr/bin/tinyproxy", "-d", "-c", conf}, m_dir / "tinyproxy.out"));
        ASSERT_TRUE(WaitTcpPort(m_port, 5000)) << qtest::ReadFile(m_dir / "tinyproxy.out");
    }
    void TearDown() override { m_peer.Stop(); }

    qtest::TempDir m_dir{"oskit_tinyproxy"};
    std::unique_ptr<LoopServer> m_echo;
    PeerProcess m_peer;
    unsigned short m_port = 0;
};

TEST_F(Tinyproxy, HttpConnectWithoutAuthenticationAndRefusedPort) {
    ASSERT_NO_FATAL_FAILURE(StartProxy(""));
    int s = http_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), nullptr, nullptr);
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ("through tinyproxy", RoundTrip(s, "through tinyproxy"));
    close(s);
    // Only the echo port is allowed for CONNECT: 403.
    EXPECT_EQ(OSKIT_ERR_HTTP_REFUSED, http_connect("127.0.0.1", m_port, "127.0.0.1", FreePort(), nullptr, nullptr));
}

TEST_F(Tinyproxy, HttpConnectWithBasicAuthentication) {
    ASSERT_NO_FATAL_FAILURE(StartProxy("BasicAuth alice s3cr3t\n"));
    int s = http_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), "alice", "s3cr3t");
    ASSERT_GE(s, 0) << s;
    EXPECT_EQ("basic", RoundTrip(s, "basic"));
    close(s);
    EXPECT_EQ(OSKIT_ERR_HTTP_REFUSED, http_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), "alice", "no"));
    EXPECT_EQ(OSKIT_ERR_HTTP_REFUSED,
              http_connect("127.0.0.1", m_port, "127.0.0.1", m_echo->Port(), nullptr, nullptr));
}

// ---------------------------------------------------------- scripted proxy

const std::string kS5Ok("\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38", 10);

TEST(FakeSocks5, MalformedOrCutRepliesGiveTheirCodes) {
    struct Case {
        std::vector<Step> steps;
        const char* user;
        int code;
    } cases[] = {
        {{{3, std::string("\x05\xff", 2)}}, nullptr, OSKIT_ERR_S5_METHOD_REFUSED},
        {{{3, std::string("\x05", 1)}}, nullptr, OSKIT_ERR_S5_METHOD_REPLY},
        {{{3, std::string("\x05\x02", 2)}, {5, std::string("\x01", 1)}}, "u", OSKIT_ERR_S5_AUTH_REPLY},
        {{{3, std::string("\x05\x00", 2)}, {10, kS5Ok.substr(0, 4)}}, nullptr, OSKIT_ERR_S5_REPLY},
        {{{3, std::string("\x05\x00", 2)}, {10, std::string("\x05\x00\x00\x03", 4)}}, nullptr,
         OSKIT_ERR_S5_FAILED},
    };
    for (const Case& c : cases) {
        ScriptedProxy proxy(c.steps);
        EXPECT_EQ(c.code, socks5_tcp_connect("127.0.0.1", proxy.Port(), "127.0.0.1", 80, c.user, "p"))
            << "reply " << c.steps.back().reply.size() << " bytes";
    }
    EXPECT_EQ(OSKIT_ERR_S5_BAD_REQUEST, socks5_tcp_connect("127.0.0.1", 1, "300.1.1.1", 80, nullptr, nullptr));
    EXPECT_EQ(OSKIT_ERR_S5_BAD_REQUEST,
              socks5_tcp_connect("127.0.0.1", 1, std::string(256, 'h').c_str(), 80, nullptr, nullptr));
}

TEST(FakeSocks5, UserOf255BytesIsSentAnd256IsRefused) {
    std::string user(255, 'u');
    ScriptedProxy proxy({{3, std::string("\x05\x02", 2)}, {2 + 255 + 2, std::string("\x01\x00", 2)}, {10, kS5Ok}});
    int s = socks5_tcp_connect("127.0.0.1", proxy.Port(), "127.0.0.1", 80, user.c_str(), "p");
    ASSERT_GE(s, 0) << s;
    close(s);
    EXPECT_EQ(std::string("\x05\x01\x02\x01\xff", 5) + user + std::string("\x01p", 2),
              proxy.Received().substr(0, 5 + 255 + 2));
    std::string longer(256, 'u');
    ScriptedProxy proxy2({{3, std::string("\x05\x02", 2)}});
    EXPECT_EQ(OSKIT_ERR_S5_CRED_LEN, socks5_tcp_connect("127.0.0.1", proxy2.Port(), "127.0.0.1", 80,
                                                        longer.c_str(), "p"));
}

TEST(FakeSocks4, HostNameRequestCarriesTheNameAndCutReplyFails) {
    ScriptedProxy proxy({{9 + 12 + 1, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8)}});
    int s = socks4_connect("127.0.0.1", proxy.Port(), "example.test", 0x1234);
    ASSERT_GE(s, 0) << s;
    close(s);
    EXPECT_EQ(std::string("\x04\x01\x12\x34\x00\x00\x00\x2b\x00" "example.test\x00", 22), proxy.Received());
    ScriptedProxy cut({{9, std::string("\x00\x5a\x00", 3)}});
    EXPECT_EQ(OSKIT_ERR_S4_REPLY, socks4_connect("127.0.0.1", cut.Port(), "127.0.0.1", 80));
    EXPECT_EQ(OSKIT_ERR_S4_DEST, socks4_connect("127.0.0.1", cut.Port(), "1234567890.123456", 80));
}

TEST(FakeHttp, LongReplyHeadIsReadToItsEndAndCutHeadFails) {
    std::string req_start = "CONNECT 127.0.0.1:80 HTTP/1.1\r\n";
    std::string head = "HTTP/1.1 200 Connection established\r\nX-Pad: " + std::string(3000, 'p') + "\r\n\r\n";
    // The request is 96 bytes without credentials.
    ScriptedProxy proxy({{96, head + "tunnel"}});
    int s = http_connect("127.0.0.1", proxy.Port(), "127.0.0.1", 80, nullptr, nullptr);
    ASSERT_GE(s, 0) << s;
    char after[6];
    ASSERT_EQ(6, timed_read_n(s, after, 6));  // the bytes after the head stay in the socket
    EXPECT_EQ("tunnel", std::string(after, 6));
    close(s);
    EXPECT_EQ(req_start, proxy.Received().substr(0, req_start.size()));

    ScriptedProxy cut({{96, "HTTP/1.1 200 OK\r\nServer"}});
    EXPECT_EQ(OSKIT_ERR_HTTP_REPLY, http_connect("127.0.0.1", cut.Port(), "127.0.0.1", 80, nullptr, nullptr));
    std::string longuser(256, 'a');
    EXPECT_EQ(OSKIT_ERR_HTTP_CRED, http_connect("127.0.0.1", cut.Port(), "127.0.0.1", 80, longuser.c_str(), "p"));
}

}  // namespace
