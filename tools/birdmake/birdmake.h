// Builds BIRD firmware files for emulators, tests and demos.
//
// This is written from the file layout alone and deliberately shares no code with the
// product's reader, so that a misreading on either side shows up as a failing test.
// Everything here is in-memory and deterministic: the same inputs give the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdmake {

// Block types as they appear in the low five bits of a block's first byte.
enum BlockType : uint8_t {
    kLoader = 0,
    kFirmware = 1,
    kSerialOffsets = 2,
    kInfo = 4,
    kStartAddress = 5,
};

constexpr uint8_t kTypeMask = 0x1F;
constexpr uint8_t kFlagShift = 5;
constexpr uint16_t kFormatVersion = 0x0101;
constexpr size_t kInfoFieldSize = 16;
// What a generic image holds where the serial number goes, until the updater replaces it.
constexpr uint32_t kPlaceholderSerial = 0x00000000;
constexpr const char* kPlaceholderSerialText = "00000000";

// One block exactly as it lands in the file. For loader and firmware blocks the payload
// starts with the 4-byte big-endian load address; the builders below take care of that.
// type is 0..31 and flags 0..7; BlockArea() rejects anything wider rather than mangle it.
struct Block {
    uint8_t type;
    uint8_t flags;
    std::vector<uint8_t> payload;
};

Block LoaderBlock(uint32_t address, std::vector<uint8_t> data, uint8_t flags = 0);
Block FirmwareBlock(uint32_t address, std::vector<uint8_t> data, uint8_t flags = 0);
// Four 16-byte text fields, each cut to 16 and padded with spaces; no NUL terminators.
Block InfoBlock(const std::string& build, const std::string& version, const std::string& serialHex,
                const std::string& model);
Block SerialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);
Block StartAddressBlock(uint32_t entry);
// Any type/flags byte with any payload, for blocks the reader must merely keep or survive.
Block RawBlock(uint8_t typeAndFlagsByte, std::vector<uint8_t> payload);

// For loader and firmware blocks: the load address and the data after the address word.
// Returns false for other types or a payload shorter than the address word.
bool SplitAddressed(const Block& block, uint32_t* address, std::vector<uint8_t>* data);

struct Image {
    std::vector<Block> blocks;
    uint16_t formatVersion = kFormatVersion;
    // Written instead of blocks.size(), to make files whose count does not add up.
    std::optional<uint32_t> declaredCount;
    // Written instead of ByteSum() of everything in the block area before the checksum.
    std::optional<uint32_t> checksum;
    // zlib level for compress2: -1 is zlib's default, 0 stores without compressing.
    int compressionLevel = -1;
};

// 32-bit wrap-around sum of all bytes: the default trailing checksum.
uint32_t ByteSum(const std::vector<uint8_t>& bytes);

// The decompressed content: count, blocks, checksum.
// Throws std::invalid_argument for a type above 31 or flags above 7, std::length_error for
// a payload or block count that does not fit the 32-bit fields.
std::vector<uint8_t> BlockArea(const Image& image);

// "bird", the format version big-endian, then one zlib stream of the given bytes.
// Lets tests wrap a hand-made (or deliberately broken) block area.
// Throws std::runtime_error when zlib fails.
std::vector<uint8_t> WrapBlockArea(const std::vector<uint8_t>& area, uint16_t formatVersion = kFormatVersion,
                                   int compressionLevel = -1);

// The whole file: WrapBlockArea(BlockArea(image), ...). Throws as those do.
std::vector<uint8_t> MakeFile(const Image& image);

// Writes MakeFile(image) to path. Never throws: any failure is returned with a reason.
bool WriteFile(const std::string& path, const Image& image, std::string* error);

// Applies the per-chip encoding to every firmware block, so that the updater's decoding
// with the same four chip-identifier words gives back the data as it was. The key stream
// is the four words most significant byte first; each block chains on its own plain
// bytes from zero; address words and all other blocks are left alone.
void EncodeFirmwareBlocks(Image& image, const std::array<uint32_t, 4>& chipId);

// Deterministic pseudo-random bytes; the same seed always gives the same stream, and a
// shorter stream is a prefix of a longer one.
std::vector<uint8_t> RandomData(size_t size, uint64_t seed);

// Puts a generic image's placeholders into the firmware blocks: kPlaceholderSerial as a
// little-endian word at serialAddress, and at descriptorAddress the text "00000000" as
// UTF-16LE preceded by the two-byte USB string descriptor header (length 18, type 3)
// where that header fits in the same block. An address of 0 means none; a placeholder
// no firmware block covers completely is left out and the call returns false.
bool WritePlaceholders(Image& image, uint32_t serialAddress, uint32_t descriptorAddress);

// Makes the first firmware block loaded at address 0 carry a valid vector-table check
// word: w7 = -(w0 + w1 + w2 + w3 + w4 + w6), words little-endian. False when there is
// no such block or it holds fewer than 32 data bytes.
bool FixVectorChecksum(Image& image);

// The identity record: 16 bytes that tell a simulated module which build and version a
// firmware image holds, so that after a reboot it reports them as real firmware would.
//   0-3   magic "FWID" (0x46 0x57 0x49 0x44)
//   4-7   build, big-endian
//   8-10  version major, minor, patch; 11 zero
//   12-15 32-bit sum of bytes 0-11, big-endian
constexpr uint32_t kIdentityMagic = 0x46574944;
constexpr size_t kIdentityRecordSize = 16;

std::vector<uint8_t> IdentityRecord(uint32_t build, uint8_t major, uint8_t minor, uint8_t patch);

// Writes the identity record over the first bytes of the first firmware block's data.
// False when there is no firmware block or it holds fewer than 16 data bytes.
bool WriteIdentity(Image& image, uint32_t build, uint8_t major, uint8_t minor, uint8_t patch);

// "X.Y.Z", each part 0..255; false for anything else.
bool ParseVersion(const std::string& text, uint8_t* major, uint8_t* minor, uint8_t* patch);

struct SampleOptions {
    uint32_t loaderAddress = 0x10000000;
    size_t loaderSize = 1024;
    // Firmware data is one pseudo-random stream of blocks * blockSize bytes, split into
    // consecutive blocks starting at firmwareAddress.
    uint32_t firmwareAddress = 0x00000000;
    size_t firmwareBlocks = 1;
    size_t firmwareBlockSize = 64 * 1024;
    uint64_t seed = 1;

    std::string build = "1000";
    std::string version = "1.0.0";
    std::string serialHex = "00000000";
    std::string model = "MODEL-A";

    // A generic image: a serial-offsets block and placeholders at these offsets, counted
    // from firmwareAddress (the block itself holds the absolute addresses).
    bool generic = false;
    uint32_t serialOffset = 0x100;
    uint32_t descriptorOffset = 0x120;

    std::optional<uint32_t> startAddress;
    // Give a firmware image at address 0 a valid vector-table check word.
    bool vectorChecksum = false;
    // Put an identity record of build and version (which must then be a decimal number
    // and X.Y.Z, else std::invalid_argument) at the start of the first firmware block.
    bool identity = false;
};

// Loader block, firmware blocks, info block, then the optional serial-offsets and
// start-address blocks, in that order. Edits: identity, placeholders, vector check word.
Image SampleImage(const SampleOptions& options = {});

// The data of all firmware blocks, concatenated in file order (address words left out):
// for a sample image, what a module should end up holding before serial replacement.
std::vector<uint8_t> FirmwareData(const Image& image);

}  // namespace birdmake
