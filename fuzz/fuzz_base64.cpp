// Base64 decoding: liboskit's standard-alphabet decoder and the data file's
// own alphabet, and the key text of quay.key. Text a decoder accepts must
// encode back to a text that decodes to the same bytes, written into a
// buffer of exactly the size the decoder's contract names.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "gt_codec.h"
#include "oskit_str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);

    // liboskit: NUL-terminated text, out of 3 * strlen / 4 bytes.
    const size_t len = strlen(text.c_str());
    std::vector<unsigned char> out(3 * len / 4 + 1);
    int n = base64_decode(out.data() + 1, text.c_str());  // out[0] stays free: a heap size of 3 * len / 4 exactly
    QFUZZ_CHECK(n >= -1 && n <= static_cast<int>(3 * len / 4));
    if (n >= 0) {
        std::vector<char> enc(4 * ((n + 2) / 3) + 1);
        int m = base64_encode(enc.data(), out.data() + 1, n);
        QFUZZ_CHECK(m == static_cast<int>(strlen(enc.data())));
        std::vector<unsigned char> back(3 * m / 4 + 1);
        QFUZZ_CHECK(base64_decode(back.data(), enc.data()) == n);
        QFUZZ_CHECK(memcmp(back.data(), out.data() + 1, static_cast<size_t>(n)) == 0);
    }

    // The data file's alphabet: any bytes, length given.
    std::vector<uint8_t> dec;
    std::string err;
    if (gtcodec::Decode(text.data(), text.size(), dec, err)) {
        QFUZZ_CHECK(dec.size() <= text.size());
        std::string enc = gtcodec::Encode(dec.data(), dec.size());
        std::vector<uint8_t> back;
        QFUZZ_CHECK(gtcodec::Decode(enc.data(), enc.size(), back, err) && back == dec);
    } else {
        QFUZZ_CHECK(!err.empty());
    }
    // Encoding any bytes and decoding gives them back.
    std::string enc = gtcodec::Encode(data, size);
    std::vector<uint8_t> back;
    QFUZZ_CHECK(gtcodec::Decode(enc.data(), enc.size(), back, err));
    QFUZZ_CHECK(back.size() == size && (size == 0 || memcmp(back.data(), data, size) == 0));

    uint8_t key[16];
    if (gtcodec::ParseHexKey(text, key)) {
        char hex[33];
        for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", key[i]);
        uint8_t again[16];
        QFUZZ_CHECK(gtcodec::ParseHexKey(hex, again) && memcmp(key, again, 16) == 0);
    }
    return 0;
}
