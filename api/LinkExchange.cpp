// The request/reply exchanges of a Link: raw command packets, the module
// address query and UEI messages (single values and byte-array series). Each
// puts packets on the engine's output queue and waits on its input queue with
// a filter; nothing is locked here.
#include "LinkImpl.h"

#include <algorithm>
#include <cstring>

#include "aLinkDebug.h"
#include "aTime.h"
#include "aUEI.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kMaxCommandBytes = aPACKET_MAX_DATA - 1;

// Owns a received packet for the length of one exchange.
struct PacketHolder {
    aPacket* packet = nullptr;
    ~PacketHolder() { aPacket_Destroy(&packet); }
};

aErr putPacket(int32_t stem, uint8_t address, uint8_t length, const uint8_t* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (packet == nullptr)
        return aErrResource;
    aErr err = aLink_PutPacket(stem, packet);
    aPacket_Destroy(&packet);
    return err;
}

struct PrefixMatch {
    const uint8_t* bytes;
    uint8_t length;
};

bool matchesPrefix(const aPacket* packet, void* reference)
{
    const auto* match = static_cast<const PrefixMatch*>(reference);
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    return length >= match->length && std::memcmp(aPacket_GetData(packet), match->bytes, match->length) == 0;
}

bool isAddressAnswer(const aPacket* packet, void*)
{
    uint8_t length = 0xFF;
    aPacket_GetLength(packet, &length);
    return length == 0;
}

// What the standard UEI filter compares.
struct UEIMatch {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t index;
};

// A sample the module streams of the same option is never the answer to a
// request, even when it sits in the queue because no stream filter took it.
bool matchesUEI(const aPacket* packet, void* reference)
{
    const auto* match = static_cast<const UEIMatch*>(reference);
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    return address == match->module && length > 2 && data[aUEI_CMD] == match->command &&
           data[aUEI_OPTION] == match->option && (data[aUEI_INDEX] & aUEI_INDEX_STREAM) == 0 &&
           (data[aUEI_INDEX] & aUEI_INDEX_MASK) == match->index;
}

// The header of a request record, then the value by type; a sub-index, when
// given, goes before the value.
uint8_t encodeValue(const uei& request, const uint8_t* subindex, uint8_t* data)
{
    data[0] = request.command;
    data[1] = request.option;
    data[2] = request.specifier;
    uint8_t length = 3;
    if (subindex != nullptr)
        data[length++] = *subindex;
    switch (request.type) {
    case type_BYTE:
        data[length++] = request.v.byteVal;
        break;
    case type_SHORT:
        aUEI_StoreShort(data + length, request.v.shortVal);
        length += 2;
        break;
    case type_INT:
        aUEI_StoreInt(data + length, request.v.intVal);
        length += 4;
        break;
    default:
        break;
    }
    return length;
}

// A long series is kept this many packets short of filling the link's
// output queue, which the link's own packets (heartbeat answers, sync
// requests) share; the wait for the link to take them is bounded.
constexpr size_t kSeriesHeadroom = 100;
constexpr unsigned long kSeriesPaceWaitMs = 2000;

// Queues one packet of a series once the output queue has room for it.
aErr putPaced(int32_t stem, uint8_t address, uint8_t length, const uint8_t* data)
{
    aErr err = aLink_AwaitOutputRoom(stem, kSeriesHeadroom, kSeriesPaceWaitMs);
    return err == aErrNone ? putPacket(stem, address, length, data) : err;
}

// A byte array goes as a series: header, up to 24 bytes, then the trailer
// (continue flag, packet counter); an empty array is one packet.
aErr sendSeries(int32_t stem, const uei& request, const uint8_t* subindex)
{
    const uint8_t* bytes = request.v.bytes.data;
    size_t remaining = request.v.bytes.capacity;
    if (bytes == nullptr && remaining != 0)
        return aErrParam;
    uint8_t counter = 0;
    do {
        uint8_t data[aPACKET_MAX_DATA];
        uint8_t length = 0;
        data[length++] = request.command;
        data[length++] = request.option;
        data[length++] = request.specifier;
        if (subindex != nullptr)
            data[length++] = *subindex;
        const size_t room = std::min<size_t>(aUEI_BYTES_CHUNK, size_t(aPACKET_MAX_DATA - 1 - length));
        const size_t chunk = std::min(remaining, room);
        if (chunk > 0)
            std::memcpy(data + length, bytes, chunk);
        length = uint8_t(length + chunk);
        bytes += chunk;
        remaining -= chunk;
        data[length++] = uint8_t((remaining > 0 ? aUEI_BYTES_CONTINUE : 0) | (counter & aUEI_BYTES_SEQUENCE_MASK));
        counter++;
        aErr err = putPaced(stem, request.module, length, data);
        if (err != aErrNone)
            return err;
    } while (remaining > 0);
    return aErrNone;
}

aErr sendRequest(Link::impl* state, Link& link, const uei& request, const uint8_t* subindex)
{
    if (state == nullptr)
        return aErrInitialization;
    if (!validModuleAddress(request.module))
        return aErrPacket;
    if (!link.isConnected())
        return aErrConnection;
    if (request.type == type_BYTES)
        return sendSeries(state->m_stem, request, subindex);
    uint8_t data[aPACKET_MAX_DATA];
    const uint8_t length = encodeValue(request, subindex, data);
    aPacket* packet = aPacket_CreateWithData(request.module, length, data);
    if (packet == nullptr)
        return aErrResource;
    aErr err = aLink_PutPacket(state->m_stem, packet);
    aPacket_Destroy(&packet);
    return err;
}

// Fills the record from its reply: the error code, a single value by length,
// or the next chunk of a byte-array series.
aErr decodeReply(const aPacket* packet, uei* record)
{
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    const uint8_t* data = aPacket_GetData(packet);
    if (data[aUEI_INDEX] & aUEI_INDEX_ERROR) {
        // An error reply that names no error (code 0, or none at all) is
        // still a failure.
        record->specifier = data[aUEI_INDEX];
        record->v.byteVal = length > aUEI_VALUE && data[aUEI_VALUE] != aErrNone ? data[aUEI_VALUE]
                                                                                 : uint8_t(aErrUnknown);
        return aErrNone;
    }
    if (record->type == type_BYTES) {
        if (length < 4)
            return aErrPacket;
        ueiBytes& bytes = record->v.bytes;
        const size_t chunk = size_t(length - 4);
        const size_t have = bytes.count ? *bytes.count : 0;
        bytes.more = data[length - 1] >> 7;
        if (chunk > bytes.capacity - have)
            return aErrMemory;
        if (chunk > 0)
            std::memcpy(bytes.data + have, data + 3, chunk);
        if (bytes.count != nullptr)
            *bytes.count = have + chunk;
        return aErrNone;
    }
    switch (length) {
    case 3:
        record->type = type_NONE;
        break;
    case 4:
        record->type = type_BYTE;
        record->v.byteVal = data[3];
        break;
    case 5:
        record->type = type_SHORT;
        record->v.shortVal = aUEI_RetrieveShort(data + 3);
        break;
    case 7:
        record->type = type_INT;
        record->v.intVal = aUEI_RetrieveInt(data + 3);
        break;
    case 8:  // a 32-bit value after the sub-index it answers
        record->type = type_INT;
        record->v.intVal = aUEI_RetrieveInt(data + 4);
        break;
    default:
        return aErrSize;  // no value of any width: not an answer to trust
    }
    return aErrNone;
}

aErr awaitReply(Link::impl* state, Link& link, uint8_t module, uei* record, aLinkPacketFilter filter,
                void* reference, unsigned long waitMs)
{
    if (state == nullptr)
        return aErrInitialization;
    if (record == nullptr || filter == nullptr)
        return aErrParam;
    if (!validModuleAddress(module))
        return aErrPacket;
    if (!link.isConnected())
        return aErrConnection;
    PacketHolder reply;
    reply.packet = aLink_AwaitFirst(state->m_stem, filter, reference, waitMs);
    if (reply.packet == nullptr)
        return aErrTimeout;
    return decodeReply(reply.packet, record);
}

}  // namespace

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (length > kMaxCommandBytes || (length > 0 && data == nullptr))
        return aErrParam;
    if (!validModuleAddress(address))
        return aErrPacket;
    if (!isConnected())
        return aErrConnection;
    uint8_t bytes[aPACKET_MAX_DATA];
    bytes[0] = command;
    if (length > 0)
        std::memcpy(bytes + 1, data, length);
    return putPacket(m_impl->m_stem, address, uint8_t(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (length == nullptr || out == nullptr || (*length > 0 && match == nullptr) || *length > aPACKET_MAX_DATA)
        return aErrParam;
    if (!validModuleAddress(address))
        return aErrPacket;
    if (!isConnected())
        return aErrConnection;
    PrefixMatch prefix{match, *length};
    PacketHolder reply;
    reply.packet = aLink_AwaitFirst(m_impl->m_stem, matchesPrefix, &prefix, kReplyWaitMs);
    if (reply.packet == nullptr)
        return aErrTimeout;
    aPacket_GetLength(reply.packet, length);
    std::memcpy(out, aPacket_GetData(reply.packet), *length);
    return aErrNone;
}

aErr Link::awaitPacket(uint8_t address, aLinkPacketFilter filter, void* reference, unsigned long waitMs,
                       uint8_t* length, uint8_t* out)
{
    if (m_impl == nullptr)
        return aErrInitialization;
    if (filter == nullptr || length == nullptr || out == nullptr)
        return aErrParam;
    if (!validModuleAddress(address))
        return aErrPacket;
    if (!isConnected())
        return aErrConnection;
    PacketHolder reply;
    reply.packet = aLink_AwaitFirst(m_impl->m_stem, filter, reference, waitMs);
    if (reply.packet == nullptr)
        return aErrTimeout;
    aPacket_GetLength(reply.packet, length);
    std::memcpy(out, aPacket_GetData(reply.packet), *length);
    return aErrNone;
}

aErr Link::dropMatchingPackets(aLinkPacketFilter filter, void* reference)
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConnection;
    if (filter == nullptr)
        return aErrParam;
    aLink_DrainPackets(m_impl->m_stem, filter, reference);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (m_impl == nullptr || !isConnected())
        return aErrNotReady;
    if (address == nullptr)
        return aErrParam;
    aLinkDebug_Trace(kDebugLink, "getModuleAddress\n");
    static const uint8_t none = 0;
    aErr err = putPacket(m_impl->m_stem, aPACKET_ADDRESS_SYNC, 0, &none);
    if (err != aErrNone)
        return aErrNotReady;
    aLinkDebug_Trace(kDebugLink, "getModuleAddress wait\n");
    PacketHolder reply;
    reply.packet = aLink_AwaitFirst(m_impl->m_stem, isAddressAnswer, nullptr, kReplyWaitMs);
    if (reply.packet == nullptr)
        return aErrNotReady;
    aPacket_GetAddress(reply.packet, address);
    return aErrNone;
}

aErr Link::sendUEI(const uei& request)
{
    return sendRequest(m_impl, *this, request, nullptr);
}

aErr Link::sendUEI(const uei& request, uint8_t subindex)
{
    return sendRequest(m_impl, *this, request, &subindex);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record)
{
    UEIMatch match{module, command, option, index};
    return receiveUEI(module, command, option, index, record, matchesUEI, &match);
}

// A byte-array reply of more than 1000 bytes gets the long wait.
aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aLinkPacketFilter filter,
                      void* reference)
{
    unsigned long waitMs = kReplyWaitMs;
    if (record != nullptr && record->type == type_BYTES && record->v.bytes.capacity > kLargeArrayBytes) {
        waitMs = kLargeReplyWaitMs;
        aLinkDebug_Trace(kDebugLink, "receiveUEI - Expanding timeout for large payload: %lu\n",
                         static_cast<unsigned long>(record->v.bytes.capacity));
    }
    return awaitReply(m_impl, *this, module, record, filter, reference, waitMs);
}

aErr Link::awaitUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    unsigned long waitMs)
{
    UEIMatch match{module, command, option, index};
    return awaitReply(m_impl, *this, module, record, matchesUEI, &match, waitMs);
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index)
{
    if (m_impl == nullptr || m_impl->m_stem == 0)
        return aErrConnection;
    UEIMatch match{module, command, option, index};
    aLink_DrainPackets(m_impl->m_stem, matchesUEI, &match);
    return aErrNone;
}

}  // namespace Tessaluma
}  // namespace Tarvelin
