// An i.MX RT boot ROM in serial download mode, without a transport: commands
// of 16 bytes (big-endian fields) and write-file payloads go in; replies come
// out tagged as the security-mode word (HID report 3) or status and data
// (HID report 4), so a UART and a HID transport can both carry them.
// Status, read register (the unique-identifier fuses among them), write
// register, write file, jump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace sdpsim {

constexpr std::size_t kCommandLength = 16;
constexpr uint32_t kHabOpen = 0x56787856;    // development part: no signature checks
constexpr uint32_t kHabClosed = 0x12343412;  // production part: starts signed images only
constexpr uint32_t kWriteFileComplete = 0x88888888;
constexpr uint32_t kWriteRegisterComplete = 0x128A8A12;
constexpr uint32_t kStatusNoError = 0xF0F0F0F0;
// The emulator's own status for a write that ended outside the RAM it models.
constexpr uint32_t kStatusBadAddress = 0x33333333;
// What a closed part answers, after its security word, to a jump to an image
// it cannot authenticate; it stays in serial download mode.
constexpr uint32_t kStatusHabRefused = 0x33333333;
constexpr uint32_t kUidLowRegister = 0x401F4410;
constexpr uint32_t kUidHighRegister = 0x401F4420;
// The two fuse words after them, which with the two above make the 128-bit
// chip identifier a live loader reports (words 0 to 3 at 0x10 steps).
constexpr uint32_t kUidWord2Register = 0x401F4430;
constexpr uint32_t kUidWord3Register = 0x401F4440;

enum class ReplyKind { Hab, Data };

struct Reply {
    ReplyKind kind;
    std::vector<uint8_t> bytes;
};

struct RomConfig {
    uint64_t uid = 0x0123456789ABCDEFull;  // fuses 0x401F4410 (low word) and 0x401F4420
    uint64_t uidUpper = 0;                   // fuses 0x401F4430 (low word) and 0x401F4440
    // A closed part refuses to start what the host loads: nothing the
    // emulator is given carries a signature it could check.
    uint32_t hab = kHabOpen;
    bool silent = false;          // fault: answers nothing at all
    bool failWrites = false;      // fault: every write file ends without the complete status
};

struct RomStats {
    unsigned commands = 0;
    unsigned statusRequests = 0;
    unsigned registerReads = 0;
    unsigned writeFiles = 0;
    std::vector<std::size_t> dataChunks;  // payload sizes as they arrived (one per data() call)
    std::optional<uint32_t> jumpedTo;
    unsigned refusedJumps = 0;  // jumps a closed part would not take
};

class SdpRom {
public:
    explicit SdpRom(const RomConfig& config = {});

    void command(const uint8_t bytes[kCommandLength]);
    void data(const uint8_t* bytes, std::size_t length);
    // Payload bytes the ROM still expects for the write file in progress.
    std::size_t dataOwed() const { return owed_; }
    bool jumped() const { return stats_.jumpedTo.has_value(); }

    std::vector<Reply> takeReplies();
    void onJump(std::function<void(uint32_t)> callback) { onJump_ = std::move(callback); }

    // Memory as written: bytes never written read as 0.
    std::vector<uint8_t> read(uint32_t address, std::size_t length) const;
    const RomStats& stats() const { return stats_; }

private:
    void reply(ReplyKind kind, std::vector<uint8_t> bytes);
    void replyWord(ReplyKind kind, uint32_t word);
    uint8_t byteAt(uint32_t address) const;
    static bool writable(uint32_t address, uint32_t length);

    RomConfig config_;
    RomStats stats_;
    std::map<uint32_t, uint8_t> memory_;
    std::vector<Reply> replies_;
    uint32_t writeAddress_ = 0;
    uint32_t writeLength_ = 0;
    std::size_t owed_ = 0;
    std::function<void(uint32_t)> onJump_;
};

}  // namespace sdpsim
