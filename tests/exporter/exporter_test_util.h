// Helpers for the exporter tests: a raw-socket HTTP client, the port of the
// exporter's listening socket, metric text parsing and promtool.
#ifndef QUAY_EXPORTER_TEST_UTIL_H
#define QUAY_EXPORTER_TEST_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

namespace qexp {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Port of the (single) IPv4 listening socket of this process, 0 if none.
inline int ListenPort() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return 0;
    int port = 0;
    int self = dirfd(d);
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        int fd = atoi(e->d_name);
        if (fd == self) continue;
        int acc = 0;
        socklen_t len = sizeof(acc);
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &acc, &len) != 0 || !acc) continue;
        sockaddr_in sa;
        socklen_t sl = sizeof(sa);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &sl) == 0 && sa.sin_family == AF_INET) {
            port = ntohs(sa.sin_port);
            break;
        }
    }
    closedir(d);
    return port;
}

inline int CountOpenFds() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int count = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++count;
    }
    closedir(d);
    return count - 1;  // the directory itself
}

// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
inline int Connect(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

inline bool SendAll(int s, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(s, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes (true) or timeout_s passes (false).
inline bool ReadUntilClose(int s, std::string* out, double timeout_s = 10.0) {
    auto t0 = Clock::now();
    char buf[16384];
    for (;;) {
        double left = timeout_s - SecondsSince(t0);
        if (left <= 0) return false;
        pollfd p{s, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0) return false;
        if (r == 0) continue;
        ssize_t n = recv(s, buf, sizeof(buf), 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;  // closed with a reset
        if (out) out->append(buf, static_cast<size_t>(n));
    }
}

// True when data arrives (or the peer closes) within ms.
inline bool Readable(int s, int ms) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

struct HttpResponse {
    bool closed = false;  // the server closed the connection
    std::string raw;
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

inline void ParseResponse(HttpResponse& r) {
    size_t he = r.raw.find("\r\n\r\n");
    if (he == std::string::npos) return;
    std::string head = r.raw.substr(0, he);
    r.body = r.raw.substr(he + 4);
    size_t eol = head.find("\r\n");
    std::string status_line = head.substr(0, eol);
    if (status_line.compare(0, 9, "HTTP/1.1 ") == 0) r.status = atoi(status_line.c_str() + 9);
    size_t pos = eol == std::string::npos ? head.size() : eol + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        if (e == std::string::npos) e = head.size();
        std::string line = head.substr(pos, e - pos);
        size_t c = line.find(':');
        if (c != std::string::npos) {
            std::string name = line.substr(0, c);
            for (auto& ch : name) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            size_t v = line.find_first_not_of(' ', c + 1);
            r.headers[name] = v == std::string::npos ? "" : line.substr(v);
        }
        pos = e + 2;
    }
}

// Sends raw bytes on a fresh connection and reads until the server closes.
inline HttpResponse RawRequest(int port, const std::string& request, double timeout_s = 10.0) {
    HttpResponse r;
    int s = Connect(port);
    if (s < 0) return r;
    SendAll(s, request);
    r.closed = ReadUntilClose(s, &r.raw, timeout_s);
    close(s);
    ParseResponse(r);
    return r;
}

inline HttpResponse Get(int port, const std::string& path = "/metrics") {
    return RawRequest(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

// The body of a successful scrape ("" when the scrape failed).
inline std::string Scrape(int port) {
    HttpResponse r = Get(port);
    return r.status == 200 ? r.body : std::string();
}

struct Sample {
    std::map<std::string, std::string> labels;
    std::string value;
};

// Sample lines of one family in a metrics text; label values unescaped.
inline std::vector<Sample> Samples(const std::string& text, const std::string& family) {
    std::vector<Sample> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        if (e == std::string::npos) e = text.size();
        std::string line = text.substr(pos, e - pos);
        pos = e + 1;
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, family.size(), family) != 0) continue;
        size_t i = family.size();
        if (i < line.size() && line[i] != '{' && line[i] != ' ') continue;
        Sample s;
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                size_t eq = line.find('=', i);
                std::string name = line.substr(i, eq - i);
                std::string value;
                size_t j = eq + 2;  // past ="
                while (j < line.size() && line[j] != '"') {
                    if (line[j] == '\\' && j + 1 < line.size()) {
                        ++j;
                        value.push_back(line[j] == 'n' ? '\n' : line[j]);
                    } else {
                        value.push_back(line[j]);
                    }
                    ++j;
                }
                s.labels[name] = value;
                i = j + 1;
                if (i < line.size() && line[i] == ',') ++i;
            }
            ++i;
        }
        while (i < line.size() && line[i] == ' ') ++i;
        s.value = line.substr(i);
        out.push_back(s);
    }
    return out;
}

inline bool HasFamily(const std::string& text, const std::string& family) {
    return text.find("# TYPE " + family + " ") != std::string::npos;
}

inline std::string FamilyType(const std::string& text, const std::string& family) {
    std::string key = "# TYPE " + family + " ";
    size_t p = text.find(key);
    if (p == std::string::npos) return "";
    size_t e = text.find('\n', p);
    return text.substr(p + key.size(), e - p - key.size());
}

// Runs "promtool check metrics" on the text; returns its exit code and
// puts its output in *out.
inline int PromtoolCheck(const std::string& text, std::string* out = nullptr) {
    qtest::TempDir dir("qexp_promtool");
    std::string file = dir / "metrics.txt";
    qtest::WriteFile(file, text);
    int rc = -1;
    std::string o = qtest::RunCmd("promtool check metrics < '" + file + "' 2>&1", &rc);
    if (out) *out = o;
    return rc;
}

}  // namespace qexp

#endif
