// The plain records of the object layer: the network configuration of a link
// and the UEI request record that sendUEI fills from and receiveUEI fills in.
#pragma once

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "aLinkSpec.h"
#include "aPacket.h"

namespace Tarvelin {
namespace Tessaluma {

// Whether and how a link is shared over the network. The defaults wrap every
// local link in a link server on the loopback interface.
struct aEtherConfig {
    bool enabled = true;        // a link may be a network client; local links are served
    bool fallback = true;       // a failed discovery is retried over the other family
    bool localOnly = true;      // the link server listens on loopback only
    uint16_t assignedPort = 0;  // link server port; 0 = any, receives the bound one
    uint32_t networkInterface = htonl(INADDR_LOOPBACK);  // IPv4, network byte order
};

// The network-client link types (a link server's clients).
inline bool isAETHER(linkType type)
{
    return type >= AETHER_FIRST && type <= AETHER_LAST;
}

enum ueiType : uint8_t {
    type_NONE = 0,
    type_BYTE = 1,
    type_SHORT = 2,
    type_INT = 4,
    type_BYTES = 5,
};

// A byte-array value: what to send (data, capacity bytes) or where a reply
// series goes (data of capacity bytes, *count bytes so far).
struct ueiBytes {
    uint8_t* data;
    uint8_t sequence;  // the series number expected next
    uint8_t more;      // the continue flag of the last packet received
    size_t capacity;
    size_t* count;
};

// One UEI request or reply. An error reply leaves the error bit in specifier
// and the module's aErr in v.byteVal.
struct uei {
    uint8_t module = 0;
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t specifier = 0;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    } v{};
    ueiType type = type_NONE;
};

// A stream callback; runs on the link's stream worker, never on its input
// thread. Its result is ignored.
using streamCallback = std::function<uint8_t(const aPacket* packet, void* context)>;

}  // namespace Tessaluma
}  // namespace Tarvelin
