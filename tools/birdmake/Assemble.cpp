// Assembling the image the command line describes.
#include "Assemble.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace birdmake {

namespace {

bool ReadData(const std::string& path, std::vector<uint8_t>* data, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    data->clear();
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data->insert(data->end(), chunk, chunk + got);
    bool failed = std::ferror(f) != 0;
    int savedErrno = errno;
    std::fclose(f);
    if (failed) {
        *error = "cannot read " + path + ": " + std::strerror(savedErrno);
        return false;
    }
    return true;
}

bool MakeBlock(const BlockSpec& spec, Block* block, std::string* error) {
    std::vector<uint8_t> data;
    switch (spec.kind) {
    case BlockSpec::kLoaderFile:
    case BlockSpec::kFirmwareFile:
    case BlockSpec::kRawFile:
        if (!ReadData(spec.path, &data, error)) return false;
        if (spec.kind == BlockSpec::kRawFile)
            *block = RawBlock(static_cast<uint8_t>(spec.second), std::move(data));
        else if (spec.kind == BlockSpec::kLoaderFile)
            *block = LoaderBlock(spec.address, std::move(data));
        else
            *block = FirmwareBlock(spec.address, std::move(data));
        return true;
    case BlockSpec::kFirmwareRandom:
        *block = FirmwareBlock(spec.address, RandomData(spec.size, spec.seed));
        return true;
    case BlockSpec::kInfo:
        *block = InfoBlock(spec.info[0], spec.info[1], spec.info[2], spec.info[3]);
        return true;
    case BlockSpec::kSerialOffsets:
        *block = SerialOffsetsBlock(spec.address, spec.second);
        return true;
    case BlockSpec::kStart:
        *block = StartAddressBlock(spec.address);
        return true;
    }
    *error = "internal error: unknown block kind";
    return false;
}

}  // namespace

bool AssembleImage(const CommandLine& commandLine, Image* image, std::string* error) {
    *image = Image{};
    image->formatVersion = commandLine.formatVersion;
    image->declaredCount = commandLine.declaredCount;
    image->checksum = commandLine.checksum;
    image->compressionLevel = commandLine.compressionLevel;

    const BlockSpec* offsets = nullptr;
    for (const BlockSpec& spec : commandLine.blocks) {
        Block block{0, 0, {}};
        if (!MakeBlock(spec, &block, error)) return false;
        image->blocks.push_back(std::move(block));
        if (spec.kind == BlockSpec::kSerialOffsets && !offsets) offsets = &spec;
    }

    // First, so that placeholders and the check word win where a record would overlap them.
    if (commandLine.identity) {
        const Identity& id = *commandLine.identity;
        if (!WriteIdentity(*image, id.build, id.major, id.minor, id.patch)) {
            *error = "--identity: no firmware block with at least 16 data bytes";
            return false;
        }
    }
    // Placeholders go where the updater will look: the first serial-offsets block.
    if (commandLine.placeholders) {
        if (!offsets || !WritePlaceholders(*image, offsets->address, offsets->second)) {
            *error = "--placeholders: a serial offset lies outside every firmware block";
            return false;
        }
    }
    if (commandLine.vectorChecksum && !FixVectorChecksum(*image)) {
        *error = "--vector-checksum: no firmware block at address 0 with at least 32 data bytes";
        return false;
    }
    // Last, because the updater undoes the encoding before any other edit.
    if (commandLine.encode) EncodeFirmwareBlocks(*image, *commandLine.encode);
    return true;
}

}  // namespace birdmake
