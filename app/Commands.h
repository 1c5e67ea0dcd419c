// The commands a command line asks for, kept as one word of bits.
#pragma once

#include <cstdint>

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x00000001,
    CMD_UPDATE = 0x00000002,
    CMD_LIST_BUILDS = 0x00000004,
    CMD_GET_BUILD = 0x00000008,
    CMD_DEVICE_INFO = 0x00000010,
    CMD_CHECK_BIRD = 0x00000020,
    CMD_FINGERPRINT = 0x00000040,
    CMD_RESERVED_Z = 0x00000080,
    CMD_GET_JWT = 0x00000100,
    CMD_LIST_LOCAL_BUILDS = 0x00000200,
    CMD_HELP = 0x80000000,
};

// Every bit that counts as "a command was given"; help is deliberately not one.
constexpr uint32_t CMD_ANY_COMMAND_MASK = 0x000307FF;

class CommandsClass {
public:
    // ORs the command's bit into the set.
    void Set(COMMANDS command) { bits |= command; }
    // True when any bit of the argument is in the set.
    bool IsSet(uint32_t mask) const { return (bits & mask) != 0; }
    uint32_t Bits() const { return bits; }

private:
    uint32_t bits = 0;
};
