#include "UsbModule.h"

#include "UsbBed.h"

#include <sys/ioctl.h>  // before the usbfs header
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <unistd.h>

namespace usbbed {

struct UsbModule::Urb {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;  // its data buffer
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    std::uint32_t length = 0;
    std::uint64_t dueUs = 0;
    std::vector<std::uint8_t> outBytes;
    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
    usbdevfs_urb* view() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    bool isIn() const { return (endpoint & 0x80) != 0; }
};

namespace {
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kSetupBytes = 8;
// How long a restarting module waits for the host to take its last reply.
constexpr std::uint64_t kRestartDrainUs = 500000;

std::uint64_t toMs(std::uint64_t us) { return us / 1000; }
}  // namespace

UsbModule::UsbModule(UsbBed& bed, modsim::ModuleSession& session, const ModuleOptions& options, unsigned port)
    : bed_(bed), session_(session), options_(options), port_(port), product_(options.identity.product), serialNow_(options.identity.serial) {}

UsbModule::~UsbModule() {
    for (int fd : retired_) ::close(fd);
    if (fifo_ >= 0) ::close(fifo_);
}

// ---- test controls -------------------------------------------------------

void UsbModule::unplug() {
    {
        std::lock_guard<std::mutex> lock(bed_.mutex_);
        if (!present_) return;
        markGone();
    }
    bed_.removeFromTestbed(*this);
}

void UsbModule::plug(std::uint16_t product, bool announce) {
    {
        std::lock_guard<std::mutex> lock(bed_.mutex_);
        if (present_) return;
        bed_.dropReturn(this);
        if (product != 0) product_ = product;
    }
    bed_.addToTestbed(*this, announce);
}

void UsbModule::setFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    faults_ = faults;
}

Faults UsbModule::faults() {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    return faults_;
}

Counters UsbModule::counters() {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    return counters_;
}

bool UsbModule::present() {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    return present_;
}

std::uint16_t UsbModule::product() {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    return product_;
}

unsigned UsbModule::restarts() {
    std::lock_guard<std::mutex> lock(bed_.mutex_);
    return restarts_;
}

// ---- usbfs requests (bed lock held) ---------------------------------------

bool UsbModule::handleRequest(UMockdevIoctlClient* client, const std::string& node, unsigned long request,
                              UMockdevIoctlData* arg) {
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
        reap(client, arg);
        return true;
    }
    // A handle on a device that went away (or on its earlier incarnation)
    // gets what the kernel gives it: no device.
    if (!present_ || node != node_) {
        umockdev_ioctl_client_complete(client, -1, request == USBDEVFS_DISCARDURB ? EINVAL : ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
        if (caps) {
            const std::uint32_t value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            std::memcpy(caps->data, &value, sizeof value);
            g_object_unref(caps);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
        if (faults_.busy) {
            ++counters_.busyClaims;
            umockdev_ioctl_client_complete(client, -1, EBUSY);
        } else {
            ++counters_.claims;
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        ++counters_.releases;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_CLEAR_HALT:
        ++counters_.clearHalts;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return true;
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return true;
    default:
        ++counters_.unknownRequests;
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

void UsbModule::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto urb = std::make_shared<Urb>();
    urb->client = client;
    urb->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urb->urb == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const usbdevfs_urb* u = urb->view();
    urb->type = u->type;
    urb->endpoint = u->endpoint;
    urb->length = u->buffer_length > 0 ? std::uint32_t(u->buffer_length) : 0;
    if (urb->length > 0) {
        urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(usbdevfs_urb, buffer), urb->length, nullptr);
        if (urb->buffer == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
        submitControl(urb);
    else if (urb->isIn())
        submitBulkIn(urb);
    else
        submitBulkOut(urb, bed_.nowUs());
}

// Endpoint 0: the descriptors; anything else stalls.
void UsbModule::submitControl(const UrbPtr& urb) {
    if (urb->length < kSetupBytes) {
        finish(urb, -EPIPE);
        return;
    }
    const std::uint8_t* setup = urb->buffer->data;
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const unsigned value = unsigned(setup[2] | setup[3] << 8);
    const unsigned wanted = unsigned(setup[6] | setup[7] << 8);
    std::vector<std::uint8_t> reply;
    if (requestType == 0x80 && request == kGetDescriptor) {
        const std::vector<std::uint8_t> blob = descriptorBlob(currentIdentity());
        switch (value >> 8) {
        case 1: reply.assign(blob.begin(), blob.begin() + 18); break;
        case 2: reply.assign(blob.begin() + 18, blob.end()); break;
        case 3:
            ++counters_.stringRequests;
            reply = stringDescriptor(currentIdentity(), std::uint8_t(value & 0xFF));
            break;
        default: break;
        }
    }
    if (reply.empty()) {
        finish(urb, -EPIPE);
        return;
    }
    const std::size_t n = std::min<std::size_t>({reply.size(), wanted, urb->length - kSetupBytes});
    std::memcpy(urb->buffer->data + kSetupBytes, reply.data(), n);
    urb->view()->actual_length = int(n);
    finish(urb, 0);
}

void UsbModule::submitBulkOut(const UrbPtr& urb, std::uint64_t nowUs) {
    if (faults_.stallOut > 0) {
        --faults_.stallOut;
        finish(urb, -EPIPE);
        return;
    }
    if (faults_.ioErrorOut > 0) {
        --faults_.ioErrorOut;
        finish(urb, -EPROTO);
        return;
    }
    if (faults_.timeoutOut > 0) {
        --faults_.timeoutOut;
        held_.push_back(urb);
        return;
    }
    urb->outBytes.assign(urb->buffer ? urb->buffer->data : nullptr,
                         urb->buffer ? urb->buffer->data + urb->length : nullptr);
    if (clock_.enabled()) {
        urb->dueUs = clock_.book(urb->length, nowUs);
        inFlight_.push_back(urb);
        bed_.wake();  // to be there when it is due
        return;
    }
    deliver(*urb, nowUs);
    urb->view()->actual_length = int(urb->length);
    finish(urb, 0);
    bed_.wake();  // the module's reply is due at once
}

void UsbModule::submitBulkIn(const UrbPtr& urb) {
    ++counters_.inTransfers;
    if (faults_.stallIn > 0) {
        --faults_.stallIn;
        finish(urb, -EPIPE);
        return;
    }
    if (faults_.ioErrorIn > 0) {
        --faults_.ioErrorIn;
        finish(urb, -EPROTO);
        return;
    }
    waitingIn_.push_back(urb);
    serviceIn(bed_.nowUs());
}

// The host gave up on a transfer (its time-out): it comes back unfinished.
// An IN transfer already on its way keeps its bytes, as the kernel hands back
// what arrived before the cancel; an OUT transfer not yet due delivered none.
void UsbModule::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, std::size_t(arg->data_len)));
    auto mine = [&](const UrbPtr& u) { return u->client == client && u->urb->client_addr == address; };
    UrbPtr urb;
    bool keepBytes = false;
    if (auto it = std::find_if(waitingIn_.begin(), waitingIn_.end(), mine); it != waitingIn_.end()) {
        urb = *it;
        waitingIn_.erase(it);
    } else if (auto in = std::find_if(inFlight_.begin(), inFlight_.end(), mine); in != inFlight_.end()) {
        urb = *in;
        keepBytes = urb->isIn();
        inFlight_.erase(in);
    } else if (auto held = std::find_if(held_.begin(), held_.end(), mine); held != held_.end()) {
        urb = *held;
        held_.erase(held);
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    ++counters_.discards;
    umockdev_ioctl_client_complete(client, 0, 0);
    finish(urb, -ENOENT, keepBytes);
}

void UsbModule::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto found = reapable_.find(client);
    if (found == reapable_.end() || found->second.empty()) {
        refillFifoIfIdle();
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UrbPtr urb = found->second.front();
    found->second.pop_front();
    UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (slot == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    refillFifoIfIdle();
}

void UsbModule::clientConnected(const std::string& node) {
    if (node == node_) ++counters_.opens;
}

void UsbModule::clientGone(UMockdevIoctlClient* client) {
    auto mine = [client](const UrbPtr& u) { return u->client == client; };
    waitingIn_.erase(std::remove_if(waitingIn_.begin(), waitingIn_.end(), mine), waitingIn_.end());
    inFlight_.erase(std::remove_if(inFlight_.begin(), inFlight_.end(), mine), inFlight_.end());
    held_.erase(std::remove_if(held_.begin(), held_.end(), mine), held_.end());
    reapable_.erase(client);
    refillFifoIfIdle();
}

void UsbModule::finish(const UrbPtr& urb, int status, bool keepBytes) {
    usbdevfs_urb* u = urb->view();
    u->status = status;
    if (status != 0 && !keepBytes) u->actual_length = 0;
    reapable_[urb->client].push_back(urb);
    if (fifoFull_ && fifo_ >= 0) {
        std::uint8_t sink[16];
        while (::read(fifo_, sink, sizeof sink) > 0) {
        }
        fifoFull_ = false;
    }
}

// The node reports "writable" (libusb's sign to reap) only while something is
// there to reap: a full pipe is never writable.
void UsbModule::refillFifoIfIdle() {
    if (fifoFull_ || fifo_ < 0) return;
    for (const auto& entry : reapable_)
        if (!entry.second.empty()) return;
    const std::uint8_t byte = 0;
    if (::write(fifo_, &byte, 1) == 1) fifoFull_ = true;
}

void UsbModule::serviceIn(std::uint64_t nowUs) {
    while (!waitingIn_.empty() && !toHost_.empty()) {
        UrbPtr urb = waitingIn_.front();
        waitingIn_.pop_front();
        const std::size_t n = std::min<std::size_t>(urb->length, toHost_.size());
        std::copy(toHost_.begin(), toHost_.begin() + std::ptrdiff_t(n), urb->buffer->data);
        toHost_.erase(toHost_.begin(), toHost_.begin() + std::ptrdiff_t(n));
        urb->view()->actual_length = int(n);
        if (clock_.enabled()) {
            urb->dueUs = clock_.book(std::uint32_t(n), nowUs);
            inFlight_.push_back(urb);
            bed_.wake();
        } else {
            finish(urb, 0);
        }
    }
}

std::optional<modsim::RestartRequest> UsbModule::pump(std::uint64_t nowUs) {
    if (!present_) return std::nullopt;
    while (!inFlight_.empty() && inFlight_.front()->dueUs <= nowUs) {
        UrbPtr urb = inFlight_.front();
        inFlight_.pop_front();
        if (!urb->isIn()) {
            deliver(*urb, nowUs);
            urb->view()->actual_length = int(urb->length);
        }
        finish(urb, 0);
    }
    // A module on its way out says nothing more.
    if (!restart_) {
        const std::vector<std::uint8_t> out = session_.output(toMs(nowUs));
        toHost_.insert(toHost_.end(), out.begin(), out.end());
        restart_ = session_.takeRestart();
        if (restart_) {
            ++restarts_;
            restartDeadlineUs_ = nowUs + kRestartDrainUs;
        }
    }
    serviceIn(nowUs);
    if (!restart_) return std::nullopt;
    // The reply that announced the restart reaches the host first, as from a
    // device that empties its IN endpoint before it resets.
    const bool inPending =
        std::any_of(inFlight_.begin(), inFlight_.end(), [](const UrbPtr& u) { return u->isIn(); });
    if ((!toHost_.empty() || inPending) && nowUs < restartDeadlineUs_) return std::nullopt;
    std::optional<modsim::RestartRequest> restart = restart_;
    restart_.reset();
    return restart;
}

// Bytes of a completed bulk OUT transfer reach the module, unless it is on
// its way out (restarting): then they are lost, as on a device resetting.
void UsbModule::deliver(const Urb& urb, std::uint64_t nowUs) {
    counters_.outSizes.push_back(urb.length);
    if (!restart_) session_.input(urb.outBytes.data(), urb.outBytes.size(), toMs(nowUs));
}

std::uint64_t UsbModule::nextDueUs() const {
    return inFlight_.empty() ? 0 : inFlight_.front()->dueUs;
}

void UsbModule::markGone() {
    present_ = false;
    restart_.reset();
    ++counters_.unplugs;
    for (auto* list : {&waitingIn_, &inFlight_}) {
        while (!list->empty()) {
            UrbPtr urb = list->front();
            list->pop_front();
            finish(urb, -ENODEV);
        }
    }
    for (const UrbPtr& urb : held_) finish(urb, -ENODEV);
    held_.clear();
    toHost_.clear();
    session_.disconnected();
    // Handles on the old node still reap what failed; the node itself goes.
    if (fifo_ >= 0) retired_.push_back(fifo_);
    fifo_ = -1;
    fifoFull_ = false;
}

void UsbModule::markPresent(unsigned devnum, int fifo) {
    devnum_ = devnum;
    node_ = devNode(devnum);
    fifo_ = fifo;
    fifoFull_ = false;
    refillFifoIfIdle();
    clock_.configure(bed_.timing_);
    present_ = true;
    ++counters_.plugs;
    session_.connected();
}

Identity UsbModule::currentIdentity() const {
    Identity id = options_.identity;
    id.product = product_;
    id.serial = serialNow_;
    return id;
}

}  // namespace usbbed
