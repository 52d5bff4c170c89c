// The stop signals: SIGINT, SIGTERM and SIGHUP. Settings are read once at start, so a
// hang-up has nothing to reload and stops the server as SIGTERM does.
#pragma once

#include "platform/UniqueHandle.h"

namespace velnor::platform {

// A request to stop, as the system delivered it: SIGINT/SIGTERM/SIGHUP here, Ctrl-C,
// Ctrl-Break, a closed console window or the end of a session on Windows.
enum class StopRequest {
    None,      // nothing came
    Interrupt, // SIGINT, Ctrl-C
    Terminate, // SIGTERM, Ctrl-Break, a closed console window, log-off or shut-down
    HangUp,    // SIGHUP
    Failed,    // the wait itself failed
};

// The exit status of a program that a stop request ended before it could run its close
// sequence: 128 + the signal's number here, as a shell reports it.
int stopExitStatus(StopRequest request) noexcept;

// Called first thing in the program, so that nothing it does before the control window
// runs (reading a hive that never answers included) can outlast a stop signal: until
// the program takes them itself, a stop signal ends the process at once with 128 + its
// number. A hang-up already ignored when the program started (nohup) stays ignored.
// False when a handler cannot be installed.
bool endOnStopSignals() noexcept;

// Blocks the stop signals in the calling thread. Called before any other thread starts,
// every thread inherits the block, so a stop signal waits for waitStopSignal instead
// of interrupting whichever thread the kernel picks. False when the mask cannot be set.
bool blockStopSignals() noexcept;

// Waits up to `timeoutMs` for a stop signal and takes it.
StopRequest waitStopSignal(long timeoutMs) noexcept;

/// Holds the stop signals blocked in the calling thread while it waits for something
/// else, with a descriptor that becomes readable once one is pending. The thread's own
/// mask comes back at the end; a signal still pending then is handled as before.
class StopSignalWatch {
public:
    StopSignalWatch() noexcept;
    ~StopSignalWatch();
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;

    // kNoHandle when none could be made (the wait then only ends by itself).
    NativeHandle handle() const noexcept { return fd_.get(); }
    // Takes one pending stop signal, or gives None.
    StopRequest take() noexcept;

private:
    UniqueHandle fd_;
    bool restore_ = false;
    // The thread's previous signal mask, kept as bytes so the header names no OS type.
    alignas(8) unsigned char previous_[128] = {};
};

// Ends the process at once with `status`, running no destructors: used when threads
// that may still touch shared objects cannot be waited for.
[[noreturn]] void exitImmediately(int status) noexcept;

} // namespace velnor::platform
