// A deliberately small and strict reader of BIRD files, written from the file layout and
// sharing nothing with the maker, so that the two can check each other.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace birdtest {

struct RawBlock {
    uint8_t typeFlags;  // the block's first byte, as stored
    std::vector<uint8_t> payload;
};

struct Parsed {
    std::string signature;
    uint16_t version = 0;
    std::vector<uint8_t> area;  // decompressed
    uint32_t declaredCount = 0;
    std::vector<RawBlock> blocks;
    uint32_t checksum = 0;
};

inline uint32_t BE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline uint32_t LE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline bool Inflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    for (uLongf room = 1024 + 16 * static_cast<uLongf>(size); room < (1ul << 31); room *= 4) {
        out->resize(room);
        uLongf got = room;
        int rc = uncompress(out->data(), &got, data, static_cast<uLong>(size));
        if (rc == Z_OK) {
            out->resize(got);
            return true;
        }
        if (rc != Z_BUF_ERROR) return false;
    }
    return false;
}

// Fails (with why) on anything that does not add up exactly: the maker must never write
// such a file unless a test asks for it through the image's overrides.
inline bool Parse(const std::vector<uint8_t>& file, Parsed* parsed, std::string* why) {
    if (file.size() < 6) return *why = "file shorter than the header", false;
    parsed->signature.assign(file.begin(), file.begin() + 4);
    parsed->version = static_cast<uint16_t>((file[4] << 8) | file[5]);
    if (!Inflate(file.data() + 6, file.size() - 6, &parsed->area)) return *why = "zlib stream does not inflate", false;
    const std::vector<uint8_t>& a = parsed->area;
    if (a.size() < 8) return *why = "block area shorter than count and checksum", false;
    parsed->declaredCount = BE32(a.data());
    size_t at = 4;
    while (at < a.size() - 4) {
        if (a.size() - 4 - at < 5) return *why = "block header runs into the checksum", false;
        uint32_t length = BE32(&a[at + 1]);
        if (a.size() - 4 - at - 5 < length) return *why = "block payload runs into the checksum", false;
        parsed->blocks.push_back({a[at], std::vector<uint8_t>(a.begin() + at + 5, a.begin() + at + 5 + length)});
        at += 5 + length;
    }
    parsed->checksum = BE32(&a[a.size() - 4]);
    return true;
}

inline Parsed MustParse(const std::vector<uint8_t>& file) {
    Parsed parsed;
    std::string why;
    if (!Parse(file, &parsed, &why)) throw std::runtime_error("unparsable BIRD file: " + why);
    return parsed;
}

// The updater's decoding, restated from the description: plain[j] = stored[j] ^ k[j % 16]
// ^ plain[j - 1], plain[-1] = 0, per firmware block, address word untouched.
inline void Decode(std::vector<RawBlock>& blocks, const std::array<uint32_t, 4>& id) {
    uint8_t k[16];
    for (int i = 0; i < 16; ++i) k[i] = static_cast<uint8_t>(id[i / 4] >> (24 - 8 * (i % 4)));
    for (RawBlock& b : blocks) {
        if ((b.typeFlags & 0x1F) != 1) continue;
        uint8_t prev = 0;
        for (size_t j = 4; j < b.payload.size(); ++j) {
            b.payload[j] = static_cast<uint8_t>(b.payload[j] ^ k[(j - 4) % 16] ^ prev);
            prev = b.payload[j];
        }
    }
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace birdtest
