// I2C transfers: one request packet and one reply whose status byte says
// whether the bus transfer worked (bit 7 set: failed, low bits the code).
#include "I2CClass.h"

#include <cstring>

namespace Tarvelin {
namespace Tessaluma {

namespace {

constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kReadBit = 1;
constexpr uint8_t kPullup = 1;
constexpr uint8_t kStatusFailed = 0x80;
constexpr unsigned long kReplyWaitMs = 1000;

}  // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, kCmdI2C, index);
}

aErr I2CClass::setSpeed(uint8_t speed)
{
    if (speed > kMaxSpeed)
        return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed)
{
    if (speed == nullptr)
        return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

// Sends the request after the class code and awaits this module's reply that
// starts with match (class code, bus index and the bus address or
// sub-command it answers); a late reply to an earlier transfer is dropped
// before this one goes. A reply too short to hold a status is a packet error.
aErr I2CClass::transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                        uint8_t* reply, uint8_t* replyLength)
{
    Module* target = module();
    if (target == nullptr || target->getLink() == nullptr)
        return aErrResource;
    Link::ReplyPrefix prefix{target->getModuleAddress(), match, matchLength};
    aErr err = target->getLink()->exchangePacket(prefix.module, kCmdI2C, length, request, Link::isReplyWithPrefix,
                                                 &prefix, kReplyWaitMs, replyLength, reply);
    if (err != aErrNone)
        return err;
    return *replyLength <= 4 ? aErrPacket : aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > kMaxTransfer)
        return aErrSize;
    if (buffer == nullptr && length > 0)
        return aErrParam;
    const uint8_t request[] = {getIndex(), uint8_t(address | kReadBit), length, m_speed};
    const uint8_t match[] = {kCmdI2C, getIndex(), uint8_t(address | kReadBit)};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = transfer(request, sizeof request, match, sizeof match, reply, &replyLength);
    if (err != aErrNone)
        return err;
    if (reply[4] & kStatusFailed)
        return aErr(reply[4] & ~kStatusFailed);
    uint8_t count = reply[3];
    if (count > length)
        count = length;
    if (count > replyLength - 5)
        count = uint8_t(replyLength - 5);
    if (count > 0)
        std::memcpy(buffer, reply + 5, count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > kMaxTransfer)
        return aErrSize;
    if (data == nullptr && length > 0)
        return aErrParam;
    uint8_t request[4 + kMaxTransfer] = {getIndex(), address, length, m_speed};
    if (length > 0)
        std::memcpy(request + 4, data, length);
    const uint8_t match[] = {kCmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = transfer(request, uint8_t(4 + length), match, sizeof match, reply, &replyLength);
    if (err != aErrNone)
        return err;
    return (reply[4] & kStatusFailed) ? aErr(reply[4] & ~kStatusFailed) : aErrNone;
}

aErr I2CClass::setPullup(bool enable)
{
    const uint8_t request[] = {getIndex(), kPullup, uint8_t(enable ? 1 : 0)};
    const uint8_t match[] = {kCmdI2C, getIndex(), kPullup};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = transfer(request, sizeof request, match, sizeof match, reply, &replyLength);
    if (err != aErrNone)
        return err;
    return (reply[4] & kStatusFailed) ? aErr(reply[4] & ~kStatusFailed) : aErrNone;
}

}  // namespace Tessaluma
}  // namespace Tarvelin
