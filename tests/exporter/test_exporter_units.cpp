// Request-head parser, fd link and UTF-8 helpers of the exporter library.
#include <gtest/gtest.h>

#include <string>

#include "base_monitor/monitor_base.h"
#include "http/q_http.h"
#include "q_exporter_internal.h"

using namespace Q_HTTP;

namespace {
std::string S(const _st_str& s) { return s.p ? std::string(s.p, s.len) : std::string(); }
int Len(const std::string& s) { return http_get_request_len(s.data(), static_cast<int>(s.size())); }
}  // namespace

TEST(ExporterParser, HeadLength) {
    EXPECT_EQ(18, Len("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(16, Len("GET / HTTP/1.1\n\n"));
    EXPECT_EQ(17, Len("GET / HTTP/1.1\n\r\n"));
    EXPECT_EQ(18, Len("GET / HTTP/1.1\r\n\r\nbody\x01"));  // bytes after the head are not looked at
    EXPECT_EQ(0, Len("GET / HTTP/1.1\r\n"));
    EXPECT_EQ(0, Len("GET / HTTP/1.1\r\n\r"));
    EXPECT_EQ(0, Len(""));
    EXPECT_EQ(-1, Len("GET /\t HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(-1, Len("GET /\x7f HTTP/1.1"));
    EXPECT_EQ(-1, Len(std::string("GET\0", 4)));
    EXPECT_EQ(20, Len("GET /\x80\xff HTTP/1.1\r\n\r\n"));
}

TEST(ExporterParser, RequestLineHeadersAndQuery) {
    std::string req =
        "  GET   /metrics?a=1&b=2   HTTP/1.1  \r\n"
        "Host: example\r\n"
        "X-Empty:   \r\n"
        "X-Trail: value   \r\n"
        "content-length: 12\r\n"
        "\r\n";
    Q_http_message hm;
    int n = parse_http(req.data(), static_cast<int>(req.size()), &hm, 1);
    ASSERT_EQ(static_cast<int>(req.size()), n);
    EXPECT_EQ("GET", S(hm.method));
    EXPECT_EQ("/metrics", S(hm.uri));
    EXPECT_EQ("a=1&b=2", S(hm.query_string));
    EXPECT_EQ("HTTP/1.1", S(hm.proto));
    EXPECT_EQ("Host", S(hm.header_names[0]));
    EXPECT_EQ("example", S(hm.header_values[0]));
    EXPECT_EQ("X-Trail", S(hm.header_names[1]));  // the empty header was skipped
    EXPECT_EQ("value", S(hm.header_values[1]));
    EXPECT_EQ(12u, hm.content_length);
    EXPECT_EQ(req.size() + 12, hm.message.len);
    ASSERT_NE(nullptr, get_http_header(&hm, "HOST"));
    EXPECT_EQ("example", S(*get_http_header(&hm, "host")));
    EXPECT_EQ(nullptr, get_http_header(&hm, "X-Empty"));

    // Without Content-Length a GET has no body.
    std::string get = "GET /x HTTP/1.0\r\n\r\n";
    ASSERT_EQ(static_cast<int>(get.size()), parse_http(get.data(), static_cast<int>(get.size()), &hm, 1));
    EXPECT_EQ(0u, hm.body.len);
    EXPECT_EQ(get.size(), hm.message.len);

    // A header named only like the start of Content-Length does not count.
    std::string partial = "GET /x HTTP/1.1\r\nContent: 99\r\nC: 5\r\n\r\n";
    ASSERT_GT(parse_http(partial.data(), static_cast<int>(partial.size()), &hm, 1), 0);
    EXPECT_EQ(0u, hm.content_length);

    // A name that starts with Content-Length counts.
    std::string longer = "GET /x HTTP/1.1\r\nContent-Lengthy: 7\r\n\r\n";
    ASSERT_GT(parse_http(longer.data(), static_cast<int>(longer.size()), &hm, 1), 0);
    EXPECT_EQ(7u, hm.content_length);
}

TEST(ExporterParser, HeaderSlotsAndMalformedLines) {
    std::string req = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 30; ++i) req += "H" + std::to_string(i) + ": v\r\n";
    req += "\r\n";
    Q_http_message hm;
    ASSERT_GT(parse_http(req.data(), static_cast<int>(req.size()), &hm, 1), 0);
    EXPECT_EQ("H18", S(hm.header_names[18]));
    EXPECT_EQ(nullptr, hm.header_names[19].p);  // at most 19 kept

    for (const char* bad : {"\r\n\r\n", "GET\r\n\r\n", " \r\n\r\n"}) {
        std::string b = bad;
        EXPECT_EQ(-1, parse_http(b.data(), static_cast<int>(b.size()), &hm, 1)) << bad;
    }
    std::string incomplete = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    EXPECT_EQ(0, parse_http(incomplete.data(), static_cast<int>(incomplete.size()), &hm, 1));
}

TEST(ExporterParser, StatusLine) {
    Q_http_message hm;
    std::string ok = "HTTP/1.1 404 NOT FOUND\r\nContent-Length: 0\r\n\r\n";
    ASSERT_GT(parse_http(ok.data(), static_cast<int>(ok.size()), &hm, 0), 0);
    EXPECT_EQ(404, hm.resp_code);
    EXPECT_EQ("NOT FOUND", S(hm.resp_status_msg));
    for (const char* bad : {"HTTP/1.1 99 X\r\n\r\n", "HTTP/1.1 600 X\r\n\r\n", "HTTP/1.1 2x0 X\r\n\r\n"}) {
        std::string b = bad;
        EXPECT_EQ(-1, parse_http(b.data(), static_cast<int>(b.size()), &hm, 0)) << bad;
    }
}

TEST(ExporterMonitor, SocketInodeOfLink) {
    EXPECT_EQ(12345, CMonitor_NetStatInfo_Linux::socket_inode_of("socket:[12345]"));
    EXPECT_EQ(777, CMonitor_NetStatInfo_Linux::socket_inode_of("[0000]:777"));
    // Inode numbers are 32-bit unsigned: large ones are sockets too.
    EXPECT_EQ(4000000000L, CMonitor_NetStatInfo_Linux::socket_inode_of("socket:[4000000000]"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("socket:[]"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("socket:[12a]"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("socket:[123"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("pipe:[123]"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("anon_inode:[eventfd]"));
    EXPECT_EQ(-1, CMonitor_NetStatInfo_Linux::socket_inode_of("/dev/null"));

    EXPECT_STREQ("LISTEN", CMonitor_NetStatInfo_Linux::tcp_state_name(10));
    EXPECT_STREQ("ESTABLISHED", CMonitor_NetStatInfo_Linux::tcp_state_name(1));
    EXPECT_STREQ("CLOSING", CMonitor_NetStatInfo_Linux::tcp_state_name(11));
    EXPECT_STREQ("", CMonitor_NetStatInfo_Linux::tcp_state_name(0));
    EXPECT_STREQ("", CMonitor_NetStatInfo_Linux::tcp_state_name(12));
}

TEST(ExporterMonitor, Utf8Clean) {
    EXPECT_EQ("plain", q_utf8_clean("plain"));
    EXPECT_EQ("\xe4\xb8\xad\xf0\x9f\x98\x80", q_utf8_clean("\xe4\xb8\xad\xf0\x9f\x98\x80"));
    EXPECT_EQ("a\xef\xbf\xbd" "b", q_utf8_clean("a\xff" "b"));
    EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd", q_utf8_clean("\xc0\xaf"));  // overlong
    EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", q_utf8_clean("\xed\xa0\x80"));  // surrogate
    EXPECT_EQ("x\xef\xbf\xbd\xef\xbf\xbd", q_utf8_clean("x\xe4\xb8"));  // cut short: byte by byte
}
