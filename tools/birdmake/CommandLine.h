// What the birdmake command line asks for, before any file is read.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdmake {

// One block option; they are kept in command-line order, which is the file's block order.
struct BlockSpec {
    enum Kind { kLoaderFile, kFirmwareFile, kFirmwareRandom, kRawFile, kInfo, kSerialOffsets, kStart };
    Kind kind = kInfo;
    uint32_t address = 0;   // load address, start address, or the serial address
    uint32_t second = 0;    // descriptor address; type/flags byte for kRawFile
    uint32_t size = 0;      // kFirmwareRandom
    uint64_t seed = 1;      // kFirmwareRandom
    std::string path;       // data file
    std::array<std::string, 4> info;  // build, version, serial, model
};

struct Identity {
    uint32_t build = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint8_t patch = 0;
};

struct CommandLine {
    bool help = false;
    std::string output;
    std::vector<BlockSpec> blocks;
    std::optional<std::array<uint32_t, 4>> encode;
    std::optional<Identity> identity;
    uint16_t formatVersion = 0x0101;
    std::optional<uint32_t> declaredCount;
    std::optional<uint32_t> checksum;
    int compressionLevel = -1;
    bool placeholders = false;
    bool vectorChecksum = false;
};

// False with a message naming the offending option when the arguments (argv[1..]) are unusable.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// Numbers as the options take them: 0x-prefixed hexadecimal or plain decimal, nothing else.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value);

const char* UsageText();

}  // namespace birdmake
