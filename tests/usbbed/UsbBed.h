// A USB bus for tests: modsim modules presented as USB devices through
// umockdev (faked sysfs, udev and /dev, usbfs requests answered here). It
// serves libusb in this process (link the umockdev preload library first) and
// in spawned programs (give them childEnvironment()); both see the same bus.
//
// Create the bed before the first libusb context of the process and end every
// context (Tessaluma_libusb_exit) before the bed goes.
#pragma once

#include "UsbModule.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace usbbed {

class ImxChip;
struct ImxOptions;

class UsbBed {
public:
    UsbBed();
    ~UsbBed();
    UsbBed(const UsbBed&) = delete;
    UsbBed& operator=(const UsbBed&) = delete;

    // Plugs in a device presenting session (which must outlive the bed), on
    // the next free port, in the order of the calls.
    UsbModule& add(modsim::ModuleSession& session, const ModuleOptions& options);
    // The kernel driver's node "/dev/tessaluma.%08X" for serial, carrying the
    // raw link bytes of session (which must outlive the bed). modsim's own
    // CharNodeServer brings a testbed of its own, and a process has room for
    // one: beside a bus, the bed serves the node.
    void addKernelNode(modsim::ModuleSession& session, std::uint32_t serial);
    // An i.MX chip in its boot ROM, on the bus (HID) or on a pseudo-terminal
    // (UART), whose jump brings its live loader onto the bus (ImxChip.h). The
    // bed keeps it, and the live loader's session, until it goes.
    ImxChip& addImx(const ImxOptions& options);
    // The full-speed timing model for every device (off by default).
    void setTiming(const Timing& timing);

    // The testbed directory (UMOCKDEV_DIR), and the environment a spawned
    // program needs to see the bus: the preload library (after the sanitizer
    // runtime in a sanitizer build) and UMOCKDEV_DIR.
    std::string directory() const { return dir_; }
    std::map<std::string, std::string> childEnvironment() const;

    // Runs f(UMockdevTestbed*) while no other change is made to the testbed:
    // for devices of other kinds beside the modules (a hidraw node...).
    template <typename F>
    auto withTestbed(F f) {
        std::lock_guard<std::mutex> lock(testbedMutex_);
        return f(testbed_);
    }

    // Polls cond every 10 ms until it holds or the time is up.
    static bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

private:
    friend class UsbModule;
    static int handleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    static void clientConnected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    static void clientVanished(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    void run();
    // Lock held: the pump thread looks at the modules now.
    void wake();
    std::uint64_t nowUs() const;
    // Testbed changes, made without the bed lock (umockdev's worker may be
    // waiting for it inside a handler).
    void addToTestbed(UsbModule& m, bool announce);
    void removeFromTestbed(UsbModule& m);
    // Testbed lock held: removes m's sysfs entry left by removeFromTestbed.
    void dropStaleEntry(UsbModule& m);
    void sweepStaleEntries();
    // Lock held: forgets a pending return of m.
    void dropReturn(UsbModule* m);

    UMockdevTestbed* testbed_ = nullptr;
    UMockdevIoctlBase* handler_ = nullptr;
    std::string dir_;
    std::mutex testbedMutex_;  // serialises testbed changes, guards staleEntries_
    std::map<UsbModule*, std::chrono::steady_clock::time_point> staleEntries_;
    std::mutex mutex_;         // guards every module's state
    std::condition_variable cv_;
    bool stop_ = false;
    Timing timing_;
    std::vector<std::unique_ptr<UsbModule>> modules_;
    std::map<std::string, UsbModule*> nodes_;  // every node a module ever had
    unsigned nextDevnum_ = 2;
    // Returns due after a restart: module and time (microseconds of nowUs()).
    std::vector<std::pair<UsbModule*, std::uint64_t>> returns_;
    std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
    std::thread thread_;
    std::atomic<bool> nodesStop_{false};
    std::vector<std::thread> nodeThreads_;
    // Stopped before the bus goes, freed after its modules (their sessions are the chips').
    std::vector<std::unique_ptr<ImxChip>> chips_;
};

}  // namespace usbbed
