#include "SdpRom.h"

namespace sdpsim {

namespace {

constexpr uint16_t kReadRegister = 0x0101;
constexpr uint16_t kWriteRegister = 0x0202;
constexpr uint16_t kWriteFile = 0x0404;
constexpr uint16_t kErrorStatus = 0x0505;
constexpr uint16_t kDcdWrite = 0x0A0A;
constexpr uint16_t kJumpAddress = 0x0B0B;
constexpr uint16_t kSkipDcdHeader = 0x0C0C;

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The RAM of an i.MX RT1050/1060 a download may land in: ITCM, DTCM, OCRAM.
struct Region {
    uint32_t base, size;
};
constexpr Region kRam[] = {{0x00000000, 0x80000}, {0x20000000, 0x80000}, {0x20200000, 0x100000}};

}  // namespace

SdpRom::SdpRom(const RomConfig& config) : config_(config) {}

bool SdpRom::writable(uint32_t address, uint32_t length)
{
    for (const Region& r : kRam)
        if (address >= r.base && address - r.base <= r.size && length <= r.size - (address - r.base)) return true;
    return false;
}

void SdpRom::reply(ReplyKind kind, std::vector<uint8_t> bytes)
{
    if (!config_.silent) replies_.push_back({kind, std::move(bytes)});
}

void SdpRom::replyWord(ReplyKind kind, uint32_t word)
{
    // Words go out least significant byte first.
    reply(kind, {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)});
}

std::vector<Reply> SdpRom::takeReplies()
{
    std::vector<Reply> out;
    out.swap(replies_);
    return out;
}

uint8_t SdpRom::byteAt(uint32_t address) const
{
    const struct {
        uint32_t base;
        uint64_t fuses;
        unsigned shift;
    } words[] = {{kUidLowRegister, config_.uid, 0},
                 {kUidHighRegister, config_.uid, 32},
                 {kUidWord2Register, config_.uidUpper, 0},
                 {kUidWord3Register, config_.uidUpper, 32}};
    for (const auto& w : words)
        if (address >= w.base && address < w.base + 4) return uint8_t(w.fuses >> (w.shift + 8 * (address - w.base)));
    const auto it = memory_.find(address);
    return it == memory_.end() ? 0 : it->second;
}

std::vector<uint8_t> SdpRom::read(uint32_t address, std::size_t length) const
{
    std::vector<uint8_t> out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = byteAt(address + uint32_t(i));
    return out;
}

void SdpRom::command(const uint8_t c[kCommandLength])
{
    if (jumped()) return;
    ++stats_.commands;
    const uint16_t type = uint16_t(c[0] << 8 | c[1]);
    const uint32_t address = be32(c + 2);
    const uint8_t format = c[6];
    const uint32_t count = be32(c + 7);
    const uint32_t value = be32(c + 11);
    switch (type) {
    case kErrorStatus:
        ++stats_.statusRequests;
        replyWord(ReplyKind::Hab, config_.hab);
        replyWord(ReplyKind::Data, kStatusNoError);
        return;
    case kReadRegister: {
        ++stats_.registerReads;
        replyWord(ReplyKind::Hab, config_.hab);
        // The count is in bytes; a 32-bit access reads whole words.
        std::size_t length = count;
        if (format == 0x20) length = (length + 3) & ~std::size_t(3);
        if (length > 0x100000) length = 0x100000;
        reply(ReplyKind::Data, read(address, length));
        return;
    }
    case kWriteRegister: {
        const int width = format == 0x08 ? 1 : format == 0x10 ? 2 : 4;
        for (int i = 0; i < width; ++i) memory_[address + uint32_t(i)] = uint8_t(value >> (8 * i));
        replyWord(ReplyKind::Hab, config_.hab);
        replyWord(ReplyKind::Data, kWriteRegisterComplete);
        return;
    }
    case kWriteFile:
    case kDcdWrite:
        ++stats_.writeFiles;
        writeAddress_ = address;
        writeLength_ = count;
        owed_ = count;
        if (owed_ == 0) {
            replyWord(ReplyKind::Hab, config_.hab);
            replyWord(ReplyKind::Data, kWriteFileComplete);
        }
        return;
    case kSkipDcdHeader:
        replyWord(ReplyKind::Hab, config_.hab);
        replyWord(ReplyKind::Data, 0x900DD009);
        return;
    case kJumpAddress:
        replyWord(ReplyKind::Hab, config_.hab);
        if (config_.hab == kHabClosed) {
            ++stats_.refusedJumps;
            replyWord(ReplyKind::Data, kStatusHabRefused);
            return;
        }
        stats_.jumpedTo = address;
        if (onJump_) onJump_(address);
        return;
    default:
        // An unknown command: the ROM reports its security mode and nothing else.
        replyWord(ReplyKind::Hab, config_.hab);
        return;
    }
}

void SdpRom::data(const uint8_t* bytes, std::size_t length)
{
    if (owed_ == 0 || length == 0) return;
    if (length > owed_) length = owed_;
    stats_.dataChunks.push_back(length);
    const uint32_t offset = writeLength_ - uint32_t(owed_);
    for (std::size_t i = 0; i < length; ++i) memory_[writeAddress_ + offset + uint32_t(i)] = bytes[i];
    owed_ -= length;
    if (owed_ != 0) return;
    replyWord(ReplyKind::Hab, config_.hab);
    const bool fine = !config_.failWrites && writable(writeAddress_, writeLength_);
    replyWord(ReplyKind::Data, fine ? kWriteFileComplete : kStatusBadAddress);
}

}  // namespace sdpsim
