#include "UpgradeLoader.h"

#include "ModuleFirmware.h"
#include "VirtualModule.h"
#include "Wire.h"

namespace modsim {

namespace {
constexpr std::uint8_t kInit = 0, kData = 1, kLoad = 2, kPrepare = 3, kSum = 4, kWrite = 5, kReboot = 6,
                       kStatus = 7;
constexpr std::uint8_t kUeiDataOption = 10;
constexpr std::size_t kMaxChunk = 26;
}  // namespace

UpgradeLoader::UpgradeLoader(VirtualModule& module, ModuleFirmware& firmware) : module_(module), firmware_(firmware) {}

void UpgradeLoader::handle(const Packet& p) {
    // A module that vanished mid-transfer answers nothing ever again.
    if (p.data.size() < 2 || stats_.vanished) return;
    const std::uint8_t value = p.data[1];
    if (value & (kOptionGet | kOptionSet)) return ueiData(p);
    switch (value) {
    case kInit: return init();
    case kData: return dataPacket(p);
    case kLoad: return load();
    case kPrepare: return prepare(p);
    case kSum: return sum();
    case kWrite: return write(p);
    case kReboot: return reboot();
    default: ++stats_.rejected; return;
    }
}

void UpgradeLoader::status(std::uint8_t code, const std::vector<std::uint8_t>& value) {
    Packet p{module_.config().address, {kCmdUpgrade, kStatus, code}};
    p.data.insert(p.data.end(), value.begin(), value.end());
    module_.send(std::move(p));
    if (code != err::kNone) ++stats_.rejected;
}

void UpgradeLoader::init() {
    ++stats_.inits;
    ram_.clear();
    target_ = blockOffset_ = 0;
    piece_.clear();
    sum_ = 0;
    std::vector<std::uint8_t> reply{kCmdUpgrade, kInit};
    putBE32(reply, module_.config().loadBase);
    module_.send(Packet{module_.config().address, std::move(reply)});
}

void UpgradeLoader::prepare(const Packet& p) {
    const ModuleConfig& c = module_.config();
    const unsigned occurrence = ++stats_.prepares;
    std::vector<std::uint8_t> size;
    putBE16(size, c.blockSize);
    if (p.data.size() != 7) return status(err::kParam, size);
    if (c.updateFaults.prepareFail.hits(occurrence)) return status(err::kBusy, size);
    target_ = getBE32(&p.data[3]);
    blockOffset_ = 0;
    piece_.clear();
    sum_ = 0;
    series_.reset();
    if (c.updateFaults.prepareZero.hits(occurrence)) size.assign(2, 0);
    lateIf(c.updateFaults.latePrepare, occurrence);
    status(err::kNone, size);
}

void UpgradeLoader::data(const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) sum_ += bytes[i];
    if (mode_ == Mode::Firmware) {
        // Loader blocks land in RAM as they come; the loader is never written.
        ram_.write(target_ + blockOffset_, std::vector<std::uint8_t>(bytes, bytes + n));
        blockOffset_ += std::uint32_t(n);
    } else {
        piece_.insert(piece_.end(), bytes, bytes + n);
    }
}

void UpgradeLoader::dataPacket(const Packet& p) {
    const unsigned occurrence = ++stats_.dataPackets;
    const std::size_t n = p.data.size() - 2;
    std::uint8_t accepted = 0;
    if (n == 0 || n > kMaxChunk) {
        ++stats_.rejected;
    } else if (module_.config().updateFaults.shortData.hits(occurrence)) {
        // As if the chunk arrived damaged: dropped whole, so the host's
        // resend is the only copy.
        accepted = std::uint8_t(n - 1);
        ++stats_.rejected;
    } else {
        data(&p.data[2], n);
        accepted = std::uint8_t(n);
    }
    lateIf(module_.config().updateFaults.lateData, ++dataAcks_);
    module_.send(Packet{module_.config().address, {kCmdUpgrade, kData, accepted}});
    countData();
}

void UpgradeLoader::ueiData(const Packet& p) {
    UeiRequest r;
    if (!parseUei(p, r)) return;
    if (r.option != kUeiDataOption || !r.set || r.get || !module_.config().ueiData) {
        ++stats_.rejected;
        return sendUeiError(module_, r, err::kInvalidOption);
    }
    if (r.index != 0) {
        ++stats_.rejected;
        return sendUeiError(module_, r, err::kInvalidEntity);
    }
    ++stats_.dataPackets;
    const SeriesReceiver::Step step = series_.take(r.value);
    if (step == SeriesReceiver::Step::OutOfSequence) {
        ++stats_.rejected;
        sendUeiError(module_, r, err::kPacket);
    } else if (step == SeriesReceiver::Step::Done) {
        data(series_.bytes().data(), series_.bytes().size());
        series_.reset();
        ++stats_.ueiSeries;
        lateIf(module_.config().updateFaults.lateData, ++dataAcks_);
        sendUeiReply(module_, r);
    }
    countData();
}

void UpgradeLoader::countData() {
    const UpdateFaults& f = module_.config().updateFaults;
    if (!stats_.vanished && f.vanishAfterData && stats_.dataPackets >= f.vanishAfterData) {
        stats_.vanished = true;
        module_.requestRestart(RestartRequest{0, true, f.vanishExits});
    }
}

void UpgradeLoader::lateIf(const LateAnswer& fault, unsigned occurrence) {
    if (fault.hits(occurrence)) module_.delayReplies(fault.ms);
}

void UpgradeLoader::sum() {
    ++stats_.sums;
    lateIf(module_.config().updateFaults.lateSum, stats_.sums);
    std::uint32_t s = sum_;
    if (module_.config().updateFaults.badSum.hits(++sumRequests_)) ++s;
    std::vector<std::uint8_t> value;
    putBE32(value, s);
    status(err::kNone, value);
}

void UpgradeLoader::write(const Packet& p) {
    if (p.data.size() != 4) return status(err::kParam);
    lateIf(module_.config().updateFaults.lateWrite, ++writeRequests_);
    const std::uint16_t length = getBE16(&p.data[2]);
    std::vector<std::uint8_t> echo;
    putBE16(echo, length);
    if (mode_ != Mode::Loader) return status(err::kMode, echo);
    if (length != piece_.size() || length > module_.config().blockSize) {
        piece_.clear();
        sum_ = 0;
        return status(err::kSize, echo);
    }
    flash_.write(target_ + blockOffset_, piece_);
    blockOffset_ += length;
    piece_.clear();
    sum_ = 0;
    ++stats_.writes;
    dumpImage();
    status(err::kNone, echo);
}

void UpgradeLoader::load() {
    ++stats_.loads;
    mode_ = Mode::Loader;
    piece_.clear();
    sum_ = 0;
    series_.reset();
    if (!module_.config().updateFaults.noLoadReply.hits(++loadRequests_))
        module_.send(Packet{module_.config().address, {kCmdUpgrade, kLoad}});
    firmware_.restarted();
    restart();
}

void UpgradeLoader::reboot() {
    ++stats_.reboots;
    if (const std::optional<ImageIdentity> id = flash_.findIdentity()) {
        ModuleConfig& c = module_.config();
        c.build = id->build;
        c.versionMajor = id->major;
        c.versionMinor = id->minor;
        c.versionPatch = id->patch;
    }
    mode_ = Mode::Firmware;
    ram_.clear();
    piece_.clear();
    sum_ = 0;
    series_.reset();
    dumpImage();
    firmware_.restarted();
    restart();
}

void UpgradeLoader::restart() {
    const ModuleConfig& c = module_.config();
    if (c.reenumerate) module_.requestRestart(RestartRequest{c.reenumerateMs, false, false});
}

void UpgradeLoader::dumpImage() {
    const ModuleConfig& c = module_.config();
    if (c.imageOut.empty()) return;
    if (!flash_.dump(c.imageOut, c.flashBase, &dumpError_)) ++stats_.dumpFailures;
}

}  // namespace modsim
