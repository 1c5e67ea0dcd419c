// Link bytes as a module (or a hostile peer) sends them: the byte-wise packet
// assembler driven the way a link's input side drives it, every complete
// packet read as a UEI payload and as a stream sample, and the packets queued
// without a reader, as a flood would leave them, against the FIFO's bound
// (the queue empties itself past 1000 packets).
#include <cstring>

#include "FuzzSupport.h"
#include "Link.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aUEI.h"

namespace {

using Tarvelin::Tessaluma::Link;

// A complete packet: its wire form is the bytes that built it, and every
// reading of it stays inside its data.
void Inspect(const aPacket* packet, const uint8_t* wire, size_t wireLength, uint64_t fifo)
{
    uint8_t address = 0, length = 0;
    FUZZ_CHECK(aPacket_GetAddress(packet, &address) == aErrNone && address != 0);
    FUZZ_CHECK(aPacket_GetLength(packet, &length) == aErrNone && length <= aPACKET_MAX_DATA);
    uint8_t bytes[aPACKET_MAX_WIRE];
    size_t written = 0;
    FUZZ_CHECK(aPacket_GetBytes(packet, bytes, sizeof bytes, &written) == aErrNone);
    FUZZ_CHECK(written == wireLength && written == size_t(length) + 2);
    FUZZ_CHECK(std::memcmp(bytes, wire, written) == 0);
    FUZZ_CHECK(aPacket_GetBytes(packet, bytes, written - 1, nullptr) == aErrOverrun);

    aPacket* copy = aPacket_Copy(packet);
    FUZZ_CHECK(copy != nullptr && aPacket_IsComplete(copy));
    uint8_t value = 0;
    const aErr cmd = aPacket_GetCmd(copy, &value);
    FUZZ_CHECK((cmd == aErrNone) == (length >= 1));
    const aErr option = aPacket_GetOption(copy, &value);
    FUZZ_CHECK((option == aErrNone) == (length >= 2) && (option != aErrNone || value <= 0x3F));
    const aErr index = aPacket_GetIndex(copy, &value);
    FUZZ_CHECK((index == aErrNone) == (length >= 3) && (index != aErrNone || value <= 0x1F));
    (void)aUEI_getBytesSequence(copy);
    (void)aUEI_getBytesContinue(copy);
    (void)aUEI_getBytesFullPacket(copy);
    FUZZ_CHECK(aUEI_isUEIPayload(copy) != aUEI_isNotUEIPayload(copy));
    const bool stream = aUEI_isStreamPacket(copy);
    FUZZ_CHECK(!stream || length > 4);

    const Link::STREAM_PACKET type = Link::getStreamPacketType(copy);
    FUZZ_CHECK(stream || type == Link::STREAM_PACKET_INVALID);
    uint64_t timestamp = 0;
    uint32_t sample = 0;
    uint8_t subindex = 0;
    const aErr parsed = Link::getStreamSample(copy, &timestamp, &sample, &subindex);
    FUZZ_CHECK(parsed != aErrNone || Link::isStreamSample(copy));
    FUZZ_CHECK(parsed == aErrNone || !Link::isStreamSample(copy));
    if (parsed == aErrNone && !Link::isSubindexType(type))
        FUZZ_CHECK(subindex == 0);
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(timestamp, &high, &low);
    FUZZ_CHECK((uint64_t(high) << 32 | low) == timestamp);

    // Each packet queued several times over, so that an input of a hundred
    // or so packets already runs the queue up to its bound: a full queue
    // refuses the packet and keeps what it holds.
    for (int i = 0; i < 8; ++i) {
        const size_t before = aPacketFifo_GetLength(fifo);
        const aErr put = aPacketFifo_Put(fifo, copy);
        const size_t after = aPacketFifo_GetLength(fifo);
        if (before < aPACKETFIFO_CAPACITY)
            FUZZ_CHECK(put == aErrNone && after == before + 1);
        else
            FUZZ_CHECK(put == aErrOverrun && after == before);
        FUZZ_CHECK(after <= aPACKETFIFO_CAPACITY);
    }
    aPacket_Destroy(&copy);
    FUZZ_CHECK(copy == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A queue nobody reads: whatever the peer sends, it must not hold more
    // than its bound.
    uint64_t fifo = aPacketFifo_Create();
    FUZZ_CHECK(fifo != 0);
    aPacket* assembler = aPacket_Create();
    FUZZ_CHECK(assembler != nullptr);
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t wireLength = 0;
    for (size_t i = 0; i < size; ++i) {
        aErr err = aPacket_AddByte(assembler, data[i]);
        uint8_t address = 0;
        if (err == aErrNone)
            err = aPacket_GetAddress(assembler, &address);
        // An error or an odd (host-only) address means the link lost step:
        // the record starts over, as the input side does before resyncing.
        if (err != aErrNone || (address & 1) != 0) {
            FUZZ_CHECK(aPacket_Reset(assembler) == aErrNone);
            wireLength = 0;
            continue;
        }
        FUZZ_CHECK(wireLength < sizeof wire);
        wire[wireLength++] = data[i];
        if (aPacket_IsComplete(assembler)) {
            Inspect(assembler, wire, wireLength, fifo);
            FUZZ_CHECK(aPacket_Reset(assembler) == aErrNone);
            wireLength = 0;
        }
    }
    FUZZ_CHECK(aPacket_Destroy(&assembler) == aErrNone);
    FUZZ_CHECK(aPacketFifo_Destroy(&fifo) == aErrNone && fifo == 0);

    // The same bytes as ready-made packets of every length.
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint8_t length = data[i] % (aPACKET_MAX_DATA + 2);
        const size_t available = size - i - 1;
        if (length > available)
            break;
        aPacket* packet = aPacket_CreateWithData(data[i + 1] | 2, length, data + i + 1);
        FUZZ_CHECK((packet != nullptr) == (length <= aPACKET_MAX_DATA));
        aPacket_Destroy(&packet);
    }
    return 0;
}
