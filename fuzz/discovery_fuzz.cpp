// Discovery replies from the network: 16-byte legacy replies, 128-byte
// linkSpec records (local server and beacon answers), USB serial-number
// strings, and the list that drops repeated answers within one query.
#include <cstring>

#include "FuzzSupport.h"
#include "aDiscoveryInternal.h"
#include "aLinkSpec.h"

namespace {

bool SameSpec(const linkSpec& a, const linkSpec& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint32_t sender = in.Word();
    const uint16_t vendor = static_cast<uint16_t>(in.Word());
    const uint16_t product = static_cast<uint16_t>(in.Word());
    const uint8_t* bytes = in.data();
    const size_t length = in.size();
    aDiscoverySeen seen;
    std::memset(&seen, 0, sizeof seen);

    linkSpec spec;
    if (aDiscovery_LegacySpecFromReply(bytes, length, sender, &spec)) {
        FUZZ_CHECK(length == aDISCOVERY_LEGACY_SIZE);
        FUZZ_CHECK(spec.type == TCPIP && spec.t.ip.ip_address == sender && spec.t.ip.ip_port <= 0xFFFF);
        FUZZ_CHECK(spec.module == bytes[1] && spec.model == bytes[12]);
        (void)aDiscovery_SeenAdd(&seen, &spec);
    }
    // Answers of every size, each 128-byte record read as a spec: writing it
    // back and reading that again gives the same spec.
    for (size_t at = 0; at + aLINKSPEC_WIRE_SIZE <= length; at += aLINKSPEC_WIRE_SIZE / 2) {
        uint8_t wire[aLINKSPEC_WIRE_SIZE];
        std::memcpy(wire, bytes + at, sizeof wire);
        aLinkSpec_FromWire(wire, &spec);
        if (spec.type == SERIAL)
            FUZZ_CHECK(std::memchr(spec.t.serial.port, 0, aLINKSPEC_PATH_MAX) != nullptr);
        uint8_t again[aLINKSPEC_WIRE_SIZE];
        aLinkSpec_ToWire(&spec, again);
        linkSpec reread;
        aLinkSpec_FromWire(again, &reread);
        FUZZ_CHECK(SameSpec(spec, reread));
        // Once seen, a spec is never new again, unless the list is full and
        // takes every further answer as new rather than drop a module.
        (void)aDiscovery_SeenAdd(&seen, &spec);
        FUZZ_CHECK(!aDiscovery_SeenAdd(&seen, &spec) || seen.count == aDISCOVERY_SEEN_MAX);
        FUZZ_CHECK(seen.count <= aDISCOVERY_SEEN_MAX);
        linkSpec* copy = aLinkSpec_Copy(&spec);
        FUZZ_CHECK(copy && SameSpec(*copy, spec));
        FUZZ_CHECK(aLinkSpec_Destroy(&copy) == aErrNone && copy == nullptr);
    }
    // A USB device's serial-number string, of any length.
    if (aDiscovery_USBSpecFromDevice(vendor, product, reinterpret_cast<const char*>(bytes), length, &spec)) {
        FUZZ_CHECK(length == 8 && spec.type == USB && spec.model == (product & 0xFFu));
        FUZZ_CHECK(spec.t.usb.usb_id == spec.serial_num);
    }
    return 0;
}
