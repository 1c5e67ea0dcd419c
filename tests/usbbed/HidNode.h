// A USB HID device on the test bed as hidapi's hidraw back end finds it: the
// USB device, its interface and the HID device in sysfs (HID_ID, HID_NAME and
// HID_UNIQ on the HID parent, the report descriptor beside them), and the
// hidraw node, whose requests umockdev hands to this object. Each write() of
// the host is one output report and each read() returns one input report
// whole, as the kernel's hidraw driver does: the pseudo-terminal umockdev puts
// behind the node would run a 5-byte report and the 65-byte one after it
// into one read.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace usbbed {

class UsbBed;

struct HidIdentity {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::string manufacturer;
    std::string productName;
    std::string serial;  // HID_UNIQ; empty for none
    std::vector<std::uint8_t> reportDescriptor;
    // Where it sits: USB device 1-<port> with device number devnum on bus 1
    // (away from the ports and numbers the bed gives modules), node
    // /dev/hidraw<hidraw>.
    unsigned port = 9;
    unsigned devnum = 90;
    unsigned hidraw = 0;
};

struct HidCounters {
    unsigned opens = 0;
    unsigned outputReports = 0;
    unsigned refusedReports = 0;
    unsigned inputReports = 0;    // input reports the host read
    unsigned emptyReads = 0;      // reads that found nothing (EAGAIN)
    unsigned unknownRequests = 0;
};

class HidNode {
public:
    // Called on umockdev's worker thread with each output report, id first;
    // false refuses it (the host's write fails with EPIPE).
    using OutputReport = std::function<bool(const std::uint8_t* report, std::size_t length)>;

    HidNode(UsbBed& bed, HidIdentity identity, OutputReport onOutput);
    ~HidNode();
    HidNode(const HidNode&) = delete;
    HidNode& operator=(const HidNode&) = delete;

    // Puts the device on the bus; throws std::runtime_error when the testbed refuses.
    void plug();
    // Takes it off: hosts reading or writing get ENODEV, "remove" events go
    // out, and the entries go once the events had time to be built from them.
    void unplug();
    // An input report (id first) for the host, read whole by one read().
    void input(std::vector<std::uint8_t> report);

    std::string node() const { return "/dev/hidraw" + std::to_string(identity_.hidraw); }
    bool present();
    HidCounters counters();

private:
    static int handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static int handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static int handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static void clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    bool mine(UMockdevIoctlClient* client) const;
    std::string record() const;
    // Lock held: the node reads as readable to poll() exactly while reports wait.
    void ringDoorbell();
    void silenceDoorbell();

    UsbBed& bed_;
    const HidIdentity identity_;
    const OutputReport onOutput_;
    UMockdevIoctlBase* handler_ = nullptr;
    bool attached_ = false;
    std::mutex mutex_;  // guards everything below
    bool present_ = false;
    std::deque<std::vector<std::uint8_t>> pending_;
    // hidapi polls the node before it reads: one byte sits in the
    // pseudo-terminal behind it while reports wait, and is flushed from the
    // far end (our own handle on it) once they are taken.
    int master_ = -1;  // owned by the testbed
    int far_ = -1;
    bool doorbell_ = false;
    HidCounters counters_;
};

}  // namespace usbbed
