// Serialising an image: the block area, its zlib wrapper and the file on disk.
#include "birdmake.h"

#include "Bytes.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace birdmake {

uint32_t ByteSum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return sum;
}

std::vector<uint8_t> BlockArea(const Image& image) {
    constexpr size_t kMax32 = std::numeric_limits<uint32_t>::max();
    if (image.blocks.size() > kMax32) throw std::length_error("birdmake: too many blocks for a 32-bit count");
    size_t total = 8;
    for (const Block& block : image.blocks) {
        if (block.type > kTypeMask) throw std::invalid_argument("birdmake: block type above 31");
        if (block.flags > (0xFF >> kFlagShift)) throw std::invalid_argument("birdmake: block flags above 7");
        if (block.payload.size() > kMax32) throw std::length_error("birdmake: block payload too long");
        total += 5 + block.payload.size();
    }

    std::vector<uint8_t> area;
    area.reserve(total);
    PutBE32(area, image.declaredCount.value_or(static_cast<uint32_t>(image.blocks.size())));
    for (const Block& block : image.blocks) {
        area.push_back(static_cast<uint8_t>(block.type | (block.flags << kFlagShift)));
        PutBE32(area, static_cast<uint32_t>(block.payload.size()));
        area.insert(area.end(), block.payload.begin(), block.payload.end());
    }
    // Computed over the area before the checksum is appended, so it never covers itself.
    PutBE32(area, image.checksum.has_value() ? *image.checksum : ByteSum(area));
    return area;
}

std::vector<uint8_t> WrapBlockArea(const std::vector<uint8_t>& area, uint16_t formatVersion,
                                   int compressionLevel) {
    if (area.size() > std::numeric_limits<uLong>::max())
        throw std::length_error("birdmake: block area too large for zlib");
    uLongf packedSize = compressBound(static_cast<uLong>(area.size()));
    std::vector<uint8_t> file(6 + packedSize);
    std::memcpy(file.data(), "bird", 4);
    file[4] = static_cast<uint8_t>(formatVersion >> 8);
    file[5] = static_cast<uint8_t>(formatVersion);
    int rc = compress2(file.data() + 6, &packedSize, area.data(), static_cast<uLong>(area.size()),
                       compressionLevel);
    if (rc != Z_OK) throw std::runtime_error("birdmake: zlib compress2 failed with code " + std::to_string(rc));
    file.resize(6 + packedSize);
    return file;
}

std::vector<uint8_t> MakeFile(const Image& image) {
    return WrapBlockArea(BlockArea(image), image.formatVersion, image.compressionLevel);
}

bool WriteFile(const std::string& path, const Image& image, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::vector<uint8_t> bytes;
    try {
        bytes = MakeFile(image);
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return fail("cannot create " + path + ": " + std::strerror(errno));
    // A full disk often shows only at flush or close, so each step is checked on its own.
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fflush(f) != 0) {
        int savedErrno = errno;
        std::fclose(f);
        return fail("cannot write " + path + ": " + std::strerror(savedErrno));
    }
    if (std::fclose(f) != 0) return fail("cannot write " + path + ": " + std::strerror(errno));
    return true;
}

}  // namespace birdmake
