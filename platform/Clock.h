// Monotonic ticks and the wall clock.
#pragma once

#include <cstdint>

namespace velnor::platform {

// Milliseconds from an arbitrary start, never going back; wraps like a 32-bit tick count.
std::uint32_t tickCount() noexcept;

// The same kind of tick, a few milliseconds coarse, read without entering the kernel: for
// a caller that reads the clock once per record and only wants to know whether a
// hundred milliseconds or more have passed.
std::uint32_t coarseTickCount() noexcept;

// The current time as a file time (100 ns units since 1601-01-01 UTC).
std::uint64_t currentFileTime() noexcept;

void sleepMilliseconds(std::uint32_t ms) noexcept;

} // namespace velnor::platform
