// The descriptors an emulated module presents: what the kernel would expose in
// sysfs for enumeration, and the string descriptors it answers on endpoint 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usbbed {

// Who the device says it is, and the shape of its vendor interface.
struct Identity {
    std::uint16_t vendor = 0xF5A3;
    std::uint16_t product = 0x0001;
    std::string serial;               // the serial-number string, as given
    std::uint16_t maxPacket = 64;     // of both bulk endpoints
    std::uint8_t interfaceClass = 0xFF;
    std::uint8_t interfaceSubclass = 0x88;
    std::uint8_t interfaceProtocol = 0x10;
    std::uint8_t inEndpoint = 0x81;
    std::uint8_t outEndpoint = 0x02;
};

// Device descriptor followed by the whole configuration (the sysfs
// "descriptors" attribute).
std::vector<std::uint8_t> descriptorBlob(const Identity& id);

// The string descriptors of the device: index 0 the language list, 1 the
// maker, 2 the product, 3 the serial number. Empty for an unknown index.
std::vector<std::uint8_t> stringDescriptor(const Identity& id, std::uint8_t index);

// The umockdev record of one device at sysfs name "1-<port>" on bus 1.
// devtype: what the "add" event announces ("usb_device" for a device hosts
// pick up at once).
std::string sysfsRecord(const Identity& id, unsigned port, unsigned devnum, unsigned speedMbps,
                        const std::string& devtype = "usb_device");
std::string sysfsPath(unsigned port);
std::string devNode(unsigned devnum);

}  // namespace usbbed
