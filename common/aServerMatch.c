/* Which client packets may reach the module, and which module packet answers
 * which request. */
#include "aServerInternal.h"

#include "aUEI.h"

aPacket* aServer_PacketFromFrame(const uint8_t* frame, size_t size)
{
    if (frame == NULL || size < aSERVER_FRAME_MIN || size > aSERVER_FRAME_MAX ||
        (size_t)frame[1] + 2 != size)
        return NULL;
    return aPacket_CreateWithData(frame[0], frame[1], frame + 2);
}

/* Force route would switch the module's routing for every client at once,
 * whatever its length; other odd addresses reach no module (the module would
 * count a framing error); a heartbeat answer from a client would confuse the
 * module's watch over the server's own link. */
bool aServer_Refused(const aPacket* packet)
{
    uint8_t address = 0, length = 0;
    if (packet == NULL || aPacket_GetAddress(packet, &address) != aErrNone ||
        aPacket_GetLength(packet, &length) != aErrNone)
        return true;
    if (address == aPACKET_ADDRESS_FORCE_ROUTE) {
        aSERVER_TRACE("Blocking cmdFORCEROUTE from remote client\n");
        return true;
    }
    if (address == aPACKET_ADDRESS_SYNC)
        return length != 0;
    if (address == 0 || (address & 1) != 0)
        return true;
    return length > 0 && aPacket_GetData(packet)[0] == aPACKET_CMD_HEARTBEAT;
}

/* The middle of a byte-array series: a full UEI packet, continue bit set. */
static bool sContinues(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
           aUEI_getBytesContinue(packet) != 0;
}

/* A set is answered with both request bits, a get with neither. */
static uint8_t sAnswerBits(uint8_t option)
{
    return (option & aUEI_OPTION_SET) ? (aUEI_OPTION_GET | aUEI_OPTION_SET) : 0;
}

aServerKey aServer_RequestKey(const aPacket* last)
{
    aServerKey key = {aSERVER_KEY_NONE, 0, 0, 0, 0};
    uint8_t address = 0, length = 0;
    if (last == NULL || aPacket_GetAddress(last, &address) != aErrNone ||
        aPacket_GetLength(last, &length) != aErrNone)
        return key;
    const uint8_t* data = aPacket_GetData(last);
    key.address = address;
    if (address == aPACKET_ADDRESS_SYNC) {
        key.kind = aSERVER_KEY_SYNC;
    } else if (length == 0 || sContinues(last)) {
        key.kind = aSERVER_KEY_NONE;
    } else if (length >= 3 && aUEI_isUEIPayload(last)) {
        key.kind = aSERVER_KEY_UEI;
        key.command = data[aUEI_CMD];
        key.option = (uint8_t)((data[aUEI_OPTION] & aUEI_OPTION_MASK) | sAnswerBits(data[aUEI_OPTION]));
        key.index = data[aUEI_INDEX] & aUEI_INDEX_MASK;
    } else {
        key.kind = aSERVER_KEY_COMMAND;
        key.command = data[0];
    }
    return key;
}

bool aServer_Answers(const aServerKey* key, const aPacket* answer)
{
    uint8_t address = 0, length = 0;
    if (key == NULL || answer == NULL || aPacket_GetAddress(answer, &address) != aErrNone ||
        aPacket_GetLength(answer, &length) != aErrNone)
        return false;
    const uint8_t* data = aPacket_GetData(answer);
    switch (key->kind) {
    case aSERVER_KEY_SYNC:
        return length == 0;
    case aSERVER_KEY_UEI:
        return address == key->address && length >= 3 && aUEI_isUEIPayload(answer) &&
               data[aUEI_CMD] == key->command &&
               (data[aUEI_OPTION] & (aUEI_OPTION_MASK | aUEI_OPTION_GET | aUEI_OPTION_SET)) ==
                   key->option &&
               (data[aUEI_INDEX] & (aUEI_INDEX_MASK | aUEI_INDEX_STREAM)) == key->index;
    case aSERVER_KEY_COMMAND:
        return address == key->address && length >= 1 && data[0] == key->command;
    default:
        return false;
    }
}

bool aServer_AnswerContinues(const aPacket* answer)
{
    return sContinues(answer);
}
