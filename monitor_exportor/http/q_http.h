// Minimal HTTP/1.x request-head parser used by the exporter's server.
#ifndef Q_HTTP_H
#define Q_HTTP_H

#include <cstddef>

namespace Q_HTTP {

// A view into the receive buffer.
struct _st_str {
    const char* p;
    size_t len;
};

enum { Q_HTTP_MAX_HEADERS = 20 };

struct Q_http_message {
    _st_str message;  // whole message; len = head + body length (or -1 while unknown)
    _st_str body;
    _st_str method;
    _st_str uri;  // without the query string
    _st_str proto;
    int resp_code;
    _st_str resp_status_msg;
    _st_str query_string;
    _st_str header_names[Q_HTTP_MAX_HEADERS];
    _st_str header_values[Q_HTTP_MAX_HEADERS];
    size_t content_length;
};

// Length of the head ending with an empty line (LF LF or LF CR LF), 0 when
// no end has arrived yet, -1 when a control byte other than CR and LF occurs
// before it. Bytes of 128 and above are accepted.
int http_get_request_len(const char* s, int len);

// Parses the head of s[0..n). Returns the head length (> 0), 0 while the head
// is incomplete, -1 when it is malformed. is_req selects a request (1) or a
// response status line (0).
int parse_http(const char* s, int n, Q_http_message* hm, int is_req);

// True when s equals the NUL-terminated text lit, ignoring letter case.
bool str_equal_nocase(const _st_str& s, const char* lit);

// Value of the header named name (case-insensitive), or null.
const _st_str* get_http_header(const Q_http_message* hm, const char* name);

}  // namespace Q_HTTP

#endif
