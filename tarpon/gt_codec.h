#ifndef GT_CODEC_H
#define GT_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Text encoding and block cipher of the register description data file.
namespace gtcodec {

// The 64 characters of our Base64 alphabet, in their value order.
extern const char kAlphabet[65];

// Three bytes to four characters of kAlphabet, "=" padding, no line breaks.
std::string Encode(const uint8_t* data, size_t len);

// Decodes text of kAlphabet. Decoding stops at the first "="; after it only
// a second "=" may follow. Blanks and line ends at the very end of the text
// are ignored. A character outside the alphabet, text after the padding or
// a length that is not a multiple of four (truncated data) fails: false,
// with the reason in err.
bool Decode(const char* text, size_t len, std::vector<uint8_t>& out, std::string& err);

// SM4 (GB/T 32907) in ECB mode, no padding, through OpenSSL's EVP
// interface. key is 16 bytes; len must be a multiple of 16; in may equal
// out. false with the reason in err.
bool Sm4Ecb(const uint8_t* key, const uint8_t* in, uint8_t* out, uint64_t len, bool encrypt, std::string& err);

// Parses a key text of exactly 32 hexadecimal digits (blanks around it are
// ignored) into 16 bytes.
bool ParseHexKey(const std::string& text, uint8_t key[16]);

}  // namespace gtcodec

#endif
