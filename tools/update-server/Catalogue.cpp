#include "Catalogue.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace updsrv {

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ReadWhole(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

// The first line without its line end and without surrounding blanks.
std::optional<std::string> ReadFirstLine(const std::string& path) {
    auto text = ReadWhole(path);
    if (!text) return std::nullopt;
    std::string line = text->substr(0, text->find_first_of("\r\n"));
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos) lines.push_back(line.substr(first));
    }
    return lines;
}

std::string SerialName(uint32_t serial, bool upper) {
    char name[16];
    std::snprintf(name, sizeof name, upper ? "%08X" : "%08x", serial);
    return name;
}

}  // namespace

bool ParseDecimal(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseHex(const std::string& text, uint32_t& value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    value = v;
    return true;
}

Catalogue::Catalogue(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::optional<std::string> Catalogue::DeviceDir(uint32_t serial) const {
    for (bool upper : {true, false}) {
        const std::string dir = root_ + "/devices/" + SerialName(serial, upper);
        if (IsDirectory(dir)) return dir;
    }
    return std::nullopt;
}

bool Catalogue::HasDevice(uint32_t serial) const { return DeviceDir(serial).has_value(); }

std::vector<uint32_t> Catalogue::Builds(uint32_t serial) const {
    std::vector<uint32_t> builds;
    const auto dir = DeviceDir(serial);
    if (!dir) return builds;
    DIR* d = opendir((*dir + "/builds").c_str());
    if (!d) return builds;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        const auto dot = name.find('.');
        uint32_t build;
        // Only BUILD.bird counts; a lone BUILD.nocal.bird is a variant, not a build.
        if (dot != std::string::npos && name.substr(dot) == ".bird" &&
            ParseDecimal(name.substr(0, dot), build))
            builds.push_back(build);
    }
    closedir(d);
    std::sort(builds.begin(), builds.end());
    builds.erase(std::unique(builds.begin(), builds.end()), builds.end());
    return builds;
}

std::optional<uint32_t> Catalogue::LatestBuild(uint32_t serial) const {
    const auto dir = DeviceDir(serial);
    if (!dir) return std::nullopt;
    if (auto text = ReadFirstLine(*dir + "/latest")) {
        uint32_t build;
        if (ParseDecimal(*text, build)) return build;
    }
    const auto builds = Builds(serial);
    if (builds.empty()) return std::nullopt;
    return builds.back();
}

std::string Catalogue::Version(uint32_t serial, uint32_t build) const {
    const auto dir = DeviceDir(serial);
    if (!dir) return std::string();
    return ReadFirstLine(*dir + "/builds/" + std::to_string(build) + ".version").value_or("");
}

std::optional<std::string> Catalogue::Image(uint32_t serial, uint32_t build, bool noCal) const {
    const auto dir = DeviceDir(serial);
    if (!dir) return std::nullopt;
    const std::string base = *dir + "/builds/" + std::to_string(build);
    if (noCal) {
        if (auto image = ReadWhole(base + ".nocal.bird")) return image;
    }
    return ReadWhole(base + ".bird");
}

std::optional<std::string> Catalogue::Token(uint32_t serial) const {
    const auto dir = DeviceDir(serial);
    if (!dir) return std::nullopt;
    auto token = ReadFirstLine(*dir + "/token");
    if (token && token->empty()) return std::nullopt;
    return token;
}

std::optional<RecoveryEntry> Catalogue::Recovery(const Fingerprint& fp) const {
    char dashed[64], escaped[64];
    std::snprintf(dashed, sizeof dashed, "%08X-%08X-%08X-%08X", fp[0], fp[1], fp[2], fp[3]);
    std::snprintf(escaped, sizeof escaped, "%08X%%20%08X%%20%08X%%20%08X", fp[0], fp[1], fp[2], fp[3]);
    std::optional<std::string> text;
    for (const char* name : {dashed, escaped}) {
        text = ReadWhole(root_ + "/fix/" + name);
        if (text) break;
    }
    if (!text) return std::nullopt;
    const auto lines = Lines(*text);
    RecoveryEntry entry;
    if (lines.empty() || !ParseHex(lines[0], entry.serial)) return std::nullopt;
    uint32_t build;
    if (lines.size() > 1 && ParseDecimal(lines[1], build)) entry.build = build;
    else entry.build = LatestBuild(entry.serial);
    return entry;
}

}  // namespace updsrv
