#include "PtyServer.h"

#include "FdPump.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace modsim {

bool PtyServer::start(std::string* error) {
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

void PtyServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
}

void PtyServer::run() {
    session_.connected();
    while (!stop_) {
        RestartRequest restart;
        const PumpEnd end = pumpFd(master_, session_, stop_, true, &restart);
        if (end == PumpEnd::Stopped || end == PumpEnd::Error) break;
        if (end == PumpEnd::Restart) {
            // A line cannot be dropped: the module stops listening instead.
            session_.disconnected();
            gone_ = restart.forever;
            if (gone_) {
                if (onGone_) onGone_(restart);
                break;
            }
            discardFor(master_, restart.pauseMs, stop_);
            continue;
        }
        // A serial line cannot be reset: the module restarts its link instead.
        session_.disconnected();
    }
}

}  // namespace modsim
