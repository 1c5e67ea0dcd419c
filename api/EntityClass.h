// One addressable function block of a module: an entity class code (the UEI
// command byte) and an entity index. A get or set of one option becomes one
// UEI request and one awaited reply over the module's Link; gets are served
// from the link's stream cache when the module streams the value. Used by one
// thread at a time. Every operation returns an aErr.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Link.h"
#include "Module.h"

namespace Tarvelin {
namespace Tessaluma {

class EntityClass {
public:
    struct impl;

    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // The out value is written on success and on aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // Reads a byte-array value into buffer; code 1 (aErrMemory) when it does not fit.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of units; code 1 when it is not a whole number of them.
    static aErr getUEIBytesCheck(size_t* count, size_t unit);

    // Waits, without sending, for the next reply to option (limitMs 0 = the
    // standard 1000 ms).
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, unsigned long limitMs);
    aErr drainUEI(uint8_t option);

    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, streamCallback callback, void* context);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* filled);

    aErr saveEntityToStore();
    aErr loadEntityFromStore();
    aErr resetEntityToFactoryDefaults();

    // Raw command packets to this entity's module.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* out);

protected:
    Module* module() const;
    uint8_t command() const;

private:
    aErr entityStore(uint8_t option);
    // *cached (when given) tells whether the stream cache answered.
    aErr typedGet(uint8_t option, const uint8_t* subindex, uei* record, bool* cached = nullptr);
    aErr typedSet(uint8_t option, const uint8_t* subindex, uei* record);
    template <typename T>
    aErr typedGetValue(uint8_t option, const uint8_t* subindex, T* value);
    template <typename T>
    aErr typedSetValue(uint8_t option, const uint8_t* subindex, T value);

    impl* m_impl;
};

}  // namespace Tessaluma
}  // namespace Tarvelin
