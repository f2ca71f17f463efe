#include "base64_encode.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void Base64Encode(const char *source, char *destination) {
    const unsigned char *in = (const unsigned char *)source;
    unsigned length = 0;
    while (in[length]) length++;
    char *out = destination;
    unsigned at = 0;
    for (; length - at >= 3; at += 3) {
        unsigned group = (unsigned)in[at] << 16 | (unsigned)in[at + 1] << 8 | in[at + 2];
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = kAlphabet[group >> 6 & 63];
        *out++ = kAlphabet[group & 63];
    }
    unsigned tail = length - at;
    if (tail > 0) {
        unsigned group = (unsigned)in[at] << 16 | (tail == 2 ? (unsigned)in[at + 1] << 8 : 0u);
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = tail == 2 ? kAlphabet[group >> 6 & 63] : '=';
        *out++ = '=';
    }
    *out = 0;
}
