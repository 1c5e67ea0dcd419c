#include "Framing.h"

#include <algorithm>

namespace sdpsim {

namespace {
constexpr uint8_t kAssociation[4] = {0x23, 0x45, 0x45, 0x23};
}

void UartFraming::feed(const uint8_t* bytes, std::size_t length, simline::Reply& out)
{
    std::size_t i = 0;
    while (i < length) {
        if (rom_.jumped()) return;  // the loader has the line now
        if (rom_.dataOwed() > 0) {
            const std::size_t n = std::min(rom_.dataOwed(), length - i);
            rom_.data(bytes + i, n);
            i += n;
        } else {
            command_.push_back(bytes[i++]);
            if (command_.size() == sizeof kAssociation && std::equal(command_.begin(), command_.end(), kAssociation)) {
                ++associations_;
                simline::appendBytes(out, std::string(reinterpret_cast<const char*>(kAssociation), sizeof kAssociation));
                command_.clear();
            } else if (command_.size() == kCommandLength) {
                rom_.command(command_.data());
                command_.clear();
            }
        }
        for (const Reply& r : rom_.takeReplies()) {
            if (r.kind == ReplyKind::Data && splitUs_ != 0) out.push_back({splitUs_, {}});
            if (byteGapUs_ == 0) {
                simline::appendBytes(out, std::string(r.bytes.begin(), r.bytes.end()));
                continue;
            }
            for (uint8_t b : r.bytes) out.push_back({byteGapUs_, std::string(1, char(b))});
        }
        if (rom_.jumped() && !bannerSent_) {
            bannerSent_ = true;
            simline::appendBytes(out, kLoaderBanner);
        }
    }
}

bool HidFraming::outputReport(const uint8_t* report, std::size_t length)
{
    if (length < 1) return false;
    if (report[0] == 1 && length >= 1 + kCommandLength) {
        rom_.command(report + 1);
        return true;
    }
    if (report[0] == 2 && length <= 1 + 1024) {
        rom_.data(report + 1, length - 1);
        return true;
    }
    return false;
}

std::vector<std::vector<uint8_t>> HidFraming::takeInputReports()
{
    std::vector<std::vector<uint8_t>> reports;
    for (const Reply& r : rom_.takeReplies()) {
        if (r.kind == ReplyKind::Hab) {
            std::vector<uint8_t> report{3};
            report.insert(report.end(), r.bytes.begin(), r.bytes.end());
            reports.push_back(std::move(report));
            continue;
        }
        // Status and data travel in report 4, 64 bytes each, the last padded.
        std::size_t at = 0;
        do {
            std::vector<uint8_t> report(1 + kStatusReportData, 0);
            report[0] = 4;
            const std::size_t n = std::min(kStatusReportData, r.bytes.size() - at);
            std::copy(r.bytes.begin() + std::ptrdiff_t(at), r.bytes.begin() + std::ptrdiff_t(at + n), report.begin() + 1);
            reports.push_back(std::move(report));
            at += n;
        } while (at < r.bytes.size());
    }
    return reports;
}

}  // namespace sdpsim
