#include "IspRom.h"

#include "Uu.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace lpcsim {

namespace {

// The boot ROM's return codes.
enum : int {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    COMPARE_ERROR = 10,
    BUSY = 11,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

constexpr unsigned kLinesPerChecksum = 20;
constexpr uint32_t kBytesPerLine = 45;
constexpr uint32_t kUnlockCode = 23130;

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Decimal arguments; false when one is not a number.
bool numbers(const std::vector<std::string>& w, std::vector<uint32_t>& out)
{
    for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i].empty() || w[i].size() > 10) return false;
        for (char c : w[i])
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        const unsigned long long v = std::strtoull(w[i].c_str(), nullptr, 10);
        if (v > 0xFFFFFFFFull) return false;
        out.push_back(uint32_t(v));
    }
    return true;
}

// What a byte sent at one rate reads as at another: framing errors and
// stray bits, never a character of the protocol.
uint8_t garbled(uint8_t b)
{
    return uint8_t(0x80 | ((b * 37u + 11u) & 0x7F));
}

// A data line as the ISP takes it: a length character for at most 45 bytes
// and exactly the four characters per three bytes that count needs.
bool wellFormedDataLine(const std::string& line)
{
    if (line.empty()) return false;
    const std::size_t count = (uint32_t(uint8_t(line[0])) - 32) & 0x3F;
    return count <= kBytesPerLine && line.size() == 1 + 4 * ((count + 2) / 3);
}

bool allDigits(const std::string& s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

IspRom::IspRom(const RomConfig& config) : config_(config) {}

void IspRom::feed(const uint8_t* bytes, std::size_t length, unsigned lineRate)
{
    lineRate_ = lineRate;
    for (std::size_t i = 0; i < length; ++i) {
        ++bytesIn_;
        if (config_.faults.dropByteAt != 0 && bytesIn_ == config_.faults.dropByteAt) {
            ++stats_.droppedBytes;
            continue;
        }
        // The autobaud measures whatever rate the '?' comes at; after it the
        // UART runs at that rate only.
        garbling_ = state_ != State::Autobaud && lineRate != 0 && stats_.lockedRate != 0 &&
                    lineRate != stats_.lockedRate;
        uint8_t b = bytes[i];
        if (garbling_) {
            ++stats_.garbledBytes;
            b = garbled(b);
        }
        byte(b);
    }
    garbling_ = false;
}

simline::Reply IspRom::takeOutput()
{
    simline::Reply out;
    out.swap(output_);
    return out;
}

void IspRom::say(const std::string& text)
{
    if (stats_.silent) return;
    std::string sent = text;
    if (garbling_)
        for (char& c : sent) c = char(garbled(uint8_t(c)));
    simline::appendBytes(output_, sent);
}

void IspRom::busy(uint32_t us)
{
    if (us != 0) output_.push_back({us, {}});
}

void IspRom::byte(uint8_t b)
{
    switch (state_) {
    case State::Running:
        return;
    case State::Autobaud:
        // The autobaud routine measures a '?' and answers; anything else is noise.
        if (b == '?') {
            stats_.lockedRate = lineRate_;
            say("Synchronized\r\n");
            pending_.clear();
            state_ = State::SyncString;
        }
        return;
    default:
        break;
    }
    if (echo_) say(std::string(1, char(b)));
    if (b != '\n') {
        if (pending_.size() < 512) pending_ += char(b);
        return;
    }
    std::string text;
    text.swap(pending_);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    ++linesIn_;
    line(text);
    if (config_.faults.silenceAfterLines != 0 && linesIn_ >= config_.faults.silenceAfterLines) stats_.silent = true;
}

void IspRom::line(const std::string& text)
{
    switch (state_) {
    case State::SyncString:
        if (text == "Synchronized") {
            say("OK\r\n");
            state_ = State::Crystal;
        } else {
            state_ = State::Autobaud;
        }
        return;
    case State::Crystal:
        if (allDigits(text)) {
            stats_.crystalKHz = uint32_t(std::strtoul(text.c_str(), nullptr, 10));
            ++stats_.syncs;
            say("OK\r\n");
            state_ = State::Command;
        } else {
            state_ = State::Autobaud;
        }
        return;
    case State::Command:
        if (!text.empty()) command(text);
        return;
    case State::WriteData:
        writeDataLine(text);
        return;
    case State::ReadAck:
        readAck(text);
        return;
    default:
        return;
    }
}

void IspRom::command(const std::string& text)
{
    ++stats_.commands;
    const std::vector<std::string> w = words(text);
    if (w.empty() || w[0].size() != 1) return status(INVALID_COMMAND);
    const char letter = w[0][0];
    if (letter == 'G') return cmdGo(w);
    std::vector<uint32_t> a;
    if (!numbers(w, a)) return status(PARAM_ERROR);
    const auto need = [&](std::size_t n) { return a.size() == n; };
    switch (letter) {
    case 'U':
        if (!need(1)) return status(PARAM_ERROR);
        if (a[0] != kUnlockCode) return status(INVALID_CODE);
        unlocked_ = true;
        return status(CMD_SUCCESS);
    case 'A':
        if (!need(1) || a[0] > 1) return status(PARAM_ERROR);
        status(CMD_SUCCESS);
        echo_ = a[0] == 1;
        return;
    case 'B':
        if (!need(2)) return status(PARAM_ERROR);
        if (a[0] != 1200 && a[0] != 2400 && a[0] != 4800 && a[0] != 9600 && a[0] != 19200 && a[0] != 38400 &&
            a[0] != 57600 && a[0] != 115200 && a[0] != 230400)
            return status(INVALID_BAUD_RATE);
        if (a[1] != 1 && a[1] != 2) return status(INVALID_STOP_BIT);
        return status(CMD_SUCCESS);
    case 'W': return need(2) ? cmdWrite(a) : status(PARAM_ERROR);
    case 'R': return need(2) ? cmdRead(a) : status(PARAM_ERROR);
    case 'P': return need(2) ? cmdPrepare(a) : status(PARAM_ERROR);
    case 'E': return need(2) ? cmdErase(a) : status(PARAM_ERROR);
    case 'I': return need(2) ? cmdBlankCheck(a) : status(PARAM_ERROR);
    case 'C': return need(3) ? cmdCopy(a) : status(PARAM_ERROR);
    case 'M': return need(3) ? cmdCompare(a) : status(PARAM_ERROR);
    case 'J':
        if (!need(0)) return status(PARAM_ERROR);
        return say("0\r\n" + std::to_string(config_.partId) + "\r\n");
    case 'K':
        if (!need(0)) return status(PARAM_ERROR);
        // The version's low byte (minor) comes first, then the high byte (major).
        return say("0\r\n" + std::to_string(config_.bootMinor) + "\r\n" + std::to_string(config_.bootMajor) + "\r\n");
    case 'N': {
        if (!need(0)) return status(PARAM_ERROR);
        std::string reply = "0\r\n";
        for (uint32_t word : config_.uid) reply += std::to_string(word) + "\r\n";
        return say(reply);
    }
    default:
        return status(INVALID_COMMAND);
    }
}

int IspRom::sectorCheck(const std::vector<uint32_t>& a) const
{
    if (a[0] >= kSectorCount || a[1] >= kSectorCount) return INVALID_SECTOR;
    if (a[1] < a[0]) return PARAM_ERROR;
    return CMD_SUCCESS;
}

void IspRom::flashChanged()
{
    if (onFlashChanged_) onFlashChanged_();
}

void IspRom::cmdPrepare(const std::vector<uint32_t>& a)
{
    const int check = sectorCheck(a);
    if (check != CMD_SUCCESS) return status(check);
    memory_.prepare(a[0], a[1]);
    status(CMD_SUCCESS);
}

void IspRom::cmdErase(const std::vector<uint32_t>& a)
{
    const int check = sectorCheck(a);
    if (check != CMD_SUCCESS) return status(check);
    if (!unlocked_) return status(CMD_LOCKED);
    if (!memory_.prepared(a[0], a[1])) return status(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
    memory_.erase(a[0], a[1]);
    ++stats_.erases;
    busy(config_.eraseUsPerSector * (a[1] - a[0] + 1));
    status(CMD_SUCCESS);
    flashChanged();
}

void IspRom::cmdBlankCheck(const std::vector<uint32_t>& a)
{
    const int check = sectorCheck(a);
    if (check != CMD_SUCCESS) return status(check);
    uint32_t offset = 0;
    if (memory_.blank(a[0], a[1], &offset)) return status(CMD_SUCCESS);
    uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | memory_.read(offset + uint32_t(i));
    say(std::to_string(SECTOR_NOT_BLANK) + "\r\n" + std::to_string(offset) + "\r\n" + std::to_string(word) + "\r\n");
}

void IspRom::cmdCopy(const std::vector<uint32_t>& a)
{
    const uint32_t flash = a[0], ram = a[1], n = a[2];
    int code = CMD_SUCCESS;
    if (!unlocked_) code = CMD_LOCKED;
    else if (n != 256 && n != 512 && n != 1024 && n != 4096) code = COUNT_ERROR;
    else if (flash % 256 != 0) code = DST_ADDR_ERROR;
    else if (ram % 4 != 0) code = SRC_ADDR_ERROR;
    else if (!memory_.inFlash(flash, n)) code = DST_ADDR_NOT_MAPPED;
    else if (!memory_.inRam(ram, n)) code = SRC_ADDR_NOT_MAPPED;
    else if (!memory_.prepared(*LpcMemory::sectorOf(flash), *LpcMemory::sectorOf(flash + n - 1)))
        code = SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION;
    if (code != CMD_SUCCESS) {
        ++stats_.refusedCopies;
        return status(code);
    }
    ++copyRequests_;
    if (config_.faults.copyFailAt != 0 && copyRequests_ == config_.faults.copyFailAt) {
        ++stats_.failedCopies;
        return status(BUSY);
    }
    memory_.copy(flash, ram, n);
    ++stats_.copies;
    stats_.copyLengths.push_back(n);
    busy(config_.copyUsPer256 * (n / 256));
    status(CMD_SUCCESS);
    flashChanged();
}

void IspRom::cmdCompare(const std::vector<uint32_t>& a)
{
    const uint32_t first = a[0], second = a[1], n = a[2];
    if (first % 4 != 0 || second % 4 != 0) return status(ADDR_ERROR);
    if (n % 4 != 0) return status(COUNT_ERROR);
    const auto mapped = [&](uint32_t at) { return memory_.inFlash(at, n) || memory_.inRam(at, n); };
    if (!mapped(first) || !mapped(second)) return status(ADDR_NOT_MAPPED);
    for (uint32_t i = 0; i < n; ++i)
        if (memory_.read(first + i) != memory_.read(second + i))
            return say(std::to_string(COMPARE_ERROR) + "\r\n" + std::to_string(i & ~3u) + "\r\n");
    status(CMD_SUCCESS);
}

void IspRom::cmdGo(const std::vector<std::string>& w)
{
    std::vector<uint32_t> a;
    if (w.size() != 3 || !numbers({w[0], w[1]}, a)) return status(PARAM_ERROR);
    // A Cortex-M3 runs Thumb code only.
    if (w[2] != "T") return status(PARAM_ERROR);
    if (!unlocked_) return status(CMD_LOCKED);
    if (!memory_.inFlash(a[0], 2) && !memory_.inRam(a[0], 2)) return status(ADDR_NOT_MAPPED);
    status(CMD_SUCCESS);
    state_ = State::Running;
    stats_.jumpedTo = a[0];
    stats_.userCodeValid = memory_.vectorTableValid();
    if (onGo_) onGo_(a[0], *stats_.userCodeValid);
}

void IspRom::cmdWrite(const std::vector<uint32_t>& a)
{
    if (a[0] % 4 != 0) return status(ADDR_ERROR);
    if (a[1] % 4 != 0) return status(COUNT_ERROR);
    if (!memory_.ispWritable(a[0], a[1])) return status(ADDR_NOT_MAPPED);
    status(CMD_SUCCESS);
    stats_.writeLengths.push_back(a[1]);
    base_ = a[0];
    count_ = a[1];
    confirmed_ = position_ = blockSum_ = 0;
    blockLines_ = 0;
    blockSpoiled_ = false;
    if (count_ > 0) state_ = State::WriteData;
}

void IspRom::writeDataLine(const std::string& text)
{
    const bool checksumDue = blockLines_ == kLinesPerChecksum || position_ == count_;
    if (!checksumDue) {
        ++stats_.dataLinesIn;
        ++blockLines_;
        std::vector<uint8_t> bytes = uuDecodeLine(text);
        if (bytes.size() > count_ - position_) bytes.resize(count_ - position_);
        if (!wellFormedDataLine(text)) {
            // Taken as a line, but nothing of it is stored: the block's checksum fails.
            ++stats_.rejectedLines;
            blockSpoiled_ = true;
        } else {
            memory_.writeRam(base_ + position_, bytes.data(), bytes.size());
            for (uint8_t b : bytes) blockSum_ += b;
        }
        position_ += uint32_t(bytes.size());
        return;
    }
    ++stats_.writeChecksums;
    const Faults& f = config_.faults;
    const bool forced = f.resendAt != 0 && stats_.writeChecksums >= f.resendAt &&
                        stats_.writeChecksums - f.resendAt < std::max(1u, f.resendTimes);
    const bool good = !blockSpoiled_ && allDigits(text) &&
                      uint32_t(std::strtoul(text.c_str(), nullptr, 10)) == blockSum_;
    blockSpoiled_ = false;
    if (good && !forced) {
        say("OK\r\n");
        confirmed_ = position_;
    } else {
        ++stats_.resendsSent;
        say("RESEND\r\n");
        position_ = confirmed_;
    }
    blockSum_ = 0;
    blockLines_ = 0;
    if (confirmed_ == count_) state_ = State::Command;
}

void IspRom::cmdRead(const std::vector<uint32_t>& a)
{
    if (a[0] % 4 != 0) return status(ADDR_ERROR);
    if (a[1] % 4 != 0) return status(COUNT_ERROR);
    if (!memory_.inFlash(a[0], a[1]) && !memory_.inRam(a[0], a[1])) return status(ADDR_NOT_MAPPED);
    status(CMD_SUCCESS);
    base_ = a[0];
    count_ = a[1];
    confirmed_ = 0;
    if (count_ == 0) return;
    sendReadBlock();
    state_ = State::ReadAck;
}

void IspRom::sendReadBlock()
{
    uint32_t sum = 0;
    uint32_t at = confirmed_;
    std::string out;
    for (unsigned lines = 0; lines < kLinesPerChecksum && at < count_; ++lines) {
        const uint32_t n = std::min(kBytesPerLine, count_ - at);
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) {
            bytes[i] = memory_.read(base_ + at + i);
            sum += bytes[i];
        }
        out += uuLine(bytes.data(), n) + "\r\n";
        at += n;
    }
    ++readChecksumsSent_;
    if (config_.faults.readBadSumAt != 0 && readChecksumsSent_ == config_.faults.readBadSumAt) ++sum;
    say(out + std::to_string(sum) + "\r\n");
    position_ = at;
}

void IspRom::readAck(const std::string& text)
{
    if (text == "OK") {
        confirmed_ = position_;
        if (confirmed_ >= count_) {
            state_ = State::Command;
            return;
        }
    } else if (text == "RESEND") {
        ++stats_.readResendsReceived;
    } else {
        // Not an answer to the block: the host gave the read up.
        state_ = State::Command;
        return command(text);
    }
    sendReadBlock();
}

}  // namespace lpcsim
