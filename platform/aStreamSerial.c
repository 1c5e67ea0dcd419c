/* Linux serial port transport over termios. The descriptor is fixed for the
 * record's life, so the reading and the writing thread share nothing that
 * changes. */
#include "aStreamSerial.h"

#include "aWake.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#define aSERIAL_CHECK 0xBEEF
#define aSERIAL_PATH_MAX 4096
/* How long a get waits for a byte before it reports aErrNotReady. */
#define aSERIAL_GET_WAIT_MS 10

typedef struct {
    uint16_t check;
    unsigned int baudCode;
    char path[aSERIAL_PATH_MAX];
    int fd;
    int wake; /* ends the reader's sleep */
    struct termios found;
    struct termios applied;
} aSerialRecord;

/* The live record behind reference, or null. */
static aSerialRecord* sRecord(void* reference)
{
    aSerialRecord* record = (aSerialRecord*)reference;
    return (record != NULL && record->check == aSERIAL_CHECK) ? record : NULL;
}

/* The termios speed of a baud code; B0 for a code outside the table. */
static speed_t sSpeed(unsigned int baudCode)
{
    static const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    return baudCode < sizeof speeds / sizeof speeds[0] ? speeds[baudCode] : B0;
}

/* The error code of a failed open. */
static aErr sOpenError(int e)
{
    if (e == ENOENT || e == ENODEV || e == ENXIO || e == ENOTDIR)
        return aErrNotFound;
    if (e == EACCES || e == EPERM)
        return aErrPermission;
    return aErrIO;
}

/* Applies the link's settings to the open port and flushes both directions. */
static aErr sConfigure(aSerialRecord* record, int parity, unsigned int dataBitsMode,
                       unsigned int stopBitsMode)
{
    if (tcgetattr(record->fd, &record->found) != 0)
        return aErrIO;
    struct termios t = record->found;
    t.c_iflag &= ~(tcflag_t)(INLCR | ICRNL | IGNCR | IXON | IXOFF | IXANY | ISTRIP | INPCK |
                             PARMRK | BRKINT | IGNPAR);
    t.c_iflag |= IGNBRK;
    t.c_oflag &= ~(tcflag_t)OPOST;
    t.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL | (dataBitsMode == 1 ? CS7 : CS8);
    if (parity != 0) {
        t.c_cflag |= PARENB;
        t.c_iflag |= IGNPAR;
    }
    if (stopBitsMode == 1)
        t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = sSpeed(record->baudCode);
    /* An unknown code keeps the speed found: speed 0 would hang the line up. */
    if (speed != B0 && (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0))
        return aErrIO;
    if (tcsetattr(record->fd, TCSANOW, &t) != 0)
        return aErrIO;
    record->applied = t;
    if (tcflush(record->fd, TCIOFLUSH) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aStreamSerial_Open(const char* path, unsigned int baudCode, int parity,
                        unsigned int dataBitsMode, unsigned int stopBitsMode, void** reference)
{
    if (reference == NULL)
        return aErrParam;
    *reference = NULL;
    if (path == NULL || dataBitsMode > 1 || stopBitsMode > 1 ||
        strlen(path) >= aSERIAL_PATH_MAX)
        return aErrParam;
    aSerialRecord* record = (aSerialRecord*)calloc(1, sizeof(aSerialRecord));
    if (record == NULL)
        return aErrMemory;
    record->baudCode = baudCode;
    strcpy(record->path, path);

    /* Non-blocking so that an open never waits for carrier; blocking after. */
    record->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (record->fd < 0) {
        aErr err = sOpenError(errno);
        free(record);
        return err;
    }
    int fl = fcntl(record->fd, F_GETFL);
    aErr err = (fl < 0 || fcntl(record->fd, F_SETFL, fl & ~O_NONBLOCK) != 0) ? aErrIO : aErrNone;
    if (err == aErrNone)
        err = sConfigure(record, parity, dataBitsMode, stopBitsMode);
    record->wake = err == aErrNone ? aWake_Create() : -1;
    if (err == aErrNone && record->wake < 0)
        err = aErrResource;
    if (err != aErrNone) {
        close(record->fd);
        free(record);
        return err;
    }
    record->check = aSERIAL_CHECK;
    *reference = record;
    return aErrNone;
}

aErr aStreamSerial_Get(uint8_t* byte, void* reference)
{
    aSerialRecord* record = sRecord(reference);
    if (record == NULL || byte == NULL)
        return aErrParam;
    struct pollfd waitFor = {record->fd, POLLIN, 0};
    int ready = poll(&waitFor, 1, aSERIAL_GET_WAIT_MS);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    if (ready < 0)
        return aErrIO;
    ssize_t got = read(record->fd, byte, 1);
    if (got == 1)
        return aErrNone;
    if (got == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr aStreamSerial_Write(const uint8_t* bytes, size_t length, void* reference)
{
    aSerialRecord* record = sRecord(reference);
    if (record == NULL || (bytes == NULL && length > 0))
        return aErrParam;
    if (length == 0)
        return aErrNone;
    ssize_t written = write(record->fd, bytes, length);
    if (written < 0 || (size_t)written != length)
        return aErrIO;
    return tcdrain(record->fd) == 0 ? aErrNone : aErrIO;
}

aErr aStreamSerial_Put(uint8_t byte, void* reference)
{
    return aStreamSerial_Write(&byte, 1, reference);
}

aErr aStreamSerial_AwaitInput(unsigned long timeoutMs, void* reference)
{
    aSerialRecord* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    return aWake_AwaitInput(record->fd, record->wake, timeoutMs);
}

void aStreamSerial_Interrupt(void* reference)
{
    aSerialRecord* record = sRecord(reference);
    if (record != NULL)
        aWake_Signal(record->wake);
}

aErr aStreamSerial_Delete(void* reference)
{
    aSerialRecord* record = sRecord(reference);
    if (record == NULL)
        return aErrParam;
    aErr err = aErrNone;
    aWake_Close(record->wake);
    if (tcsetattr(record->fd, TCSANOW, &record->found) != 0)
        err = aErrIO;
    if (close(record->fd) != 0)
        err = aErrIO;
    record->check = 0;
    free(record);
    return err;
}
