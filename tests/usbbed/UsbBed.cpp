#include "UsbBed.h"

#include "FdPump.h"
#include "ImxChip.h"

#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#ifndef USBBED_PRELOAD
#define USBBED_PRELOAD "libumockdev-preload.so.0"
#endif

namespace usbbed {

namespace {
// The pump's longest sleep when nothing is due sooner.
constexpr std::uint64_t kIdleWakeUs = 5000;
constexpr int kPipeBytes = 4096;
// A removed device's sysfs entry goes this long after the "remove" event at
// the latest, and this long after it at the earliest (when it returns).
constexpr std::chrono::milliseconds kStaleEntry{1000};
constexpr std::chrono::milliseconds kRemoveEventGrace{200};

void makeParents(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
}
}  // namespace

UsbBed::UsbBed() {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) throw std::runtime_error("umockdev testbed cannot be made");
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    dir_ = root;
    g_free(root);
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UsbBed::handleIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&UsbBed::clientConnected), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UsbBed::clientVanished), this);
    thread_ = std::thread([this] { run(); });
}

UsbBed::~UsbBed() {
    // A chip may be putting its live loader on the bus.
    for (auto& chip : chips_) chip->stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    nodesStop_ = true;
    for (std::thread& t : nodeThreads_) t.join();
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(testbed_);
    g_object_unref(handler_);
    modules_.clear();
    chips_.clear();
}

UsbModule& UsbBed::add(modsim::ModuleSession& session, const ModuleOptions& options) {
    UsbModule* m = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        modules_.push_back(std::make_unique<UsbModule>(*this, session, options, unsigned(modules_.size() + 1)));
        m = modules_.back().get();
    }
    addToTestbed(*m, true);
    return *m;
}

ImxChip& UsbBed::addImx(const ImxOptions& options) {
    auto chip = std::make_unique<ImxChip>(*this, options);
    ImxChip& c = *chip;
    chips_.push_back(std::move(chip));
    return c;
}

void UsbBed::addKernelNode(modsim::ModuleSession& session, std::uint32_t serial) {
    char name[32];
    std::snprintf(name, sizeof name, "tessaluma.%08X", unsigned(serial));
    const std::string node = std::string("/dev/") + name;
    const std::string record = std::string("P: /devices/virtual/tessaluma/") + name + "\nN: " + name +
                               "\nE: DEVNAME=" + node + "\nE: SUBSYSTEM=tessaluma\nA: dev=240:0\n";
    std::lock_guard<std::mutex> testbedLock(testbedMutex_);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::string text = error ? error->message : "?";
        if (error) g_error_free(error);
        throw std::runtime_error("usbbed: cannot add " + node + ": " + text);
    }
    const int master = umockdev_testbed_get_dev_fd(testbed_, node.c_str());
    if (master < 0) throw std::runtime_error("usbbed: no pseudo-terminal behind " + node);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // The line stays while the bed does (the testbed owns the master).
    nodeThreads_.emplace_back([this, &session, master] {
        session.connected();
        while (!nodesStop_) {
            modsim::RestartRequest restart;
            const modsim::PumpEnd end = modsim::pumpFd(master, session, nodesStop_, true, &restart);
            if (end == modsim::PumpEnd::Stopped || end == modsim::PumpEnd::Error) break;
            session.disconnected();
            if (end == modsim::PumpEnd::Restart) {
                if (restart.forever) break;
                modsim::discardFor(master, restart.pauseMs, nodesStop_);
            }
        }
    });
}

void UsbBed::setTiming(const Timing& timing) {
    std::lock_guard<std::mutex> lock(mutex_);
    timing_ = timing;
    for (auto& m : modules_) m->clock_.configure(timing);
}

std::map<std::string, std::string> UsbBed::childEnvironment() const {
    return {{"LD_PRELOAD", USBBED_PRELOAD}, {"UMOCKDEV_DIR", dir_}};
}

bool UsbBed::waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::uint64_t UsbBed::nowUs() const {
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_).count());
}

void UsbBed::wake() { cv_.notify_one(); }

void UsbBed::dropReturn(UsbModule* m) {
    for (auto it = returns_.begin(); it != returns_.end();)
        it = it->first == m ? returns_.erase(it) : it + 1;
}

// ---- umockdev's worker thread ---------------------------------------------

int UsbBed::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* bed = static_cast<UsbBed*>(self);
    const char* node = umockdev_ioctl_client_get_devnode(client);
    std::lock_guard<std::mutex> lock(bed->mutex_);
    auto found = node ? bed->nodes_.find(node) : bed->nodes_.end();
    if (found == bed->nodes_.end()) return FALSE;
    return found->second->handleRequest(client, node, umockdev_ioctl_client_get_request(client),
                                        umockdev_ioctl_client_get_arg(client))
               ? TRUE
               : FALSE;
}

void UsbBed::clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* bed = static_cast<UsbBed*>(self);
    const char* node = umockdev_ioctl_client_get_devnode(client);
    std::lock_guard<std::mutex> lock(bed->mutex_);
    auto found = node ? bed->nodes_.find(node) : bed->nodes_.end();
    if (found != bed->nodes_.end()) found->second->clientConnected(node);
}

void UsbBed::clientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* bed = static_cast<UsbBed*>(self);
    std::lock_guard<std::mutex> lock(bed->mutex_);
    for (auto& m : bed->modules_) m->clientGone(client);
}

// ---- the bus --------------------------------------------------------------

void UsbBed::addToTestbed(UsbModule& m, bool announce) {
    std::lock_guard<std::mutex> testbedLock(testbedMutex_);
    dropStaleEntry(m);
    unsigned devnum = 0;
    std::string record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devnum = nextDevnum_++;
        // A quiet return: the "add" event names another device type, so running
        // hosts pass it by; the device is whole for anyone who lists afresh.
        record = sysfsRecord(m.currentIdentity(), m.port_, devnum, m.options_.speedMbps,
                             announce ? "usb_device" : "usb_port");
        nodes_[devNode(devnum)] = &m;
    }
    const std::string node = devNode(devnum);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, &error)) {
        std::fprintf(stderr, "usbbed: cannot serve %s: %s\n", node.c_str(), error ? error->message : "?");
        if (error) g_error_free(error);
        return;
    }
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::fprintf(stderr, "usbbed: cannot add %s: %s\n", node.c_str(), error ? error->message : "?");
        if (error) g_error_free(error);
        return;
    }
    if (!announce) umockdev_testbed_set_property(testbed_, sysfsPath(m.port_).c_str(), "DEVTYPE", "usb_device");
    const std::string path = dir_ + node;
    makeParents(path);
    ::unlink(path.c_str());
    int fifo = -1;
    if (::mkfifo(path.c_str(), 0666) == 0) {
        fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo >= 0) ::fcntl(fifo, F_SETPIPE_SZ, kPipeBytes);
    }
    if (fifo < 0) std::fprintf(stderr, "usbbed: %s is a plain file: hosts will poll it busily\n", node.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    m.markPresent(devnum, fifo);
    wake();
}

// The "remove" event leaves from umockdev's worker thread, built from the
// device's sysfs entry: the entry stays a while so that the event can still be
// made on a busy machine, or the hosts would never hear of the removal. Until
// it goes, a host that lists the bus still sees the device but cannot open it.
void UsbBed::removeFromTestbed(UsbModule& m) {
    std::lock_guard<std::mutex> testbedLock(testbedMutex_);
    umockdev_testbed_uevent(testbed_, sysfsPath(m.port_).c_str(), "remove");
    staleEntries_[&m] = std::chrono::steady_clock::now();
}

void UsbBed::dropStaleEntry(UsbModule& m) {
    auto found = staleEntries_.find(&m);
    if (found == staleEntries_.end()) return;
    const auto ready = found->second + kRemoveEventGrace;
    if (std::chrono::steady_clock::now() < ready) std::this_thread::sleep_until(ready);
    umockdev_testbed_remove_device(testbed_, sysfsPath(m.port_).c_str());
    staleEntries_.erase(found);
}

void UsbBed::sweepStaleEntries() {
    // A change under way (a return may wait here) is not waited for.
    std::unique_lock<std::mutex> testbedLock(testbedMutex_, std::try_to_lock);
    if (!testbedLock.owns_lock()) return;
    const auto old = std::chrono::steady_clock::now() - kStaleEntry;
    for (auto it = staleEntries_.begin(); it != staleEntries_.end();) {
        if (it->second > old) {
            ++it;
            continue;
        }
        umockdev_testbed_remove_device(testbed_, sysfsPath(it->first->port_).c_str());
        it = staleEntries_.erase(it);
    }
}

void UsbBed::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        lock.unlock();
        sweepStaleEntries();
        lock.lock();
        const std::uint64_t now = nowUs();
        std::vector<std::pair<UsbModule*, modsim::RestartRequest>> restarts;
        std::uint64_t wakeAt = now + kIdleWakeUs;
        for (auto& m : modules_) {
            if (std::optional<modsim::RestartRequest> r = m->pump(now)) {
                m->markGone();
                restarts.emplace_back(m.get(), *r);
            }
            const std::uint64_t due = m->nextDueUs();
            if (due != 0 && due < wakeAt) wakeAt = due;
        }
        std::vector<UsbModule*> back;
        for (auto it = returns_.begin(); it != returns_.end();) {
            if (it->second <= now) {
                back.push_back(it->first);
                it = returns_.erase(it);
            } else {
                if (it->second < wakeAt) wakeAt = it->second;
                ++it;
            }
        }
        if (!restarts.empty() || !back.empty()) {
            lock.unlock();
            for (auto& [m, request] : restarts) {
                removeFromTestbed(*m);
                std::lock_guard<std::mutex> relock(mutex_);
                if (request.forever) continue;
                const std::uint16_t loader = m->options_.loaderProduct;
                if (loader != 0) m->product_ = m->restarts_ % 2 == 1 ? loader : m->options_.identity.product;
                if (!m->options_.loaderSerial.empty())
                    m->serialNow_ = m->restarts_ % 2 == 1 ? m->options_.loaderSerial : m->options_.identity.serial;
                returns_.emplace_back(m, nowUs() + std::uint64_t(request.pauseMs) * 1000);
            }
            for (UsbModule* m : back) addToTestbed(*m, m->options_.announceReturn);
            lock.lock();
            continue;
        }
        const std::uint64_t after = nowUs();
        if (wakeAt > after) cv_.wait_for(lock, std::chrono::microseconds(wakeAt - after));
    }
}

}  // namespace usbbed
