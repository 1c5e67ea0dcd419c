/* USB streams: a module reached through the kernel driver's node when the
 * driver is installed for it, through libusb otherwise. */
#include "aStream.h"
#include "aUSB.h"

#include <stdio.h>
#include <stdlib.h>

#define aSTREAM_USB_CHECK 0xDEAD

typedef struct aStreamUSB {
    uint16_t check;
    uint32_t serialNumber;
    tsusb* handle;
} aStreamUSB;

static aStreamUSB* sRecord(void* reference)
{
    aStreamUSB* usb = (aStreamUSB*)reference;
    return usb != NULL && usb->check == aSTREAM_USB_CHECK ? usb : NULL;
}

static aErr sUSBGet(uint8_t* byte, void* reference)
{
    aStreamUSB* usb = sRecord(reference);
    if (usb == NULL || byte == NULL)
        return aErrParam;
    return tsusb_get_from_device(usb->handle, byte);
}

static aErr sUSBPut(uint8_t byte, void* reference)
{
    aStreamUSB* usb = sRecord(reference);
    if (usb == NULL)
        return aErrParam;
    return tsusb_write_to_device(usb->handle, &byte, 1);
}

static aErr sUSBWrite(const uint8_t* bytes, size_t length, void* reference)
{
    aStreamUSB* usb = sRecord(reference);
    if (usb == NULL || bytes == NULL)
        return aErrParam;
    return tsusb_write_to_device(usb->handle, bytes, length);
}

/* The stream object is gone once this returns, so the record is freed even
 * when the close fails; the close error is still reported. */
static aErr sUSBDelete(void* reference)
{
    aStreamUSB* usb = sRecord(reference);
    if (usb == NULL)
        return aErrParam;
    aErr err = tsusb_close_tessaluma_device(usb->handle);
    tsusb_destroy(&usb->handle);
    usb->check = 0;
    free(usb);
    return err;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream)
{
    if (stream == NULL || serialNumber == 0)
        return aErrParam;
    *stream = NULL;
    aStreamUSB* usb = (aStreamUSB*)calloc(1, sizeof *usb);
    if (usb == NULL)
        return aErrMemory;
    usb->check = aSTREAM_USB_CHECK;
    usb->serialNumber = serialNumber;
    usb->handle = tsusb_create_usb(!tsusb_is_kernel_driver_installed(serialNumber));
    if (usb->handle == NULL) {
        free(usb);
        return aErrResource;
    }
    char serialText[9];
    snprintf(serialText, sizeof serialText, "%08X", (unsigned)serialNumber);
    aErr err = tsusb_open_tessaluma_device(usb->handle, serialText);
    if (err == aErrNone) {
        *stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, usb);
        if (*stream != NULL)
            return aErrNone;
        tsusb_close_tessaluma_device(usb->handle);
        err = aErrMemory;
    }
    tsusb_destroy(&usb->handle);
    free(usb);
    return err;
}
