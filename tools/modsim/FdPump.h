// Moves bytes between one file descriptor and a module session until the
// peer goes away, the fault injector asks for a reset, or stop is set.
#pragma once

#include "ModuleSession.h"

#include <atomic>

namespace modsim {

enum class PumpEnd { Stopped, PeerClosed, Reset, Error, Restart };

// hangupIsIdle: a pseudo-terminal master reports a hang-up while nobody holds
// the slave open; wait for the next opener instead of ending.
// restart: filled when the pump ends with Restart (the module restarted).
PumpEnd pumpFd(int fd, ModuleSession& session, const std::atomic<bool>& stop, bool hangupIsIdle = false,
               RestartRequest* restart = nullptr);

// Sleeps ms in short slices, returning early once stop is set.
void pauseUnlessStopped(std::uint32_t ms, const std::atomic<bool>& stop);
// The same, reading and discarding whatever arrives on fd meanwhile (a
// serial line into a module that is restarting).
void discardFor(int fd, std::uint32_t ms, const std::atomic<bool>& stop);

}  // namespace modsim
