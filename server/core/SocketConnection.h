// One TCP socket together with the timeout that bounds every wait on it.
#pragma once

#include <cstdint>

#include "platform/Socket.h"

namespace velnor {

class SocketConnection {
public:
    // Queue length of the listening socket. A handful drops connections under a burst
    // of arrivals on Linux, so the queue is deep enough for benchmark load.
    static constexpr int kListenBacklog = 128;
    // Bytes already received but never read that Close drops so the peer sees an
    // orderly end instead of a reset; anything beyond this still resets.
    static constexpr std::uint32_t kCloseDiscardLimit = 64 * 1024;

    SocketConnection() noexcept;
    // Takes ownership of an accepted socket; -1 gives an empty object.
    explicit SocketConnection(int adopted) noexcept;
    virtual ~SocketConnection();

    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    // Shuts the socket down and closes it: the close result, or -1 when none was open.
    virtual int Close() noexcept;

    // Process-wide socket start-up, done once; always 1 here.
    static int StartSockets() noexcept;

    // Opens a listening socket on `port` (any address, or 127.0.0.1 only): 1 or -1.
    int Listen(std::uint32_t port, bool loopbackOnly = false) noexcept;
    // The same on one local address (network order; 0.0.0.0 is every address).
    int Listen(std::uint32_t port, const std::uint8_t (&address)[4]) noexcept;
    // Waits for a pending connection: the new handle, or -1 (also after the timeout).
    int Accept(platform::PeerAddress& peer) noexcept;
    // > 0 readable, 0 timed out, -1 failed.
    int WaitReadable() noexcept;
    // All `length` bytes (0: the NUL-terminated text's length): bytes sent, which may be
    // fewer when the peer fails; 0 for nothing to send; -1 for no socket or a wait that
    // timed out or failed.
    std::int64_t SendAll(const void* data, std::uint32_t length, int flags) noexcept;
    // `count` bytes of an open file from `offset`, under the same rules as SendAll.
    std::int64_t SendFile(int fileFd, std::int64_t offset, std::uint64_t count) noexcept;
    // Bytes received (> 0), 0 when nothing arrived within the wait, -1 on error or once
    // the peer has closed.
    int Receive(void* buffer, std::uint32_t size, int flags) noexcept;
    // The bound port, or 0; shows which port an ephemeral bind picked.
    std::uint16_t LocalPort() const noexcept;

    int handle = -1;
    std::int32_t WaitSeconds = 5;
    std::int32_t WaitMicroseconds = 0;

private:
    long waitMilliseconds() const noexcept;
    int waitWritable() noexcept;
};

} // namespace velnor
