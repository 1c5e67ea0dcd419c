#include "base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// The sextet of every byte already shifted to its place in a group of four
// characters, so a group's 24 bits are four lookups joined by OR. A byte that
// is no base64 character sets the top bit, which no valid group reaches.
struct PlacedSextets {
    uint32_t at[4][256];
    constexpr PlacedSextets() : at()
    {
        for (int place = 0; place < 4; ++place)
            for (int c = 0; c < 256; ++c) {
                const int v = kSextets.value[c];
                at[place][c] = v < 0 ? 0x80000000u : static_cast<uint32_t>(v) << (18 - 6 * place);
            }
    }
};

constexpr PlacedSextets kPlaced;

// The 24 bits of the group at text, or a value with the top bit set when one
// of its characters is not plain base64.
uint32_t groupBits(const char* text)
{
    return kPlaced.at[0][static_cast<unsigned char>(text[0])] | kPlaced.at[1][static_cast<unsigned char>(text[1])]
        | kPlaced.at[2][static_cast<unsigned char>(text[2])] | kPlaced.at[3][static_cast<unsigned char>(text[3])];
}

} // namespace

bool Base64Decoder::TakeSlowly(unsigned char c, unsigned char* out, size_t& o)
{
    if (ended)
        return false;
    int v = sextet(c);
    if (c == '=') {
        // Padding stands only in a group's last one or two places, and once
        // it has begun nothing else may follow it in the group.
        if (filled < 2)
            return false;
        ++padding;
        v = 0;
    } else if (v < 0 || padding > 0) {
        return false;
    }
    group = group << 6 | static_cast<unsigned>(v);
    if (++filled < 4)
        return true;
    const size_t bytes = 3 - padding;
    out[o++] = static_cast<unsigned char>(group >> 16);
    if (bytes > 1)
        out[o++] = static_cast<unsigned char>(group >> 8);
    if (bytes > 2)
        out[o++] = static_cast<unsigned char>(group);
    ended = padding > 0;
    group = 0;
    filled = 0;
    padding = 0;
    return true;
}

bool Base64Decoder::Feed(const char* text, size_t length, unsigned char* out, size_t* decoded)
{
    size_t o = 0;
    size_t i = 0;
    if (!broken && length > 0 && !text)
        broken = true;
    while (!broken && i < length) {
        // Whole groups of plain characters take the short way: the images
        // decoded here are megabytes long.
        if (filled == 0 && !ended) {
            for (; i + 4 <= length; i += 4) {
                const uint32_t bits = groupBits(text + i);
                if (bits & 0x80000000u)
                    break;
                if (i + 8 <= length) {
                    // Another group follows, so out has room for a fourth
                    // byte, which that group overwrites: one store.
                    const uint32_t bytes = __builtin_bswap32(bits << 8);
                    std::memcpy(out + o, &bytes, sizeof bytes);
                } else {
                    out[o] = static_cast<unsigned char>(bits >> 16);
                    out[o + 1] = static_cast<unsigned char>(bits >> 8);
                    out[o + 2] = static_cast<unsigned char>(bits);
                }
                o += 3;
            }
            if (i == length)
                break;
        }
        broken = !TakeSlowly(static_cast<unsigned char>(text[i]), out, o);
        ++i;
    }
    if (decoded)
        *decoded = broken ? 0 : o;
    return !broken;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength)
{
    if (!decodedLength || (length > 0 && !text) || length % 4 != 0)
        return nullptr;
    auto* out = static_cast<unsigned char*>(std::malloc(Base64Decoder::MaxDecoded(length) + 1));
    if (!out)
        return nullptr;
    Base64Decoder decoder;
    size_t outLength = 0;
    if (!decoder.Feed(text, length, out, &outLength) || !decoder.Complete()) {
        std::free(out);
        return nullptr;
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
