// The pace a client must keep to hold a worker while other clients wait for one.
#pragma once

#include <cstdint>

namespace velnor {

// A request or response younger than this is never judged: a client gets time to start.
constexpr std::uint32_t kPaceGraceMs = 2000;
// Below this average a client is too slow to keep a worker under pressure. A request is
// measured from the first byte of its head or body. A response is measured over the time
// spent waiting on the client, from the first wait in which it fell behind: what the
// kernel's buffers took at once says nothing about the client's pace.
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
