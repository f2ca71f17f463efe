// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks).
#ifndef QUILLET_BASE64_ENCODE_H
#define QUILLET_BASE64_ENCODE_H

// The encoded length of a source of sourceLength bytes, without the zero.
#define BASE64_ENCODED_LENGTH(sourceLength) (4 * (((sourceLength) + 2) / 3))

// Encodes the zero-terminated source into destination, which must hold
// BASE64_ENCODED_LENGTH(length of source) + 1 bytes; the text ends with a
// zero byte.
void Base64Encode(const char *source, char *destination);

#endif
