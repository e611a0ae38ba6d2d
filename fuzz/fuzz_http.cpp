// The exporter's request head parser fed as the server feeds it: the bytes
// arrive in pieces, each piece is appended to the connection's buffer (kept
// to QC_MAX_REQUEST_HEAD bytes) and the whole buffer is parsed again.
//
// Input: one byte n (piece count, 0..15), n bytes of piece lengths, then the
// byte stream. A head found in pieces must be the head found in one go, and
// every view the parser hands out must lie inside the head.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "http/q_http.h"
#include "http/qc_http_server.h"

namespace {

bool Inside(const Q_HTTP::_st_str& v, const char* b, const char* e)
{
    if (v.p == nullptr) return v.len == 0;
    return v.p >= b && v.p <= e && v.len <= static_cast<size_t>(e - v.p);
}

// Parses the exact-size copy of buf (no terminator behind it); checks the views.
int ParseCopy(const std::string& buf, int isReq, Q_HTTP::Q_http_message& hm)
{
    std::vector<char> copy(buf.begin(), buf.end());
    const char* b = copy.data();
    const int n = static_cast<int>(copy.size());
    int len = Q_HTTP::http_get_request_len(b, n);
    hm = Q_HTTP::Q_http_message();
    int r = Q_HTTP::parse_http(b, n, &hm, isReq);
    QFUZZ_CHECK(r <= n);
    QFUZZ_CHECK(r <= 0 || r == len);
    if (r > 0) {
        const char* e = b + r;
        QFUZZ_CHECK(Inside(hm.method, b, e) && Inside(hm.uri, b, e) && Inside(hm.proto, b, e));
        QFUZZ_CHECK(Inside(hm.query_string, b, e) && Inside(hm.resp_status_msg, b, e));
        for (int i = 0; i < Q_HTTP::Q_HTTP_MAX_HEADERS; ++i)
            QFUZZ_CHECK(Inside(hm.header_names[i], b, e) && Inside(hm.header_values[i], b, e));
        const Q_HTTP::_st_str* host = Q_HTTP::get_http_header(&hm, "Host");
        QFUZZ_CHECK(host == nullptr || Inside(*host, b, e));
        if (isReq) QFUZZ_CHECK(hm.method.len > 0);
        else QFUZZ_CHECK(hm.resp_code >= 100 && hm.resp_code < 600);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qfuzz::Reader in(data, size);
    std::vector<size_t> pieces(in.Byte() % 16);
    for (size_t& p : pieces) p = in.Byte();
    std::string stream = in.Take(in.Left());

    const size_t cap = QC_MAX_REQUEST_HEAD;
    std::string buf;
    Q_HTTP::Q_http_message hm;
    size_t pos = 0;
    int r = 0;
    for (size_t i = 0; pos < stream.size() && r == 0 && buf.size() < cap; ++i) {
        size_t piece = i < pieces.size() && pieces[i] > 0 ? pieces[i] : stream.size() - pos;
        piece = std::min(piece, stream.size() - pos);
        buf.append(stream, pos, std::min(piece, cap - buf.size()));
        pos += piece;
        r = ParseCopy(buf, 1, hm);
    }

    // The same bytes in one piece give the same answer.
    Q_HTTP::Q_http_message whole;
    int rw = ParseCopy(buf, 1, whole);
    QFUZZ_CHECK(rw == r);
    if (r > 0) {
        QFUZZ_CHECK(whole.method.len == hm.method.len && whole.uri.len == hm.uri.len);
        QFUZZ_CHECK(whole.proto.len == hm.proto.len && whole.content_length == hm.content_length);
    }
    // The status-line form of the same parser.
    ParseCopy(buf, 0, whole);
    return 0;
}
