/* The kernel-driver back end: the module's device node carries the raw link
 * bytes, read one at a time and written in blocks. */
#include "aUSBInternal.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define TSUSB_KERNEL_WRITE_CALLS_MAX 1000
/* A read waits this long for a byte so that the link's input thread can notice
 * a stop request; a blocking read on the node would hold it forever. */
#define TSUSB_KERNEL_READ_WAIT_MS 100

bool tsusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[sizeof TESSALUMA_USB_NODE_PREFIX + 8];
    snprintf(path, sizeof path, TESSALUMA_USB_NODE_PREFIX "%08X", (unsigned)serialNumber);
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

static bool sKernelHandle(const tsusb* handle)
{
    return handle->backend == tsusbBackendKernel;
}

aErr tsusb_open_tessaluma_kernel_device(tsusb* handle, const char* serialText)
{
    if (handle == NULL || handle->check != TSUSB_CHECK || serialText == NULL)
        return aErrParam;
    if (!sKernelHandle(handle))
        return aErrMode;
    if (strlen(serialText) > TESSALUMA_USB_SERIAL_MAX)
        return aErrParam;
    char path[sizeof TESSALUMA_USB_NODE_PREFIX + TESSALUMA_USB_SERIAL_MAX];
    snprintf(path, sizeof path, TESSALUMA_USB_NODE_PREFIX "%s", serialText);
    if (handle->fd >= 0) {
        close(handle->fd);
        handle->fd = -1;
    }
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        aErr err = errno == EBUSY ? aErrBusy : aErrIO;
        tsusb_trace("kernel driver open %s failed: %d\n", path, errno);
        atomic_store(&handle->state, tsusbStateClosed);
        return err;
    }
    handle->fd = fd;
    snprintf(handle->serial, sizeof handle->serial, "%s", serialText);
    atomic_store(&handle->state, tsusbStateReady);
    return aErrNone;
}

aErr tsusb_write_to_kernel_device(tsusb* handle, const uint8_t* bytes, size_t length)
{
    if (handle == NULL || handle->check != TSUSB_CHECK || (bytes == NULL && length > 0))
        return aErrParam;
    if (!sKernelHandle(handle))
        return aErrMode;
    if (handle->fd < 0)
        return aErrConnection;
    for (int calls = 0; length > 0 && calls < TSUSB_KERNEL_WRITE_CALLS_MAX; ++calls) {
        ssize_t n = write(handle->fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return aErrIO;
        bytes += n;
        length -= (size_t)n;
    }
    return length > 0 ? aErrIO : aErrNone;
}

aErr tsusb_get_from_kernel_device(tsusb* handle, uint8_t* byte)
{
    if (handle == NULL || handle->check != TSUSB_CHECK || byte == NULL)
        return aErrParam;
    if (!sKernelHandle(handle))
        return aErrMode;
    if (handle->fd < 0)
        return aErrConnection;
    struct pollfd p = {.fd = handle->fd, .events = POLLIN, .revents = 0};
    int ready = poll(&p, 1, TSUSB_KERNEL_READ_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    if (ready < 0)
        return aErrIO;
    ssize_t n = read(handle->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0)
        return aErrNotReady;
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr tsusb_close_tessaluma_kernel_device(tsusb* handle)
{
    if (handle == NULL || handle->check != TSUSB_CHECK)
        return aErrParam;
    if (!sKernelHandle(handle))
        return aErrMode;
    int fd = handle->fd;
    handle->fd = -1;
    atomic_store(&handle->state, tsusbStateClosed);
    if (fd >= 0 && close(fd) != 0)
        return aErrCancel;
    return aErrNone;
}
