/* The USB handle record shared by the two back ends. Not for users of aUSB.h. */
#ifndef TS_AUSBINTERNAL_H
#define TS_AUSBINTERNAL_H

#include <stdatomic.h>

#include "aUSB.h"

#define TSUSB_CHECK 0xDEAD

struct tsusb {
    uint16_t check;
    tsusbBackend backend;
    char serial[TESSALUMA_USB_SERIAL_MAX + 1];
    int fd;                            /* kernel back end, -1 when closed */
    libusb_device_handle* device;      /* libusb back end */
    tsusbContext* context;             /* the libusb context this handle holds */
    /* Read by both threads; each is a single word. */
    atomic_int state;
    atomic_int ioErrors;
    /* Set by open and close only, while neither thread transfers. */
    int interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint16_t outMaxPacket;
    uint16_t inMaxPacket;
    /* Reader's side only. */
    uint8_t rx[TESSALUMA_USB_RX_BUFFER];
    size_t rxPosition;
    size_t rxAvailable;
};

/* Prints one trace line when the link core's trace switch is on. */
void tsusb_trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
