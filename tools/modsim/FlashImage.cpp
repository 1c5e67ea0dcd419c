#include "FlashImage.h"

#include "Wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace modsim {

namespace {
constexpr std::uint64_t kAddressSpace = 1ull << 32;

std::uint64_t endOf(const std::pair<const std::uint32_t, std::vector<std::uint8_t>>& segment) {
    return std::uint64_t(segment.first) + segment.second.size();
}
}  // namespace

void FlashImage::write(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    // Bytes past the 32-bit address space have nowhere to go.
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t(address) + bytes.size(), kAddressSpace);
    const std::size_t n = std::size_t(end - address);
    if (n == 0) return;

    auto next = segments_.upper_bound(address);
    auto first = next;
    if (first != segments_.begin() && endOf(*std::prev(first)) >= address) --first;

    // The common case of an upgrade: a piece that extends one segment and
    // reaches no other, written in place without copying the segment.
    if (first != next && (next == segments_.end() || next->first > end)) {
        std::vector<std::uint8_t>& seg = first->second;
        const std::size_t offset = address - first->first;
        if (seg.size() < offset + n) seg.resize(offset + n);
        std::copy(bytes.begin(), bytes.begin() + long(n), seg.begin() + long(offset));
        return;
    }

    auto last = first;
    std::uint64_t newStart = address, newEnd = end;
    while (last != segments_.end() && last->first <= end) {
        newStart = std::min<std::uint64_t>(newStart, last->first);
        newEnd = std::max(newEnd, endOf(*last));
        ++last;
    }
    std::vector<std::uint8_t> merged(std::size_t(newEnd - newStart), 0xFF);
    for (auto it = first; it != last; ++it)
        std::copy(it->second.begin(), it->second.end(), merged.begin() + long(it->first - newStart));
    std::copy(bytes.begin(), bytes.begin() + long(n), merged.begin() + long(address - newStart));
    segments_.erase(first, last);
    segments_.emplace(std::uint32_t(newStart), std::move(merged));
}

std::vector<std::uint8_t> FlashImage::read(std::uint32_t address, std::size_t length) const {
    std::vector<std::uint8_t> out(length, 0xFF);
    const std::uint64_t end = std::uint64_t(address) + length;
    for (const auto& seg : segments_) {
        const std::uint64_t from = std::max<std::uint64_t>(seg.first, address);
        const std::uint64_t to = std::min(endOf(seg), end);
        if (from >= to) continue;
        std::copy(seg.second.begin() + long(from - seg.first), seg.second.begin() + long(to - seg.first),
                  out.begin() + long(from - address));
    }
    return out;
}

std::vector<std::uint8_t> FlashImage::flat(std::uint32_t base) const {
    if (segments_.empty()) return {};
    const std::uint64_t top = endOf(*segments_.rbegin());
    if (top <= base) return {};
    return read(base, std::size_t(top - base));
}

std::size_t FlashImage::bytesWritten() const {
    std::size_t n = 0;
    for (const auto& seg : segments_) n += seg.second.size();
    return n;
}

std::optional<ImageIdentity> FlashImage::findIdentity() const {
    for (const auto& seg : segments_) {
        const std::vector<std::uint8_t>& b = seg.second;
        for (std::size_t i = 0; i + kIdentitySize <= b.size(); ++i) {
            if (getBE32(&b[i]) != kIdentityMagic) continue;
            std::uint32_t sum = 0;
            for (std::size_t k = 0; k < 12; ++k) sum += b[i + k];
            if (getBE32(&b[i + 12]) != sum || b[i + 11] != 0) continue;
            ImageIdentity id;
            id.address = std::uint32_t(seg.first + i);
            id.build = getBE32(&b[i + 4]);
            id.major = b[i + 8];
            id.minor = b[i + 9];
            id.patch = b[i + 10];
            return id;
        }
    }
    return std::nullopt;
}

bool FlashImage::dump(const std::string& path, std::uint32_t base, std::string* error) const {
    const std::string temp = path + ".part";
    const std::vector<std::uint8_t> bytes = flat(base);
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + " " + temp + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    };
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return fail("cannot create");
    const bool wrote = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !wrote) return fail("cannot write");
    if (std::rename(temp.c_str(), path.c_str()) != 0) return fail("cannot rename");
    return true;
}

}  // namespace modsim
