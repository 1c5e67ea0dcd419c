// Typed gets and sets of one entity's options, byte-array values, the
// entity store commands and the stream forwards.
#include "EntityClass.h"

#include <new>

#include "aUEI.h"

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kCmdEntityStore = 92;
constexpr uint8_t kStoreSave = 0;
constexpr uint8_t kStoreFactoryReset = 1;
constexpr uint8_t kStoreLoad = 2;
constexpr size_t kLargeArray = 1000;
constexpr unsigned long kStandardWaitMs = 1000;
constexpr unsigned long kLargeWaitMs = 4000;

// A byte-array reply packet of the series: the entity's address, class,
// plain option and index, and either an error or the sequence expected next.
struct SeriesMatch {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t index;
    const uei* record;
};

bool matchesSeries(const aPacket* packet, void* reference)
{
    const auto* m = static_cast<const SeriesMatch*>(reference);
    uint8_t address = 0, length = 0;
    aPacket_GetAddress(packet, &address);
    aPacket_GetLength(packet, &length);
    const uint8_t* d = aPacket_GetData(packet);
    if (address != m->module || length < 3 || d[aUEI_CMD] != m->command || d[aUEI_OPTION] != m->option ||
        (d[aUEI_INDEX] & aUEI_INDEX_STREAM) || (d[aUEI_INDEX] & aUEI_INDEX_MASK) != m->index)
        return false;
    if (d[aUEI_INDEX] & aUEI_INDEX_ERROR)
        return true;
    return length >= 4 && aUEI_getBytesSequence(packet) == m->record->v.bytes.sequence;
}

aErr replyCode(const uei& reply)
{
    return (reply.specifier & aUEI_INDEX_ERROR) ? aErr(reply.v.byteVal) : aErrNone;
}

}  // namespace

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new (std::nothrow) impl{this}) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    if (m_impl == nullptr)
        return;
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl ? m_impl->index : 0;
}

Module* EntityClass::module() const
{
    return m_impl ? m_impl->module : nullptr;
}

uint8_t EntityClass::command() const
{
    return m_impl ? m_impl->command : 0;
}

// The stream cache answers first: a value the module streams needs no
// traffic (fresh: success; read before: aErrStreamStale).
aErr EntityClass::typedGet(uint8_t option, const uint8_t* subindex, uei* record, bool* cached)
{
    if (cached != nullptr)
        *cached = false;
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    if (record == nullptr)
        return aErrParam;
    Link& link = *m->getLink();
    const uint8_t address = m->getModuleAddress();
    uint32_t value = 0;
    aErr err = link.getStreamValue(address, m_impl->command, option, m_impl->index, subindex ? *subindex : 0, &value);
    if (err == aErrNone || err == aErrStreamStale) {
        record->type = type_INT;
        record->v.intVal = value;
        if (cached != nullptr)
            *cached = true;
        return err;
    }
    record->module = address;
    record->command = m_impl->command;
    record->option = uint8_t(option | aUEI_OPTION_GET);
    record->specifier = uint8_t(m_impl->index | aUEI_INDEX_REQUEST);
    if (subindex != nullptr) {
        record->type = type_BYTE;
        record->v.byteVal = *subindex;
    }
    // What is queued now answered an earlier request that timed out.
    link.dropMatchingUEIPackets(address, m_impl->command, option, m_impl->index);
    err = link.sendUEI(*record);
    if (err != aErrNone)
        return err;
    err = link.receiveUEI(address, m_impl->command, option, m_impl->index, record);
    return err != aErrNone ? err : replyCode(*record);
}

aErr EntityClass::typedSet(uint8_t option, const uint8_t* subindex, uei* record)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    if (record == nullptr)
        return aErrParam;
    Link& link = *m->getLink();
    const uint8_t address = m->getModuleAddress();
    record->module = address;
    record->command = m_impl->command;
    record->option = uint8_t(option | aUEI_OPTION_SET);
    record->specifier = uint8_t(m_impl->index | aUEI_INDEX_REQUEST);
    const uint8_t replyOption = uint8_t(option | aUEI_OPTION_GET | aUEI_OPTION_SET);
    link.dropMatchingUEIPackets(address, m_impl->command, replyOption, m_impl->index);
    aErr err = subindex ? link.sendUEI(*record, *subindex) : link.sendUEI(*record);
    if (err != aErrNone)
        return err;
    const bool large = record->type == type_BYTES && record->v.bytes.capacity > kLargeArray;
    uei reply;
    err = link.awaitUEI(address, m_impl->command, replyOption, m_impl->index, &reply,
                        large ? kLargeWaitMs : kStandardWaitMs);
    return err != aErrNone ? err : replyCode(reply);
}

aErr EntityClass::getUEI(uint8_t option, uei* record)
{
    if (record == nullptr)
        return module() ? aErrParam : aErrResource;
    const uint8_t subindex = record->type == type_BYTE ? record->v.byteVal : 0;
    return typedGet(option, record->type == type_BYTE ? &subindex : nullptr, record);
}

aErr EntityClass::setUEI(uint8_t option, uei* record)
{
    return typedSet(option, nullptr, record);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    return typedSet(option, &subindex, record);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei record;
    return typedSet(option, nullptr, &record);
}

namespace {

// A record holding one value of the width of T.
template <typename T>
uei valueRecord(T value)
{
    uei record;
    if (sizeof(T) == 1) {
        record.type = type_BYTE;
        record.v.byteVal = uint8_t(value);
    } else if (sizeof(T) == 2) {
        record.type = type_SHORT;
        record.v.shortVal = uint16_t(value);
    } else {
        record.type = type_INT;
        record.v.intVal = uint32_t(value);
    }
    return record;
}

}  // namespace

template <typename T>
aErr EntityClass::typedSetValue(uint8_t option, const uint8_t* subindex, T value)
{
    uei record = valueRecord(value);
    return typedSet(option, subindex, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return typedSetValue(option, nullptr, value); }
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return typedSetValue(option, nullptr, value); }
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return typedSetValue(option, nullptr, value); }
aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    return typedSetValue(option, &subindex, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value)
{
    return typedSetValue(option, &subindex, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    return typedSetValue(option, &subindex, value);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    if (data == nullptr && length > 0)
        return module() ? aErrParam : aErrResource;
    uei record;
    record.type = type_BYTES;
    record.v.bytes = ueiBytes{const_cast<uint8_t*>(data), 0, 0, length, nullptr};
    return typedSet(option, nullptr, &record);
}

// The out value is written on success and on a stale cache read. A reply
// carrying a value of another width than asked for (or none) answered some
// other question: aErrSize, and the out value is left alone. Cached stream
// values come checked and widened already.
template <typename T>
aErr EntityClass::typedGetValue(uint8_t option, const uint8_t* subindex, T* value)
{
    if (value == nullptr)
        return module() ? aErrParam : aErrResource;
    uei record;
    bool cached = false;
    aErr err = typedGet(option, subindex, &record, &cached);
    if (err != aErrNone && err != aErrStreamStale)
        return err;
    if (cached) {
        *value = T(record.v.intVal);
        return err;
    }
    const ueiType width = sizeof(T) == 1 ? type_BYTE : sizeof(T) == 2 ? type_SHORT : type_INT;
    if (record.type != width)
        return aErrSize;
    if (width == type_BYTE)
        *value = T(record.v.byteVal);
    else if (width == type_SHORT)
        *value = T(record.v.shortVal);
    else
        *value = T(record.v.intVal);
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return typedGetValue(option, nullptr, value); }
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) { return typedGetValue(option, nullptr, value); }
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) { return typedGetValue(option, nullptr, value); }
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    return typedGetValue(option, &subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    return typedGetValue(option, &subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    return typedGetValue(option, &subindex, value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    if (buffer == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    *count = 0;
    Link& link = *m->getLink();
    const uint8_t address = m->getModuleAddress();
    uei request;
    request.module = address;
    request.command = m_impl->command;
    request.option = uint8_t(option | aUEI_OPTION_GET);
    request.specifier = uint8_t(m_impl->index | aUEI_INDEX_REQUEST);
    link.dropMatchingUEIPackets(address, m_impl->command, option, m_impl->index);
    aErr err = link.sendUEI(request);
    if (err != aErrNone)
        return err;
    uei reply;
    reply.type = type_BYTES;
    reply.v.bytes = ueiBytes{buffer, 0, 0, capacity, count};
    SeriesMatch match{address, m_impl->command, option, m_impl->index, &reply};
    do {
        err = link.receiveUEI(address, m_impl->command, option, m_impl->index, &reply, matchesSeries, &match);
        if (err == aErrNone && (reply.specifier & aUEI_INDEX_ERROR))
            return aErr(reply.v.byteVal);
        reply.v.bytes.sequence = uint8_t((reply.v.bytes.sequence + 1) & aUEI_BYTES_SEQUENCE_MASK);
    } while (err == aErrNone && reply.v.bytes.more);
    return err;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit)
{
    if (count == nullptr || unit == 0)
        return aErrParam;
    if (*count % unit != 0)
        return aErrMemory;
    *count /= unit;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, unsigned long limitMs)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    if (value == nullptr)
        return aErrParam;
    uei reply;
    aErr err = m->getLink()->awaitUEI(m->getModuleAddress(), m_impl->command, option, m_impl->index, &reply,
                                      limitMs ? limitMs : kStandardWaitMs);
    if (err == aErrNone)
        err = replyCode(reply);
    if (err == aErrNone)
        *value = reply.v.intVal;
    return err;
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->dropMatchingUEIPackets(m->getModuleAddress(), m_impl->command, option, m_impl->index);
}

aErr EntityClass::setStreamEnabled(bool enable)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->enableStream(m->getModuleAddress(), m_impl->command, Link::STREAM_ANY, m_impl->index,
                                      enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* context)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->registerStreamCallback(m->getModuleAddress(), m_impl->command, option, m_impl->index,
                                                enable, std::move(callback), context);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* filled)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->getStreamStatus(m->getModuleAddress(), m_impl->command, Link::STREAM_ANY, m_impl->index,
                                         Link::STREAM_ANY, entries, capacity, filled);
}

// The entity store is a second entity (class 92, index 0) of the same module,
// told which entity with (class << 8) | index.
aErr EntityClass::entityStore(uint8_t option)
{
    EntityClass store;
    store.init(module(), kCmdEntityStore, 0);
    return store.setUEI32(option, uint32_t(m_impl->command) << 8 | m_impl->index);
}

aErr EntityClass::saveEntityToStore()
{
    return entityStore(kStoreSave);
}

aErr EntityClass::loadEntityFromStore()
{
    return entityStore(kStoreLoad);
}

aErr EntityClass::resetEntityToFactoryDefaults()
{
    return entityStore(kStoreFactoryReset);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->sendPacket(m->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out)
{
    Module* m = module();
    if (m == nullptr || m->getLink() == nullptr)
        return aErrResource;
    return m->getLink()->receivePacket(m->getModuleAddress(), match, length, out);
}

}  // namespace Tessaluma
}  // namespace Tarvelin
