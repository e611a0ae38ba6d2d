#include "q_http.h"

#include <cctype>
#include <cstring>

namespace Q_HTTP {

namespace {

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline char lower(char c) { return static_cast<char>(tolower(static_cast<unsigned char>(c))); }

// Parses a decimal number; values beyond the range of size_t saturate.
size_t to_size(const char* p, size_t len) {
    size_t v = 0;
    for (size_t i = 0; i < len && p[i] >= '0' && p[i] <= '9'; ++i) {
        size_t d = static_cast<size_t>(p[i] - '0');
        if (v > (static_cast<size_t>(-1) - d) / 10) return static_cast<size_t>(-1);
        v = v * 10 + d;
    }
    return v;
}

// Header lines from s up to end (end is just past the head's empty line).
// At most Q_HTTP_MAX_HEADERS - 1 headers are kept.
void parse_headers(const char* s, const char* end, int head_len, Q_http_message* hm) {
    int slot = 0;
    while (s < end && slot < Q_HTTP_MAX_HEADERS - 1) {
        const char* eol = static_cast<const char*>(memchr(s, '\n', static_cast<size_t>(end - s)));
        if (!eol) eol = end;
        const char* line_end = eol;
        if (line_end > s && line_end[-1] == '\r') --line_end;

        const char* name_end = s;
        while (name_end < line_end && *name_end != ':' && *name_end != ' ') ++name_end;
        if (name_end == s) break;  // the empty line, or a line without a name

        const char* v = name_end;
        while (v < line_end && (*v == ':' || *v == ' ')) ++v;
        const char* v_end = line_end;
        while (v_end > v && v_end[-1] == ' ') --v_end;

        _st_str name{s, static_cast<size_t>(name_end - s)};
        _st_str value{v, static_cast<size_t>(v_end - v)};
        s = eol < end ? eol + 1 : end;
        if (value.len == 0) continue;  // a name without a value is skipped

        hm->header_names[slot] = name;
        hm->header_values[slot] = value;
        ++slot;
        // Any header whose name starts with Content-Length counts.
        const size_t kClLen = sizeof("Content-Length") - 1;
        if (str_equal_nocase(_st_str{name.p, name.len >= kClLen ? kClLen : 0}, "Content-Length")) {
            hm->content_length = to_size(value.p, value.len);
            hm->body.len = hm->content_length;
            hm->message.len = static_cast<size_t>(head_len) + hm->content_length;
        }
    }
}

}  // namespace

bool str_equal_nocase(const _st_str& s, const char* lit) {
    size_t n = strlen(lit);
    if (n == 0 || s.len != n || !s.p) return false;
    for (size_t i = 0; i < n; ++i) {
        if (lower(s.p[i]) != lower(lit[i])) return false;
    }
    return true;
}

const _st_str* get_http_header(const Q_http_message* hm, const char* name) {
    for (int i = 0; i < Q_HTTP_MAX_HEADERS && hm->header_names[i].p; ++i) {
        if (str_equal_nocase(hm->header_names[i], name)) return &hm->header_values[i];
    }
    return nullptr;
}

int http_get_request_len(const char* s, int len) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(s);
    for (int i = 0; i < len; ++i) {
        unsigned char c = b[i];
        if (c < 128 && !isprint(c) && c != '\r' && c != '\n') return -1;
        if (c == '\n') {
            if (i + 1 < len && b[i + 1] == '\n') return i + 2;
            if (i + 2 < len && b[i + 1] == '\r' && b[i + 2] == '\n') return i + 3;
        }
    }
    return 0;
}

int parse_http(const char* s, int n, Q_http_message* hm, int is_req) {
    int head_len = http_get_request_len(s, n);
    if (head_len <= 0) return head_len;

    memset(hm, 0, sizeof(*hm));
    const char* end = s + head_len;
    hm->message = {s, static_cast<size_t>(-1)};
    hm->body = {end, static_cast<size_t>(-1)};

    const char* p = s;
    while (p < end && is_space(*p)) ++p;

    // The first line; tokens never run past it.
    const char* eol = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!eol) return -1;
    const char* line_end = eol;
    if (line_end > p && line_end[-1] == '\r') --line_end;

    auto token = [&](const char*& q, _st_str& out) {
        out.p = q;
        while (q < line_end && *q != ' ') ++q;
        out.len = static_cast<size_t>(q - out.p);
        while (q < line_end && *q == ' ') ++q;
    };

    if (is_req) {
        token(p, hm->method);
        token(p, hm->uri);
        hm->proto = {p, static_cast<size_t>(line_end - p)};
        while (hm->proto.len > 0 && hm->proto.p[hm->proto.len - 1] == ' ') --hm->proto.len;
        if (hm->method.len == 0 || hm->uri.len == 0) return -1;

        const char* qm = static_cast<const char*>(memchr(hm->uri.p, '?', hm->uri.len));
        if (qm) {
            hm->query_string = {qm + 1, static_cast<size_t>(hm->uri.p + hm->uri.len - (qm + 1))};
            hm->uri.len = static_cast<size_t>(qm - hm->uri.p);
        }
    } else {
        // Status line: protocol, three-digit code, reason.
        token(p, hm->proto);
        _st_str code{};
        token(p, code);
        if (hm->proto.len == 0 || code.len != 3) return -1;
        int v = 0;
        for (size_t i = 0; i < 3; ++i) {
            if (code.p[i] < '0' || code.p[i] > '9') return -1;
            v = v * 10 + (code.p[i] - '0');
        }
        if (v < 100 || v >= 600) return -1;
        hm->resp_code = v;
        hm->resp_status_msg = {p, static_cast<size_t>(line_end - p)};
    }

    parse_headers(eol + 1, end, head_len, hm);

    if (hm->body.len == static_cast<size_t>(-1) && is_req && !str_equal_nocase(hm->method, "PUT") &&
        !str_equal_nocase(hm->method, "POST")) {
        hm->body.len = 0;
        hm->message.len = static_cast<size_t>(head_len);
    }
    return head_len;
}

}  // namespace Q_HTTP
