// Command lines of the two sharing programs.
#pragma once

#include <cstdint>
#include <string>

namespace linkshare {

// What the keys of link servers and their clients are asked to do.
struct KeyOptions {
    std::string store;       // the Tarvelin directory (-i); empty = ~/.tarvelin
    bool printKey = false;   // --key: print this user's public key file and stop
    bool secure = false;     // --secure: encrypt on loopback too
    bool clear = false;      // --clear: allow the clear on network interfaces
};

struct ShareOptions {
    std::uint32_t serial = 0;
    bool tcp = false;             // the module is on the network...
    std::uint32_t tcpAddress = 0; // ... at this IPv4 address (network order)
    std::uint16_t tcpPort = 0;    // ... and port
    std::uint16_t port = 0;       // the server's port; 0 = any free one
    std::uint32_t networkInterface = 0;  // 0 = loopback only
    std::string allow;            // --allow FILE: admit that client key and stop
    KeyOptions keys;
};

struct ClientOptions {
    std::uint32_t serial = 0;  // 0 = the first server found
    std::uint32_t networkInterface = 0;  // 0 = servers on this host
    std::uint32_t trustAddress = 0;      // --trust ADDRESS FILE: pin that server's key and stop
    std::string trustFile;
    KeyOptions keys;
};

// Parse argv; false with a message in *error for anything unusable.
bool parseShare(int argc, char** argv, ShareOptions& options, std::string* error);
bool parseClient(int argc, char** argv, ClientOptions& options, std::string* error);

// "%08X" serial numbers and dotted IPv4 addresses.
bool parseSerial(const std::string& text, std::uint32_t& serial);
bool parseAddress(const std::string& text, std::uint32_t& address);
std::string addressText(std::uint32_t address);

// Puts the key options in force for this process (aServerKeys.h).
void applyKeys(const KeyOptions& keys);

}  // namespace linkshare
