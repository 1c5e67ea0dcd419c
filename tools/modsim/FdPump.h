// Moves bytes between one file descriptor and a module session until the
// peer goes away, the fault injector asks for a reset, or stop is set.
#pragma once

#include "ModuleSession.h"

#include <atomic>

namespace modsim {

enum class PumpEnd { Stopped, PeerClosed, Reset, Error };

// hangupIsIdle: a pseudo-terminal master reports a hang-up while nobody holds
// the slave open; wait for the next opener instead of ending.
PumpEnd pumpFd(int fd, ModuleSession& session, const std::atomic<bool>& stop, bool hangupIsIdle = false);

}  // namespace modsim
