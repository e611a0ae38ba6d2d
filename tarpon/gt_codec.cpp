#include "gt_codec.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace gtcodec {

const char kAlphabet[65] = "Qm4Hx+Tc7LvRa0ZpW/eK2Nyg9DbUj5FsoE1Ytk8MhCuPi3XwBr6JdlGnSfVOqAIz";

namespace {

struct DecodeTable {
    int8_t val[256];
    DecodeTable() {
        memset(val, -1, sizeof(val));
        for (int i = 0; i < 64; i++) val[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    }
};

const DecodeTable& Table() {
    static const DecodeTable t;
    return t;
}

bool IsTrailingBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string OpensslError(const char* what) {
    unsigned long e = ERR_get_error();
    char buf[256];
    if (e != 0) {
        ERR_error_string_n(e, buf, sizeof(buf));
        ERR_clear_error();
        return std::string(what) + ": " + buf;
    }
    return what;
}

}  // namespace

std::string Encode(const uint8_t* data, size_t len) {
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = len - i;
    if (rest == 1) {
        uint32_t v = uint32_t(data[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool Decode(const char* text, size_t len, std::vector<uint8_t>& out, std::string& err) {
    out.clear();
    if (!text) {
        err = "no text";
        return false;
    }
    while (len > 0 && IsTrailingBlank(text[len - 1])) len--;
    const DecodeTable& t = Table();
    size_t data = 0;  // characters before the first '='
    while (data < len && text[data] != '=') {
        unsigned char c = static_cast<unsigned char>(text[data]);
        if (t.val[c] < 0) {
            char buf[96];
            snprintf(buf, sizeof(buf), "character 0x%02x at offset %zu is outside the encoding alphabet", c, data);
            err = buf;
            return false;
        }
        data++;
    }
    size_t pad = 0;
    for (size_t i = data; i < len; i++) {
        if (text[i] != '=' || ++pad > 2) {
            char buf[96];
            snprintf(buf, sizeof(buf), "unexpected character 0x%02x at offset %zu after the padding",
                     static_cast<unsigned char>(text[i]), i);
            err = buf;
            return false;
        }
    }
    if ((data + pad) % 4 != 0 || (pad > 0 && data % 4 + pad != 4)) {
        char buf[96];
        snprintf(buf, sizeof(buf), "encoded text is truncated (%zu characters, not a multiple of 4)", len);
        err = buf;
        return false;
    }
    out.reserve(data / 4 * 3 + 3);
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < data; i++) {
        acc = (acc << 6) | static_cast<uint32_t>(t.val[static_cast<unsigned char>(text[i])]);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

bool Sm4Ecb(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t len, bool encrypt, std::string& err) {
    if (!key) {
        err = "no SM4 key";
        return false;
    }
    if (len % 16 != 0) {
        err = "length " + std::to_string(len) + " is not a multiple of the 16-byte SM4 block";
        return false;
    }
    if (len == 0) return true;
    if (!in || !out) {
        err = "null buffer";
        return false;
    }
    const EVP_CIPHER* cipher = EVP_sm4_ecb();
    if (!cipher) {
        err = OpensslError("SM4-ECB is not available in this OpenSSL");
        return false;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        err = OpensslError("EVP_CIPHER_CTX_new failed");
        return false;
    }
    bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    if (!ok) err = OpensslError("SM4 initialisation failed");
    // EVP takes int lengths: go in chunks of whole blocks.
    const uint64_t kChunk = 1u << 24;
    uint64_t done = 0;
    while (ok && done < len) {
        uint64_t n = len - done < kChunk ? len - done : kChunk;
        int outl = 0;
        if (EVP_CipherUpdate(ctx, out + done, &outl, in + done, static_cast<int>(n)) != 1 ||
            static_cast<uint64_t>(outl) != n) {
            err = OpensslError("SM4 block operation failed");
            ok = false;
            break;
        }
        done += n;
    }
    if (ok) {
        int outl = 0;
        uint8_t tail[32];
        if (EVP_CipherFinal_ex(ctx, tail, &outl) != 1 || outl != 0) {
            err = OpensslError("SM4 final block failed");
            ok = false;
        }
    }
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool ParseHexKey(const std::string& text, uint8_t key[16]) {
    size_t b = 0, e = text.size();
    while (b < e && isspace(static_cast<unsigned char>(text[b]))) b++;
    while (e > b && isspace(static_cast<unsigned char>(text[e - 1]))) e--;
    if (e - b != 32) return false;
    uint8_t tmp[16];
    for (size_t i = 0; i < 32; i++) {
        char c = text[b + i];
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else return false;
        if (i % 2 == 0) tmp[i / 2] = static_cast<uint8_t>(v << 4);
        else tmp[i / 2] |= static_cast<uint8_t>(v);
    }
    memcpy(key, tmp, 16);
    return true;
}

}  // namespace gtcodec
