// A BIRD firmware image: loader and firmware blocks, an information block and
// optional serial-offset and start-address blocks, decompressed into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

// One parsed block. data points into the owning BirdFile's buffer (the
// address word included) and is valid while that BirdFile lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;
    uint32_t address = 0;
    uint8_t* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_START_ADDRESS = 5,
    };

    // Bounds that keep a hostile file from making the tool allocate without
    // limit; the largest real image is a few MiB. A file larger than
    // kMaxFileBytes, a block area that would decompress to more than
    // kMaxBlockAreaBytes, or one holding more than kMaxBlocks blocks is
    // refused before anything of that size is allocated.
    static constexpr size_t kMaxFileBytes = 32u * 1024 * 1024;
    static constexpr size_t kMaxBlockAreaBytes = 64u * 1024 * 1024;
    static constexpr size_t kMaxBlocks = 65536;

    BirdFile() = default;
    // Loads path; throws std::runtime_error("Failed to load bird data") on failure.
    explicit BirdFile(const std::string& path);
    BirdFile(BirdFile&&) = default;
    BirdFile& operator=(BirdFile&&) = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Quick check without decompressing: signature and two non-zero version bytes.
    static bool VerifyFile(const std::string& path);
    // True when Load would accept the file. The file is read and decompressed
    // in pieces and never held whole, so a downloaded image can be checked
    // without the memory of loading it (BirdFileCheck.cpp).
    static bool CheckFile(const std::string& path);

    // Reads, decompresses and parses path; false (after a log line) on any
    // failure, memory running out included. Never throws.
    bool Load();
    std::vector<BirdBlock> FindBlocks(uint8_t type) const;
    bool FindSerialNumberOffsets();
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t key[4]);
    bool ValidateModel(const char* model) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool DumpBlocks(uint8_t type) const;
    bool ValidateData(const uint8_t* pattern, size_t count) const;

    const std::string& GetPath() const { return path; }
    uint32_t GetBlockCount() const { return blockCount; }
    bool IsGenericImage() const { return genericImage; }
    uint32_t GetSignature() const { return signature; }
    uint32_t GetVersionField() const { return version; }
    uint32_t GetFileChecksum() const { return fileChecksum; }
    uint32_t GetSerialNumberOffset() const { return serialNumberOffset; }
    uint32_t GetDescriptorOffset() const { return descriptorOffset; }
    const std::vector<BirdBlock>& Blocks() const { return blocks; }

private:
    bool DecompressData(const uint8_t* compressed, size_t length);
    bool ScanBlocks();
    // The i-th 16-byte field of the first information block, or empty text
    // when there is no such block or it is too short to hold the field.
    std::string InfoField(size_t index, size_t width) const;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t fileChecksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool genericImage = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t dataSize = 0;
};
