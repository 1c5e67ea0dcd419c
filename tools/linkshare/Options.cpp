#include "Options.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "aServerKeys.h"

namespace linkshare {

bool parseSerial(const std::string& text, std::uint32_t& serial)
{
    if (text.size() != 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    serial = std::uint32_t(std::strtoul(text.c_str(), nullptr, 16));
    return serial != 0;
}

bool parseAddress(const std::string& text, std::uint32_t& address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

std::string addressText(std::uint32_t address)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{address};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

namespace {

bool parsePort(const std::string& text, std::uint16_t& port)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value > 65535)
        return false;
    port = std::uint16_t(value);
    return true;
}

bool fail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return false;
}

// The options both programs share; true when argv[i] was one of them (i then
// points at its last word).
bool parseKeyOption(int argc, char** argv, int& i, KeyOptions& keys, bool* bad)
{
    const std::string arg = argv[i];
    *bad = false;
    if (arg == "-i" && i + 1 < argc) {
        keys.store = argv[++i];
        *bad = keys.store.empty();
    } else if (arg == "--key") {
        keys.printKey = true;
    } else if (arg == "--secure") {
        keys.secure = true;
    } else if (arg == "--clear") {
        keys.clear = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

void applyKeys(const KeyOptions& keys)
{
    aServerKeys_SetStore(keys.store.empty() ? nullptr : keys.store.c_str());
    aServerKeys_SetEncryptLoopback(keys.secure);
    aServerKeys_SetAllowClear(keys.clear);
}

bool parseShare(int argc, char** argv, ShareOptions& options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool bad = false;
        if (parseKeyOption(argc, argv, i, options.keys, &bad)) {
            if (bad)
                return fail(error, "-i needs the directory that holds \"updater\"");
        } else if (arg == "--allow" && hasValue) {
            options.allow = argv[++i];
        } else if (arg == "--tcp" && hasValue) {
            const std::string value = argv[++i];
            const size_t colon = value.rfind(':');
            if (colon == std::string::npos || !parseAddress(value.substr(0, colon), options.tcpAddress) ||
                !parsePort(value.substr(colon + 1), options.tcpPort) || options.tcpPort == 0)
                return fail(error, "--tcp needs ADDRESS:PORT, e.g. 192.168.1.20:9000");
            options.tcp = true;
        } else if (arg == "--port" && hasValue) {
            if (!parsePort(argv[++i], options.port))
                return fail(error, "--port needs a TCP port number");
        } else if (arg == "--interface" && hasValue) {
            if (!parseAddress(argv[++i], options.networkInterface) || options.networkInterface == 0)
                return fail(error, "--interface needs this host's IPv4 address");
        } else if (options.serial == 0 && parseSerial(arg, options.serial)) {
        } else {
            return fail(error, "unexpected argument: " + arg);
        }
    }
    if (options.keys.secure && options.keys.clear)
        return fail(error, "--secure and --clear contradict each other");
    if (options.serial == 0 && options.allow.empty() && !options.keys.printKey)
        return fail(error, "which module? give its serial number (8 hexadecimal digits)");
    return true;
}

bool parseClient(int argc, char** argv, ClientOptions& options, std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        bool bad = false;
        if (parseKeyOption(argc, argv, i, options.keys, &bad)) {
            if (bad)
                return fail(error, "-i needs the directory that holds \"updater\"");
        } else if (arg == "--trust" && i + 2 < argc) {
            if (!parseAddress(argv[i + 1], options.trustAddress) || options.trustAddress == 0)
                return fail(error, "--trust needs the server's IPv4 address and its key file");
            options.trustFile = argv[i + 2];
            i += 2;
        } else if (arg == "--interface" && i + 1 < argc) {
            if (!parseAddress(argv[++i], options.networkInterface) || options.networkInterface == 0)
                return fail(error, "--interface needs this host's IPv4 address");
        } else if (options.serial == 0 && parseSerial(arg, options.serial)) {
        } else {
            return fail(error, "unexpected argument: " + arg);
        }
    }
    if (options.keys.secure && options.keys.clear)
        return fail(error, "--secure and --clear contradict each other");
    return true;
}

}  // namespace linkshare
