// BIRD firmware files: the header, the zlib stream and the block area, then
// every question and edit the update and recovery flows put to a loaded file.
//
// Every file also goes through the check that reads in pieces, whose verdict
// must be loading's.
//
// Input: one mode byte, then either the whole file (mode bit 0 clear) or a
// block area that is compressed here and given a valid header (bit 0 set), so
// that mutations reach the block parser instead of dying in zlib.
#include <zlib.h>

#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

#include "BirdFile.h"
#include "FuzzSupport.h"

namespace {

constexpr size_t kHeader = 6;

uint32_t BigEndian(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The block area the file decompresses to, by the same rule as the reader
// (at most eight times the compressed bytes, within the bound); none when it
// does not decompress.
std::optional<std::vector<uint8_t>> BlockArea(const std::vector<uint8_t>& file)
{
    if (file.size() < kHeader)
        return std::nullopt;
    const size_t compressed = file.size() - kHeader;
    size_t bound = compressed * 8;
    if (bound > BirdFile::kMaxBlockAreaBytes)
        bound = BirdFile::kMaxBlockAreaBytes;
    std::vector<uint8_t> area(bound ? bound : 1);
    uLongf length = area.size();
    if (uncompress(area.data(), &length, file.data() + kHeader, compressed) != Z_OK)
        return std::nullopt;
    area.resize(length);
    return area;
}

void Exercise(BirdFile& bird, const std::vector<uint8_t>& area, uint32_t serial, const uint32_t key[4])
{
    const auto& blocks = bird.Blocks();
    FUZZ_CHECK(blocks.size() == bird.GetBlockCount());
    FUZZ_CHECK(blocks.size() <= BirdFile::kMaxBlocks);
    // Every block lies inside the block area, before its checksum, one after
    // another from offset 4.
    size_t offset = 4;
    for (const auto& block : blocks) {
        FUZZ_CHECK(block.type <= 31 && block.flags <= 7);
        FUZZ_CHECK(offset + 5 + uint64_t(block.length) + 4 <= area.size());
        FUZZ_CHECK(std::memcmp(block.data, area.data() + offset + 5, block.length) == 0);
        if ((block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE) && block.length >= 4)
            FUZZ_CHECK(block.address == BigEndian(block.data));
        offset += 5 + block.length;
    }

    (void)bird.GetBuild();
    const std::string version = bird.GetVersion();
    FUZZ_CHECK(version.size() <= 15 && version.find(' ') == std::string::npos);
    (void)bird.ValidateSerialNumber(serial);
    for (const char* model : {"", "T", "TS-Hub4", "a model name longer than its field"})
        (void)bird.ValidateModel(model);
    for (uint8_t type = 0; type < 8; ++type)
        (void)bird.FindBlocks(type);
    const uint8_t pattern[] = {0x00, 0x20, 0x00, 0x20};
    (void)bird.ValidateData(pattern, sizeof pattern);
    (void)bird.ValidateData(pattern, 1);
    (void)bird.ReplaceSerialNumber(serial);
    if (bird.GetSerialNumberOffset() == 0 && bird.GetDescriptorOffset() == 0)
        FUZZ_CHECK(!bird.ReplaceSerialNumber(serial));
    (void)bird.ReplaceVectorChecksum();
    (void)bird.DecodeFirmwareBlocks(key);
    BirdFile moved;
    moved = std::move(bird);
    FUZZ_CHECK(moved.Blocks().size() == blocks.size() || blocks.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile file("bird");
    fuzz::Reader in(data, size);
    const uint8_t mode = in.Byte();
    const uint32_t serial = in.Word();
    const uint32_t key[4] = {serial ^ 0xA5A5A5A5u, serial * 2654435761u, ~serial, serial >> 3};

    std::vector<uint8_t> bytes;
    if (mode & 1) {
        const uint8_t header[kHeader] = {'b', 'i', 'r', 'd', 0x01, 0x01};
        uLongf length = compressBound(in.size());
        bytes.resize(kHeader + length);
        std::memcpy(bytes.data(), header, kHeader);
        if (compress2(bytes.data() + kHeader, &length, in.data(), in.size(), mode & 2 ? 9 : 1) != Z_OK)
            return 0;
        bytes.resize(kHeader + length);
    } else {
        bytes.assign(in.data(), in.data() + in.size());
    }
    file.Set(bytes.data(), bytes.size());

    const bool verified = BirdFile::VerifyFile(file.path());
    FUZZ_CHECK(!verified || (bytes.size() >= kHeader && BigEndian(bytes.data()) == BIRD_FILE_SIGNATURE));
    const auto area = BlockArea(bytes);
    // The check that reads in pieces agrees with loading, both ways.
    const bool checked = BirdFile::CheckFile(file.path());
    try {
        BirdFile bird(file.path());
        FUZZ_CHECK(area.has_value() && checked);
        Exercise(bird, *area, serial, key);
    } catch (const std::runtime_error&) {
        // A file that does not load is refused with this one exception.
        FUZZ_CHECK(!checked);
    }
    return 0;
}
