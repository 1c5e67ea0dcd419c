// Ready-made images and the edits that make them look like real firmware: deterministic
// data, generic-image placeholders and the vector-table check word.
#include "birdmake.h"

#include "Bytes.h"

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

}  // namespace

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
