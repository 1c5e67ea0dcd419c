// Ordering of build lists by firmware version, newest first.
#include "UpdateServerRequest.h"

#include "Log.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>

namespace {

// Components compare as 8-bit values, as the modules keep them (2.256.0 is
// 2.0.0). No value for a version without three decimal parts.
std::optional<std::array<uint8_t, 3>> versionKey(const std::string& version)
{
    std::vector<std::string> parts = UpdateServerRequest::SplitTessalumaVersion(version);
    if (parts.empty())
        return std::nullopt;
    std::array<uint8_t, 3> key{};
    try {
        for (size_t i = 0; i < 3; ++i)
            key[i] = static_cast<uint8_t>(std::stoll(parts[i], nullptr, 10));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return std::nullopt;
    }
    return key;
}

} // namespace

std::vector<std::string> UpdateServerRequest::SplitTessalumaVersion(const std::string& version)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() != 3)
        parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds)
{
    struct Entry {
        std::pair<std::string, std::string> build;
        std::optional<std::array<uint8_t, 3>> key;
    };
    std::vector<Entry> entries;
    entries.reserve(builds.size());
    for (const auto& build : builds)
        entries.push_back({build, versionKey(build.second)});

    // Versions that do not read as three numbers go last, in build order: a
    // rule treating them as equal to everything is no ordering at all and
    // leaves std::sort's result, or worse, undefined.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.key && b.key)
            return *a.key > *b.key;
        return a.key.has_value() && !b.key.has_value();
    });

    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (auto& entry : entries)
        sorted.push_back(std::move(entry.build));
    return sorted;
}
