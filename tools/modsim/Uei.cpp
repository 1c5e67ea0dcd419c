#include "Uei.h"

#include "VirtualModule.h"

#include <algorithm>

namespace modsim {

bool parseUei(const Packet& packet, UeiRequest& out) {
    if (packet.data.size() < 3) return false;
    out.command = packet.data[0];
    out.option = packet.data[1] & kOptionMask;
    out.get = (packet.data[1] & kOptionGet) != 0;
    out.set = (packet.data[1] & kOptionSet) != 0;
    out.index = packet.data[2] & kIndexMask;
    out.value.assign(packet.data.begin() + 3, packet.data.end());
    return true;
}

void sendUeiReply(VirtualModule& module, const UeiRequest& request, const std::vector<std::uint8_t>& value) {
    Packet p{module.config().address, {request.command, request.replyOption(), request.index}};
    p.data.insert(p.data.end(), value.begin(), value.end());
    module.send(std::move(p));
}

void sendUeiError(VirtualModule& module, const UeiRequest& request, std::uint8_t code) {
    module.send(Packet{module.config().address,
                       {request.command, request.replyOption(), std::uint8_t(request.index | kIndexError), code}});
}

std::vector<std::uint8_t> widthValue(std::uint32_t value, unsigned width) {
    std::vector<std::uint8_t> out;
    for (int shift = int(width) * 8 - 8; shift >= 0; shift -= 8) out.push_back(std::uint8_t(value >> shift));
    return out;
}

void sendSeries(VirtualModule& module, std::uint8_t command, std::uint8_t optionByte, std::uint8_t indexByte,
                const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    std::uint8_t sequence = 0;
    do {
        const std::size_t n = std::min(kSeriesChunk, bytes.size() - at);
        Packet p{module.config().address, {command, optionByte, indexByte}};
        p.data.insert(p.data.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
        at += n;
        const bool more = at < bytes.size();
        p.data.push_back(std::uint8_t((more ? 0x80 : 0) | (sequence & 0x7F)));
        module.send(std::move(p));
        sequence = std::uint8_t((sequence + 1) & 0x7F);
    } while (at < bytes.size());
}

SeriesReceiver::Step SeriesReceiver::take(const std::vector<std::uint8_t>& value) {
    if (value.empty() || value.size() > kSeriesChunk + 1) {
        reset();
        return Step::OutOfSequence;
    }
    const std::uint8_t trailer = value.back();
    const std::uint8_t sequence = trailer & 0x7F;
    // Packet numbers run modulo 128: a 0 that is the number expected next
    // continues a long series; any other 0 starts a new one.
    if (sequence == 0 && !(active_ && next_ == 0)) {
        reset();
        active_ = true;
    } else if (!active_ || sequence != next_) {
        reset();
        return Step::OutOfSequence;
    }
    bytes_.insert(bytes_.end(), value.begin(), value.end() - 1);
    ++packets_;
    next_ = std::uint8_t((sequence + 1) & 0x7F);
    if (trailer & 0x80) return Step::More;
    active_ = false;
    return Step::Done;
}

void SeriesReceiver::reset() {
    bytes_.clear();
    next_ = 0;
    packets_ = 0;
    active_ = false;
}

}  // namespace modsim
