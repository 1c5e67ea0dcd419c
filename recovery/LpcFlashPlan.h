// How a recovery image goes into an LPC17xx's flash, worked out in full before
// anything on the chip is touched. The image's blocks are laid into one map of
// the flash (0xFF where nothing lies) and cut into pieces of whole 256-byte
// pages, at most 4096 bytes each, that are written to RAM once and copied into
// flash in lengths the boot ROM takes. No page is copied twice, so no flash
// line is programmed twice between erases, and no copy reaches past the top of
// flash. An image that cannot be written, or that the chip would never start,
// has no plan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One block of the image as it lies in flash.
struct LpcImageBlock {
    uint32_t address;
    const uint8_t* data;
    uint32_t length;
};

// One copy from RAM to flash: ramOffset into the chunk's RAM image, length one
// the boot ROM takes (256, 512, 1024 or 4096), the sectors it touches.
struct LpcFlashCopy {
    uint32_t flashAddress;
    uint32_t ramOffset;
    uint32_t length;
    uint32_t firstSector;
    uint32_t lastSector;
};

// Whole pages written to RAM in one go, then copied.
struct LpcFlashChunk {
    uint32_t flashAddress;
    std::vector<uint8_t> bytes;
    std::vector<LpcFlashCopy> copies;
};

// An image block and the chunks that carry the pages it is the first to reach.
struct LpcFlashBlock {
    uint32_t address;
    uint32_t length;
    std::vector<LpcFlashChunk> chunks;
};

struct LpcFlashPlan {
    static constexpr uint32_t PAGE_SIZE = 256;
    static constexpr uint32_t CHUNK_SIZE = 4096;

    std::vector<LpcFlashBlock> blocks;
    uint32_t totalBytes = 0;  // of the blocks themselves
    // The vector table passed the older rule only, and goes into flash with
    // its check word (word 7) set by the chip's rule.
    bool checkWordRewritten = false;

    // Plans blocks in the order given (numbered from 1 in messages). False,
    // with the reason as a sentence in error, when a block does not fit in
    // flash, two blocks overlap, there is no vector table at address 0, or the
    // table's check word is wrong by both rules: the chip's own (words 0 to 7
    // sum to zero) and the one our image tools used (words 0-4, 6 and 7). A
    // table right by the older rule only gets the chip's check word.
    static bool Build(const std::vector<LpcImageBlock>& blocks, LpcFlashPlan& plan, std::string& error);
};
