// The exporter's HTTP server against real clients: curl and raw sockets.
#include <gtest/gtest.h>

#include <thread>

#include "Q_Exporter.h"
#include "exporter_test_util.h"

using namespace qexp;

namespace {

void StatusBlock(Q_Exporter_LPHandle h) {
    int i = Q_Exporter_CreatRecord(h);
    Q_Exporter_Gauge_Add_str(h, i, "card", "sz0");
    Q_Exporter_SetValue(h, i, 7);
}

class ExporterHttp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", "1.0.0", "/metrics"));
        ASSERT_EQ(0, Q_Exporter_Regist_Gauge("card_status", "status of the card", StatusBlock));
        port = ListenPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override { Q_Exporter_Fini(); }
    int port = 0;
};

const char kMetrics[] = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

}  // namespace

TEST_F(ExporterHttp, CurlGetsMetricsWithCorrectLength) {
    qtest::TempDir dir("qexp_curl");
    std::string url = "http://127.0.0.1:" + std::to_string(port);
    int rc = -1;
    std::string out = qtest::RunCmd("curl -sS -D '" + (dir / "head") + "' -o '" + (dir / "body") + "' -w '%{http_code} %{size_download}' " +
                                        url + "/metrics",
                                    &rc);
    ASSERT_EQ(0, rc) << out;
    std::string body = qtest::ReadFile(dir / "body");
    std::string head = qtest::ReadFile(dir / "head");
    EXPECT_EQ("200 " + std::to_string(body.size()), out);
    EXPECT_NE(std::string::npos, head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_NE(std::string::npos, head.find("Content-Type: text/plain\r\n"));
    EXPECT_NE(std::string::npos, head.find("Connection: close\r\n"));
    auto s = Samples(body, "card_status");
    ASSERT_EQ(1u, s.size());
    EXPECT_EQ("sz0", s[0].labels["card"]);
    EXPECT_EQ("7", s[0].value);

    // HTTP/1.0, an upper-case path with a query string.
    out = qtest::RunCmd("curl -sS --http1.0 -o /dev/null -w '%{http_code}' '" + url + "/METRICS?x=1&y=2'", &rc);
    EXPECT_EQ("200", out);
    out = qtest::RunCmd("curl -sS -o /dev/null -w '%{http_code}' " + url + "/metricsx", &rc);
    EXPECT_EQ("404", out);
    out = qtest::RunCmd("curl -sS -o /dev/null -w '%{http_code}' -X POST -d a=b " + url + "/metrics", &rc);
    EXPECT_EQ("404", out);
}

TEST_F(ExporterHttp, RouteMatchesMethodAndPathOnly) {
    HttpResponse r = RawRequest(port, kMetrics);
    ASSERT_TRUE(r.closed);
    ASSERT_EQ(200, r.status) << r.raw;
    EXPECT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);
    EXPECT_TRUE(HasFamily(r.body, "process_base_info_guage"));

    r = RawRequest(port, "get /MeTrIcS?name=card_status HTTP/1.0\r\n\r\n");
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);

    // LF-only line ends.
    EXPECT_EQ(200, RawRequest(port, "GET /metrics HTTP/1.1\nHost: x\n\n").status);
    // Only the first three characters of the method are compared.
    EXPECT_EQ(200, RawRequest(port, "GETS /metrics HTTP/1.1\r\n\r\n").status);

    for (const char* req : {"GET /metricsx HTTP/1.1\r\n\r\n", "GET /metric HTTP/1.1\r\n\r\n",
                            "GET / HTTP/1.1\r\n\r\n", "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
                            "HEAD /metrics HTTP/1.1\r\n\r\n", "G /metrics HTTP/1.1\r\n\r\n",
                            "GE /metrics HTTP/1.1\r\n\r\n", "GET /metrics\r\n\r\n"}) {
        r = RawRequest(port, req);
        EXPECT_TRUE(r.closed) << req;
        EXPECT_EQ(404, r.status) << req;
        EXPECT_EQ("HTTP/1.1 404 NOT FOUND\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", r.raw) << req;
    }
}

TEST_F(ExporterHttp, HeadInPiecesIsAnsweredOnceComplete) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    const std::vector<std::string> pieces = {"G", "ET /met", "rics HTTP/1.1\r\n", "Host: x\r\n", "\r"};
    for (const auto& p : pieces) {
        ASSERT_TRUE(SendAll(s, p));
        EXPECT_FALSE(Readable(s, 150)) << "answered before the head was complete, after " << p;
    }
    ASSERT_TRUE(SendAll(s, "\n"));
    std::string raw;
    EXPECT_TRUE(ReadUntilClose(s, &raw));
    close(s);
    HttpResponse r;
    r.raw = raw;
    ParseResponse(r);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);
}

TEST_F(ExporterHttp, ControlByteClosesWithoutResponse) {
    for (std::string req : {std::string("GET /metrics HTTP/1.1\r\nX: a\tb\r\n\r\n"),
                            std::string("GET /metrics HTTP/1.1\r\nX: \x01\r\n\r\n"),
                            std::string("GET /met\x7frics HTTP/1.1\r\n\r\n"), std::string("\x00GET", 4)}) {
        HttpResponse r = RawRequest(port, req);
        EXPECT_TRUE(r.closed);
        EXPECT_EQ("", r.raw);
    }
    // A malformed request line: closed without a response as well.
    HttpResponse r = RawRequest(port, "GET\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ("", r.raw);
}

TEST_F(ExporterHttp, HighBytesAreAccepted) {
    HttpResponse r = RawRequest(port, "GET /metrics HTTP/1.1\r\nX-Name: \xc3\xa9\xff\x80\r\nUser-Agent: \xfe\r\n\r\n");
    EXPECT_EQ(200, r.status);
    r = RawRequest(port, "GET /metrics?q=\xe4\xb8\xad HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200, r.status);
}

TEST_F(ExporterHttp, OneResponsePerConnection) {
    // Two requests in one write: one response, then the server ends the stream.
    HttpResponse r = RawRequest(port, std::string(kMetrics) + kMetrics);
    ASSERT_TRUE(r.closed);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);
    EXPECT_EQ(std::string::npos, r.body.find("HTTP/1.1"));

    // A second request after the first response: no second response.
    int s = Connect(port);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, kMetrics));
    std::string raw;
    char buf[65536];
    while (raw.find("\r\n\r\n") == std::string::npos || raw.size() < raw.find("\r\n\r\n") + 4) {
        ASSERT_TRUE(Readable(s, 5000));
        ssize_t n = recv(s, buf, sizeof(buf), 0);
        ASSERT_GT(n, 0);
        raw.append(buf, static_cast<size_t>(n));
    }
    SendAll(s, kMetrics);  // may fail once the server has closed; either is fine
    std::string rest;
    EXPECT_TRUE(ReadUntilClose(s, &rest));
    close(s);
    raw += rest;
    EXPECT_EQ(1u, [&] {
        size_t n = 0;
        for (size_t p = raw.find("HTTP/1.1 200 OK"); p != std::string::npos; p = raw.find("HTTP/1.1 200 OK", p + 1)) ++n;
        return n;
    }());
}

TEST_F(ExporterHttp, EndlessHeadIsCutOff) {
    int s = Connect(port);
    ASSERT_GE(s, 0);
    ASSERT_TRUE(SendAll(s, "GET /metrics HTTP/1.1\r\n"));
    // A small send buffer keeps the kernel from absorbing the whole head on
    // the server's behalf before the server gets to read it.
    int sndbuf = 16 * 1024;
    ASSERT_EQ(0, setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf)));
    std::string filler = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    size_t sent = 0;
    bool refused = false;
    auto t0 = Clock::now();
    // A head that never ends: the server must close it long before 1 MiB.
    while (sent < (1u << 20) && SecondsSince(t0) < 20.0) {
        ssize_t n = send(s, filler.data(), filler.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN) {
            refused = true;
            break;
        }
        if (n > 0) sent += static_cast<size_t>(n);
        if (Readable(s, n < 0 ? 50 : 0)) {
            refused = true;
            break;
        }
    }
    EXPECT_TRUE(refused) << "the server still took the head after " << sent << " bytes";
    std::string raw;
    EXPECT_TRUE(ReadUntilClose(s, &raw));
    EXPECT_EQ("", raw);
    close(s);
    EXPECT_EQ(200, Get(port).status);  // still serving
}

TEST_F(ExporterHttp, IdleClientClosedByAgeLimits) {
    auto t0 = Clock::now();
    int s = Connect(port);
    ASSERT_GE(s, 0);
    std::string raw;
    bool closed = ReadUntilClose(s, &raw, 12.0);
    double elapsed = SecondsSince(t0);
    close(s);
    EXPECT_TRUE(closed);
    EXPECT_EQ("", raw);
    EXPECT_LE(elapsed, 6.5) << "an idle client must be closed within 6 seconds";
}

TEST_F(ExporterHttp, CustomPathAndAddress) {
    Q_Exporter_Fini();
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", nullptr, "/fpga/stats"));
    Q_Exporter_Regist_Gauge("card_status", "status of the card", StatusBlock);
    port = ListenPort();
    EXPECT_EQ(200, Get(port, "/fpga/stats").status);
    EXPECT_EQ(404, Get(port, "/metrics").status);

    // An empty path means /metrics, an address of two characters 0.0.0.0.
    Q_Exporter_Fini();
    ASSERT_EQ(0, Q_Exporter_Init(0, "", nullptr, ""));
    port = ListenPort();
    EXPECT_EQ(200, Get(port).status);
    std::string text = Scrape(port);
    bool any = false;
    for (auto& s : Samples(text, "net_tcp_state_guage"))
        if (s.labels["tcp_state"] == "LISTEN") any = s.labels["local_addr"] == "0.0.0.0:" + std::to_string(port);
    EXPECT_TRUE(any) << text;
}

TEST_F(ExporterHttp, InitRefusals) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, Q_Exporter_Init(0, "127.0.0.1", nullptr, "/metrics"));  // already started
    EXPECT_EQ(-1, Q_Exporter_Init(65536, "127.0.0.1", nullptr, "/metrics"));
    EXPECT_EQ(-1, Q_Exporter_Init(-1, "127.0.0.1", nullptr, "/metrics"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("QC_http_server_socket::init has already started.\n"));
    EXPECT_NE(std::string::npos, err.find("Invalid port\n"));
    EXPECT_EQ(200, Get(port).status);  // the running server is untouched

    // Port taken: bind fails, -1, nothing left listening.
    Q_Exporter_Fini();
    EXPECT_EQ(0, ListenPort());
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    ASSERT_EQ(0, listen(taken, 1));
    socklen_t sl = sizeof(a);
    getsockname(taken, reinterpret_cast<sockaddr*>(&a), &sl);
    EXPECT_EQ(-1, Q_Exporter_Init(ntohs(a.sin_port), "127.0.0.1", nullptr, "/metrics"));
    EXPECT_EQ(-1, Q_Exporter_Init(0, "not-an-address", nullptr, "/metrics"));
    EXPECT_EQ(-1, Q_Exporter_Init(0, nullptr, nullptr, "/metrics"));
    EXPECT_EQ(-1, Q_Exporter_Init(0, "127.0.0.1", nullptr, nullptr));
    close(taken);

    // Fini then Init again works.
    ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", nullptr, "/metrics"));
    port = ListenPort();
    EXPECT_EQ(200, Get(port).status);
}
