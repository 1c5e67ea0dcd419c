// Misbehaviour of the module's loader during an update, each armed for a
// given occurrence of its request and a given number of times.
#pragma once

#include <cstdint>
#include <string>

namespace modsim {

// Hits the at-th, (at+1)-th ... occurrence, times occurrences in all;
// times 0 means never.
struct FaultWindow {
    unsigned at = 1;
    unsigned times = 0;
    bool hits(unsigned occurrence) const { return times && occurrence >= at && occurrence - at < times; }
};

// An answer that comes late: the request takes ms to carry out, and the
// module takes up nothing else meanwhile.
struct LateAnswer {
    FaultWindow window;
    std::uint32_t ms = 0;
    bool hits(unsigned occurrence) const { return window.hits(occurrence); }
};

struct UpdateFaults {
    FaultWindow shortData;    // DATA acknowledged with count - 1; the chunk is discarded
    FaultWindow badSum;       // SUM answers a sum off by one
    FaultWindow noLoadReply;  // LOAD is not answered (the loader still starts)
    FaultWindow prepareFail;  // PREPARE answers status aErrBusy
    FaultWindow prepareZero;  // PREPARE answers block size 0
    LateAnswer lateWrite;     // WRITE acknowledged late
    LateAnswer latePrepare;   // PREPARE acknowledged late
    LateAnswer lateSum;       // SUM answered late
    LateAnswer lateData;      // a DATA packet, or a whole UEI data set, acknowledged late
    unsigned vanishAfterData = 0;  // after this many DATA packets the module goes for good (0 = never)
    bool vanishExits = false;      // ... and the process ends (command line only)
};

// Reads one "--fault" item of the update kind:
//   short-data, bad-sum, no-load-reply, prepare-fail, prepare-zero, each
//   optionally "=TIMES" and/or "@AT" (defaults 1 and 1), e.g. prepare-fail=2@3;
//   vanish=N, vanish-exit=N (after the N-th DATA packet);
//   late-write, late-prepare, late-sum, late-data, each "=MS" and optionally
//   "@AT" (the AT-th such request, default the first), e.g. late-write=1100@3.
// False for anything else, leaving faults unchanged.
bool parseUpdateFault(const std::string& item, UpdateFaults& faults);

}  // namespace modsim
