// The transport under the i.MX serial download protocol: USB HID reports or a
// serial port carry the same commands, data and replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the transport; true when it is ready for packets.
    virtual bool init() = 0;
    // Sends one packet as the protocol builds it (HID report id first); the
    // count written, negative on failure.
    virtual ssize_t writeData(const uint8_t* packet, size_t length) = 0;
    // Appends the reply bytes that arrive within about timeoutMs to out, a
    // bounded amount however much the far end sends; the count appended.
    virtual ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) = 0;
    // The little-endian reply word at the index-th position of a reply; false
    // when the reply does not have the shape this transport produces.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value) = 0;
    // The bytes of one whole reply (security word, then status or data) as
    // this transport delivers them.
    virtual size_t replyLength() const = 0;
    // The security-mode word a reply starts with; false when it has none.
    virtual bool getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value) = 0;
};
