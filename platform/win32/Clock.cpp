#include "platform/Clock.h"

#include <windows.h>

namespace velnor::platform {

namespace {

std::uint64_t counterFrequency() noexcept {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart > 0 ? std::uint64_t(frequency.QuadPart) : 1;
}

} // namespace

// The system's own tick count moves in steps of the scheduler's tick (10-16 ms), too
// coarse for a timeout that must not end early, so the fine tick is the performance
// counter's. Truncating to 32 bits gives the wrap of a tick counter; callers compare by
// difference.
std::uint32_t tickCount() noexcept {
    static const std::uint64_t frequency = counterFrequency();
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    const auto count = std::uint64_t(counter.QuadPart);
    return static_cast<std::uint32_t>(count / frequency * 1000 +
                                      count % frequency * 1000 / frequency);
}

// The coarse one is the tick count itself, read from memory the kernel keeps current.
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
