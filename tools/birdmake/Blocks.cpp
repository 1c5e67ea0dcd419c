// Block builders: the payload shapes of the block types that carry fixed fields.
#include "birdmake.h"

#include "Bytes.h"

namespace birdmake {

namespace {

Block Addressed(uint8_t type, uint32_t address, std::vector<uint8_t> data, uint8_t flags) {
    Block block{type, flags, {}};
    block.payload.reserve(data.size() + 4);
    PutBE32(block.payload, address);
    block.payload.insert(block.payload.end(), data.begin(), data.end());
    return block;
}

void PutField(std::vector<uint8_t>& out, const std::string& text) {
    std::string field = text.substr(0, kInfoFieldSize);
    field.resize(kInfoFieldSize, ' ');
    out.insert(out.end(), field.begin(), field.end());
}

}  // namespace

Block LoaderBlock(uint32_t address, std::vector<uint8_t> data, uint8_t flags) {
    return Addressed(kLoader, address, std::move(data), flags);
}

Block FirmwareBlock(uint32_t address, std::vector<uint8_t> data, uint8_t flags) {
    return Addressed(kFirmware, address, std::move(data), flags);
}

Block InfoBlock(const std::string& build, const std::string& version, const std::string& serialHex,
                const std::string& model) {
    Block block{kInfo, 0, {}};
    block.payload.reserve(4 * kInfoFieldSize);
    PutField(block.payload, build);
    PutField(block.payload, version);
    PutField(block.payload, serialHex);
    PutField(block.payload, model);
    return block;
}

Block SerialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
    Block block{kSerialOffsets, 0, {}};
    PutBE32(block.payload, serialAddress);
    PutBE32(block.payload, descriptorAddress);
    return block;
}

Block StartAddressBlock(uint32_t entry) {
    Block block{kStartAddress, 0, {}};
    PutBE32(block.payload, entry);
    return block;
}

Block RawBlock(uint8_t typeAndFlagsByte, std::vector<uint8_t> payload) {
    return Block{static_cast<uint8_t>(typeAndFlagsByte & kTypeMask),
                 static_cast<uint8_t>(typeAndFlagsByte >> kFlagShift), std::move(payload)};
}

bool SplitAddressed(const Block& block, uint32_t* address, std::vector<uint8_t>* data) {
    if ((block.type != kLoader && block.type != kFirmware) || block.payload.size() < 4) return false;
    if (address) *address = GetBE32(block.payload.data());
    if (data) data->assign(block.payload.begin() + 4, block.payload.end());
    return true;
}

}  // namespace birdmake
