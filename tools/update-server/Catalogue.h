// The directory tree the server answers from (layout in README.md). Every
// lookup reads the disk afresh, so files dropped in while the server runs are
// seen by the next request.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updsrv {

using Fingerprint = std::array<uint32_t, 4>;

struct RecoveryEntry {
    uint32_t serial = 0;
    std::optional<uint32_t> build;   // absent when neither the entry nor the device names one
};

class Catalogue {
public:
    explicit Catalogue(std::string root);

    const std::string& root() const { return root_; }

    bool HasDevice(uint32_t serial) const;

    // Build numbers with an image, ascending.
    std::vector<uint32_t> Builds(uint32_t serial) const;

    // The "latest" file when present, else the highest build with an image.
    std::optional<uint32_t> LatestBuild(uint32_t serial) const;

    // First line of BUILD.version; empty when the file is missing.
    std::string Version(uint32_t serial, uint32_t build) const;

    // Image bytes; with noCal, BUILD.nocal.bird is preferred when it exists.
    std::optional<std::string> Image(uint32_t serial, uint32_t build, bool noCal) const;

    // First line of the device's "token" file.
    std::optional<std::string> Token(uint32_t serial) const;

    std::optional<RecoveryEntry> Recovery(const Fingerprint& fp) const;

private:
    std::optional<std::string> DeviceDir(uint32_t serial) const;

    std::string root_;
};

// Strict number readers shared by the catalogue and the request handler.
bool ParseDecimal(const std::string& text, uint32_t& value);
bool ParseHex(const std::string& text, uint32_t& value);   // optional 0x, 1 to 8 digits

}  // namespace updsrv
