#include "BuildOrder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace {

// The three components of "major.minor.patch", each kept modulo 256; none
// when the text has another shape or a component is not a decimal number.
std::optional<std::array<uint8_t, 3>> _version_key(const std::string& version)
{
    std::array<uint8_t, 3> key{};
    size_t part = 0;
    size_t digits = 0;
    unsigned value = 0;
    for (char c : version) {
        if (c == '.') {
            if (digits == 0 || part == 2)
                return std::nullopt;
            key[part++] = uint8_t(value);
            value = 0;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            value = (value * 10 + unsigned(c - '0')) & 0xFF;
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || part != 2)
        return std::nullopt;
    key[2] = uint8_t(value);
    return key;
}

}  // namespace

std::vector<BuildListEntry> _sort_builds_by_version_local(const BuildMap& builds)
{
    std::vector<BuildListEntry> entries(builds.begin(), builds.end());
    // A version that cannot be read is kept out of the comparison altogether:
    // treating it as neither greater nor smaller than anything would not be an
    // ordering the sort can rely on.
    auto unreadable = std::stable_partition(entries.begin(), entries.end(),
                                            [](const BuildListEntry& e) { return _version_key(e.second).has_value(); });
    std::stable_sort(entries.begin(), unreadable, [](const BuildListEntry& a, const BuildListEntry& b) {
        return *_version_key(a.second) > *_version_key(b.second);
    });
    return entries;
}
