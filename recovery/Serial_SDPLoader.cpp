// The serial transport: termios on the ROM's UART, raw 115200 8N1.
#include "Serial_SDPLoader.h"

#include "Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

struct PrivateSerial_SDPLoader {
    std::string path;
    int fd = 0;  // 0 while closed
    struct termios settings {};
};

namespace {
constexpr size_t kWordOffset = 4;  // after the security-mode word
constexpr size_t kSecurityWordBytes = 4;
constexpr int kCommandBytes = 16;
// How long an answer to a filler byte may take to reach us. A USB serial
// adapter holds a short reply until its latency timer runs out (16 ms by
// default on common ones), so the wait must outlast that timer, or a unit the
// filler completed is taken for one still open and the framing overshoots.
constexpr int kFillerAnswerMs = 50;

void sPauseMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// True when a byte can be read from fd within ms.
bool sReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

// The ROM reads its commands as 16-byte units, and a probe for another chip
// on the same line (the LPC sync "?") leaves it part-way into one. Filler
// bytes go one at a time until the ROM answers the unit they complete (an
// unknown command: it reports its security mode); from then on its framing is
// in step with ours. The whole answer is taken off the line, however it
// arrives, so that none of it is read as the answer to a later command. A ROM
// that answers nothing is left to the liveness test.
void sRealign(int fd)
{
    static const uint8_t filler = 0;
    for (int sent = 0; sent < kCommandBytes; ++sent) {
        if (write(fd, &filler, 1) != 1)
            return;
        if (!sReadable(fd, kFillerAnswerMs))
            continue;
        uint8_t word[kSecurityWordBytes];
        size_t got = 0;
        // Bounded also on a port that reports input it then fails to give
        // (an adapter unplugged).
        for (int waits = 0; got < sizeof word && waits < (int)sizeof word;) {
            const ssize_t n = read(fd, word + got, sizeof word - got);
            if (n > 0) {
                got += (size_t)n;
                continue;
            }
            if (!sReadable(fd, kFillerAnswerMs))
                break;
            ++waits;
        }
        tcflush(fd, TCIFLUSH);
        Log::log(DEBUG_iMXSerial, "Serial line in step after %d filler bytes (%zu answer bytes)\n", sent + 1, got);
        return;
    }
}
}  // namespace

Serial_SDPLoader::Serial_SDPLoader(const std::string& path) : d(std::make_unique<PrivateSerial_SDPLoader>())
{
    d->path = path;
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (d->fd > 0) {
        tcflush(d->fd, TCIOFLUSH);
        if (tcsetattr(d->fd, TCSANOW, &d->settings) != 0)
            Log::log(DEBUG_iMXSerial, "Cannot restore the settings of %s: errno %d\n", d->path.c_str(), errno);
        close(d->fd);
    }
    d->fd = 0;
}

bool Serial_SDPLoader::init()
{
    if (d->fd > 0)
        return true;
    const int fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Log::log(DEBUG_iMXSerial, "Cannot open %s: errno %d\n", d->path.c_str(), errno);
        return false;
    }
    if (!isatty(fd) || tcgetattr(fd, &d->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "%s is not a terminal\n", d->path.c_str());
        close(fd);
        return false;
    }
    struct termios t = d->settings;
    cfmakeraw(&t);
    t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 || tcsetattr(fd, TCSAFLUSH, &t) != 0) {
        Log::log(DEBUG_iMXSerial, "Cannot configure %s: errno %d\n", d->path.c_str(), errno);
        close(fd);
        return false;
    }
    d->fd = fd;
    // Let the line settle, then start from nothing in either direction.
    sPauseMs(1000);
    tcflush(fd, TCIOFLUSH);
    sRealign(fd);
    return true;
}

ssize_t Serial_SDPLoader::writeData(const uint8_t* packet, size_t length)
{
    if (d->fd <= 0 || packet == nullptr || length < 1)
        return -1;
    const uint8_t* bytes = packet + 1;  // no report id on a serial line
    const size_t total = length - 1;
    size_t done = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (done < total) {
        const ssize_t n = write(d->fd, bytes + done, total - done);
        if (n > 0) {
            done += (size_t)n;
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Log::log(DEBUG_iMXSerial, "Serial write failed: errno %d after %zu of %zu bytes\n", errno, done, total);
            break;
        }
        // A port that takes nothing for this long will not take the rest.
        if (std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(WRITE_STALL_LIMIT_MS)) {
            Log::log(DEBUG_iMXSerial, "Serial write stalled: %zu of %zu bytes\n", done, total);
            break;
        }
        sPauseMs(1);
    }
    return (ssize_t)done;
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    if (d->fd <= 0)
        return 0;
    if (timeoutMs > 0)
        sPauseMs(timeoutMs);
    ssize_t count = 0;
    uint8_t bytes[256];
    while ((size_t)count < MAX_READ_BYTES) {
        const size_t room = std::min(sizeof bytes, MAX_READ_BYTES - (size_t)count);
        const ssize_t got = read(d->fd, bytes, room);
        if (got <= 0)
            break;
        out.insert(out.end(), bytes, bytes + got);
        count += got;
    }
    return count;
}

bool Serial_SDPLoader::getSecurityWord(const std::vector<uint8_t>& reply, uint32_t& value)
{
    if (reply.size() < 4)
        return false;
    value = (uint32_t)reply[0] | ((uint32_t)reply[1] << 8) | ((uint32_t)reply[2] << 16) | ((uint32_t)reply[3] << 24);
    return true;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned index, uint32_t& value)
{
    if (index > 15 || reply.size() < (index + 2u) * 4u)
        return false;
    const size_t at = kWordOffset + index;
    value = (uint32_t)reply[at] | ((uint32_t)reply[at + 1] << 8) | ((uint32_t)reply[at + 2] << 16) |
            ((uint32_t)reply[at + 3] << 24);
    return true;
}
