#include "platform/Clock.h"

#include <errno.h>
#include <time.h>

#include "platform/TimeConversion.h"

namespace velnor::platform {

namespace {

// Truncating to 32 bits gives the wrap of a tick counter; callers compare by difference.
std::uint32_t millisecondsOf(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
    return static_cast<std::uint32_t>(ms);
}

} // namespace

std::uint32_t tickCount() noexcept {
    return millisecondsOf(CLOCK_MONOTONIC);
}

std::uint32_t coarseTickCount() noexcept {
    // The coarse clock is the tick the kernel last stored, read from the vDSO page; the
    // fine one may fall back to a system call when the machine's clock source cannot be
    // read from user space.
    return millisecondsOf(CLOCK_MONOTONIC_COARSE);
}

std::uint64_t currentFileTime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return fileTimeFromUnix(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

void sleepMilliseconds(std::uint32_t ms) noexcept {
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(ms / 1000u);
    remaining.tv_nsec = static_cast<long>(ms % 1000u) * 1'000'000L;
    // A signal handled on this thread must not cut the pause short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace velnor::platform
