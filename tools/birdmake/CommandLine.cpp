// Parsing birdmake's options. Nothing here touches the file system, so every failure is a
// usage error and the caller can tell it apart from an I/O failure.
#include "CommandLine.h"

#include "birdmake.h"

#include <limits>

namespace birdmake {

namespace {

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
// Far beyond any module's flash; stops a typo from asking for gigabytes.
constexpr uint64_t kMaxRandomSize = 256ull << 20;

std::vector<std::string> Split(const std::string& text, char separator, size_t maxParts) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (parts.size() + 1 < maxParts) {
        size_t at = text.find(separator, from);
        if (at == std::string::npos) break;
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    parts.push_back(text.substr(from));
    return parts;
}

bool HexDigits(const std::string& digits, uint64_t max, uint64_t* value) {
    if (digits.empty() || digits.size() > 16) return false;
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    if (v > max) return false;
    *value = v;
    return true;
}

class Parser {
public:
    Parser(const std::vector<std::string>& args, CommandLine* out, std::string* error)
        : args_(args), out_(out), error_(error) {}

    bool Run();

private:
    bool Fail(const std::string& message) {
        if (error_) *error_ = message;
        return false;
    }
    bool Number(const std::string& option, const std::string& text, uint64_t max, uint64_t* value) {
        if (ParseNumber(text, max, value)) return true;
        return Fail(option + ": '" + text + "' is not a number (decimal or 0x hexadecimal) up to " +
                    std::to_string(max));
    }
    bool Number32(const std::string& option, const std::string& text, uint32_t* value) {
        uint64_t v = 0;
        if (!Number(option, text, kMax32, &v)) return false;
        *value = static_cast<uint32_t>(v);
        return true;
    }
    bool AddressAndFile(const std::string& option, const std::string& value, BlockSpec::Kind kind, uint64_t maxAddress);
    bool Option(const std::string& option, const std::string& value);

    const std::vector<std::string>& args_;
    CommandLine* out_;
    std::string* error_;
};

// Options without a value; all others take exactly one, as the next word or after '='.
bool IsSwitch(const std::string& option) {
    return option == "-h" || option == "--help" || option == "--placeholders" || option == "--vector-checksum";
}

bool Parser::Run() {
    *out_ = CommandLine{};
    for (size_t i = 0; i < args_.size(); ++i) {
        std::string option = args_[i];
        std::string value;
        bool inlineValue = false;
        if (option.rfind("--", 0) == 0) {
            size_t eq = option.find('=');
            if (eq != std::string::npos) {
                value = option.substr(eq + 1);
                option.resize(eq);
                inlineValue = true;
            }
        }
        if (IsSwitch(option)) {
            if (inlineValue) return Fail(option + " takes no value");
            if (option == "-h" || option == "--help") out_->help = true;
            if (option == "--placeholders") out_->placeholders = true;
            if (option == "--vector-checksum") out_->vectorChecksum = true;
            continue;
        }
        if (option.empty() || option[0] != '-') return Fail("unexpected argument '" + option + "'");
        if (!inlineValue) {
            if (i + 1 >= args_.size()) return Fail(option + " needs a value");
            value = args_[++i];
        }
        if (!Option(option, value)) return false;
    }
    if (out_->help) return true;
    if (out_->output.empty()) return Fail("no output file given (-o FILE)");
    if (out_->placeholders) {
        bool haveOffsets = false;
        for (const BlockSpec& spec : out_->blocks) haveOffsets = haveOffsets || spec.kind == BlockSpec::kSerialOffsets;
        if (!haveOffsets) return Fail("--placeholders needs a --serial-offsets block");
    }
    return true;
}

bool Parser::AddressAndFile(const std::string& option, const std::string& value, BlockSpec::Kind kind,
                            uint64_t maxAddress) {
    // Split at the first colon only: the path may hold colons of its own.
    std::vector<std::string> parts = Split(value, ':', 2);
    if (parts.size() != 2 || parts[1].empty()) return Fail(option + ": expected NUMBER:DATAFILE, got '" + value + "'");
    BlockSpec spec;
    spec.kind = kind;
    uint64_t number = 0;
    if (!Number(option, parts[0], maxAddress, &number)) return false;
    if (kind == BlockSpec::kRawFile)
        spec.second = static_cast<uint32_t>(number);
    else
        spec.address = static_cast<uint32_t>(number);
    spec.path = parts[1];
    out_->blocks.push_back(spec);
    return true;
}

bool Parser::Option(const std::string& option, const std::string& value) {
    if (option == "-o" || option == "--output") {
        if (value.empty()) return Fail(option + " needs a file name");
        out_->output = value;
        return true;
    }
    if (option == "--loader") return AddressAndFile(option, value, BlockSpec::kLoaderFile, kMax32);
    if (option == "--firmware") return AddressAndFile(option, value, BlockSpec::kFirmwareFile, kMax32);
    if (option == "--raw") return AddressAndFile(option, value, BlockSpec::kRawFile, 0xFF);
    if (option == "--firmware-random") {
        std::vector<std::string> parts = Split(value, ':', 4);
        if (parts.size() < 2 || parts.size() > 3)
            return Fail(option + ": expected ADDR:SIZE[:SEED], got '" + value + "'");
        BlockSpec spec;
        spec.kind = BlockSpec::kFirmwareRandom;
        uint64_t size = 0;
        if (!Number32(option, parts[0], &spec.address) || !Number(option, parts[1], kMaxRandomSize, &size))
            return false;
        spec.size = static_cast<uint32_t>(size);
        if (parts.size() == 3 && !Number(option, parts[2], kMax64, &spec.seed)) return false;
        out_->blocks.push_back(spec);
        return true;
    }
    if (option == "--info") {
        std::vector<std::string> parts = Split(value, ',', 5);
        if (parts.size() != 4) return Fail(option + ": expected BUILD,VERSION,SERIAL,MODEL, got '" + value + "'");
        BlockSpec spec;
        spec.kind = BlockSpec::kInfo;
        for (size_t i = 0; i < 4; ++i) spec.info[i] = parts[i];
        out_->blocks.push_back(spec);
        return true;
    }
    if (option == "--serial-offsets") {
        std::vector<std::string> parts = Split(value, ',', 3);
        if (parts.size() != 2) return Fail(option + ": expected SERIALADDR,DESCADDR, got '" + value + "'");
        BlockSpec spec;
        spec.kind = BlockSpec::kSerialOffsets;
        if (!Number32(option, parts[0], &spec.address) || !Number32(option, parts[1], &spec.second)) return false;
        out_->blocks.push_back(spec);
        return true;
    }
    if (option == "--start") {
        BlockSpec spec;
        spec.kind = BlockSpec::kStart;
        if (!Number32(option, value, &spec.address)) return false;
        out_->blocks.push_back(spec);
        return true;
    }
    if (option == "--identity") {
        std::vector<std::string> parts = Split(value, ',', 3);
        Identity identity;
        if (parts.size() != 2) return Fail(option + ": expected BUILD,VERSION, got '" + value + "'");
        if (!Number32(option, parts[0], &identity.build)) return false;
        if (!ParseVersion(parts[1], &identity.major, &identity.minor, &identity.patch))
            return Fail(option + ": '" + parts[1] + "' is not a version X.Y.Z (each part 0-255)");
        out_->identity = identity;
        return true;
    }
    if (option == "--encode") {
        std::vector<std::string> parts = Split(value, ',', 5);
        if (parts.size() != 4) return Fail(option + ": expected four words W0,W1,W2,W3, got '" + value + "'");
        std::array<uint32_t, 4> words{};
        for (size_t i = 0; i < 4; ++i)
            if (!Number32(option, parts[i], &words[i])) return false;
        out_->encode = words;
        return true;
    }
    if (option == "--format-version") {
        // Always hexadecimal, as the version is written (0101 means 0x0101).
        std::string digits = value;
        if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits = digits.substr(2);
        uint64_t version = 0;
        if (!HexDigits(digits, 0xFFFF, &version))
            return Fail(option + ": '" + value + "' is not a hexadecimal number up to FFFF");
        out_->formatVersion = static_cast<uint16_t>(version);
        return true;
    }
    if (option == "--declared-count" || option == "--checksum") {
        uint32_t number = 0;
        if (!Number32(option, value, &number)) return false;
        (option == "--checksum" ? out_->checksum : out_->declaredCount) = number;
        return true;
    }
    if (option == "--level") {
        uint64_t level = 0;
        if (!Number(option, value, 9, &level)) return false;
        out_->compressionLevel = static_cast<int>(level);
        return true;
    }
    return Fail("unknown option '" + option + "'");
}

}  // namespace

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return HexDigits(text.substr(2), max, value);
    if (text.empty() || text.size() > 20) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (kMax64 - d) / 10) return false;
        v = v * 10 + d;
    }
    if (v > max) return false;
    *value = v;
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
    return Parser(args, out, error).Run();
}

const char* UsageText() {
    return "Usage: birdmake -o FILE [options]\n"
           "Writes a BIRD firmware file. Block options may repeat; blocks are written in\n"
           "command-line order. Numbers are decimal or 0x hexadecimal.\n"
           "\n"
           "Blocks:\n"
           "  --loader ADDR:DATAFILE          loader block with the file's bytes\n"
           "  --firmware ADDR:DATAFILE        firmware block with the file's bytes\n"
           "  --firmware-random ADDR:SIZE[:SEED]\n"
           "                                  firmware block of SIZE pseudo-random bytes (seed 1)\n"
           "  --info BUILD,VERSION,SERIAL,MODEL\n"
           "                                  information block (each field cut to 16 characters)\n"
           "  --serial-offsets SERIALADDR,DESCADDR\n"
           "                                  serial-offsets block (marks a generic image)\n"
           "  --start ADDR                    recovery loader start-address block\n"
           "  --raw BYTE:DATAFILE             any block: BYTE is type | flags << 5\n"
           "\n"
           "Edits, applied in this order after all blocks are assembled:\n"
           "  --identity BUILD,VERSION        identity record (build, X.Y.Z) at the start of the\n"
           "                                  first firmware block, for module simulators\n"
           "  --placeholders                  put the serial placeholders at the serial offsets\n"
           "  --vector-checksum               fix the vector-table check word of the block at 0\n"
           "  --encode W0,W1,W2,W3            encode the firmware blocks for this chip identifier\n"
           "\n"
           "File:\n"
           "  -o, --output FILE               the file to write (required)\n"
           "  --format-version HEX            format version (default 0101)\n"
           "  --declared-count N              block count to declare instead of the real one\n"
           "  --checksum N                    trailing checksum instead of the byte sum\n"
           "  --level N                       zlib level 0-9 (0 stores uncompressed)\n"
           "  -h, --help                      this text\n"
           "\n"
           "Exit status: 0 written, 1 input or output failure, 2 bad usage.\n";
}

}  // namespace birdmake
