#include "BirdFile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kInfoFieldSize = 16;

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

uint32_t GetLE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// True when [start, start + size) lies inside a firmware block's data, which
// covers addresses address .. address + length - 4 (exclusive).
bool Covers(const BirdBlock& block, uint64_t start, uint64_t size)
{
    if (block.length < 4)
        return false;
    uint64_t begin = block.address;
    uint64_t end = begin + block.length - 4;
    return begin <= start && start + size <= end;
}

}  // namespace

BirdFile::BirdFile(const std::string& filePath) : path(filePath)
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::VerifyFile(const std::string& filePath)
{
    aFile* file = aFile_Open(filePath.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath.c_str());
        return false;
    }
    uint8_t header[kHeaderSize] = {0};
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    return err == aErrNone && count == kHeaderSize && Get32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 &&
           header[5] != 0;
}

bool BirdFile::Load()
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
        aFile_Close(&file);
        return false;
    }
    if (size > kMaxFileBytes) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds %zu bytes, more than the %zu of any image\n",
                 path.c_str(), size, kMaxFileBytes);
        aFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> contents(new (std::nothrow) uint8_t[size ? size : 1]);
    if (!contents) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrMemory, path.c_str());
        aFile_Close(&file);
        return false;
    }
    size_t count = 0;
    err = size ? aFile_Read(file, contents.get(), size, &count) : aErrNone;
    aFile_Close(&file);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
        return false;
    }
    if (count < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), count,
                 size);
        return false;
    }
    if (size > kHeaderSize) {
        signature = Get32(contents.get());
        version = static_cast<uint32_t>(contents[4]) << 8 | contents[5];
    }
    // A file shorter than its header holds no stream to decompress.
    const uint8_t* stream = size >= kHeaderSize ? contents.get() + kHeaderSize : contents.get();
    size_t streamLength = size >= kHeaderSize ? size - kHeaderSize : 0;
    if (!DecompressData(stream, streamLength))
        return false;
    contents.reset();
    // Blocks are kept in a list of their own; the count is bounded so that
    // a block area of empty blocks cannot make that list outgrow the image.
    try {
        ScanBlocks();
    } catch (const std::exception& e) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error parsing %s: %s\n", path.c_str(), e.what());
        blocks.clear();
        blockCount = 0;
        return false;
    }
    if (blocks.size() > kMaxBlocks) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds more than %zu blocks\n", path.c_str(), kMaxBlocks);
        blocks.clear();
        blockCount = 0;
        return false;
    }
    FindSerialNumberOffsets();
    for (const auto& block : blocks) {
        if (block.type == BLOCK_SERIAL_OFFSETS) {
            genericImage = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    return true;
}

bool BirdFile::DecompressData(const uint8_t* compressed, size_t length)
{
    blocks.clear();
    blockCount = 0;
    // The block area may be at most eight times the compressed data, and
    // never more than the bound: a larger one fails with zlib's buffer error.
    uint64_t bound = 8ull * length;
    if (bound > kMaxBlockAreaBytes)
        bound = kMaxBlockAreaBytes;
    data.reset(new (std::nothrow) uint8_t[bound ? bound : 1]);
    dataSize = 0;
    if (!data) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf outLength = static_cast<uLongf>(bound);
    int z = uncompress(data.get(), &outLength, compressed, static_cast<uLong>(length));
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        dataSize = 0;
        return false;
    }
    dataSize = static_cast<uint32_t>(outLength);
    return true;
}

bool BirdFile::ScanBlocks()
{
    blockCount = 0;
    blocks.clear();
    if (dataSize < 4) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(dataSize));
        return false;
    }
    const uint8_t* base = data.get();
    uint32_t declared = Get32(base);
    int64_t remaining = static_cast<int64_t>(dataSize) - 4;
    size_t position = 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    bool sound = true;
    while (remaining > 4 && position < dataSize) {
        if (position + 5 > dataSize || blocks.size() > kMaxBlocks)
            break;
        BirdBlock block;
        block.type = base[position] & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((base[position] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = Get32(base + position + 1);
        remaining -= 5;
        position += 5;
        // A payload that runs past the data (the trailing checksum included) is
        // not a block: reading it would leave the buffer.
        if (static_cast<uint64_t>(block.length) + 4 > static_cast<uint64_t>(dataSize - position)) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block of %u bytes runs past the end of the data; dropped\n",
                     block.length);
            position -= 5;
            remaining += 5;
            sound = false;
            break;
        }
        block.data = data.get() + position;
        if ((block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) && block.length >= 4)
            block.address = Get32(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.type == BLOCK_INFO) {
            for (size_t field = 0; field < 4 && (field + 1) * kInfoFieldSize <= block.length; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field * kInfoFieldSize));
        }
        remaining -= block.length;
        position += block.length;
        ++blockCount;
        blocks.push_back(block);
    }
    if (position + 4 <= dataSize) {
        fileChecksum = Get32(base + position);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
        remaining -= 4;
    }
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        sound = false;
    }
    if (blockCount != declared) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(declared));
        sound = false;
    }
    return sound;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const
{
    std::vector<BirdBlock> found;
    for (const auto& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (blocks.empty())
        return false;
    for (const auto& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        // A block too short for both addresses holds none.
        if (!block.data || block.length < 8)
            return false;
        serialNumberOffset = Get32(block.data);
        descriptorOffset = Get32(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial)
{
    char digits[16];
    snprintf(digits, sizeof digits, "%08X", serial);
    bool result = false;
    for (auto& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4)
            continue;
        uint8_t* payload = block.data;
        if (serialNumberOffset != 0) {
            if (Covers(block, serialNumberOffset, 4)) {
                uint8_t* word = payload + (serialNumberOffset - block.address) + 4;
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", GetLE32(word),
                         serial);
                PutLE32(word, serial);
            }
            result = true;
        }
        if (descriptorOffset != 0 && Covers(block, descriptorOffset, 16)) {
            uint8_t* text = payload + (descriptorOffset - block.address) + 4;
            for (size_t i = 0; i < 8; ++i)
                text[2 * i] = static_cast<uint8_t>(digits[i]);
            result = true;
        }
    }
    return result;
}

// The check word (word 7) makes the sum of vector words 0-4 and 6 and itself zero.
static uint32_t VectorSum(const uint8_t* table)
{
    uint32_t sum = 0;
    for (int w : {0, 1, 2, 3, 4, 6})
        sum += GetLE32(table + 4 * w);
    return sum;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (auto& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < 4 + 32)
            continue;
        const uint8_t* p = block.data;
        if (p[0] || p[1] || p[2] || p[3])
            continue;
        uint8_t* table = block.data + 4;
        uint32_t check = 0u - VectorSum(table);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", GetLE32(table + 28), check);
        PutLE32(table + 28, check);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4])
{
    uint8_t stream[16];
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            stream[w * 4 + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
    for (auto& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length <= 4)
            continue;
        uint8_t* bytes = block.data + 4;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < block.length - 4; ++j) {
            uint8_t plain = static_cast<uint8_t>(bytes[j] ^ stream[j % 16] ^ previous);
            bytes[j] = plain;
            previous = plain;
        }
    }
    return true;
}

std::string BirdFile::InfoField(size_t index, size_t width) const
{
    for (const auto& block : blocks) {
        if (block.type != BLOCK_INFO)
            continue;
        size_t start = index * kInfoFieldSize;
        if (!block.data || block.length < start + width)
            return {};
        return std::string(reinterpret_cast<const char*>(block.data + start), width);
    }
    return {};
}

bool BirdFile::ValidateModel(const char* model) const
{
    if (FindBlocks(BLOCK_INFO).empty() || !model)
        return false;
    std::string stored = InfoField(3, kInfoFieldSize);
    while (!stored.empty() && stored.back() == ' ')
        stored.pop_back();
    size_t length = strlen(model);
    if (stored.compare(0, length, model) != 0 || stored.size() < length)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", stored.c_str(), model);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const
{
    std::string text = InfoField(2, 8);
    return text.empty() ? 0 : static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
}

uint32_t BirdFile::GetBuild() const
{
    std::string text = InfoField(0, 15);
    return text.empty() ? 0 : static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const
{
    std::string text = InfoField(1, 15);
    return text.substr(0, text.find(' '));
}

bool BirdFile::DumpBlocks(uint8_t type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    std::string text;
    for (const auto& block : FindBlocks(type)) {
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
                text.clear();
            }
            uint8_t byte = block.data[i];
            text += std::isprint(byte) ? static_cast<char>(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", text.c_str());
        text.clear();
    }
    printf("\n");
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t count) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && count > 0) {
        for (const auto& block : blocks) {
            if (block.type != BLOCK_FIRMWARE)
                continue;
            // A pattern may end on the block's last byte.
            for (size_t i = 0; i + count <= block.length; ++i) {
                if (memcmp(block.data + i, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}
