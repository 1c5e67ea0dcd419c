#include "Cobs.h"

namespace modsim {

std::uint8_t crc8Maxim(const std::uint8_t* bytes, std::size_t length) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C) : static_cast<std::uint8_t>(crc >> 1);
    }
    return crc;
}

std::vector<std::uint8_t> cobsEncode(const std::vector<std::uint8_t>& in) {
    std::vector<std::uint8_t> out;
    out.reserve(in.size() + in.size() / 254 + 1);
    std::size_t codePos = out.size();
    out.push_back(0);
    std::uint8_t code = 1;
    for (std::uint8_t b : in) {
        if (b == 0) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
            continue;
        }
        out.push_back(b);
        if (++code == 0xFF) {
            out[codePos] = code;
            codePos = out.size();
            out.push_back(0);
            code = 1;
        }
    }
    out[codePos] = code;
    return out;
}

std::optional<std::vector<std::uint8_t>> cobsDecode(const std::vector<std::uint8_t>& in) {
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < in.size()) {
        const std::uint8_t code = in[i];
        if (code == 0) return std::nullopt;
        if (i + code > in.size() && code != 1) return std::nullopt;
        for (std::size_t k = 1; k < code; ++k) out.push_back(in[i + k]);
        i += code;
        if (code != 0xFF && i < in.size()) out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> frameEncode(const std::vector<std::uint8_t>& wire) {
    std::vector<std::uint8_t> raw = wire;
    raw.push_back(crc8Maxim(wire.data(), wire.size()));
    std::vector<std::uint8_t> out = cobsEncode(raw);
    out.push_back(0);
    return out;
}

std::optional<std::vector<std::uint8_t>> FrameDecoder::push(std::uint8_t b) {
    if (b != 0) {
        if (buf_.size() < kMaxEncodedFrame)
            buf_.push_back(b);
        else
            overflow_ = true;
        return std::nullopt;
    }
    if (buf_.empty()) {  // empty frame: two delimiters in a row
        overflow_ = false;
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> decoded;
    if (!overflow_) decoded = cobsDecode(buf_);
    buf_.clear();
    overflow_ = false;
    if (!decoded) {
        ++bad_;
        return std::nullopt;
    }
    const std::vector<std::uint8_t>& d = *decoded;
    const std::size_t n = d.size();
    if (n <= 2 || n != static_cast<std::size_t>(d[1]) + 3 || crc8Maxim(d.data(), n - 1) != d[n - 1]) {
        ++bad_;
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(d.begin(), d.end() - 1);
}

}  // namespace modsim
