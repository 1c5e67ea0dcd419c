/* USB handles, the shared libusb context and the libusb back end. The kernel
 * back end is in aUSBKernel.c; the dispatchers here pick one by the handle. */
#include "aUSBInternal.h"
#include "aUSBSeam.h"

#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TSUSB_WRITE_TIMEOUT_MS 50
#define TSUSB_READ_TIMEOUT_MS 1000
#define TSUSB_WRITE_FAILURES_MAX 10
/* Consecutive aErrIO results absorbed before the handle gives up. */
#define TSUSB_IO_TOLERANCE 4
/* Some module firmware drops a bulk OUT transfer that ends exactly on a
 * multiple of this size. */
#define TSUSB_SHORTENED_CHUNK 512

/* The trace switch lives in the link core; platform code may be linked
 * without it, so the reference is weak. */
extern int aTessalumaDebuggingEnable __attribute__((weak));

void tsusb_trace(const char* format, ...)
{
    if (&aTessalumaDebuggingEnable == NULL ||
        !__atomic_load_n(&aTessalumaDebuggingEnable, __ATOMIC_RELAXED))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}

/* ---- libusb table ---------------------------------------------------- */

static const tsusbLibusbOps sRealOps = {
    .init = libusb_init,
    .exit = libusb_exit,
    .get_device_list = libusb_get_device_list,
    .free_device_list = libusb_free_device_list,
    .get_device_descriptor = libusb_get_device_descriptor,
    .open = libusb_open,
    .close = libusb_close,
    .get_device = libusb_get_device,
    .get_string_descriptor_ascii = libusb_get_string_descriptor_ascii,
    .get_active_config_descriptor = libusb_get_active_config_descriptor,
    .free_config_descriptor = libusb_free_config_descriptor,
    .get_max_packet_size = libusb_get_max_packet_size,
    .claim_interface = libusb_claim_interface,
    .release_interface = libusb_release_interface,
    .bulk_transfer = libusb_bulk_transfer,
    .clear_halt = libusb_clear_halt,
};

static const tsusbLibusbOps* _Atomic sOps = &sRealOps;

const tsusbLibusbOps* tsusb_libusb_default_ops(void)
{
    return &sRealOps;
}

void tsusb_libusb_set_ops(const tsusbLibusbOps* ops)
{
    atomic_store(&sOps, ops ? ops : &sRealOps);
}

const tsusbLibusbOps* tsusb_libusb_ops(void)
{
    return atomic_load(&sOps);
}

static const tsusbLibusbOps* sLib(void)
{
    return tsusb_libusb_ops();
}

/* ---- shared context --------------------------------------------------- */

/* Open handles keep the context they were opened in: dropping the shared
 * context (a reconnect does so while a module re-enumerates) must not pull it
 * from under a handle still in use, so the last holder ends it. */
struct tsusbContext {
    libusb_context* context;
    int holders;
};

static pthread_mutex_t sContextMutex = PTHREAD_MUTEX_INITIALIZER;
static tsusbContext* Tessaluma_libusb_context = NULL;

/* Caller holds sContextMutex. */
static aErr sContextCreateLocked(void)
{
    if (Tessaluma_libusb_context != NULL)
        return aErrNone;
    tsusbContext* shared = (tsusbContext*)calloc(1, sizeof *shared);
    if (shared == NULL)
        return aErrMemory;
    int r = sLib()->init(&shared->context);
    if (r != LIBUSB_SUCCESS) {
        tsusb_trace("libusb init error: %d\n", r);
        free(shared);
        return aErrInitialization;
    }
    shared->holders = 1;
    Tessaluma_libusb_context = shared;
    return aErrNone;
}

/* Caller holds sContextMutex. */
static void sContextReleaseLocked(tsusbContext* shared)
{
    if (shared == NULL || --shared->holders > 0)
        return;
    sLib()->exit(shared->context);
    free(shared);
}

aErr Tessaluma_libusb_init(void)
{
    pthread_mutex_lock(&sContextMutex);
    aErr err = sContextCreateLocked();
    pthread_mutex_unlock(&sContextMutex);
    return err;
}

void Tessaluma_libusb_exit(void)
{
    pthread_mutex_lock(&sContextMutex);
    tsusbContext* shared = Tessaluma_libusb_context;
    Tessaluma_libusb_context = NULL;
    sContextReleaseLocked(shared);
    pthread_mutex_unlock(&sContextMutex);
}

libusb_context* Tessaluma_libusb_get_context(void)
{
    pthread_mutex_lock(&sContextMutex);
    libusb_context* context =
        Tessaluma_libusb_context ? Tessaluma_libusb_context->context : NULL;
    pthread_mutex_unlock(&sContextMutex);
    return context;
}

static tsusbContext* sContextAcquire(void)
{
    pthread_mutex_lock(&sContextMutex);
    tsusbContext* shared = NULL;
    if (sContextCreateLocked() == aErrNone) {
        shared = Tessaluma_libusb_context;
        shared->holders++;
    }
    pthread_mutex_unlock(&sContextMutex);
    return shared;
}

static void sContextRelease(tsusbContext* shared)
{
    pthread_mutex_lock(&sContextMutex);
    sContextReleaseLocked(shared);
    pthread_mutex_unlock(&sContextMutex);
}

tsusbContext* Tessaluma_libusb_hold(void)
{
    return sContextAcquire();
}

libusb_context* Tessaluma_libusb_held_context(const tsusbContext* hold)
{
    return hold ? hold->context : NULL;
}

void Tessaluma_libusb_release(tsusbContext** hold)
{
    if (hold == NULL || *hold == NULL)
        return;
    sContextRelease(*hold);
    *hold = NULL;
}

/* ---- handles ---------------------------------------------------------- */

bool tsusb_is_tessaluma_device(uint16_t vendorId, uint16_t productId)
{
    return vendorId == TESSALUMA_USB_VENDOR_ID && productId < TESSALUMA_USB_PRODUCT_LIMIT;
}

static bool sValid(const tsusb* handle)
{
    return handle != NULL && handle->check == TSUSB_CHECK;
}

tsusb* tsusb_create_usb(bool useLibusb)
{
    tsusb* handle = (tsusb*)calloc(1, sizeof *handle);
    if (handle == NULL)
        return NULL;
    if (useLibusb) {
        handle->context = sContextAcquire();
        if (handle->context == NULL) {
            free(handle);
            return NULL;
        }
    }
    handle->check = TSUSB_CHECK;
    handle->backend = useLibusb ? tsusbBackendLibusb : tsusbBackendKernel;
    handle->fd = -1;
    atomic_init(&handle->state, tsusbStateCreated);
    atomic_init(&handle->ioErrors, 0);
    return handle;
}

/* Gives the interface back and closes the device; endpoints are forgotten. */
static void sLibusbRelease(tsusb* handle)
{
    if (handle->device == NULL)
        return;
    if (atomic_load(&handle->state) != tsusbStateOpened)
        sLib()->release_interface(handle->device, handle->interfaceNumber);
    sLib()->close(handle->device);
    handle->device = NULL;
    handle->outEndpoint = 0;
    handle->inEndpoint = 0;
}

aErr tsusb_destroy(tsusb** handle)
{
    if (handle == NULL || !sValid(*handle))
        return aErrParam;
    tsusb* h = *handle;
    if (h->backend == tsusbBackendLibusb) {
        sLibusbRelease(h);
        sContextRelease(h->context);
    } else if (h->fd >= 0) {
        tsusb_close_tessaluma_kernel_device(h);
    }
    h->check = 0;
    free(h);
    *handle = NULL;
    return aErrNone;
}

tsusbBackend tsusb_get_backend(const tsusb* handle)
{
    return sValid(handle) ? handle->backend : tsusbBackendKernel;
}

int tsusb_get_state(const tsusb* handle)
{
    return sValid(handle) ? atomic_load(&handle->state) : 0;
}

/* ---- libusb back end -------------------------------------------------- */

/* Absorbs short runs of I/O errors: the first TSUSB_IO_TOLERANCE in a row
 * leave the handle usable; the next one fails it for good. A tolerated read
 * error is reported as "no byte yet", never as a byte; a tolerated write error
 * as a write that did not go out (aErrWrite), so the caller may send again. */
static aErr sHandleErrorTolerance(tsusb* handle, aErr result, bool reading)
{
    if (result != aErrIO) {
        atomic_store(&handle->ioErrors, 0);
        return result;
    }
    int before = atomic_fetch_add(&handle->ioErrors, 1);
    if (before < TSUSB_IO_TOLERANCE)
        return reading ? aErrNotReady : aErrWrite;
    atomic_store(&handle->state, tsusbStateFailed);
    return aErrIO;
}

/* Finds the vendor interface and its IN and OUT endpoints. */
static aErr sFindVendorInterface(tsusb* handle, libusb_device* device)
{
    struct libusb_config_descriptor* config = NULL;
    if (sLib()->get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS || config == NULL)
        return aErrConfiguration;
    aErr err = aErrConfiguration;
    bool seen = false;
    for (int i = 0; i < config->bNumInterfaces && !seen; ++i) {
        const struct libusb_interface* intf = &config->interface[i];
        for (int a = 0; a < intf->num_altsetting; ++a) {
            const struct libusb_interface_descriptor* alt = &intf->altsetting[a];
            if (alt->bInterfaceClass != TESSALUMA_USB_INTERFACE_CLASS ||
                alt->bInterfaceSubClass != TESSALUMA_USB_INTERFACE_SUBCLASS ||
                alt->bInterfaceProtocol != TESSALUMA_USB_INTERFACE_PROTOCOL)
                continue;
            seen = true;
            uint8_t in = 0, out = 0;
            for (int e = 0; e < alt->bNumEndpoints; ++e) {
                const struct libusb_endpoint_descriptor* ep = &alt->endpoint[e];
                if ((ep->bmAttributes & 0x02) == 0)
                    continue;
                if (ep->bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    in = ep->bEndpointAddress;
                else
                    out = ep->bEndpointAddress;
            }
            if (in != 0 && out != 0) {
                int inMax = sLib()->get_max_packet_size(device, in);
                int outMax = sLib()->get_max_packet_size(device, out);
                /* An endpoint without a packet size carries nothing. */
                if (inMax > 0 && outMax > 0 && inMax <= 0xFFFF && outMax <= 0xFFFF) {
                    handle->interfaceNumber = alt->bInterfaceNumber;
                    handle->inEndpoint = in;
                    handle->outEndpoint = out;
                    handle->inMaxPacket = (uint16_t)inMax;
                    handle->outMaxPacket = (uint16_t)outMax;
                    err = aErrNone;
                }
            }
            break;
        }
    }
    sLib()->free_config_descriptor(config);
    return err;
}

/* The device's serial-number string matches the text exactly, case included. */
static bool sSerialMatches(libusb_device_handle* device, uint8_t index, const char* serialText,
                           char* matched)
{
    unsigned char text[TESSALUMA_USB_SERIAL_MAX + 1];
    if (index == 0)
        return false;
    int n = sLib()->get_string_descriptor_ascii(device, index, text, TESSALUMA_USB_SERIAL_MAX);
    if (n < 0)
        return false;
    text[n] = 0;
    if (strcmp((const char*)text, serialText) != 0)
        return false;
    memcpy(matched, text, (size_t)n + 1);
    return true;
}

static aErr sClaimError(int r)
{
    switch (r) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

aErr tsusb_open_tessaluma_USBlib_device(tsusb* handle, const char* serialText)
{
    if (!sValid(handle) || serialText == NULL)
        return aErrParam;
    if (handle->backend != tsusbBackendLibusb)
        return aErrMode;
    if (atomic_load(&handle->state) == 0 || handle->context == NULL)
        return aErrResource;
    /* Reopening after a failure must not leak the earlier device handle. */
    if (handle->device != NULL) {
        sLibusbRelease(handle);
        atomic_store(&handle->state, tsusbStateClosed);
    }

    libusb_device** list = NULL;
    ssize_t count = sLib()->get_device_list(handle->context->context, &list);
    if (count < 0) {
        tsusb_trace("libusb device list error: %d\n", (int)count);
        return aErrNotFound;
    }
    aErr err = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        struct libusb_device_descriptor desc;
        if (sLib()->get_device_descriptor(list[i], &desc) != LIBUSB_SUCCESS ||
            !tsusb_is_tessaluma_device(desc.idVendor, desc.idProduct))
            continue;
        libusb_device_handle* device = NULL;
        if (sLib()->open(list[i], &device) != LIBUSB_SUCCESS || device == NULL)
            continue;
        if (!sSerialMatches(device, desc.iSerialNumber, serialText, handle->serial)) {
            sLib()->close(device);
            continue;
        }
        handle->device = device;
        atomic_store(&handle->state, tsusbStateOpened);
        err = sFindVendorInterface(handle, list[i]);
        if (err == aErrNone) {
            int r = sLib()->claim_interface(device, handle->interfaceNumber);
            if (r == LIBUSB_SUCCESS) {
                handle->rxPosition = 0;
                handle->rxAvailable = 0;
                atomic_store(&handle->ioErrors, 0);
                atomic_store(&handle->state, tsusbStateReady);
            } else {
                tsusb_trace("libusb claim interface error: %d\n", r);
                err = sClaimError(r);
            }
        }
        if (err != aErrNone) {
            sLib()->close(device);
            handle->device = NULL;
            atomic_store(&handle->state, tsusbStateClosed);
        }
        break;
    }
    sLib()->free_device_list(list, 1);
    return err;
}

/* The state's verdict for a transfer, or aErrNone in state ready. */
static aErr sStateError(tsusb* handle, const char* what)
{
    int state = atomic_load(&handle->state);
    switch (state) {
    case tsusbStateReady:
        return aErrNone;
    case tsusbStateClosed:
        return aErrConnection;
    case tsusbStateCreated:
    case tsusbStateOpened:
        return aErrNotReady;
    default:
        tsusb_trace("libusb %s error dev state: %d\n", what, state);
        return aErrIO;
    }
}

/* The next transfer of a write: everything that is left, one byte short when
 * that would end the transfer on a 512-byte boundary (the short rest follows
 * as a transfer of its own). The host controller cuts a transfer into the
 * endpoint's packets, so the module sees the same packets as from one
 * transfer per packet, without waiting a frame for each. */
static size_t sTransferLength(size_t remaining)
{
    if (remaining >= TSUSB_SHORTENED_CHUNK && remaining % TSUSB_SHORTENED_CHUNK == 0)
        return remaining - 1;
    return remaining;
}

static aErr sLibusbWrite(tsusb* handle, const uint8_t* bytes, size_t length)
{
    aErr err = sStateError(handle, "WRITE");
    if (err != aErrNone)
        return err;
    int failures = 0;
    while (length > 0 && failures < TSUSB_WRITE_FAILURES_MAX) {
        size_t chunk = sTransferLength(length < INT_MAX ? length : INT_MAX);
        int sent = 0;
        int r = sLib()->bulk_transfer(handle->device, handle->outEndpoint, (unsigned char*)bytes,
                                      (int)chunk, &sent, TSUSB_WRITE_TIMEOUT_MS);
        /* A timed-out transfer may still have moved part of the chunk; resending
         * those bytes would duplicate them on the link. */
        if (sent > 0 && (size_t)sent <= chunk) {
            bytes += sent;
            length -= (size_t)sent;
        }
        if (r == LIBUSB_SUCCESS && sent > 0)
            continue;
        /* A module busy writing flash takes a long block a few packets per
         * time-out: an attempt that moved bytes is progress, not a failure,
         * and each one moves at least a byte, so the loop still ends. */
        if (r == LIBUSB_ERROR_TIMEOUT && sent > 0)
            continue;
        /* A transfer that moved nothing is a failed attempt even when libusb
         * calls it a success; otherwise the loop would never end. */
        ++failures;
        tsusb_trace("libusb error: %d\n", r);
        if (r == LIBUSB_ERROR_PIPE) {
            int c = sLib()->clear_halt(handle->device, handle->outEndpoint);
            if (c != LIBUSB_SUCCESS) {
                tsusb_trace("libusb WRITE error clearing halt: %d\n", c);
                return aErrIO;
            }
        }
    }
    return length > 0 ? aErrWrite : aErrNone;
}

aErr tsusb_write_to_USBlib_device(tsusb* handle, const uint8_t* bytes, size_t length)
{
    if (!sValid(handle) || (bytes == NULL && length > 0))
        return aErrParam;
    if (handle->backend != tsusbBackendLibusb)
        return aErrMode;
    return sHandleErrorTolerance(handle, sLibusbWrite(handle, bytes, length), false);
}

static aErr sLibusbFill(tsusb* handle)
{
    aErr err = sStateError(handle, "READ");
    if (err != aErrNone)
        return err;
    int received = 0;
    int r = sLib()->bulk_transfer(handle->device, handle->inEndpoint, handle->rx,
                                  TESSALUMA_USB_RX_BUFFER, &received, TSUSB_READ_TIMEOUT_MS);
    if (received < 0 || received > TESSALUMA_USB_RX_BUFFER)
        received = 0;
    if (r == LIBUSB_ERROR_PIPE) {
        sLib()->clear_halt(handle->device, handle->inEndpoint);
        return aErrNotReady;
    }
    if (r != LIBUSB_SUCCESS && r != LIBUSB_ERROR_TIMEOUT) {
        tsusb_trace("libusb READ error bulk transfer: %d\n", r);
        return aErrIO;
    }
    if (received == 0)
        return aErrNotReady;
    handle->rxPosition = 0;
    handle->rxAvailable = (size_t)received;
    return aErrNone;
}

aErr tsusb_get_from_USBlib_device(tsusb* handle, uint8_t* byte)
{
    if (!sValid(handle) || byte == NULL)
        return aErrParam;
    if (handle->backend != tsusbBackendLibusb)
        return aErrMode;
    aErr err = aErrNone;
    if (handle->rxAvailable == 0)
        err = sLibusbFill(handle);
    if (err == aErrNone) {
        *byte = handle->rx[handle->rxPosition++];
        handle->rxAvailable--;
    }
    return sHandleErrorTolerance(handle, err, true);
}

aErr tsusb_close_tessaluma_USBlib_device(tsusb* handle)
{
    if (!sValid(handle))
        return aErrParam;
    if (handle->backend != tsusbBackendLibusb || handle->device == NULL)
        return aErrMode;
    sLibusbRelease(handle);
    handle->rxAvailable = 0;
    atomic_store(&handle->state, tsusbStateClosed);
    return aErrNone;
}

/* ---- dispatch --------------------------------------------------------- */

aErr tsusb_open_tessaluma_device(tsusb* handle, const char* serialText)
{
    if (!sValid(handle))
        return aErrParam;
    return handle->backend == tsusbBackendLibusb
               ? tsusb_open_tessaluma_USBlib_device(handle, serialText)
               : tsusb_open_tessaluma_kernel_device(handle, serialText);
}

aErr tsusb_write_to_device(tsusb* handle, const uint8_t* bytes, size_t length)
{
    if (!sValid(handle))
        return aErrParam;
    return handle->backend == tsusbBackendLibusb
               ? tsusb_write_to_USBlib_device(handle, bytes, length)
               : tsusb_write_to_kernel_device(handle, bytes, length);
}

aErr tsusb_get_from_device(tsusb* handle, uint8_t* byte)
{
    if (!sValid(handle))
        return aErrParam;
    return handle->backend == tsusbBackendLibusb ? tsusb_get_from_USBlib_device(handle, byte)
                                                 : tsusb_get_from_kernel_device(handle, byte);
}

aErr tsusb_close_tessaluma_device(tsusb* handle)
{
    if (!sValid(handle))
        return aErrParam;
    return handle->backend == tsusbBackendLibusb ? tsusb_close_tessaluma_USBlib_device(handle)
                                                 : tsusb_close_tessaluma_kernel_device(handle);
}
