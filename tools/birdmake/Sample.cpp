// Ready-made images and the edits that make them look like real firmware: deterministic
// data, generic-image placeholders and the vector-table check word.
#include "birdmake.h"

#include "Bytes.h"

#include <algorithm>
#include <stdexcept>

namespace birdmake {

namespace {

// Where the data bytes [address, address + size) lie inside one firmware block's payload.
uint8_t* Cover(Image& image, uint64_t address, uint64_t size) {
    for (Block& block : image.blocks) {
        uint32_t start = 0;
        if (block.type != kFirmware || !SplitAddressed(block, &start, nullptr)) continue;
        uint64_t end = uint64_t{start} + (block.payload.size() - 4);
        if (address >= start && address + size <= end) return block.payload.data() + 4 + (address - start);
    }
    return nullptr;
}

bool DecimalNumber(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    *value = v;
    return true;
}

}  // namespace

std::vector<uint8_t> IdentityRecord(uint32_t build, uint8_t major, uint8_t minor, uint8_t patch) {
    std::vector<uint8_t> record;
    PutBE32(record, kIdentityMagic);
    PutBE32(record, build);
    record.insert(record.end(), {major, minor, patch, 0});
    PutBE32(record, ByteSum(record));
    return record;
}

bool WriteIdentity(Image& image, uint32_t build, uint8_t major, uint8_t minor, uint8_t patch) {
    for (Block& block : image.blocks) {
        if (block.type != kFirmware || block.payload.size() < 4) continue;
        if (block.payload.size() < 4 + kIdentityRecordSize) return false;
        const std::vector<uint8_t> record = IdentityRecord(build, major, minor, patch);
        std::copy(record.begin(), record.end(), block.payload.begin() + 4);
        return true;
    }
    return false;
}

bool ParseVersion(const std::string& text, uint8_t* major, uint8_t* minor, uint8_t* patch) {
    uint8_t* parts[3] = {major, minor, patch};
    size_t at = 0;
    for (size_t i = 0; i < 3; ++i) {
        size_t end = i < 2 ? text.find('.', at) : text.size();
        if (end == std::string::npos || end == at || end - at > 3) return false;
        unsigned v = 0;
        for (size_t k = at; k < end; ++k) {
            if (text[k] < '0' || text[k] > '9') return false;
            v = v * 10 + static_cast<unsigned>(text[k] - '0');
        }
        if (v > 255) return false;
        *parts[i] = static_cast<uint8_t>(v);
        at = end + 1;
    }
    return true;
}

std::vector<uint8_t> RandomData(size_t size, uint64_t seed) {
    // splitmix64: fast enough for multi-megabyte images and good for any seed, zero included.
    std::vector<uint8_t> out(size);
    uint64_t state = seed;
    for (size_t i = 0; i < size; i += 8) {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (size_t b = 0; b < 8 && i + b < size; ++b) out[i + b] = static_cast<uint8_t>(z >> (8 * b));
    }
    return out;
}

bool WritePlaceholders(Image& image, uint32_t serialAddress, uint32_t descriptorAddress) {
    bool ok = true;
    if (serialAddress != 0) {
        uint8_t* word = Cover(image, serialAddress, 4);
        if (word)
            SetLE32(word, kPlaceholderSerial);
        else
            ok = false;
    }
    if (descriptorAddress != 0) {
        uint8_t* text = Cover(image, descriptorAddress, 16);
        if (text) {
            for (size_t i = 0; i < 8; ++i) {
                text[2 * i] = static_cast<uint8_t>(kPlaceholderSerialText[i]);
                text[2 * i + 1] = 0;
            }
            // The header makes the text a complete string descriptor, as firmware holds it.
            if (descriptorAddress >= 2 && Cover(image, uint64_t{descriptorAddress} - 2, 18) == text - 2) {
                text[-2] = 18;
                text[-1] = 3;
            }
        } else {
            ok = false;
        }
    }
    return ok;
}

bool FixVectorChecksum(Image& image) {
    for (Block& block : image.blocks) {
        uint32_t address = 0;
        if (block.type != kFirmware || !SplitAddressed(block, &address, nullptr) || address != 0) continue;
        if (block.payload.size() < 4 + 32) return false;
        uint8_t* table = block.payload.data() + 4;
        uint32_t sum = 0;
        for (size_t w : {0, 1, 2, 3, 4, 6}) sum += GetLE32(table + 4 * w);
        SetLE32(table + 4 * 7, 0u - sum);
        return true;
    }
    return false;
}

Image SampleImage(const SampleOptions& options) {
    Image image;
    if (options.loaderSize > 0)
        image.blocks.push_back(
            LoaderBlock(options.loaderAddress, RandomData(options.loaderSize, options.seed ^ 0x4C4F41444552ull)));

    std::vector<uint8_t> firmware = RandomData(options.firmwareBlocks * options.firmwareBlockSize, options.seed);
    for (size_t i = 0; i < options.firmwareBlocks; ++i) {
        auto from = firmware.begin() + static_cast<std::ptrdiff_t>(i * options.firmwareBlockSize);
        uint32_t address = options.firmwareAddress + static_cast<uint32_t>(i * options.firmwareBlockSize);
        image.blocks.push_back(
            FirmwareBlock(address, std::vector<uint8_t>(from, from + static_cast<std::ptrdiff_t>(options.firmwareBlockSize))));
    }

    image.blocks.push_back(InfoBlock(options.build, options.version, options.serialHex, options.model));

    if (options.identity) {
        uint64_t build = 0;
        uint8_t major = 0, minor = 0, patch = 0;
        if (!ParseVersion(options.version, &major, &minor, &patch) || !DecimalNumber(options.build, &build))
            throw std::invalid_argument("birdmake: identity needs a decimal build and an X.Y.Z version");
        WriteIdentity(image, static_cast<uint32_t>(build), major, minor, patch);
    }

    if (options.generic) {
        uint32_t serialAddress = options.firmwareAddress + options.serialOffset;
        uint32_t descriptorAddress = options.firmwareAddress + options.descriptorOffset;
        image.blocks.push_back(SerialOffsetsBlock(serialAddress, descriptorAddress));
        WritePlaceholders(image, serialAddress, descriptorAddress);
    }
    if (options.startAddress) image.blocks.push_back(StartAddressBlock(*options.startAddress));
    if (options.vectorChecksum) FixVectorChecksum(image);
    return image;
}

std::vector<uint8_t> FirmwareData(const Image& image) {
    std::vector<uint8_t> out;
    for (const Block& block : image.blocks)
        if (block.type == kFirmware && block.payload.size() >= 4)
            out.insert(out.end(), block.payload.begin() + 4, block.payload.end());
    return out;
}

}  // namespace birdmake
