#include "CharNodeServer.h"

#include "FdPump.h"

#include <cstdio>
#include <fcntl.h>
#include <umockdev.h>

namespace modsim {

bool CharNodeServer::start(std::uint32_t serial, std::string* error) {
    char name[32];
    std::snprintf(name, sizeof name, "tessaluma.%08X", unsigned(serial));
    node_ = std::string("/dev/") + name;
    const std::string record = std::string("P: /devices/virtual/tessaluma/") + name + "\nN: " + name +
                               "\nE: DEVNAME=" + node_ + "\nE: SUBSYSTEM=tessaluma\nA: dev=240:0\n";
    UMockdevTestbed* tb = umockdev_testbed_new();
    GError* gerr = nullptr;
    if (!umockdev_testbed_add_from_string(tb, record.c_str(), &gerr)) {
        if (error) *error = gerr ? gerr->message : "cannot add the device";
        if (gerr) g_error_free(gerr);
        g_object_unref(tb);
        return false;
    }
    master_ = umockdev_testbed_get_dev_fd(tb, node_.c_str());
    if (master_ < 0) {
        if (error) *error = "no pseudo-terminal behind " + node_;
        g_object_unref(tb);
        return false;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    testbed_ = tb;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void CharNodeServer::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    master_ = -1;  // owned by the testbed
    if (testbed_) g_object_unref(static_cast<UMockdevTestbed*>(testbed_));
    testbed_ = nullptr;
}

void CharNodeServer::run() {
    session_.connected();
    while (!stop_) {
        RestartRequest restart;
        const PumpEnd end = pumpFd(master_, session_, stop_, true, &restart);
        if (end == PumpEnd::Stopped || end == PumpEnd::Error) break;
        if (end == PumpEnd::Restart) {
            // A line cannot be dropped: the module stops listening instead.
            session_.disconnected();
            gone_ = restart.forever;
            if (gone_) break;
            discardFor(master_, restart.pauseMs, stop_);
            continue;
        }
        session_.disconnected();
    }
}

}  // namespace modsim
