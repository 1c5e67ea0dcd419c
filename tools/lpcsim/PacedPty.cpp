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
}  // namespace

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

void PacedPty::queue(const std::string& bytes, int64_t now)
{
    if (bytes.empty()) return;
    // A transmitter that ran dry starts again now, not where it stopped.
    if (tx_.empty()) txClockUs_ = std::max(txClockUs_, now);
    tx_ += bytes;
}


void PacedPty::takeInput(int64_t now)
{
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) return;  // EAGAIN, or EIO while no host holds the line
        for (ssize_t i = 0; i < n; ++i) {
            if (byteUs_ == 0) {
                rx_.push_back({buf[i], now});
            } else {
                // Each byte takes a character time on the wire after the one before.
                rxClockUs_ = std::max(rxClockUs_, now) + byteUs_;
                rx_.push_back({buf[i], rxClockUs_});
            }
        }
    }
}

void PacedPty::deliverInput(int64_t now)
{
    std::string bytes;
    while (!rx_.empty() && rx_.front().dueUs <= now) {
        bytes += char(rx_.front().byte);
        rx_.pop_front();
    }
    if (bytes.empty()) return;
    std::string reply;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        handler_(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), reply);
        queue(reply, now);
    }
}

bool PacedPty::flushOutput(int64_t now)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (tx_.empty()) return true;
    std::size_t due = tx_.size();
    if (byteUs_ != 0) {
        // Bytes leave one character time apart from when the transmitter started.
        due = std::size_t(std::clamp<int64_t>((now - txClockUs_) / byteUs_, 0, int64_t(tx_.size())));
        if (due == 0) return true;
    }
    const ssize_t n = ::write(master_, tx_.data(), due);
    if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
    tx_.erase(0, std::size_t(n));
    if (byteUs_ != 0) txClockUs_ += int64_t(n) * byteUs_;
    return true;
}

int64_t PacedPty::nextDueUs() const
{
    int64_t next = nowUs() + 5000;
    if (!rx_.empty()) next = std::min(next, rx_.front().dueUs);
    return next;
}

void PacedPty::run()
{
    while (!stop_) {
        const int64_t now = nowUs();
        takeInput(now);
        deliverInput(now);
        if (!flushOutput(now)) break;
        bool txPending;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            txPending = !tx_.empty();
        }
        int64_t waitUs = nextDueUs() - nowUs();
        if (txPending) waitUs = std::min<int64_t>(waitUs, byteUs_ == 0 ? 1000 : std::max<int64_t>(byteUs_, 200));
        pollfd p{master_, POLLIN, 0};
        const int timeoutMs = int(std::max<int64_t>(0, (waitUs + 999) / 1000));
        if (::poll(&p, 1, std::min(timeoutMs, 5)) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace simline
