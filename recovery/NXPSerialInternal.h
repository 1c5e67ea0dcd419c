// What the ISP class's files share and nobody else needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nxpserial {

// Failed reads counted against a budget. Each costs one unit and a 1 ms
// pause, and at least the milliseconds it really took: the serial stream's
// get waits a while for a byte itself, and a budget must bound the wait in
// time, so that a silent chip ends a read in about budget milliseconds.
class FailedReads {
public:
    explicit FailedReads(int budget);
    // One read that began at startMs found nothing; false once the budget is used up.
    bool spend(uint64_t startMs);
    // One byte skipped; costs a unit but no pause, since a skipped byte
    // arrived and nothing is waited for. Noise thus ends a read after as
    // many bytes as the budget has units.
    bool skip();

private:
    long long left;
};

// The bytes as "[hex] [text]" for the log: carriage return shown as \r, line
// feed as \n, other unprintable characters as a space.
std::string Printable(const char* bytes, size_t length);

}  // namespace nxpserial
