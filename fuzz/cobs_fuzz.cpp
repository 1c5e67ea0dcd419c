// COBS frames of packetized serial links: the decoder on any bytes (in place,
// on an exact-size copy), the framing stream reading a recorded serial byte
// stream to its end, and packets written through one framing stream coming
// out of another unchanged.
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "aCRC8.h"
#include "aCobs.h"
#include "aPacket.h"
#include "aStream.h"

namespace {

// The inner transport of a framing stream: reads come from a byte vector
// (then end of input), writes and puts are collected.
struct Wire {
    const uint8_t* in = nullptr;
    size_t inSize = 0;
    size_t position = 0;
    std::vector<uint8_t> out;
};

aErr WireGet(uint8_t* byte, void* reference)
{
    auto* wire = static_cast<Wire*>(reference);
    if (wire->position >= wire->inSize)
        return aErrEOF;
    *byte = wire->in[wire->position++];
    return aErrNone;
}

aErr WirePut(uint8_t byte, void* reference)
{
    static_cast<Wire*>(reference)->out.push_back(byte);
    return aErrNone;
}

aErr WireWrite(const uint8_t* bytes, size_t length, void* reference)
{
    auto* wire = static_cast<Wire*>(reference);
    wire->out.insert(wire->out.end(), bytes, bytes + length);
    return aErrNone;
}

aErr WireDelete(void*) { return aErrNone; }

aStream* FramingOver(Wire& wire)
{
    aStream* stream = nullptr;
    FUZZ_CHECK(aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, &stream) == aErrNone);
    FUZZ_CHECK(stream != nullptr);
    return stream;
}

// Every byte a framing stream gives back from input; each good frame comes
// out as one packet's wire bytes.
std::vector<uint8_t> ReadAll(const uint8_t* input, size_t size)
{
    Wire wire;
    wire.in = input;
    wire.inSize = size;
    aStream* stream = FramingOver(wire);
    std::vector<uint8_t> decoded;
    // Each input byte is taken once; a good frame's bytes follow it one call
    // each, so this many calls always reach the end.
    for (size_t calls = 0; calls < 2 * size + 64; ++calls) {
        uint8_t byte = 0;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone)
            decoded.push_back(byte);
        else if (err == aErrEOF)
            break;
        else
            FUZZ_CHECK(err == aErrNotReady || err == aErrPacket);
    }
    FUZZ_CHECK(wire.position == size);
    FUZZ_CHECK(aStream_Destroy(&stream) == aErrNone);
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The decoder in place on exactly the bytes given.
    std::unique_ptr<uint8_t[]> frame(new uint8_t[size ? size : 1]);
    std::memcpy(frame.get(), data, size);
    const size_t decodedLength = aCobs_Decode(frame.get(), size, frame.get());
    FUZZ_CHECK(decodedLength <= size);
    if (decodedLength > 0) {
        std::vector<uint8_t> encoded(aCOBS_MAX_ENCODED(decodedLength));
        const size_t encodedLength = aCobs_Encode(frame.get(), decodedLength, encoded.data(), encoded.size());
        FUZZ_CHECK(encodedLength > 0 && std::memchr(encoded.data(), 0, encodedLength) == nullptr);
        std::vector<uint8_t> back(encodedLength);
        FUZZ_CHECK(aCobs_Decode(encoded.data(), encodedLength, back.data()) == decodedLength);
        FUZZ_CHECK(std::memcmp(back.data(), frame.get(), decodedLength) == 0);
    }

    // A recorded serial byte stream read through the framing stream: what
    // comes out is a run of whole packets (address, length, data).
    const std::vector<uint8_t> packets = ReadAll(data, size);
    for (size_t at = 0; at < packets.size();) {
        FUZZ_CHECK(at + 2 <= packets.size());
        at += 2 + packets[at + 1];
        FUZZ_CHECK(at <= packets.size());
    }

    // The input cut into packets of at most 27 data bytes, written through
    // one framing stream and read back through another.
    std::vector<uint8_t> sent;
    Wire line;
    aStream* writer = FramingOver(line);
    for (size_t i = 0; i + 1 < size;) {
        const uint8_t length = data[i] % 28;
        if (i + 1 + length > size)
            break;
        const uint8_t address = static_cast<uint8_t>((data[i + 1] | 2) & 0xFE);
        sent.push_back(address);
        sent.push_back(length);
        sent.insert(sent.end(), data + i + 1, data + i + 1 + length);
        std::vector<uint8_t> bytes(sent.end() - length - 2, sent.end());
        FUZZ_CHECK(aStream_Write(writer, bytes.data(), bytes.size()) == aErrNone);
        i += 1 + length;
    }
    FUZZ_CHECK(aStream_Destroy(&writer) == aErrNone);
    FUZZ_CHECK(ReadAll(line.out.data(), line.out.size()) == sent);
    (void)aCRC8_Compute(data, size);
    return 0;
}
