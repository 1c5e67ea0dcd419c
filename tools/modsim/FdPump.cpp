#include "FdPump.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace modsim {

namespace {
bool writeAll(int fd, const std::vector<std::uint8_t>& bytes, const std::atomic<bool>& stop) {
    std::size_t done = 0;
    while (done < bytes.size() && !stop) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}
}  // namespace

void pauseUnlessStopped(std::uint32_t ms, const std::atomic<bool>& stop) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void discardFor(int fd, std::uint32_t ms, const std::atomic<bool>& stop) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::uint8_t buf[256];
    while (!stop && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
            if (::read(fd, buf, sizeof buf) <= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } else if (p.revents & (POLLHUP | POLLERR)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

PumpEnd pumpFd(int fd, ModuleSession& session, const std::atomic<bool>& stop, bool hangupIsIdle,
               RestartRequest* restart) {
    std::uint8_t buf[512];
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, session.pollIntervalMs());
        if (r < 0 && errno != EINTR) return PumpEnd::Error;
        if (r > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                session.input(buf, std::size_t(n), steadyMs());
            } else if (n == 0) {
                return PumpEnd::PeerClosed;
            } else if (errno == EIO && hangupIsIdle) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            } else if (errno != EAGAIN && errno != EINTR) {
                return PumpEnd::PeerClosed;
            }
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            if (!hangupIsIdle) return PumpEnd::PeerClosed;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const std::vector<std::uint8_t> out = session.output(steadyMs());
        if (!out.empty() && !writeAll(fd, out, stop)) return PumpEnd::PeerClosed;
        if (session.takeReset()) return PumpEnd::Reset;
        if (const std::optional<RestartRequest> due = session.takeRestart()) {
            if (restart) *restart = *due;
            return PumpEnd::Restart;
        }
    }
    return PumpEnd::Stopped;
}

}  // namespace modsim
