// One emulated USB device on the test bed: a modsim module behind the vendor
// interface, seen by libusb through usbfs requests (claim, bulk and control
// URBs, halts) that umockdev hands to the bed. Bulk OUT bytes go into the
// module's session; what the session sends back fills bulk IN transfers.
#pragma once

#include "Descriptors.h"
#include "FrameClock.h"
#include "ModuleSession.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbbed {

// One-shot faults, each spent by the transfers it hits.
struct Faults {
    unsigned stallOut = 0;    // the next n bulk OUT transfers stall
    unsigned stallIn = 0;     // the next n bulk IN transfers stall
    unsigned timeoutOut = 0;  // the next n bulk OUT transfers never complete (the host times out)
    unsigned ioErrorOut = 0;  // the next n bulk OUT transfers fail with a protocol error
    unsigned ioErrorIn = 0;   // the next n bulk IN transfers fail with a protocol error
    bool busy = false;        // the interface is held by another program (claims fail)
};

// Faults with one field set, e.g. faultsWith(&Faults::stallOut, 1u).
template <typename T>
Faults faultsWith(T Faults::*field, T value) {
    Faults f;
    f.*field = value;
    return f;
}

struct Counters {
    unsigned opens = 0;
    unsigned claims = 0;
    unsigned busyClaims = 0;
    unsigned releases = 0;
    unsigned clearHalts = 0;
    unsigned stringRequests = 0;
    unsigned inTransfers = 0;
    unsigned discards = 0;
    unsigned plugs = 0;
    unsigned unplugs = 0;
    unsigned unknownRequests = 0;
    std::vector<std::uint32_t> outSizes;  // bytes of each bulk OUT transfer that completed
};

struct ModuleOptions {
    Identity identity;
    // Product ID the module returns under after its loader starts; it goes
    // back to identity.product after the next restart. 0: always the same.
    std::uint16_t loaderProduct = 0;
    // Serial-number string the module returns under after its loader starts
    // (a loader that does not know the module's own); empty: always the same.
    std::string loaderSerial;
    // Running hosts hear of a returning module ("add" event); when false only a
    // host that lists the bus afresh (a new libusb context) finds it again.
    bool announceReturn = true;
    unsigned speedMbps = 12;
};

class UsbBed;

class UsbModule {
public:
    UsbModule(UsbBed& bed, modsim::ModuleSession& session, const ModuleOptions& options, unsigned port);
    ~UsbModule();
    UsbModule(const UsbModule&) = delete;
    UsbModule& operator=(const UsbModule&) = delete;

    // Removal on request: open handles fail from now on, the node goes away.
    void unplug();
    // Return (re-enumeration) with a new device number; product 0 keeps the
    // current product ID. announce: as ModuleOptions::announceReturn.
    void plug(std::uint16_t product = 0, bool announce = true);
    void setFaults(const Faults& faults);
    Faults faults();
    Counters counters();
    bool present();
    std::uint16_t product();
    // Restarts the module asked for (its loader started, it rebooted).
    unsigned restarts();
    const std::string& serial() const { return options_.identity.serial; }

private:
    friend class UsbBed;
    struct Urb;
    using UrbPtr = std::shared_ptr<Urb>;

    // All below: the bed's lock is held.
    bool handleRequest(UMockdevIoctlClient* client, const std::string& node, unsigned long request,
                       UMockdevIoctlData* arg);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void submitControl(const UrbPtr& urb);
    void submitBulkOut(const UrbPtr& urb, std::uint64_t nowUs);
    void submitBulkIn(const UrbPtr& urb);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void clientConnected(const std::string& node);
    void clientGone(UMockdevIoctlClient* client);
    // The transfer is done: status as usbfs gives it; its length is kept on
    // success or when keepBytes.
    void finish(const UrbPtr& urb, int status, bool keepBytes = false);
    void refillFifoIfIdle();
    void serviceIn(std::uint64_t nowUs);
    void deliver(const Urb& urb, std::uint64_t nowUs);
    // Moves the module on: due transfers, its output. Returns a restart the
    // module asked for, to be carried out once the lock is released.
    std::optional<modsim::RestartRequest> pump(std::uint64_t nowUs);
    // When the earliest booked transfer completes; 0 for none.
    std::uint64_t nextDueUs() const;
    void markGone();
    void markPresent(unsigned devnum, int fifo);
    Identity currentIdentity() const;

    UsbBed& bed_;
    modsim::ModuleSession& session_;
    ModuleOptions options_;
    unsigned port_;
    unsigned devnum_ = 0;
    std::uint16_t product_;
    std::string serialNow_;  // the serial-number string it shows now
    std::string node_;
    bool present_ = false;
    // The node is a pipe kept full (never writable) while nothing is there to
    // reap, so that libusb's poll sleeps instead of spinning.
    int fifo_ = -1;
    bool fifoFull_ = false;
    std::vector<int> retired_;  // pipes of earlier incarnations
    unsigned restarts_ = 0;
    std::optional<modsim::RestartRequest> restart_;  // asked for, waiting for the host to read
    std::uint64_t restartDeadlineUs_ = 0;
    FrameClock clock_;
    Faults faults_;
    Counters counters_;
    std::deque<std::uint8_t> toHost_;
    std::deque<UrbPtr> waitingIn_;   // bulk IN with nothing to carry yet
    std::deque<UrbPtr> inFlight_;    // booked on the bus, complete at their time
    std::vector<UrbPtr> held_;       // never complete unless discarded
    std::map<UMockdevIoctlClient*, std::deque<UrbPtr>> reapable_;
};

}  // namespace usbbed
