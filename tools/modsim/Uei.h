// Entity messages as the module reads and answers them: the request header,
// replies with the option bits the host filters on, error replies, and the
// byte-array series (at most 24 bytes a packet, then a continue/sequence
// trailer) in both directions.
#pragma once

#include "Packet.h"

#include <cstdint>
#include <vector>

namespace modsim {

class VirtualModule;

constexpr std::uint8_t kOptionGet = 0x40;
constexpr std::uint8_t kOptionSet = 0x80;
constexpr std::uint8_t kOptionMask = 0x3F;
constexpr std::uint8_t kIndexMask = 0x1F;
constexpr std::uint8_t kIndexStream = 0x40;
constexpr std::uint8_t kIndexError = 0x80;
constexpr std::size_t kSeriesChunk = 24;

struct UeiRequest {
    std::uint8_t command = 0;
    std::uint8_t option = 0;  // code only, 0..63
    std::uint8_t index = 0;   // 0..31
    bool get = false;
    bool set = false;
    std::vector<std::uint8_t> value;  // everything after the index byte

    // The option byte the host's filter waits for: plain for a get, both
    // bits for a set.
    std::uint8_t replyOption() const {
        return set ? std::uint8_t(option | kOptionGet | kOptionSet) : option;
    }
};

// False for packets shorter than the three header bytes.
bool parseUei(const Packet& packet, UeiRequest& out);

// A reply (or acknowledgement) to the request carrying value bytes.
void sendUeiReply(VirtualModule& module, const UeiRequest& request, const std::vector<std::uint8_t>& value = {});
// Error reply: index | 0x80 and the code in data byte 3, under the option
// byte the host waits for, so the host sees the failure and not a time-out.
void sendUeiError(VirtualModule& module, const UeiRequest& request, std::uint8_t code);
// Value of width bytes (1, 2 or 4), most significant first.
std::vector<std::uint8_t> widthValue(std::uint32_t value, unsigned width);

// Sends bytes as a series under the given option and index bytes; an empty
// array is one packet holding only the trailer.
void sendSeries(VirtualModule& module, std::uint8_t command, std::uint8_t optionByte, std::uint8_t indexByte,
                const std::vector<std::uint8_t>& bytes);

// Collects one incoming series. Packets are numbered modulo 128. A packet
// whose number is not the next one spoils the series; a packet numbered 0
// starts afresh unless it is the 129th (257th...) of the series under way.
class SeriesReceiver {
public:
    enum class Step { More, Done, OutOfSequence };
    // value: the request bytes after the header (chunk, then trailer).
    Step take(const std::vector<std::uint8_t>& value);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::size_t packets() const { return packets_; }
    bool active() const { return active_; }
    void reset();

private:
    std::vector<std::uint8_t> bytes_;
    std::uint8_t next_ = 0;
    std::size_t packets_ = 0;
    bool active_ = false;
};

}  // namespace modsim
