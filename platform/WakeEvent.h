// A wake-up another thread can wait on together with a socket: once signalled it stays
// readable, so a signal sent before the wait is never lost.
#pragma once

#include "platform/UniqueFd.h"

namespace velnor::platform {

class WakeEvent {
public:
    // False when the event cannot be made; waits then fall back to their timeout.
    bool open() noexcept;
    void signal() noexcept;
    // Takes back every signal sent so far, so the next wait blocks again.
    void clear() noexcept { clearDescriptor(fd_.get()); }
    static void clearDescriptor(int fd) noexcept;
    int descriptor() const noexcept { return fd_.get(); }

private:
    UniqueFd fd_;
};

// Waits until `fd` is readable or `wakeFd` (when not -1) is signalled: > 0 when `fd` is
// ready, 0 on a timeout or a wake-up, -1 on failure.
int waitReadableOrWake(int fd, int wakeFd, long timeoutMs) noexcept;

// What waitSocketOrWake saw; both may be set at once.
constexpr int kSocketReady = 1;
constexpr int kWoken = 2;
// The same wait, telling a wake-up apart from a timeout: a mix of kSocketReady (readable,
// an error or hang-up included) and kWoken, 0 on a timeout, -1 on failure.
int waitSocketOrWake(int fd, int wakeFd, long timeoutMs) noexcept;

} // namespace velnor::platform
