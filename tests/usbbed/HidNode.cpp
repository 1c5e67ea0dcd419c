#include "HidNode.h"

#include "UsbBed.h"

#include <sys/ioctl.h>  // before the hidraw header
#include <linux/hidraw.h>

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace usbbed {

namespace {

constexpr unsigned kBusUsb = 3;
constexpr int kHidrawMajor = 243;
// How long "remove" events need the entries they are built from.
constexpr std::chrono::milliseconds kRemoveEventGrace{250};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::string hex4(unsigned value, bool upper) {
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", value & 0xFFFF);
    return text;
}

void put16(std::vector<std::uint8_t>& b, unsigned v) {
    b.push_back(std::uint8_t(v & 0xFF));
    b.push_back(std::uint8_t(v >> 8));
}

// Device descriptor and configuration: one HID interface, interrupt IN and OUT.
std::vector<std::uint8_t> usbDescriptors(const HidIdentity& id) {
    std::vector<std::uint8_t> b{18, 1};
    put16(b, 0x0200);
    b.insert(b.end(), {0, 0, 0, 64});
    put16(b, id.vendor);
    put16(b, id.product);
    put16(b, 0x0001);
    b.insert(b.end(), {1, 2, std::uint8_t(id.serial.empty() ? 0 : 3), 1});
    b.insert(b.end(), {9, 2});
    put16(b, 9 + 9 + 9 + 7 + 7);
    b.insert(b.end(), {1, 1, 0, 0x80, 50});
    b.insert(b.end(), {9, 4, 0, 0, 2, 3, 0, 0, 0});
    b.insert(b.end(), {9, 0x21, 0x10, 0x01, 0, 1, 0x22});
    put16(b, unsigned(id.reportDescriptor.size()));
    for (std::uint8_t ep : {std::uint8_t(0x81), std::uint8_t(0x01)}) {
        b.insert(b.end(), {7, 5, ep, 3});
        put16(b, 64);
        b.push_back(1);
    }
    return b;
}

struct Paths {
    std::string usb, interface, hid, hidraw;
};

Paths paths(const HidIdentity& id) {
    Paths p;
    const std::string port = "1-" + std::to_string(id.port);
    p.usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + port;
    p.interface = p.usb + "/" + port + ":1.0";
    p.hid = p.interface + "/0003:" + hex4(id.vendor, true) + ":" + hex4(id.product, true) + ".0001";
    p.hidraw = p.hid + "/hidraw/hidraw" + std::to_string(id.hidraw);
    return p;
}

}  // namespace

HidNode::HidNode(UsbBed& bed, HidIdentity identity, OutputReport onOutput)
    : bed_(bed), identity_(std::move(identity)), onOutput_(std::move(onOutput)) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&HidNode::handleIoctl), this);
    g_signal_connect(handler_, "handle-read", G_CALLBACK(&HidNode::handleRead), this);
    g_signal_connect(handler_, "handle-write", G_CALLBACK(&HidNode::handleWrite), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(&HidNode::clientConnected), this);
}

HidNode::~HidNode() {
    // The testbed may keep the handler; it must not reach this object again.
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    if (far_ >= 0) ::close(far_);
}

std::string HidNode::record() const {
    const Paths p = paths(identity_);
    char hidId[32];
    std::snprintf(hidId, sizeof hidId, "%04X:%08X:%08X", kBusUsb, unsigned(identity_.vendor),
                  unsigned(identity_.product));
    return "P: " + p.usb.substr(4) + "\n" +
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: BUSNUM=001\n"
           "A: idVendor=" + hex4(identity_.vendor, false) + "\n" +
           "A: idProduct=" + hex4(identity_.product, false) + "\n" +
           "A: bcdDevice=0001\n"
           "A: manufacturer=" + identity_.manufacturer + "\n" +
           "A: product=" + identity_.productName + "\n" +
           (identity_.serial.empty() ? std::string() : "A: serial=" + identity_.serial + "\n") +
           "A: busnum=1\n"
           "A: devnum=" + std::to_string(identity_.devnum) + "\n" +
           "A: speed=12\n"
           "A: bConfigurationValue=1\n"
           "A: bNumConfigurations=1\n"
           "H: descriptors=" + hex(usbDescriptors(identity_)) + "\n\n" +
           "P: " + p.interface.substr(4) + "\n" +
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_interface\n"
           "A: bInterfaceNumber=00\n"
           "A: bInterfaceClass=03\n"
           "A: bInterfaceSubClass=00\n"
           "A: bInterfaceProtocol=00\n\n" +
           "P: " + p.hid.substr(4) + "\n" +
           "E: SUBSYSTEM=hid\n"
           "E: HID_ID=" + hidId + "\n" +
           "E: HID_NAME=" + identity_.manufacturer + " " + identity_.productName + "\n" +
           "E: HID_UNIQ=" + identity_.serial + "\n" +
           "H: report_descriptor=" + hex(identity_.reportDescriptor) + "\n\n" +
           "P: " + p.hidraw.substr(4) + "\n" +
           "N: " + node().substr(5) + "\n" +
           "E: SUBSYSTEM=hidraw\n"
           "E: DEVNAME=" + node() + "\n" +
           "A: dev=" + std::to_string(kHidrawMajor) + ":" + std::to_string(identity_.hidraw) + "\n" +
           "L: device=../../../" + p.hid.substr(p.hid.rfind('/') + 1) + "\n";
}

void HidNode::plug() {
    bed_.withTestbed([this](UMockdevTestbed* testbed) {
        GError* error = nullptr;
        // The handler goes on before the node exists, or the first open misses it.
        if (!attached_ && !umockdev_testbed_attach_ioctl(testbed, node().c_str(), handler_, &error)) {
            const std::string text = error ? error->message : "?";
            if (error) g_error_free(error);
            throw std::runtime_error("usbbed: cannot serve " + node() + ": " + text);
        }
        attached_ = true;
        if (!umockdev_testbed_add_from_string(testbed, record().c_str(), &error)) {
            const std::string text = error ? error->message : "?";
            if (error) g_error_free(error);
            throw std::runtime_error("usbbed: cannot add " + node() + ": " + text);
        }
        const int master = umockdev_testbed_get_dev_fd(testbed, node().c_str());
        char far[64] = {};
        int farFd = -1;
        if (master >= 0 && ::ptsname_r(master, far, sizeof far) == 0)
            farFd = ::open(far, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (farFd < 0) throw std::runtime_error("usbbed: no pseudo-terminal behind " + node());
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        std::lock_guard<std::mutex> lock(mutex_);
        if (far_ >= 0) ::close(far_);
        master_ = master;
        far_ = farFd;
        doorbell_ = false;
        pending_.clear();
        present_ = true;
    });
}

void HidNode::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!present_) return;
        present_ = false;
        pending_.clear();
        silenceDoorbell();
        master_ = -1;
    }
    const Paths p = paths(identity_);
    bed_.withTestbed([&](UMockdevTestbed* testbed) {
        umockdev_testbed_uevent(testbed, p.hidraw.c_str(), "remove");
        umockdev_testbed_uevent(testbed, p.usb.c_str(), "remove");
    });
    std::this_thread::sleep_for(kRemoveEventGrace);
    bed_.withTestbed([&](UMockdevTestbed* testbed) {
        for (const std::string* path : {&p.hidraw, &p.hid, &p.interface, &p.usb})
            umockdev_testbed_remove_device(testbed, path->c_str());
    });
}

void HidNode::input(std::vector<std::uint8_t> report) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_) return;
    pending_.push_back(std::move(report));
    ringDoorbell();
}

bool HidNode::present() {
    std::lock_guard<std::mutex> lock(mutex_);
    return present_;
}

HidCounters HidNode::counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void HidNode::ringDoorbell() {
    if (doorbell_ || master_ < 0) return;
    const std::uint8_t byte = 0;
    doorbell_ = ::write(master_, &byte, 1) == 1;
}

void HidNode::silenceDoorbell() {
    if (!doorbell_ || far_ < 0) return;
    ::tcflush(far_, TCIFLUSH);
    doorbell_ = false;
}

bool HidNode::mine(UMockdevIoctlClient* client) const {
    const char* node = umockdev_ioctl_client_get_devnode(client);
    return node != nullptr && this->node() == node;
}

// ---- umockdev's worker thread ---------------------------------------------

void HidNode::clientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* hid = static_cast<HidNode*>(self);
    if (!hid->mine(client)) return;
    std::lock_guard<std::mutex> lock(hid->mutex_);
    ++hid->counters_.opens;
    // A fresh handle hears only what comes after it was opened.
    hid->pending_.clear();
    hid->silenceDoorbell();
}

int HidNode::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* hid = static_cast<HidNode*>(self);
    if (!hid->mine(client)) return FALSE;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const std::vector<std::uint8_t>& descriptor = hid->identity_.reportDescriptor;
    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        if (size == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        const int n = int(descriptor.size());
        std::memcpy(size->data, &n, sizeof n);
        g_object_unref(size);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* out = reinterpret_cast<hidraw_report_descriptor*>(d->data);
        const std::size_t n = std::min<std::size_t>(descriptor.size(), HID_MAX_DESCRIPTOR_SIZE);
        out->size = std::uint32_t(n);
        std::memcpy(out->value, descriptor.data(), n);
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (request == HIDIOCGRAWINFO) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_devinfo), nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        const hidraw_devinfo info{kBusUsb, std::int16_t(hid->identity_.vendor), std::int16_t(hid->identity_.product)};
        std::memcpy(d->data, &info, sizeof info);
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    std::lock_guard<std::mutex> lock(hid->mutex_);
    ++hid->counters_.unknownRequests;
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

int HidNode::handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* hid = static_cast<HidNode*>(self);
    if (!hid->mine(client)) return FALSE;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(hid->mutex_);
    if (!hid->present_) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (hid->pending_.empty()) {
        ++hid->counters_.emptyReads;
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    const std::vector<std::uint8_t> report = std::move(hid->pending_.front());
    hid->pending_.pop_front();
    // As hidraw: a buffer shorter than the report gets its first bytes.
    const std::size_t n = std::min<std::size_t>(report.size(), std::size_t(buffer->data_len));
    std::memcpy(buffer->data, report.data(), n);
    ++hid->counters_.inputReports;
    if (hid->pending_.empty()) hid->silenceDoorbell();
    umockdev_ioctl_client_complete(client, long(n), 0);
    return TRUE;
}

int HidNode::handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* hid = static_cast<HidNode*>(self);
    if (!hid->mine(client)) return FALSE;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    {
        std::lock_guard<std::mutex> lock(hid->mutex_);
        if (!hid->present_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
    }
    const std::vector<std::uint8_t> report(buffer->data, buffer->data + buffer->data_len);
    // Without the lock: the device's answer comes back through input().
    const bool taken = !report.empty() && hid->onOutput_(report.data(), report.size());
    {
        std::lock_guard<std::mutex> lock(hid->mutex_);
        ++(taken ? hid->counters_.outputReports : hid->counters_.refusedReports);
    }
    umockdev_ioctl_client_complete(client, taken ? long(report.size()) : -1, taken ? 0 : EPIPE);
    return TRUE;
}

}  // namespace usbbed
