#include "platform/Clock.h"

#include <windows.h>

namespace velnor::platform {

// The system's tick is already a 32-bit millisecond count that wraps, the form callers
// compare by difference; it advances with the scheduler's tick (10-16 ms), fine enough
// for timeouts and far finer than the hundred milliseconds the coarse reader asks about.
std::uint32_t tickCount() noexcept {
    return static_cast<std::uint32_t>(::GetTickCount64());
}

std::uint32_t coarseTickCount() noexcept {
    return static_cast<std::uint32_t>(::GetTickCount64());
}

std::uint64_t currentFileTime() noexcept {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void sleepMilliseconds(std::uint32_t ms) noexcept {
    // INFINITE is all ones; a pause that long is meant as a finite one.
    ::Sleep(ms == INFINITE ? INFINITE - 1 : ms);
}

} // namespace velnor::platform
