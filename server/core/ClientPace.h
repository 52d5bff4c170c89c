// The pace a client must keep to hold a worker while other clients wait for one.
#pragma once

#include <cstdint>

namespace velnor {

// A request or response younger than this is never judged: a client gets time to start.
constexpr std::uint32_t kPaceGraceMs = 2000;
// Below this average, measured from the first byte of a request's head or body, or
// from the start of a response, a client is too slow to keep a worker under pressure.
constexpr std::uint32_t kMinimumBytesPerSecond = 1024;
// A response whose client takes no byte for this long is ended, pressure or not.
constexpr std::uint32_t kSendStallMs = 5000;

// True when `bytes` moved in `elapsedMs` is too slow a pace to keep a worker while
// others wait. Only asked while the pool is full.
constexpr bool isTooSlow(std::uint64_t bytes, std::uint32_t elapsedMs) noexcept {
    return elapsedMs > kPaceGraceMs &&
           bytes * 1000 < std::uint64_t(kMinimumBytesPerSecond) * elapsedMs;
}

} // namespace velnor
