// The stop signals (SIGINT, SIGTERM), taken synchronously by one waiting thread.
#pragma once

namespace velnor::platform {

// Blocks the stop signals in the calling thread. Called before any other thread starts,
// every thread inherits the block, so a stop signal waits for waitStopSignal instead
// of interrupting whichever thread the kernel picks. False when the mask cannot be set.
bool blockStopSignals() noexcept;

// Waits up to `timeoutMs` for a stop signal: its number, 0 when none came, -1 on failure.
int waitStopSignal(long timeoutMs) noexcept;

// Ends the process at once with `status`, running no destructors: used when threads
// that may still touch shared objects cannot be waited for.
[[noreturn]] void exitImmediately(int status) noexcept;

} // namespace velnor::platform
