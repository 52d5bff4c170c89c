// A wake-up another thread can wait on together with a socket: once signalled it stays
// readable, so a signal sent before the wait is never lost.
#pragma once

#include "platform/UniqueHandle.h"

namespace velnor::platform {

class WakeEvent {
public:
    // False when the event cannot be made; waits then fall back to their timeout.
    bool open() noexcept;
    void signal() noexcept;
    // Takes back every signal sent so far, so the next wait blocks again.
    void clear() noexcept { clearHandle(fd_.get()); }
    static void clearHandle(SocketHandle wake) noexcept;
    // What a wait watches: kNoSocket when the event could not be made.
    SocketHandle handle() const noexcept { return fd_.get(); }

private:
#ifdef _WIN32
    // Here a wake-up is a datagram between two connected loopback sockets, the only kind
    // of object a socket wait watches. The event owns both; the reading one is the handle.
    class SocketPair {
    public:
        SocketPair() = default;
        SocketPair(SocketPair&& other) noexcept
            : read_(std::exchange(other.read_, kNoSocket)),
              write_(std::exchange(other.write_, kNoSocket)) {}
        SocketPair& operator=(SocketPair&& other) noexcept {
            if (this != &other) {
                reset();
                read_ = std::exchange(other.read_, kNoSocket);
                write_ = std::exchange(other.write_, kNoSocket);
            }
            return *this;
        }
        SocketPair(const SocketPair&) = delete;
        SocketPair& operator=(const SocketPair&) = delete;
        ~SocketPair() { reset(); }

        SocketHandle get() const noexcept { return read_; }
        bool valid() const noexcept { return read_ != kNoSocket; }
        void reset() noexcept;
        bool open() noexcept;
        void send() const noexcept;

    private:
        SocketHandle read_ = kNoSocket;
        SocketHandle write_ = kNoSocket;
    };
    SocketPair fd_;
#else
    UniqueHandle fd_;
#endif
};

// Waits until `fd` is readable or `wakeFd` (when not kNoSocket) is signalled: > 0 when `fd` is
// ready, 0 on a timeout or a wake-up, -1 on failure.
int waitReadableOrWake(SocketHandle fd, SocketHandle wakeFd, long timeoutMs) noexcept;

// What waitSocketOrWake saw; both may be set at once.
constexpr int kSocketReady = 1;
constexpr int kWoken = 2;
// The same wait, telling a wake-up apart from a timeout: a mix of kSocketReady (readable,
// an error or hang-up included) and kWoken, 0 on a timeout, -1 on failure.
int waitSocketOrWake(SocketHandle fd, SocketHandle wakeFd, long timeoutMs) noexcept;

} // namespace velnor::platform
