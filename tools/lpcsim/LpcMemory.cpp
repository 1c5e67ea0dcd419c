#include "LpcMemory.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lpcsim {

LpcMemory::LpcMemory()
    : flash_(kFlashSize, 0xFF),
      localRam_(kLocalRamSize, 0),
      ahbRam_(kAhbRamSize, 0),
      prepared_(kSectorCount, false),
      programmedLines_(kFlashSize / kFlashLineSize, false)
{
}

SectorRange LpcMemory::sector(uint32_t number)
{
    if (number < 16) return {number * 0x1000, 0x1000};
    return {0x10000 + (number - 16) * 0x8000, 0x8000};
}

std::optional<uint32_t> LpcMemory::sectorOf(uint32_t address)
{
    if (address >= kFlashSize) return std::nullopt;
    if (address < 0x10000) return address / 0x1000;
    return 16 + (address - 0x10000) / 0x8000;
}

bool LpcMemory::inFlash(uint32_t address, uint32_t length) const
{
    return address < kFlashSize && length <= kFlashSize - address;
}

bool LpcMemory::inRam(uint32_t address, uint32_t length) const
{
    const auto within = [&](uint32_t base, uint32_t size) {
        return address >= base && address - base < size && length <= size - (address - base);
    };
    return within(kLocalRamBase, kLocalRamSize) || within(kAhbRamBase, kAhbRamSize);
}

bool LpcMemory::ispWritable(uint32_t address, uint32_t length) const
{
    return inRam(address, length) && !(address >= kLocalRamBase && address < kIspRamFloor);
}

void LpcMemory::prepare(uint32_t first, uint32_t last)
{
    for (uint32_t s = first; s <= last && s < kSectorCount; ++s) prepared_[s] = true;
}

bool LpcMemory::prepared(uint32_t first, uint32_t last) const
{
    for (uint32_t s = first; s <= last; ++s)
        if (s >= kSectorCount || !prepared_[s]) return false;
    return true;
}

void LpcMemory::erase(uint32_t first, uint32_t last)
{
    for (uint32_t s = first; s <= last && s < kSectorCount; ++s) {
        const SectorRange r = sector(s);
        std::memset(flash_.data() + r.start, 0xFF, r.size);
        std::fill(programmedLines_.begin() + r.start / kFlashLineSize,
                  programmedLines_.begin() + (r.start + r.size) / kFlashLineSize, false);
        prepared_[s] = false;
    }
}

bool LpcMemory::blank(uint32_t first, uint32_t last, uint32_t* firstDirtyOffset) const
{
    for (uint32_t s = first; s <= last && s < kSectorCount; ++s) {
        const SectorRange r = sector(s);
        for (uint32_t i = 0; i < r.size; i += 4) {
            uint32_t word;
            std::memcpy(&word, flash_.data() + r.start + i, 4);
            if (word != 0xFFFFFFFFu) {
                if (firstDirtyOffset) *firstDirtyOffset = r.start + i;
                return false;
            }
        }
    }
    return true;
}

void LpcMemory::copy(uint32_t flashAddress, uint32_t ramAddress, uint32_t length)
{
    // Copies start on 256-byte boundaries in multiples of 256: whole lines.
    for (uint32_t line = flashAddress; line < flashAddress + length; line += kFlashLineSize) {
        const bool again = programmedLines_[line / kFlashLineSize];
        programmedLines_[line / kFlashLineSize] = true;
        if (again) ++corrupted_;
        for (uint32_t i = line; i < line + kFlashLineSize; ++i) {
            flash_[i] &= *ramByte(ramAddress + (i - flashAddress));
            if (again) flash_[i] ^= 0x01;
        }
    }
    const uint32_t first = *sectorOf(flashAddress);
    const uint32_t last = *sectorOf(flashAddress + length - 1);
    for (uint32_t s = first; s <= last; ++s) prepared_[s] = false;
}

bool LpcMemory::vectorTableValid() const
{
    uint32_t sum = 0;
    for (uint32_t at = 0; at < 32; at += 4)
        sum += uint32_t(flash_[at]) | uint32_t(flash_[at + 1]) << 8 | uint32_t(flash_[at + 2]) << 16 |
               uint32_t(flash_[at + 3]) << 24;
    return sum == 0;
}

uint8_t* LpcMemory::ramByte(uint32_t address)
{
    if (address >= kLocalRamBase && address - kLocalRamBase < kLocalRamSize) return &localRam_[address - kLocalRamBase];
    return &ahbRam_[address - kAhbRamBase];
}

const uint8_t* LpcMemory::ramByte(uint32_t address) const
{
    return const_cast<LpcMemory*>(this)->ramByte(address);
}

void LpcMemory::writeRam(uint32_t address, const uint8_t* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) *ramByte(address + uint32_t(i)) = bytes[i];
}

uint8_t LpcMemory::read(uint32_t address) const
{
    if (address < kFlashSize) return flash_[address];
    if (inRam(address, 1)) return *ramByte(address);
    return 0;
}

bool LpcMemory::dumpFlash(const std::string& path, std::string* error) const
{
    const std::string temporary = path + ".tmp";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) {
        if (error) *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(flash_.data(), 1, flash_.size(), f) == flash_.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace lpcsim
