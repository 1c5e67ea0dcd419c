#include "CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace lpcsim {

namespace {

bool number(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && out <= max && text[0] != '-';
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool fault(const std::string& text, Faults& f, std::string& error)
{
    const std::size_t eq = text.find('=');
    unsigned long long n = 0;
    if (eq == std::string::npos || !number(text.substr(eq + 1), 0xFFFFFFFFu, n) || n == 0) {
        error = "--fault wants KIND=N with N from 1: " + text;
        return false;
    }
    const std::string kind = text.substr(0, eq);
    if (kind == "resend") f.resendAt = unsigned(n);
    else if (kind == "resend-times") f.resendTimes = unsigned(n);
    else if (kind == "read-bad-sum") f.readBadSumAt = unsigned(n);
    else if (kind == "silence") f.silenceAfterLines = unsigned(n);
    else if (kind == "drop") f.dropByteAt = unsigned(n);
    else if (kind == "copy-fail") f.copyFailAt = unsigned(n);
    else {
        error = "unknown fault: " + kind;
        return false;
    }
    return true;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLine& out, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            out.help = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = option + " needs a value (or is unknown)";
            return false;
        }
        const std::string value = argv[++i];
        unsigned long long n = 0;
        if (option == "--baud") {
            if (!number(value, 4000000, n)) return error = "bad --baud: " + value, false;
            out.options.baud = unsigned(n);
        } else if (option == "--flash-out") {
            out.options.flashOut = value;
        } else if (option == "--part-id") {
            if (!number(value, 0xFFFFFFFFu, n)) return error = "bad --part-id: " + value, false;
            out.options.rom.partId = uint32_t(n);
        } else if (option == "--uid") {
            const std::vector<std::string> words = split(value, ',');
            if (words.size() != 4) return error = "--uid wants four words: " + value, false;
            for (int k = 0; k < 4; ++k) {
                if (!number(words[k], 0xFFFFFFFFu, n)) return error = "bad --uid word: " + words[k], false;
                out.options.rom.uid[k] = uint32_t(n);
            }
        } else if (option == "--boot-version") {
            const std::vector<std::string> parts = split(value, '.');
            unsigned long long minor = 0;
            if (parts.size() != 2 || !number(parts[0], 255, n) || !number(parts[1], 255, minor))
                return error = "--boot-version wants MAJOR.MINOR: " + value, false;
            out.options.rom.bootMajor = uint8_t(n);
            out.options.rom.bootMinor = uint8_t(minor);
        } else if (option == "--erase-ms") {
            if (!number(value, 10000, n)) return error = "bad --erase-ms: " + value, false;
            out.options.rom.eraseUsPerSector = uint32_t(n * 1000);
        } else if (option == "--copy-us") {
            if (!number(value, 1000000, n)) return error = "bad --copy-us: " + value, false;
            out.options.rom.copyUsPer256 = uint32_t(n);
        } else if (option == "--fault") {
            if (!fault(value, out.options.rom.faults, error)) return false;
        } else {
            error = "unknown option " + option;
            return false;
        }
    }
    return true;
}

const char* usageText()
{
    return "usage: lpcsim [options]\n"
           "An LPC1768 boot ROM in ISP mode on a pseudo-terminal. Prints \"pty PATH\" when ready,\n"
           "\"go ADDRESS, user code valid|invalid\" when the host starts code (whether the vector\n"
           "table would let the ROM start it after a reset); runs until SIGTERM or SIGINT and\n"
           "then prints its counters on standard error.\n"
           "  --baud N             pace both directions at N baud (default: unpaced)\n"
           "  --flash-out FILE     the whole flash (512 KiB), rewritten after every erase and copy\n"
           "  --uid W0,W1,W2,W3    the device serial number words (N command)\n"
           "  --part-id N          part identification (J command; default 0x26013F37)\n"
           "  --boot-version M.N   boot code version (K command; default 4.1)\n"
           "  --erase-ms N         milliseconds an erase takes per sector (default 100)\n"
           "  --copy-us N          microseconds a copy to flash takes per 256 bytes (default 1000)\n"
           "  --fault KIND=N       resend=N: answer the N-th write checksum with RESEND once;\n"
           "                       resend-times=K: that one and the K - 1 after it;\n"
           "                       read-bad-sum=N: send the N-th read checksum wrong once;\n"
           "                       silence=N: answer nothing after the N-th line received;\n"
           "                       drop=N: lose the N-th byte received;\n"
           "                       copy-fail=N: answer the N-th copy to flash BUSY, programming nothing\n";
}

}  // namespace lpcsim
