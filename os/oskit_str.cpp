#include "oskit_str.h"

#include <ctype.h>
#include <string.h>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool Digits(const char*& p) {
    const char* start = p;
    while (isdigit(static_cast<unsigned char>(*p))) ++p;
    return p != start;
}

}  // namespace

extern "C" {

int base64_encode(char* out, const unsigned char* in, int len) {
    if (!out) return 0;
    int o = 0;
    for (int i = 0; in && i < len; i += 3) {
        unsigned v = static_cast<unsigned>(in[i]) << 16;
        if (i + 1 < len) v |= static_cast<unsigned>(in[i + 1]) << 8;
        if (i + 2 < len) v |= in[i + 2];
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = i + 1 < len ? kAlphabet[(v >> 6) & 63] : '=';
        out[o++] = i + 2 < len ? kAlphabet[v & 63] : '=';
    }
    out[o] = '\0';
    return o;
}

int base64_decode(unsigned char* out, const char* in) {
    if (!out || !in) return -1;
    size_t len = strlen(in);
    if (len % 4 != 0) return -1;
    int o = 0;
    for (size_t i = 0; i < len; i += 4) {
        bool last = i + 4 == len;
        int pad = 0;
        if (last && in[i + 3] == '=') pad = in[i + 2] == '=' ? 2 : 1;
        int s[4];
        for (int k = 0; k < 4 - pad; ++k) {
            s[k] = Sextet(in[i + k]);
            if (s[k] < 0) return -1;
        }
        for (int k = 4 - pad; k < 4; ++k) s[k] = 0;
        unsigned v = (static_cast<unsigned>(s[0]) << 18) | (static_cast<unsigned>(s[1]) << 12) |
                     (static_cast<unsigned>(s[2]) << 6) | static_cast<unsigned>(s[3]);
        out[o++] = static_cast<unsigned char>(v >> 16);
        if (pad < 2) out[o++] = static_cast<unsigned char>(v >> 8);
        if (pad < 1) out[o++] = static_cast<unsigned char>(v);
    }
    return o;
}

bool is_num(const char* text) {
    if (!text || !*text) return false;
    if (strcmp(text, "0") == 0) return true;
    bool positive = false;
    for (const char* p = text; *p; ++p) {
        if (!isdigit(static_cast<unsigned char>(*p))) return false;
        if (*p != '0') positive = true;
    }
    return positive;
}

bool is_float(const char* text) {
    if (!text) return false;
    const char* p = text;
    bool whole = Digits(p);
    bool fraction = false, exponent = false;
    if (*p == '.') {
        ++p;
        bool frac_digits = Digits(p);
        if (!whole && !frac_digits) return false;
        fraction = true;
    } else if (!whole) {
        return false;
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!Digits(p)) return false;
        exponent = true;
    }
    if (!fraction && !exponent) return false;
    if (*p == 'l' || *p == 'L' || *p == 'f' || *p == 'F') ++p;
    return *p == '\0';
}

char* __strtok(char** cursor, char delim) {
    if (!cursor || !*cursor) return nullptr;
    char* p = *cursor;
    while (*p && *p == delim) ++p;
    if (!*p) {
        *cursor = nullptr;
        return nullptr;
    }
    char* token = p;
    while (*p && *p != delim) ++p;
    if (*p) {
        *p = '\0';
        *cursor = p + 1;
    } else {
        *cursor = nullptr;
    }
    return token;
}

}  // extern "C"
