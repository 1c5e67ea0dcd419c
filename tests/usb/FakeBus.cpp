#include "FakeBus.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstring>
#include <map>

namespace fakeusb {
namespace {

Bus* gBus = nullptr;
int gContextToken = 0;

struct Handle {
    Device* device;
};

// Descriptors handed out stay valid until they are freed.
struct ConfigStore {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> alts;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};
std::map<libusb_config_descriptor*, ConfigStore*> gConfigs;

Device* dev(libusb_device* d) { return reinterpret_cast<Device*>(d); }

// Devices, lists and handles belong to a context; using them after it ended
// is what real libusb would turn into a use-after-free.
void touch() {
    if (gBus->exits >= gBus->inits) ++gBus->usesAfterExit;
}
Handle* hnd(libusb_device_handle* h) { return reinterpret_cast<Handle*>(h); }

int fInit(libusb_context** context) {
    ++gBus->inits;
    *context = reinterpret_cast<libusb_context*>(&gContextToken);
    return LIBUSB_SUCCESS;
}
void fExit(libusb_context*) { ++gBus->exits; }

ssize_t fGetDeviceList(libusb_context*, libusb_device*** list) {
    touch();
    ++gBus->listsTaken;
    auto* l = new libusb_device*[gBus->devices.size() + 1];
    for (size_t i = 0; i < gBus->devices.size(); ++i)
        l[i] = reinterpret_cast<libusb_device*>(gBus->devices[i].get());
    l[gBus->devices.size()] = nullptr;
    *list = l;
    return ssize_t(gBus->devices.size());
}
void fFreeDeviceList(libusb_device** list, int) {
    touch();
    ++gBus->listsFreed;
    delete[] list;
}
int fGetDeviceDescriptor(libusb_device* d, libusb_device_descriptor* desc) {
    touch();
    std::memset(desc, 0, sizeof *desc);
    desc->idVendor = dev(d)->vendor;
    desc->idProduct = dev(d)->product;
    desc->iSerialNumber = 3;
    return LIBUSB_SUCCESS;
}
int fOpen(libusb_device* d, libusb_device_handle** h) {
    touch();
    ++dev(d)->opens;
    ++gBus->openHandles;
    *h = reinterpret_cast<libusb_device_handle*>(new Handle{dev(d)});
    return LIBUSB_SUCCESS;
}
void fClose(libusb_device_handle* h) {
    touch();
    ++hnd(h)->device->closes;
    --gBus->openHandles;
    delete hnd(h);
}
libusb_device* fGetDevice(libusb_device_handle* h) {
    return reinterpret_cast<libusb_device*>(hnd(h)->device);
}
int fGetString(libusb_device_handle* h, uint8_t index, unsigned char* data, int length) {
    touch();
    if (index != 3) return LIBUSB_ERROR_INVALID_PARAM;
    const std::string& s = hnd(h)->device->serial;
    const int n = std::min<int>(int(s.size()), length - 1);
    std::memcpy(data, s.data(), size_t(n));
    data[n] = 0;
    return n;
}
int fGetConfig(libusb_device* d, libusb_config_descriptor** out) {
    auto* store = new ConfigStore;
    const Device* device = dev(d);
    store->alts.resize(device->interfaces.size());
    store->endpoints.resize(device->interfaces.size());
    for (size_t i = 0; i < device->interfaces.size(); ++i) {
        for (const AltSetting& a : device->interfaces[i]) {
            std::vector<libusb_endpoint_descriptor> eps;
            for (const Endpoint& e : a.endpoints) {
                libusb_endpoint_descriptor ed{};
                ed.bEndpointAddress = e.address;
                ed.bmAttributes = e.attributes;
                ed.wMaxPacketSize = uint16_t(e.maxPacket);
                eps.push_back(ed);
            }
            store->endpoints[i].push_back(std::move(eps));
        }
    }
    for (size_t i = 0; i < device->interfaces.size(); ++i) {
        const auto& list = device->interfaces[i];
        for (size_t k = 0; k < list.size(); ++k) {
            libusb_interface_descriptor id{};
            id.bInterfaceNumber = list[k].number;
            id.bAlternateSetting = uint8_t(k);
            id.bInterfaceClass = list[k].cls;
            id.bInterfaceSubClass = list[k].subclass;
            id.bInterfaceProtocol = list[k].protocol;
            id.bNumEndpoints = uint8_t(store->endpoints[i][k].size());
            id.endpoint = store->endpoints[i][k].data();
            store->alts[i].push_back(id);
        }
    }
    for (auto& alts : store->alts) {
        libusb_interface intf{};
        intf.altsetting = alts.data();
        intf.num_altsetting = int(alts.size());
        store->interfaces.push_back(intf);
    }
    store->config.bNumInterfaces = uint8_t(store->interfaces.size());
    store->config.interface = store->interfaces.data();
    gConfigs[&store->config] = store;
    *out = &store->config;
    return LIBUSB_SUCCESS;
}
void fFreeConfig(libusb_config_descriptor* c) {
    auto it = gConfigs.find(c);
    if (it == gConfigs.end()) return;
    delete it->second;
    gConfigs.erase(it);
}
int fMaxPacket(libusb_device* d, unsigned char endpoint) {
    for (const auto& intf : dev(d)->interfaces)
        for (const AltSetting& a : intf)
            for (const Endpoint& e : a.endpoints)
                if (e.address == endpoint) return e.maxPacket;
    return LIBUSB_ERROR_NOT_FOUND;
}
int fClaim(libusb_device_handle* h, int number) {
    if (hnd(h)->device->claimResult != LIBUSB_SUCCESS) return hnd(h)->device->claimResult;
    hnd(h)->device->claimed = number;
    return LIBUSB_SUCCESS;
}
int fRelease(libusb_device_handle* h, int number) {
    hnd(h)->device->released = number;
    return LIBUSB_SUCCESS;
}
int fBulk(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length,
          int* transferred, unsigned int) {
    *transferred = 0;
    std::unique_lock<std::mutex> hold(gBus->lock);
    if (endpoint & LIBUSB_ENDPOINT_IN) {
        ++gBus->inCalls;
        gBus->inEndpoints.push_back(endpoint);
        if (gBus->inScript.empty()) {
            hold.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(gBus->idleInMs));
            return LIBUSB_ERROR_TIMEOUT;
        }
        Transfer t = gBus->inScript.front();
        gBus->inScript.pop_front();
        const int n = std::min<int>(int(t.data.size()), length);
        if (n > 0) std::memcpy(data, t.data.data(), size_t(n));
        *transferred = n;
        return t.result;
    }
    ++gBus->outCalls;
    gBus->outEndpoints.push_back(endpoint);
    gBus->outRequested.push_back(length);
    Transfer t;
    if (!gBus->outScript.empty()) {
        t = gBus->outScript.front();
        gBus->outScript.pop_front();
    }
    const int n = t.accepted < 0 ? (t.result == LIBUSB_SUCCESS ? length : 0)
                                 : std::min(t.accepted, length);
    gBus->outChunks.emplace_back(data, data + n);
    *transferred = n;
    return t.result;
}
int fClearHalt(libusb_device_handle*, unsigned char endpoint) {
    std::lock_guard<std::mutex> hold(gBus->lock);
    gBus->clearedHalts.push_back(endpoint);
    return gBus->clearHaltResult;
}

const tsusbLibusbOps kOps = {fInit,   fExit,          fGetDeviceList, fFreeDeviceList,
                             fGetDeviceDescriptor,   fOpen,          fClose,
                             fGetDevice,             fGetString,     fGetConfig,
                             fFreeConfig,            fMaxPacket,     fClaim,
                             fRelease,               fBulk,          fClearHalt};

}  // namespace

Device& Bus::addModule(const std::string& serial, int outMax, int inMax) {
    auto d = std::make_unique<Device>();
    d->serial = serial;
    d->interfaces = {{AltSetting{0, 0xFF, 0x88, 0x10, {{0x81, 2, inMax}, {0x02, 2, outMax}}}}};
    devices.push_back(std::move(d));
    return *devices.back();
}

std::vector<std::uint8_t> Bus::written() const {
    std::vector<std::uint8_t> all;
    for (const auto& c : outChunks) all.insert(all.end(), c.begin(), c.end());
    return all;
}

Installed::Installed(Bus& bus) {
    gBus = &bus;
    tsusb_libusb_set_ops(&kOps);
}

Installed::~Installed() {
    Tessaluma_libusb_exit();
    tsusb_libusb_set_ops(nullptr);
    gBus = nullptr;
}

}  // namespace fakeusb
