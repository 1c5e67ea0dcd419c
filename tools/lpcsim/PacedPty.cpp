#include "PacedPty.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace simline {

namespace {

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

unsigned rateOf(speed_t speed)
{
    switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
    }
}

}  // namespace

void appendBytes(Reply& reply, const std::string& bytes)
{
    if (bytes.empty()) return;
    if (reply.empty()) reply.push_back({});
    reply.back().bytes += bytes;
}

PacedPty::PacedPty(Handler handler, unsigned baud)
    : handler_(std::move(handler)), byteUs_(baud == 0 ? 0 : (10'000'000 + baud - 1) / baud)
{
}

bool PacedPty::start(std::string* error)
{
    char name[256] = {};
    termios t{};
    ::cfmakeraw(&t);
    if (::openpty(&master_, &slave_, name, &t, nullptr) != 0) {
        if (error) *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = name;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void PacedPty::stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

// The terminal settings belong to the line, not to one opener: what the host
// set on its descriptor is what ours reads. A host that closes the port puts
// back what it found (no rate: 0).
unsigned PacedPty::hostRate() const
{
    termios t{};
    if (::tcgetattr(slave_, &t) != 0) return 0;
    return rateOf(::cfgetospeed(&t));
}

void PacedPty::queue(const Reply& reply, int64_t now)
{
    int64_t at = now;
    for (const Segment& s : reply) {
        at += s.pauseUs;
        if (!s.bytes.empty()) tx_.push_back({at, s.bytes});
    }
}

void PacedPty::takeInput(int64_t now)
{
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) return;  // EAGAIN, or EIO while no host holds the line
        // Read as soon as the host writes them, so at the rate it wrote them with.
        const unsigned rate = hostRate();
        for (ssize_t i = 0; i < n; ++i) {
            if (byteUs_ == 0) {
                rx_.push_back({buf[i], now, rate});
            } else {
                // Each byte takes a character time on the wire after the one before.
                rxClockUs_ = std::max(rxClockUs_, now) + byteUs_;
                rx_.push_back({buf[i], rxClockUs_, rate});
            }
        }
    }
}

void PacedPty::deliverInput(int64_t now)
{
    while (!rx_.empty() && rx_.front().dueUs <= now) {
        // One delivery per run of bytes sent at the same rate.
        const unsigned rate = rx_.front().rate;
        std::string bytes;
        while (!rx_.empty() && rx_.front().dueUs <= now && rx_.front().rate == rate) {
            bytes += char(rx_.front().byte);
            rx_.pop_front();
        }
        Reply reply;
        std::lock_guard<std::mutex> hold(mutex_);
        handler_(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), rate, reply);
        queue(reply, now);
    }
}

bool PacedPty::flushOutput(int64_t now)
{
    std::lock_guard<std::mutex> hold(mutex_);
    while (!tx_.empty()) {
        Outgoing& o = tx_.front();
        if (o.notBeforeUs > now) return true;
        std::size_t due = o.bytes.size();
        int64_t start = 0;
        if (byteUs_ != 0) {
            // Bytes leave one character time apart once the line is free.
            start = std::max(txFreeUs_, o.notBeforeUs);
            due = std::size_t(std::clamp<int64_t>((now - start) / byteUs_, 0, int64_t(o.bytes.size())));
            if (due == 0) return true;
        }
        const ssize_t n = ::write(master_, o.bytes.data(), due);
        if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
        if (byteUs_ != 0) txFreeUs_ = start + int64_t(n) * byteUs_;
        o.bytes.erase(0, std::size_t(n));
        if (!o.bytes.empty()) {
            if (byteUs_ != 0) o.notBeforeUs = txFreeUs_;
            return true;
        }
        tx_.pop_front();
    }
    return true;
}

int64_t PacedPty::nextWakeUs(int64_t now)
{
    int64_t next = now + 5000;
    if (!rx_.empty()) next = std::min(next, rx_.front().dueUs);
    std::lock_guard<std::mutex> hold(mutex_);
    if (!tx_.empty()) {
        const Outgoing& o = tx_.front();
        next = std::min(next, byteUs_ == 0 ? o.notBeforeUs : std::max(txFreeUs_, o.notBeforeUs) + byteUs_);
    }
    return next;
}

void PacedPty::run()
{
    while (!stop_) {
        const int64_t now = nowUs();
        takeInput(now);
        deliverInput(now);
        if (!flushOutput(now)) break;
        // At least a millisecond: bytes due now that the host did not take yet
        // (its side full) are tried again then, not in a busy loop.
        const int64_t waitUs = nextWakeUs(nowUs()) - nowUs();
        const int timeoutMs = int(std::clamp<int64_t>((waitUs + 999) / 1000, 1, 5));
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace simline
