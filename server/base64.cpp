#include "base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of every byte as a base64 character, -1 for anything else ("="
// included). A table keeps the decoding loop free of branches per character:
// the images it decodes are megabytes long.
struct SextetTable {
    signed char value[256];
    constexpr SextetTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = -1;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
};

constexpr SextetTable kSextets;

int sextet(unsigned char c) { return kSextets.value[c]; }

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

    // Every group but the last decodes to three whole bytes; only the last may
    // hold padding and be cut short.
    size_t o = 0;
    const size_t whole = length == 0 ? 0 : length - 4;
    for (size_t i = 0; i < whole; i += 4) {
        const int a = sextet(static_cast<unsigned char>(text[i]));
        const int b = sextet(static_cast<unsigned char>(text[i + 1]));
        const int c = sextet(static_cast<unsigned char>(text[i + 2]));
        const int d = sextet(static_cast<unsigned char>(text[i + 3]));
        if ((a | b | c | d) < 0) {
            std::free(out);
            return nullptr;
        }
        const uint32_t group = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12
            | static_cast<uint32_t>(c) << 6 | static_cast<uint32_t>(d);
        out[o] = static_cast<unsigned char>(group >> 16);
        out[o + 1] = static_cast<unsigned char>(group >> 8);
        out[o + 2] = static_cast<unsigned char>(group);
        o += 3;
    }
    if (length > 0) {
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            int v = sextet(static_cast<unsigned char>(text[whole + k]));
            // Padding may only stand in the last group's final places.
            if (k >= 4 - padding)
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
