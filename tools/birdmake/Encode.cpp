// The per-chip encoding of firmware blocks, the inverse of what the updater undoes with
// the target chip's identifier: stored[j] = plain[j] ^ key[j % 16] ^ plain[j - 1].
#include "birdmake.h"

namespace birdmake {

void EncodeFirmwareBlocks(Image& image, const std::array<uint32_t, 4>& chipId) {
    std::array<uint8_t, 16> key{};
    for (size_t w = 0; w < chipId.size(); ++w)
        for (size_t b = 0; b < 4; ++b) key[w * 4 + b] = static_cast<uint8_t>(chipId[w] >> (24 - 8 * b));

    for (Block& block : image.blocks) {
        if (block.type != kFirmware || block.payload.size() <= 4) continue;
        // The chain runs on plain bytes, so each one must be kept before it is overwritten.
        uint8_t previousPlain = 0;
        for (size_t j = 0; j + 4 < block.payload.size(); ++j) {
            uint8_t& byte = block.payload[j + 4];
            uint8_t plain = byte;
            byte = static_cast<uint8_t>(plain ^ key[j % 16] ^ previousPlain);
            previousPlain = plain;
        }
    }
}

}  // namespace birdmake
