// The I2C bus entity (class 8) of a module, reached with raw command packets:
// reads and writes of up to 23 bytes to a bus address, the pull-ups, and the
// bus speed that every transfer carries.
#pragma once

#include <cstdint>

#include "EntityClass.h"

namespace Tarvelin {
namespace Tessaluma {

class I2CClass : public EntityClass {
public:
    static constexpr uint8_t kMaxTransfer = 23;
    static constexpr uint8_t kMaxSpeed = 3;

    void init(Module* module, uint8_t index);

    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool enable);
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed);

private:
    aErr transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                  uint8_t* reply, uint8_t* replyLength);

    uint8_t m_speed = 0;
};

}  // namespace Tessaluma
}  // namespace Tarvelin
