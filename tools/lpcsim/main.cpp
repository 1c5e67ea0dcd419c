// lpcsim: one LPC17xx boot ROM in ISP mode until SIGTERM or SIGINT.
#include "CommandLine.h"
#include "LpcSimulator.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace lpcsim;

int main(int argc, char** argv)
{
    CommandLine cl;
    std::string error;
    if (!parseCommandLine(argc, argv, cl, error)) {
        std::fprintf(stderr, "lpcsim: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    if (cl.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    // Block the stop signals before the line's thread starts; main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    LpcSimulator sim(cl.options);
    sim.onGo([](uint32_t address, bool userCodeValid) {
        std::printf("go 0x%08X, user code %s\n", address, userCodeValid ? "valid" : "invalid");
        std::fflush(stdout);
    });
    if (!sim.start(&error)) {
        std::fprintf(stderr, "lpcsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("pty %s\n", sim.path().c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sim.stop();
    const std::string dumpError = sim.dumpError();
    sim.with([](const IspRom& rom) {
        const RomStats& s = rom.stats();
        std::fprintf(stderr,
                     "lpcsim: syncs %u, commands %u, data lines %u (rejected %u), checksums %u, resends sent %u, "
                     "copies %u (refused %u, failed %u), erases %u, dropped %u, garbled %u, corrupted lines %llu\n",
                     s.syncs, s.commands, s.dataLinesIn, s.rejectedLines, s.writeChecksums, s.resendsSent, s.copies,
                     s.refusedCopies, s.failedCopies, s.erases, s.droppedBytes, s.garbledBytes,
                     (unsigned long long)rom.memory().corruptedLines());
        return 0;
    });
    if (!dumpError.empty()) {
        std::fprintf(stderr, "lpcsim: flash dump: %s\n", dumpError.c_str());
        return 1;
    }
    return 0;
}
