// The console control handler of this system, reachable from the tests: a generated
// console event does not reach a process that has no console of its own.
#pragma once

namespace velnor::platform::win32 {

// How long the handler of a closing console, log-off or shut-down holds the system back
// once the request is queued: the system ends the process when the handler returns, and
// at about 5 s anyway, so the close sequence runs in this time or not at all.
constexpr unsigned long kCloseHoldMs = 4500;

// Handles one console control event as the system would deliver it: nonzero when the
// event was taken (queued, or the process ended), zero for an event it does not handle.
int handleConsoleControl(unsigned long event) noexcept;

// Stop requests queued and not yet taken.
unsigned queuedStopRequests() noexcept;

} // namespace velnor::platform::win32
