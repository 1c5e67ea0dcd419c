/* USB enumeration: every attached module of the family, identified by its
 * vendor and product IDs and its serial-number string. */
#include "aDiscoveryInternal.h"
#include "aUSB.h"
#include "aUSBSeam.h"

#include <string.h>

/* Longest serial string read from a device, terminator excluded. */
#define sSERIAL_READ_MAX 32
#define sSERIAL_DIGITS 8

static int sHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool aDiscovery_USBSpecFromDevice(uint16_t vendorId, uint16_t productId, const char* serialText,
                                  size_t length, linkSpec* spec)
{
    uint32_t serial = 0;
    size_t i;
    if (!serialText || !spec || length != sSERIAL_DIGITS || !tsusb_is_tessaluma_device(vendorId, productId))
        return false;
    /* Every character must be a digit: a partly numeric string would give a
     * serial number the device does not have. */
    for (i = 0; i < length; ++i) {
        const int v = sHexValue(serialText[i]);
        if (v < 0)
            return false;
        serial = (serial << 4) | (uint32_t)v;
    }
    memset(spec, 0, sizeof *spec);
    spec->type = USB;
    spec->serial_num = serial;
    spec->model = productId & 0xFFu;
    spec->t.usb.usb_id = serial;
    return true;
}

/* The walk holds the shared context: a reconnect elsewhere may drop it (a
 * module re-enumerating) while devices of its list are still open here. */
unsigned int aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* reference)
{
    const tsusbLibusbOps* lib = tsusb_libusb_ops();
    tsusbContext* hold = Tessaluma_libusb_hold();
    libusb_device** devices = NULL;
    unsigned int count = 0;
    ssize_t n;
    ssize_t i;
    bool goOn = true;

    if (!hold)
        return 0;
    n = lib->get_device_list(Tessaluma_libusb_held_context(hold), &devices);
    for (i = 0; i < n && goOn; ++i) {
        struct libusb_device_descriptor descriptor;
        libusb_device_handle* handle = NULL;
        unsigned char text[sSERIAL_READ_MAX + 1];
        linkSpec spec;
        int got;
        if (lib->get_device_descriptor(devices[i], &descriptor) != 0 ||
            !tsusb_is_tessaluma_device(descriptor.idVendor, descriptor.idProduct))
            continue;
        if (lib->open(devices[i], &handle) != 0)
            continue;
        got = descriptor.iSerialNumber == 0
                  ? -1
                  : lib->get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
        if (got > 0 && aDiscovery_USBSpecFromDevice(descriptor.idVendor, descriptor.idProduct,
                                                    (const char*)text, (size_t)got, &spec))
            goOn = aDiscovery_Report(callback, reference, &spec, &count);
        lib->close(handle);
    }
    if (n >= 0)
        lib->free_device_list(devices, 1);
    Tessaluma_libusb_release(&hold);
    return count;
}
