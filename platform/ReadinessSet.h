// Descriptors that several threads wait on together, each readiness going to one waiter:
// the connections that wait for their next request while no thread is theirs.
#pragma once

#include <cstdint>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

class ReadinessSet {
public:
    // False when the set cannot be made.
    bool open() noexcept;
    bool isOpen() const noexcept { return fd_.valid(); }

    // Reports `fd` once, when input (or its end, or an error) is there: after that one
    // report it stays silent until it is armed again, so two waiters never get the same
    // descriptor for the same readiness.
    bool watchOnce(SocketHandle fd, std::uint64_t token) noexcept;
    bool armAgain(SocketHandle fd, std::uint64_t token) noexcept;
    // Reports `fd` for as long as it is readable, to every waiter in turn: a stop signal.
    bool watchAlways(SocketHandle fd, std::uint64_t token) noexcept;
    void forget(SocketHandle fd) noexcept;

    // Waits for one report: 1 with its token, 0 when `timeoutMs` passed, -1 on failure.
    int waitOne(std::uint64_t& token, long timeoutMs) noexcept;

private:
#ifdef _WIN32
    // This system has no kernel readiness set: one waiter at a time polls for all of
    // them, under the state this owns.
    struct Poller;
    class PollerOwner {
    public:
        PollerOwner() = default;
        PollerOwner(PollerOwner&& other) noexcept
            : poller_(std::exchange(other.poller_, nullptr)) {}
        PollerOwner& operator=(PollerOwner&& other) noexcept {
            if (this != &other)
                reset(std::exchange(other.poller_, nullptr));
            return *this;
        }
        PollerOwner(const PollerOwner&) = delete;
        PollerOwner& operator=(const PollerOwner&) = delete;
        ~PollerOwner() { reset(); }

        bool valid() const noexcept { return poller_ != nullptr; }
        Poller* get() const noexcept { return poller_; }
        void reset(Poller* poller = nullptr) noexcept;

    private:
        Poller* poller_ = nullptr;
    };
    PollerOwner fd_;
#else
    UniqueHandle fd_;
#endif
};

} // namespace velnor::platform
