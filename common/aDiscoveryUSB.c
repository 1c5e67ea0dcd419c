/* USB enumeration: every attached module of the family, identified by its
 * vendor and product IDs and its serial-number string. */
#include "aDiscoveryInternal.h"
#include "aUSB.h"

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

unsigned int aDiscovery_EnumerateUSB(aDiscoveryCallback callback, void* reference)
{
    libusb_context* context;
    libusb_device** devices = NULL;
    unsigned int count = 0;
    ssize_t n;
    ssize_t i;
    bool goOn = true;

    if (Tessaluma_libusb_init() != aErrNone)
        return 0;
    context = Tessaluma_libusb_get_context();
    if (!context)
        return 0;
    n = libusb_get_device_list(context, &devices);
    if (n < 0)
        return 0;
    for (i = 0; i < n && goOn; ++i) {
        struct libusb_device_descriptor descriptor;
        libusb_device_handle* handle = NULL;
        unsigned char text[sSERIAL_READ_MAX + 1];
        linkSpec spec;
        int got;
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0 ||
            !tsusb_is_tessaluma_device(descriptor.idVendor, descriptor.idProduct))
            continue;
        if (libusb_open(devices[i], &handle) != 0)
            continue;
        got = descriptor.iSerialNumber == 0
                  ? -1
                  : libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
        if (got > 0 && aDiscovery_USBSpecFromDevice(descriptor.idVendor, descriptor.idProduct,
                                                    (const char*)text, (size_t)got, &spec))
            goOn = aDiscovery_Report(callback, reference, &spec, &count);
        libusb_close(handle);
    }
    libusb_free_device_list(devices, 1);
    return count;
}
