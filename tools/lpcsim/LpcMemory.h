// An LPC1768's memory as the boot ROM sees it: 512 KiB of flash in 30
// sectors (16 of 4 KiB, 14 of 32 KiB) that must be prepared before each erase
// or copy, and the two SRAM banks a host may stage data in. The flash keeps
// error-correction bits per 16-byte line, so a line can be programmed once
// between erases: a second copy onto it corrupts it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lpcsim {

constexpr uint32_t kFlashSize = 0x80000;
constexpr uint32_t kSectorCount = 30;
constexpr uint32_t kFlashLineSize = 16;
constexpr uint32_t kLocalRamBase = 0x10000000;
constexpr uint32_t kLocalRamSize = 0x8000;
constexpr uint32_t kAhbRamBase = 0x2007C000;
constexpr uint32_t kAhbRamSize = 0x8000;
// The boot ROM keeps its own variables below this; ISP writes may not go there.
constexpr uint32_t kIspRamFloor = 0x10000200;

struct SectorRange {
    uint32_t start;
    uint32_t size;
};

class LpcMemory {
public:
    LpcMemory();

    static SectorRange sector(uint32_t number);
    // The sector holding a flash address; nullopt outside the flash.
    static std::optional<uint32_t> sectorOf(uint32_t address);

    bool inFlash(uint32_t address, uint32_t length) const;
    bool inRam(uint32_t address, uint32_t length) const;
    bool ispWritable(uint32_t address, uint32_t length) const;

    void prepare(uint32_t first, uint32_t last);
    bool prepared(uint32_t first, uint32_t last) const;
    // Erases the sectors and takes their preparation away.
    void erase(uint32_t first, uint32_t last);
    bool blank(uint32_t first, uint32_t last, uint32_t* firstDirtyOffset) const;
    // Programs flash from RAM (bits only go from 1 to 0) and takes the touched
    // sectors' preparation away. A line programmed before since its erase is
    // corrupted: its error-correction bits no longer match, and its bytes
    // read back with their lowest bit flipped.
    void copy(uint32_t flashAddress, uint32_t ramAddress, uint32_t length);

    void writeRam(uint32_t address, const uint8_t* bytes, std::size_t length);
    uint8_t read(uint32_t address) const;

    const std::vector<uint8_t>& flash() const { return flash_; }
    // Lines programmed twice without an erase between, since the chip started.
    uint64_t corruptedLines() const { return corrupted_; }
    // What the boot ROM checks before it starts user code after a reset:
    // the first eight words of the vector table sum to zero.
    bool vectorTableValid() const;
    // The whole flash to path, through a temporary file and a rename.
    bool dumpFlash(const std::string& path, std::string* error = nullptr) const;

private:
    uint8_t* ramByte(uint32_t address);
    const uint8_t* ramByte(uint32_t address) const;

    std::vector<uint8_t> flash_;
    std::vector<uint8_t> localRam_;
    std::vector<uint8_t> ahbRam_;
    std::vector<bool> prepared_;
    std::vector<bool> programmedLines_;
    uint64_t corrupted_ = 0;
};

}  // namespace lpcsim
