// A module's memory as the upgrade writes it: written ranges only, kept as
// contiguous segments, so a test can compare address by address and a dump
// can show unwritten bytes as erased flash (0xFF).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace modsim {

// The build and version a firmware image names for itself (see the identity
// record in tools/birdmake/README.md).
struct ImageIdentity {
    std::uint32_t address = 0;  // where the record was found
    std::uint32_t build = 0;
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint8_t patch = 0;
};

constexpr std::uint32_t kIdentityMagic = 0x46574944;  // "FWID"
constexpr std::size_t kIdentitySize = 16;

class FlashImage {
public:
    // Later writes replace earlier bytes; touching or overlapping ranges merge.
    void write(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    void clear() { segments_.clear(); }
    bool empty() const { return segments_.empty(); }

    // Start address -> bytes, one entry per contiguous written range.
    const std::map<std::uint32_t, std::vector<std::uint8_t>>& segments() const { return segments_; }
    // The bytes at [address, address + length), unwritten ones 0xFF.
    std::vector<std::uint8_t> read(std::uint32_t address, std::size_t length) const;
    // From base to the highest byte written (empty when nothing lies at or
    // above base); bytes below base are left out.
    std::vector<std::uint8_t> flat(std::uint32_t base = 0) const;
    std::size_t bytesWritten() const;

    // The lowest valid identity record anywhere in the image.
    std::optional<ImageIdentity> findIdentity() const;

    // Writes flat(base) to path through a temporary file and a rename, so a
    // reader never sees half a dump. False with a reason on failure.
    bool dump(const std::string& path, std::uint32_t base, std::string* error = nullptr) const;

private:
    std::map<std::uint32_t, std::vector<std::uint8_t>> segments_;
};

}  // namespace modsim
