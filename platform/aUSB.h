/* USB access to one Tessaluma module: the kernel-driver node
 * "/dev/tessaluma.%08X" when it exists, libusb bulk transfers on the module's
 * vendor interface otherwise. Raw link bytes only; framing lives above. */
#ifndef TS_AUSB_H
#define TS_AUSB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <libusb.h>

#include "aError.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Vendor ID of the module family; discovery uses the same value. */
#define TESSALUMA_USB_VENDOR_ID 0xF5A3
/* Product IDs with bit 15 set belong to other devices of the vendor. */
#define TESSALUMA_USB_PRODUCT_LIMIT 0x8000

/* The vendor interface that carries the link bytes. */
#define TESSALUMA_USB_INTERFACE_CLASS 0xFF
#define TESSALUMA_USB_INTERFACE_SUBCLASS 0x88
#define TESSALUMA_USB_INTERFACE_PROTOCOL 0x10

/* Longest serial text kept in a handle, terminator excluded. */
#define TESSALUMA_USB_SERIAL_MAX 256
/* Size of the receive buffer; one bulk IN transfer fills it at most. */
#define TESSALUMA_USB_RX_BUFFER 1024

/* Kernel-driver node of a module: "/dev/tessaluma." + eight upper-case hex digits. */
#define TESSALUMA_USB_NODE_PREFIX "/dev/tessaluma."

typedef enum {
    tsusbBackendKernel = 0,
    tsusbBackendLibusb = 1
} tsusbBackend;

typedef enum {
    tsusbStateCreated = 1,
    tsusbStateClosed = 2,
    tsusbStateOpened = 3,
    tsusbStateReady = 4,
    tsusbStateFailed = 5
} tsusbState;

typedef struct tsusb tsusb;

/* True for the module family: our vendor ID and a product ID below 0x8000. */
bool tsusb_is_tessaluma_device(uint16_t vendorId, uint16_t productId);

/* The process-wide libusb context. Init creates it once (later calls are
 * no-ops returning aErrNone); exit ends and clears it so a later init starts
 * afresh, e.g. after a module re-enumerated. Both are thread-safe. Init gives
 * aErrInitialization when libusb cannot start. */
aErr Tessaluma_libusb_init(void);
void Tessaluma_libusb_exit(void);
/* The shared context, or null when none has been created. It may end as soon
 * as another thread calls Tessaluma_libusb_exit: code that makes libusb calls
 * of its own holds the context instead. */
libusb_context* Tessaluma_libusb_get_context(void);

typedef struct tsusbContext tsusbContext;
/* Holds the shared context (creating it when there is none) for the caller's
 * own libusb calls: a Tessaluma_libusb_exit meanwhile only gives up the
 * process's reference, and the context ends when its last holder lets go.
 * Null when libusb cannot start. */
tsusbContext* Tessaluma_libusb_hold(void);
/* The libusb context of a hold. */
libusb_context* Tessaluma_libusb_held_context(const tsusbContext* hold);
/* Lets go of a hold and nulls *hold; null is accepted. */
void Tessaluma_libusb_release(tsusbContext** hold);

/* True when the kernel-driver node for the serial number exists and is not a
 * directory. */
bool tsusb_is_kernel_driver_installed(uint32_t serialNumber);

/* New handle in state 1 for the given back end; the libusb back end also
 * brings up the shared context. Null when memory or libusb fails. */
tsusb* tsusb_create_usb(bool useLibusb);
/* Closes whatever is open, frees, nulls *handle. aErrParam for null. */
aErr tsusb_destroy(tsusb** handle);

/* Opens the module whose serial text (eight upper-case hex digits) matches. */
aErr tsusb_open_tessaluma_device(tsusb* handle, const char* serialText);
/* Sends all bytes or fails. The libusb back end sends the block as one bulk
 * transfer (two when it would end on a 512-byte boundary), each attempt
 * bounded by 50 ms; it may block for a few attempts. */
aErr tsusb_write_to_device(tsusb* handle, const uint8_t* bytes, size_t length);
/* Hands out one received byte; aErrNotReady when none came in time
 * (up to about 1 s with libusb). */
aErr tsusb_get_from_device(tsusb* handle, uint8_t* byte);
aErr tsusb_close_tessaluma_device(tsusb* handle);

/* Back-end entry points; each answers aErrMode on the other back end's handle. */
aErr tsusb_open_tessaluma_USBlib_device(tsusb* handle, const char* serialText);
aErr tsusb_write_to_USBlib_device(tsusb* handle, const uint8_t* bytes, size_t length);
aErr tsusb_get_from_USBlib_device(tsusb* handle, uint8_t* byte);
aErr tsusb_close_tessaluma_USBlib_device(tsusb* handle);

aErr tsusb_open_tessaluma_kernel_device(tsusb* handle, const char* serialText);
aErr tsusb_write_to_kernel_device(tsusb* handle, const uint8_t* bytes, size_t length);
aErr tsusb_get_from_kernel_device(tsusb* handle, uint8_t* byte);
aErr tsusb_close_tessaluma_kernel_device(tsusb* handle);

/* Introspection for callers that report state (and for tests). */
tsusbBackend tsusb_get_backend(const tsusb* handle);
int tsusb_get_state(const tsusb* handle);

#ifdef __cplusplus
}
#endif
#endif
