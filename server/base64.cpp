#include "base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one alphabet character, -1 for anything else ("=" included).
int sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength)
{
    if (!decodedLength || (length > 0 && !text) || length % 4 != 0)
        return nullptr;
    size_t padding = 0;
    if (length > 0 && text[length - 1] == '=') {
        padding = 1;
        if (text[length - 2] == '=')
            padding = 2;
    }
    size_t outLength = length / 4 * 3 - padding;
    auto* out = static_cast<unsigned char*>(std::malloc(outLength + 1));
    if (!out)
        return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        bool last = i + 4 == length;
        for (size_t k = 0; k < 4; ++k) {
            int v = sextet(static_cast<unsigned char>(text[i + k]));
            // Padding may only stand in the last group's final places.
            bool padPlace = last && k >= 4 - padding;
            if (padPlace)
                v = 0;
            else if (v < 0) {
                std::free(out);
                return nullptr;
            }
            group = (group << 6) | static_cast<uint32_t>(v);
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
            static_cast<unsigned char>(group >> 8), static_cast<unsigned char>(group)};
        for (size_t k = 0; k < 3 && o < outLength; ++k)
            out[o++] = bytes[k];
    }
    out[outLength] = '\0';
    *decodedLength = outLength;
    return out;
}

char* base64_encode(const unsigned char* data, size_t length, size_t* encodedLength)
{
    if (!encodedLength || (length > 0 && !data))
        return nullptr;
    size_t groups = length / 3 + (length % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4)
        return nullptr;
    size_t outLength = groups * 4;
    auto* out = static_cast<char*>(std::malloc(outLength + 1));
    if (!out)
        return nullptr;

    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        size_t n = length - i < 3 ? length - i : 3;
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (n > 1)
            group |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (n > 2)
            group |= data[i + 2];
        out[o++] = kAlphabet[(group >> 18) & 63];
        out[o++] = kAlphabet[(group >> 12) & 63];
        out[o++] = n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out[o++] = n > 2 ? kAlphabet[group & 63] : '=';
    }
    out[outLength] = '\0';
    *encodedLength = outLength;
    return out;
}
