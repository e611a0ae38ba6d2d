// The server under load: connection churn, a slow reader, idle clients and a
// malformed flood. Bounded in count and time, loopback only.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <random>
#include <thread>

#include "Q_Exporter.h"
#include "exporter_test_util.h"

using namespace qexp;

namespace {

std::atomic<int> g_rows{1};

void Rows(Q_Exporter_LPHandle h) {
    static const std::string pad(40, 'p');
    for (int r = 0, n = g_rows; r < n; ++r) {
        int i = Q_Exporter_CreatRecord(h);
        Q_Exporter_Gauge_Add_int(h, i, "row", r);
        Q_Exporter_Gauge_Add_str(h, i, "pad", pad.c_str());
        Q_Exporter_SetValue(h, i, r + 1);
    }
}

class ExporterLoad : public ::testing::Test {
protected:
    void SetUp() override {
        g_rows = 1;
        ASSERT_EQ(0, Q_Exporter_Init(0, "127.0.0.1", nullptr, "/metrics"));
        ASSERT_EQ(0, Q_Exporter_Regist_Gauge("load_rows", "rows for the load tests", Rows));
        port = ListenPort();
        ASSERT_GT(port, 0);
        ASSERT_EQ(200, Get(port).status);
        baseline = SettledFdCount();
    }
    void TearDown() override { Q_Exporter_Fini(); }

    // The descriptor count once the server holds no client connection.
    static int SettledFdCount() {
        int last = CountOpenFds();
        for (int i = 0; i < 40; ++i) {
            usleep(100000);
            int now = CountOpenFds();
            if (now == last) return now;
            last = now;
        }
        return last;
    }
    // Waits (at most 8 s: beyond every connection's age limit) for the
    // descriptor count to come back to the baseline.
    bool BackToBaseline() {
        auto t0 = Clock::now();
        while (SecondsSince(t0) < 8.0) {
            if (CountOpenFds() == baseline) return true;
            usleep(100000);
        }
        return CountOpenFds() == baseline;
    }
    void ExpectGoodScrape(int rows) {
        HttpResponse r = Get(port);
        ASSERT_EQ(200, r.status);
        EXPECT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);
        EXPECT_EQ(static_cast<size_t>(rows), Samples(r.body, "load_rows").size());
    }

    int port = 0;
    int baseline = 0;
};

int ConnectNonBlocking(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS) {
        close(s);
        return -1;
    }
    return s;
}

}  // namespace

TEST_F(ExporterLoad, ThousandsOfConnectionsOpenedAndDropped) {
    int opened = 0;
    for (int batch = 0; batch < 15; ++batch) {
        std::vector<int> socks;
        for (int i = 0; i < 200; ++i) {
            int s = ConnectNonBlocking(port);
            if (s >= 0) socks.push_back(s);
        }
        opened += static_cast<int>(socks.size());
        usleep(20000);
        for (size_t i = 0; i < socks.size(); ++i) {
            int s = socks[i];
            switch (i % 4) {
                case 0:
                    break;  // plain close
                case 1:
                    send(s, "GET /met", 8, MSG_NOSIGNAL);  // half a request
                    break;
                case 2: {
                    linger l{1, 0};  // reset instead of a close
                    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
                    break;
                }
                case 3:
                    send(s, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL);  // a request, not read
                    break;
            }
            close(s);
        }
        if (batch % 5 == 4) ExpectGoodScrape(1);
    }
    EXPECT_GE(opened, 2000);
    ExpectGoodScrape(1);
    EXPECT_TRUE(BackToBaseline()) << CountOpenFds() << " descriptors, " << baseline << " before";
}

// Other clients coming and going make passes quick; a client that connected
// before them and sends its request afterwards is still answered.
TEST_F(ExporterLoad, ChurnAroundAWaitingClientDoesNotExpireIt) {
    for (int others : {20, 60}) {
        int a = Connect(port);
        ASSERT_GE(a, 0);
        usleep(20000);  // accepted
        for (int i = 0; i < others; ++i) {  // ~2 ms each: a pass for the accept, one for the close
            int s = Connect(port);
            usleep(1000);
            if (s >= 0) close(s);
            usleep(1000);
        }
        ASSERT_TRUE(SendAll(a, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
        std::string raw;
        ReadUntilClose(a, &raw, 10.0);
        close(a);
        EXPECT_EQ(0u, raw.rfind("HTTP/1.1 200", 0)) << others << " others: " << raw.substr(0, 80);
    }

    // Fifty scrapes at once, each answered whole.
    g_rows = 50;
    std::atomic<int> good{0};
    std::vector<std::thread> scrapers;
    for (int i = 0; i < 50; ++i)
        scrapers.emplace_back([&] {
            HttpResponse r = Get(port);
            if (r.status == 200 && Samples(r.body, "load_rows").size() == 50u) ++good;
        });
    for (auto& t : scrapers) t.join();
    EXPECT_EQ(50, good.load());
}

TEST_F(ExporterLoad, SlowReaderDoesNotStallOthers) {
    g_rows = 4000;  // a body of a few hundred KiB
    std::atomic<bool> done{false};
    HttpResponse slow;
    std::thread reader([&] {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A small window and a small segment size keep the server's send
        // buffer small, so the body has to go out in many partial sends.
        int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        int mss = 536;
        setsockopt(s, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof(mss));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            SendAll(s, "GET /metrics HTTP/1.1\r\n\r\n");
            char buf[2048];
            auto t0 = Clock::now();
            while (SecondsSince(t0) < 10.0) {
                if (!Readable(s, 1000)) continue;
                ssize_t n = recv(s, buf, sizeof(buf), 0);
                if (n <= 0) {
                    slow.closed = true;
                    break;
                }
                slow.raw.append(buf, static_cast<size_t>(n));
                usleep(2000);
            }
        }
        close(s);
        done = true;
    });
    int others = 0;
    while (!done && others < 50) {
        HttpResponse r = Get(port);
        ASSERT_EQ(200, r.status);
        ASSERT_EQ(std::to_string(r.body.size()), r.headers["content-length"]);
        ++others;
    }
    reader.join();
    ParseResponse(slow);
    ASSERT_EQ(200, slow.status);
    EXPECT_TRUE(slow.closed);
    EXPECT_EQ(std::to_string(slow.body.size()), slow.headers["content-length"]);
    EXPECT_EQ(4000u, Samples(slow.body, "load_rows").size());
    EXPECT_GE(others, 1);
    g_rows = 1;
    EXPECT_TRUE(BackToBaseline()) << CountOpenFds() << " descriptors, " << baseline << " before";
}

TEST_F(ExporterLoad, IdleClientsAreServedAroundAndClosed) {
    auto t0 = Clock::now();
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i) {
        int s = Connect(port);
        ASSERT_GE(s, 0);
        idle.push_back(s);
    }
    for (int i = 0; i < 10; ++i) ExpectGoodScrape(1);
    int closed = 0;
    for (int s : idle) {
        std::string raw;
        if (ReadUntilClose(s, &raw, 10.0 - SecondsSince(t0)) && raw.empty()) ++closed;
        close(s);
    }
    double elapsed = SecondsSince(t0);
    EXPECT_EQ(100, closed);
    EXPECT_LE(elapsed, 7.0) << "idle clients must be closed within 6 seconds of their connect";
    EXPECT_TRUE(BackToBaseline()) << CountOpenFds() << " descriptors, " << baseline << " before";
}

TEST_F(ExporterLoad, MalformedFloodGetsNoResponse) {
    std::mt19937 rng(12345);
    std::vector<std::string> junk = {
        std::string("GET /metrics HTTP/1.1\r\nX: \x02\r\n\r\n"),
        std::string("\r\n\r\n"),
        std::string("GET\r\n\r\n"),
        std::string(16384, 'A'),  // a head without end, past the bound
        std::string("GET /metrics HTTP/1.1\r\n") + std::string(9000, 'h'),
    };
    for (int i = 0; i < 20; ++i) {  // random binary with a control byte up front
        std::string r(200, '\0');
        for (auto& c : r) c = static_cast<char>(rng() & 0xff);
        r[0] = '\x03';
        junk.push_back(r);
    }
    int quiet = 0, total = 0;
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<int> socks;
        for (int i = 0; i < 50; ++i) {
            int s = Connect(port);
            ASSERT_GE(s, 0);
            const std::string& j = junk[static_cast<size_t>(batch * 50 + i) % junk.size()];
            send(s, j.data(), j.size(), MSG_NOSIGNAL);
            socks.push_back(s);
        }
        for (int s : socks) {
            std::string raw;
            bool closed = ReadUntilClose(s, &raw, 8.0);
            if (closed && raw.empty()) ++quiet;
            ++total;
            close(s);
        }
        ExpectGoodScrape(1);
    }
    EXPECT_EQ(total, quiet);
    EXPECT_TRUE(BackToBaseline()) << CountOpenFds() << " descriptors, " << baseline << " before";
}
