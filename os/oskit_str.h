#ifndef OSKIT2_STR_H
#define OSKIT2_STR_H

// Base64 (standard alphabet, "=" padding) and small string classifiers.
// All functions are reentrant.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// out needs 4 * ((len + 2) / 3) + 1 bytes. Returns the text length.
int base64_encode(char* out, const unsigned char* in, int len);
// out needs 3 * strlen(in) / 4 bytes. Bytes written, or -1 when the length
// is not a multiple of 4, a character is outside the alphabet or "=" is
// anywhere but the last one or two places.
int base64_decode(unsigned char* out, const char* in);
// Decimal digits with a positive value, or exactly "0".
bool is_num(const char* text);
// A whole C floating literal: fraction and/or exponent, optional l/L/f/F.
bool is_float(const char* text);
// Next token of *cursor split at delim, leading delimiters skipped; the
// string is cut in place and *cursor moves past the token (null at the end).
// Null when no token is left, also for an empty string.
char* __strtok(char** cursor, char delim);

#ifdef __cplusplus
}
#endif

#endif
