// A Link holds one link of the link engine and offers the request/reply
// exchanges the rest of the program uses: raw command packets, UEI get/set
// messages, the module's address, store slots, factory data and the packet
// log; and, for samples a module pushes on its own, a stream cache with
// callbacks run on a worker thread. Every operation returns an aErr; nothing
// throws. Request/reply exchanges to one module go from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "LinkTypes.h"
#include "aError.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "aPacket.h"

namespace Tarvelin {
namespace Tessaluma {

class Link {
public:
    struct impl;

    // The stored sample value of one concrete stream key.
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };

    // Type byte of a stream packet.
    enum STREAM_PACKET : uint8_t {
        STREAM_PACKET_INVALID = 0,
        STREAM_PACKET_U8 = 1,
        STREAM_PACKET_U16 = 2,
        STREAM_PACKET_U32 = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUBINDEX_U8 = 5,
        STREAM_PACKET_SUBINDEX_U16 = 6,
        STREAM_PACKET_SUBINDEX_U32 = 7,
    };

    // Elements of a stream key, for getStreamKeyElement.
    enum StreamKeyElement : uint8_t {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4,
    };
    // The element value that stands for any value in a registration.
    static constexpr uint8_t STREAM_ANY = 0xFF;
    static constexpr unsigned STREAM_WILDCARD_MASKS = 15;

    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Opening and closing.
    aErr discoverAndConnect(linkType type, uint32_t serial, uint8_t model = 0);
    aErr connect();
    aErr connectThroughLinkModule(Link& other);
    bool isConnected();
    int getStatus();
    aErr disconnect();
    aErr reset();
    // How often the links this object held lost their transport, counting
    // every close: grows when the module restarts, however fast it is back.
    // aErrConnection while no link is open.
    aErr getLinkDrops(uint64_t* drops);

    aErr getModuleAddress(uint8_t* address);
    aErr getLinkSpecifier(linkSpec* spec);
    aErr setLinkSpecifier(const linkSpec& spec);
    aErr getConfig(aEtherConfig* config);
    aErr setConfig(const aEtherConfig& config);
    const char* getName() const;

    // Raw command packets: data = command, then length bytes (at most 27).
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Awaits (1000 ms) the first packet whose first *length data bytes equal
    // match; *length then holds its data length and out (28 bytes) its data.
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* out);

    // UEI requests; a byte-array record goes out as a series of packets.
    aErr sendUEI(const uei& request);
    aErr sendUEI(const uei& request, uint8_t subindex);
    // Awaits the reply to (module, command, option byte, index) and fills record.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    // The same with the caller's filter deciding which packet is the reply.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    aLinkPacketFilter filter, void* reference);
    // As receiveUEI, with the caller's wait (ms) instead of the standard one.
    aErr awaitUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                  unsigned long waitMs);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // Awaits (waitMs) the first packet the caller's filter accepts as the
    // answer of the module at address; *length and out (28 bytes) as for
    // receivePacket.
    aErr awaitPacket(uint8_t address, aLinkPacketFilter filter, void* reference, unsigned long waitMs,
                     uint8_t* length, uint8_t* out);
    // Drops every queued packet the filter accepts: answers left over from a
    // request that timed out, before the next request goes.
    aErr dropMatchingPackets(aLinkPacketFilter filter, void* reference);

    // Store slots.
    aErr loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    aErr unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t length,
                         size_t* count);
    aErr storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size);
    aErr storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity);

    // Factory data.
    aErr getFactoryData(uint8_t address, uint8_t index, uint8_t* buffer, size_t length, size_t* count);
    aErr setFactoryData(uint8_t address, uint8_t index, const uint8_t* data, size_t length);

    aErr enablePooledPackets(bool enable);
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Streams: registration, cache and classification.
    aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                streamCallback callback, void* context);
    aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    aErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);
    aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry* entries, size_t capacity, size_t* count);
    // Keys of every entry matching the filter (STREAM_ANY matches anything);
    // takes the stream lock when asked (the caller holds it otherwise).
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                 uint8_t index, uint8_t subindex, bool lock);

    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, StreamKeyElement element);
    // Wildcard mask n (0..14): STREAM_ANY in each element of the combination n + 1.
    static uint64_t streamWildcardMask(unsigned n);
    static bool isStreamPacket(const aPacket* packet);
    static bool isStreamSample(const aPacket* packet);
    static STREAM_PACKET getStreamPacketType(const aPacket* packet);
    static bool isSubindexType(STREAM_PACKET type);
    static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                                uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

    // The engine link this object holds (0 = none), for the object layer itself.
    int32_t stem() const;

private:
    impl* m_impl;
};

}  // namespace Tessaluma
}  // namespace Tarvelin
