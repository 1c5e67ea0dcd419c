// Store slots and factory data: the two byte-area protocols of a module, each
// a run of small request/reply packets over the Link's raw exchange.
#include "LinkImpl.h"

#include <algorithm>
#include <cstring>

#include "aUEI.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kCmdSlot = 4;
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kSlotError = 0x80;
constexpr size_t kSlotChunk = 25;

constexpr uint8_t kCmdFactory = 94;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactorySet = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryError = 0x80;
constexpr size_t kFactoryChunk = 26;

struct Reply {
    uint8_t length = 0;
    uint8_t data[aPACKET_MAX_DATA] = {};
};

// Every reply comes from the module asked: the modules behind a router share
// its link, and each answers the same protocols.
bool fromModule(const aPacket* packet, uint8_t module)
{
    uint8_t address = 0;
    aPacket_GetAddress(packet, &address);
    return address == module;
}

// A slot reply: its module, its sub-command (with or without the error bit)
// and the store and slot (sub-commands 1-4) or the handle (5-8) it echoes.
struct SlotMatch {
    uint8_t module;
    uint8_t sub;
    uint8_t first;
    uint8_t second;
};

bool matchesSlot(const aPacket* packet, void* reference)
{
    const auto* m = static_cast<const SlotMatch*>(reference);
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    const uint8_t* d = aPacket_GetData(packet);
    if (!fromModule(packet, m->module) || length < 3 || d[0] != kCmdSlot || (d[1] & ~kSlotError) != m->sub ||
        d[2] != m->first)
        return false;
    return m->sub > kSlotOpenWrite || (length >= 4 && d[3] == m->second);
}

// A factory reply: its module, command 94 and the low four bits of the
// request's byte 1.
struct FactoryMatch {
    uint8_t module;
    uint8_t code;
};

bool matchesFactory(const aPacket* packet, void* reference)
{
    const auto* m = static_cast<const FactoryMatch*>(reference);
    uint8_t length = 0;
    aPacket_GetLength(packet, &length);
    const uint8_t* d = aPacket_GetData(packet);
    return fromModule(packet, m->module) && length >= 2 && d[0] == kCmdFactory &&
           (d[1] & ~kFactoryError) == m->code;
}

// Sends data (after the command byte) and awaits the reply the filter picks;
// a reply the filter would pick that is queued already answered an earlier
// request, and goes first.
aErr exchange(Link& link, uint8_t address, uint8_t command, const uint8_t* data, uint8_t length,
              aLinkPacketFilter filter, void* reference, unsigned long waitMs, Reply* reply)
{
    link.dropMatchingPackets(filter, reference);
    aErr err = link.sendPacket(address, command, length, data);
    if (err != aErrNone)
        return err;
    return link.awaitPacket(address, filter, reference, waitMs, &reply->length, reply->data);
}

// One slot exchange; an error reply yields the module's code, found after
// the fields the reply echoes.
aErr slotExchange(Link& link, uint8_t address, const uint8_t* request, uint8_t length, unsigned long waitMs,
                  Reply* reply)
{
    SlotMatch match{address, request[0], request[1], length > 2 ? request[2] : uint8_t(0)};
    aErr err = exchange(link, address, kCmdSlot, request, length, matchesSlot, &match, waitMs, reply);
    if (err != aErrNone)
        return err;
    if (reply->data[1] & kSlotError) {
        const uint8_t at = request[0] > kSlotOpenWrite ? 3 : 4;
        return reply->length > at ? aErr(reply->data[at]) : aErrUnknown;
    }
    return aErrNone;
}

aErr slotQuery(Link& link, uint8_t address, uint8_t sub, uint8_t store, uint8_t slot, size_t* value)
{
    if (value == nullptr)
        return aErrParam;
    const uint8_t request[] = {sub, store, slot};
    Reply reply;
    aErr err = slotExchange(link, address, request, sizeof request, kReplyWaitMs, &reply);
    if (err != aErrNone)
        return err;
    if (reply.length != 6)
        return aErrUnknown;
    *value = aUEI_RetrieveShort(reply.data + 4);
    return aErrNone;
}

aErr slotOpen(Link& link, uint8_t address, uint8_t mode, uint8_t store, uint8_t slot, uint8_t* handle)
{
    const uint8_t request[] = {mode, store, slot};
    Reply reply;
    aErr err = slotExchange(link, address, request, sizeof request, kSlotOpenWaitMs, &reply);
    if (err != aErrNone || reply.length < 5)
        return aErrMedia;
    *handle = reply.data[4];
    return aErrNone;
}

// The status the module reports for the close; a reply of another shape is
// an I/O error.
aErr slotClose(Link& link, uint8_t address, uint8_t handle)
{
    const uint8_t request[] = {kSlotClose, handle};
    Reply reply;
    aErr err = slotExchange(link, address, request, sizeof request, kReplyWaitMs, &reply);
    if (err != aErrNone)
        return err;
    if (reply.length != 4)
        return aErrIO;
    return aErr(reply.data[3]);
}

// One factory-data exchange. An error bit yields the module's code.
aErr factoryExchange(Link& link, uint8_t address, const uint8_t* request, uint8_t length, Reply* reply)
{
    FactoryMatch match{address, uint8_t(request[0] & 0x0F)};
    aErr err = exchange(link, address, kCmdFactory, request, length, matchesFactory, &match, kReplyWaitMs, reply);
    if (err != aErrNone)
        return err;
    if (reply->data[1] & kFactoryError)
        return reply->length > 2 ? aErr(reply->data[2]) : aErrUnknown;
    return aErrNone;
}

// The closing packet of both directions: the total byte count.
aErr factoryEnd(Link& link, uint8_t address, size_t total)
{
    uint8_t request[3] = {kFactoryEnd, 0, 0};
    aUEI_StoreShort(request + 1, uint16_t(total));
    Reply reply;
    return factoryExchange(link, address, request, sizeof request, &reply);
}

}  // namespace

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size)
{
    return slotQuery(*this, address, kSlotSize, store, slot, size);
}

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity)
{
    return slotQuery(*this, address, kSlotCapacity, store, slot, capacity);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length)
{
    if (data == nullptr && length > 0)
        return aErrParam;
    uint8_t handle = 0;
    aErr err = slotOpen(*this, address, kSlotOpenWrite, store, slot, &handle);
    if (err != aErrNone)
        return err;
    for (size_t done = 0; done < length && err == aErrNone;) {
        const size_t chunk = std::min(kSlotChunk, length - done);
        uint8_t request[2 + kSlotChunk] = {kSlotWrite, handle};
        std::memcpy(request + 2, data + done, chunk);
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; ++i)
            sum = uint8_t(sum + data[done + i]);
        Reply reply;
        err = slotExchange(*this, address, request, uint8_t(2 + chunk), kReplyWaitMs, &reply);
        if (err == aErrNone && (reply.length != 4 || reply.data[3] != sum))
            err = aErrIO;
        done += chunk;
    }
    aErr closeErr = slotClose(*this, address, handle);
    return err != aErrNone ? err : closeErr;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length,
                           size_t* count)
{
    if (buffer == nullptr || count == nullptr)
        return aErrParam;
    size_t size = 0;
    aErr err = storeSlotSize(address, store, slot, &size);
    if (err != aErrNone)
        return err;
    uint8_t handle = 0;
    err = slotOpen(*this, address, kSlotOpenRead, store, slot, &handle);
    if (err != aErrNone)
        return err;
    const size_t wanted = std::min(length, size);
    size_t done = 0;
    while (done < wanted && err == aErrNone) {
        const uint8_t request[] = {kSlotRead, handle};
        Reply reply;
        err = slotExchange(*this, address, request, sizeof request, kReplyWaitMs, &reply);
        if (err == aErrNone && reply.length <= 3)
            err = aErrUnknown;
        if (err == aErrNone) {
            const size_t chunk = std::min(size_t(reply.length - 3), wanted - done);
            std::memcpy(buffer + done, reply.data + 3, chunk);
            done += chunk;
        }
    }
    aErr closeErr = slotClose(*this, address, handle);
    if (err == aErrNone)
        err = closeErr;
    if (err != aErrNone)
        return err;
    *count = done;
    return length < size ? aErrOverrun : aErrNone;
}

aErr Link::setFactoryData(uint8_t address, uint8_t index, const uint8_t* data, size_t length)
{
    if (data == nullptr && length > 0)
        return aErrParam;
    size_t done = 0;
    do {
        const size_t chunk = std::min(kFactoryChunk, length - done);
        uint8_t request[1 + kFactoryChunk];
        request[0] = uint8_t((index & 0x0F) | kFactorySet | (done == 0 ? kFactoryFirst : 0));
        if (chunk > 0)
            std::memcpy(request + 1, data + done, chunk);
        Reply reply;
        aErr err = factoryExchange(*this, address, request, uint8_t(1 + chunk), &reply);
        if (err != aErrNone)
            return err;
        if (reply.length != 2)
            return aErrSize;
        done += chunk;
    } while (done < length);
    return factoryEnd(*this, address, done);
}

aErr Link::getFactoryData(uint8_t address, uint8_t index, uint8_t* buffer, size_t length, size_t* count)
{
    if (buffer == nullptr || count == nullptr)
        return aErrParam;
    size_t done = 0;
    for (bool first = true;; first = false) {
        const uint8_t request[] = {uint8_t((index & 0x0F) | (first ? kFactoryFirst : 0))};
        Reply reply;
        aErr err = factoryExchange(*this, address, request, sizeof request, &reply);
        if (err != aErrNone)
            return err;
        if (reply.length < 2)
            return aErrUnknown;
        const size_t chunk = size_t(reply.length - 2);
        if (chunk > length - done)
            return aErrOverrun;
        std::memcpy(buffer + done, reply.data + 2, chunk);
        done += chunk;
        if (reply.length != aPACKET_MAX_DATA)
            break;
    }
    *count = done;
    return factoryEnd(*this, address, done);
}

}  // namespace Tessaluma
}  // namespace Tarvelin
