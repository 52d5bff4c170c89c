// One TCP socket together with the timeout that bounds every wait on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Socket.h"

namespace velnor {

// A worker's state: idle while it has no connection, inside from the moment it takes one
// until it gives it back.
enum WorkerState : std::uint32_t {
    kWorkerIdle = 0,
    kWorkerInside = 1,
};

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
    explicit SocketConnection(platform::SocketHandle adopted) noexcept;
    virtual ~SocketConnection();

    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    // Shuts the socket down and closes it: the close result, or -1 when none was open.
    virtual int Close() noexcept;

    // Process-wide socket start-up, done once: 1, or 0 when sockets cannot be used.
    static int StartSockets() noexcept;

    // Opens a listening socket on `port` (any address, or 127.0.0.1 only): 1 or -1.
    int Listen(std::uint32_t port, bool loopbackOnly = false) noexcept;
    // The same on one local address (network order; 0.0.0.0 is every address).
    int Listen(std::uint32_t port, const std::uint8_t (&address)[4]) noexcept;
    // Waits for a pending connection: the new handle, or kNoSocket (also after the
    // timeout).
    platform::SocketHandle Accept(platform::PeerAddress& peer) noexcept;
    // > 0 readable, 0 timed out, -1 failed.
    int WaitReadable() noexcept;
    // Starts a new answer: the pace of the sends that follow is judged from here.
    void BeginResponse() noexcept;
    // All `length` bytes (0: the NUL-terminated text's length): bytes sent, which may be
    // fewer when the peer fails; 0 for nothing to send; -1 for no socket, a failed wait,
    // or a client that took no byte for the whole wait time, or (while `pressure` is
    // raised) that takes the answer slower than the pace of ClientPace.h.
    std::int64_t SendAll(const void* data, std::uint32_t length, int flags) noexcept;
    // `count` bytes of an open file from `offset`, under the same rules as SendAll.
    std::int64_t SendFile(const platform::File& file, std::int64_t offset,
                          std::uint64_t count) noexcept;
    // Bytes received (> 0), 0 when nothing arrived within the wait, -1 on error or once
    // the peer has closed.
    int Receive(void* buffer, std::uint32_t size, int flags) noexcept;
    // Takes a connection over from whoever held it.
    void Adopt(platform::SocketHandle adopted) noexcept { handle = adopted; }
    // The bound port, or 0; shows which port an ephemeral bind picked.
    std::uint16_t LocalPort() const noexcept;

    // True once a send was ended because its client was too slow or stalled.
    bool SendCut() const noexcept { return sendCut_; }

    platform::SocketHandle handle = platform::kNoSocket;
    std::int32_t WaitSeconds = 5;
    std::int32_t WaitMicroseconds = 0;
    // Raised while every worker is busy (or the server is stopping): a slow client then
    // gives its worker back. Null: never under pressure.
    const std::atomic<std::uint32_t>* pressure = nullptr;
    // Called before every wait on the client and before other work that may take long,
    // so that the pool can have another worker look after ready connections meanwhile.
    // Null: nothing is called.
    void (*beforeWait)(void*) noexcept = nullptr;
    void* beforeWaitContext = nullptr;
    void AboutToWait() noexcept {
        if (beforeWait != nullptr)
            beforeWait(beforeWaitContext);
    }

private:
    long waitMilliseconds() const noexcept;
    // Waits until more can be sent: 1, or -1 when the client is to be given up.
    int waitToSend() noexcept;
    std::uint64_t takenByClient() const noexcept;

    // The current answer's bytes handed to the socket, and its pace record, kept from
    // the first check in which its client fell behind the pace.
    std::uint64_t responseSent_ = 0;
    bool paceStarted_ = false;
    std::uint64_t takenAtStart_ = 0;
    std::uint64_t waitedMs_ = 0;
    bool sendCut_ = false;
};

} // namespace velnor
