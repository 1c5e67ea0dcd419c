#include "Descriptors.h"

#include <cstdio>

namespace usbbed {

namespace {
constexpr std::uint8_t kStringMaker = 1;
constexpr std::uint8_t kStringProduct = 2;
constexpr std::uint8_t kStringSerial = 3;

void put16(std::vector<std::uint8_t>& b, unsigned v) {
    b.push_back(std::uint8_t(v & 0xFF));
    b.push_back(std::uint8_t(v >> 8));
}

std::vector<std::uint8_t> utf16Descriptor(const std::string& text) {
    std::vector<std::uint8_t> d{std::uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) put16(d, std::uint8_t(c));
    return d;
}
}  // namespace

std::vector<std::uint8_t> descriptorBlob(const Identity& id) {
    std::vector<std::uint8_t> b{18, 1};
    put16(b, 0x0200);              // bcdUSB
    b.insert(b.end(), {0, 0, 0, 64});  // class, subclass, protocol, ep0 size
    put16(b, id.vendor);
    put16(b, id.product);
    put16(b, 0x0100);              // bcdDevice
    b.insert(b.end(), {kStringMaker, kStringProduct, kStringSerial, 1});
    // Configuration 1: one interface, two bulk endpoints.
    const unsigned total = 9 + 9 + 7 + 7;
    b.insert(b.end(), {9, 2});
    put16(b, total);
    b.insert(b.end(), {1, 1, 0, 0x80, 50});
    b.insert(b.end(), {9, 4, 0, 0, 2, id.interfaceClass, id.interfaceSubclass, id.interfaceProtocol, 0});
    for (std::uint8_t ep : {id.inEndpoint, id.outEndpoint}) {
        b.insert(b.end(), {7, 5, ep, 2});
        put16(b, id.maxPacket);
        b.push_back(0);
    }
    return b;
}

std::vector<std::uint8_t> stringDescriptor(const Identity& id, std::uint8_t index) {
    switch (index) {
    case 0: return {4, 3, 0x09, 0x04};
    case kStringMaker: return utf16Descriptor("Tarvelin");
    case kStringProduct: return utf16Descriptor("Tessaluma module");
    case kStringSerial: return utf16Descriptor(id.serial);
    default: return {};
    }
}

std::string sysfsPath(unsigned port) {
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
}

std::string devNode(unsigned devnum) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", devnum);
    return node;
}

std::string sysfsRecord(const Identity& id, unsigned port, unsigned devnum, unsigned speedMbps,
                        const std::string& devtype) {
    std::string hex;
    char two[3];
    for (std::uint8_t byte : descriptorBlob(id)) {
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04x", id.vendor);
    const std::string vendor = ids;
    std::snprintf(ids, sizeof ids, "%04x", id.product);
    const std::string product = ids;
    const std::string name = "1-" + std::to_string(port);
    return "P: " + sysfsPath(port).substr(4) + "\n" +
           "N: " + devNode(devnum).substr(5) + "\n" +
           "E: DEVNAME=" + devNode(devnum) + "\n" +
           "E: DEVTYPE=" + devtype + "\n" +
           "E: SUBSYSTEM=usb\n"
           "E: DRIVER=usb\n"
           "E: BUSNUM=001\n"
           "E: DEVNUM=" + devNode(devnum).substr(17) + "\n" +
           "E: ID_VENDOR_ID=" + vendor + "\n" +
           "E: ID_MODEL_ID=" + product + "\n" +
           "E: ID_SERIAL_SHORT=" + id.serial + "\n" +
           "A: busnum=1\n"
           "A: devnum=" + std::to_string(devnum) + "\n" +
           "A: bConfigurationValue=1\n"
           "A: bNumConfigurations=1\n"
           "A: idVendor=" + vendor + "\n" +
           "A: idProduct=" + product + "\n" +
           "A: serial=" + id.serial + "\n" +
           "A: speed=" + std::to_string(speedMbps) + "\n" +
           "H: descriptors=" + hex + "\n";
}

}  // namespace usbbed
