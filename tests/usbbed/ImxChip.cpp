#include "ImxChip.h"

#include "Framing.h"
#include "HidDescriptor.h"
#include "SdpSimulator.h"
#include "UsbBed.h"
#include "VirtualModule.h"

#include <cstdio>
#include <stdexcept>

namespace usbbed {

namespace {

// From the jump until the ROM's device leaves the bus: long enough for the
// host to read the ROM's last word, as a real chip's USB stays up while the
// jump's reply goes out.
constexpr std::uint32_t kRomLeavesMs = 50;
constexpr std::uint8_t kCmdUpgrade = 95;
constexpr std::uint8_t kUpgradeLoad = 2;
constexpr std::chrono::milliseconds kStopCheck{100};

sdpsim::RomConfig romConfig(const ImxOptions& o) {
    sdpsim::RomConfig rom = o.rom;
    rom.uid = std::uint64_t(o.uniqueId[1]) << 32 | o.uniqueId[0];
    rom.uidUpper = std::uint64_t(o.uniqueId[3]) << 32 | o.uniqueId[2];
    return rom;
}

modsim::ModuleConfig liveLoaderConfig(const ImxOptions& o) {
    modsim::ModuleConfig c;
    c.serial = o.loader.serial;
    c.model = o.loader.model;
    c.name = "live loader";
    for (std::size_t i = 0; i < o.uniqueId.size(); ++i) c.uniqueId[i] = o.uniqueId[i];
    c.blockSize = o.loader.blockSize;
    c.imageOut = o.loader.imageOut;
    c.flashBase = o.loader.flashBase;
    c.reenumerate = true;
    c.reenumerateMs = o.loader.restartMs;
    return c;
}

// The live loader is the upgrade loader already running: it takes firmware
// pieces and WRITE at once, with no loader phase before them. modsim's loader
// gets there through LOAD, given here before any host is on the line (and
// without the restart LOAD would ask for).
void startInLoaderMode(modsim::ModuleSession& session) {
    session.withModule([](modsim::VirtualModule& m) {
        modsim::ModuleConfig& c = m.config();
        const bool reenumerate = c.reenumerate;
        c.reenumerate = false;
        const std::uint8_t load[] = {c.address, 2, kCmdUpgrade, kUpgradeLoad};
        m.feed(load, sizeof load, modsim::steadyMs());
        m.takeOutput();
        m.takeRestart();
        c.reenumerate = reenumerate;
    });
}

std::string serialText(std::uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", unsigned(serial));
    return text;
}

}  // namespace

HidIdentity imxRomHidIdentity() {
    HidIdentity id;
    id.vendor = sdpsim::kRomVendorId;
    id.product = sdpsim::kRomProductId;
    id.manufacturer = "NXP";
    id.productName = "i.MX serial download";
    id.reportDescriptor = sdpsim::hidReportDescriptor();
    return id;
}

ImxChip::ImxChip(UsbBed& bed, const ImxOptions& options)
    : bed_(bed),
      options_(options),
      session_(std::make_unique<modsim::ModuleSession>(liveLoaderConfig(options), modsim::Framing::Raw)) {
    startInLoaderMode(*session_);
    if (options.port == ImxOptions::Port::Hid) {
        rom_ = std::make_unique<sdpsim::SdpRom>(romConfig(options));
        framing_ = std::make_unique<sdpsim::HidFraming>(*rom_);
        hid_ = std::make_unique<HidNode>(bed, imxRomHidIdentity(),
                                         [this](const std::uint8_t* r, std::size_t n) { return hidOutput(r, n); });
        hid_->plug();
    } else {
        sdpsim::SimulatorOptions so;
        so.rom = romConfig(options);
        so.baud = options.baud;
        uart_ = std::make_unique<sdpsim::SdpSimulator>(so);
        uart_->onJump([this](std::uint32_t, const sdpsim::SdpRom&) { jumped(); });
        std::string error;
        if (!uart_->start(&error)) throw std::runtime_error("usbbed: i.MX UART: " + error);
    }
    thread_ = std::thread([this] { run(); });
}

ImxChip::~ImxChip() { stop(); }

void ImxChip::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    if (uart_) uart_->stop();
}

std::string ImxChip::port() const { return uart_ ? uart_->path() : "USB"; }

std::optional<std::uint32_t> ImxChip::jumpedTo() { return romStats().jumpedTo; }

sdpsim::RomStats ImxChip::romStats() {
    if (uart_) return uart_->with([](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) { return rom.stats(); });
    std::lock_guard<std::mutex> lock(romMutex_);
    return rom_->stats();
}

std::vector<std::uint8_t> ImxChip::ram(std::uint32_t address, std::size_t length) {
    if (uart_)
        return uart_->with(
            [&](const sdpsim::SdpRom& rom, const sdpsim::UartFraming&) { return rom.read(address, length); });
    std::lock_guard<std::mutex> lock(romMutex_);
    return rom_->read(address, length);
}

bool ImxChip::waitForLiveLoader(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return device_ != nullptr || stop_; }) && device_ != nullptr;
}

UsbModule* ImxChip::liveLoaderDevice() {
    std::lock_guard<std::mutex> lock(mutex_);
    return device_;
}

HidCounters ImxChip::hidCounters() { return hid_ ? hid_->counters() : HidCounters{}; }

// umockdev's worker thread: one output report from the host.
bool ImxChip::hidOutput(const std::uint8_t* report, std::size_t length) {
    std::vector<std::vector<std::uint8_t>> replies;
    bool taken = false;
    bool jump = false;
    {
        std::lock_guard<std::mutex> lock(romMutex_);
        taken = framing_->outputReport(report, length);
        replies = framing_->takeInputReports();
        jump = rom_->jumped();
    }
    for (std::vector<std::uint8_t>& r : replies) hid_->input(std::move(r));
    if (jump) jumped();
    return taken;
}

void ImxChip::jumped() {
    std::lock_guard<std::mutex> lock(mutex_);
    jumped_ = true;
    cv_.notify_all();
}

bool ImxChip::pause(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

// Waits for the jump, takes the ROM off the bus and puts the live loader on.
void ImxChip::run() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_ && !jumped_) cv_.wait_for(lock, kStopCheck);
        if (stop_) return;
    }
    if (!pause(kRomLeavesMs)) return;
    if (hid_) hid_->unplug();
    if (!pause(options_.loader.startMs)) return;
    ModuleOptions o;
    o.identity.serial = serialText(options_.loader.serial);
    o.identity.product = options_.loader.product != 0 ? options_.loader.product : options_.loader.model;
    UsbModule& device = bed_.add(*session_, o);
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = &device;
    cv_.notify_all();
}

}  // namespace usbbed
