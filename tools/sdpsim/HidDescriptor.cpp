#include "HidDescriptor.h"

namespace sdpsim {

namespace {

// One vendor-defined report of count bytes: id, 8-bit fields 0..255, count
// (two bytes when it needs them), then Output or Input (data, variable).
void report(std::vector<uint8_t>& d, uint8_t id, std::size_t count, bool output)
{
    d.insert(d.end(), {0x85, id, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    if (count < 0x100)
        d.insert(d.end(), {0x95, uint8_t(count)});
    else
        d.insert(d.end(), {0x96, uint8_t(count), uint8_t(count >> 8)});
    d.insert(d.end(), {uint8_t(output ? 0x91 : 0x81), 0x02});
}

}  // namespace

std::vector<uint8_t> hidReportDescriptor()
{
    // Usage page 0xFF00 (vendor), usage 1, one application collection.
    std::vector<uint8_t> d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    report(d, 1, kCommandReportSize, true);
    report(d, 2, kPayloadReportSize, true);
    report(d, 3, kModeReportSize, false);
    report(d, 4, kStatusReportSize, false);
    d.push_back(0xC0);
    return d;
}

}  // namespace sdpsim
