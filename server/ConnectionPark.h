// Connections that wait for a request hold no worker. Between its requests a kept-alive
// connection, and a new one until its first bytes come, waits here in one readiness set
// that every free worker watches; whichever worker is free when the bytes arrive takes
// it. A worker that has just answered finds the next ready connection at once, without
// sleeping, so under load the pool serves ready connections back to back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/ReadinessSet.h"
#include "platform/Socket.h"
#include "platform/WakeEvent.h"

namespace velnor {

class ConnectionPark {
public:
    // A connection on its way between the park and a worker.
    struct Connection {
        platform::SocketHandle handle = platform::kNoSocket;
        platform::PeerAddress peer{};
        std::uint32_t place = 0;
    };
    enum class Taken { Connection, Nothing, Stop };

    // Room for `capacity` connections; false when the set or the table cannot be had.
    bool Open(std::uint32_t capacity) noexcept;
    // A new connection from the listener. When the park is full the connection that has
    // waited longest is closed to make room, as a client that left a connection idle
    // expects it may be; false only when nothing could be made room for (the caller
    // keeps the socket). True: the park has it.
    bool Admit(platform::SocketHandle handle, const platform::PeerAddress& peer) noexcept;
    // Waits at most `timeoutMs` for a connection with input: Nothing after the wait (or a
    // report that was no longer current), Stop once Stop has been called.
    Taken Take(Connection& out, long timeoutMs) noexcept;
    // A kept-alive connection back after its answer, with nothing of its next request
    // read. False when it cannot wait here; the caller then ends it.
    bool Return(Connection& connection) noexcept;
    // Gives up the place of a connection a worker took; the caller then closes the socket
    // (a handle of -1: it is closed already).
    void Release(const Connection& connection) noexcept;
    // Closes the connections that have waited longer than `limitMs`. Cheap to call often:
    // one caller at a time scans, at most once every kSweepMs.
    void CloseExpired(std::uint32_t limitMs) noexcept;
    static constexpr std::uint32_t kSweepMs = 1000;
    // Wakes every waiter for good; CloseAll then ends the connections still waiting.
    void Stop() noexcept;
    void CloseAll() noexcept;
    // Ends the connection that has waited longest; false when none waits. Makes room for
    // a new arrival when the park or the process is full.
    bool CloseOldest() noexcept;

    std::uint32_t Waiting() const noexcept { return waiting_.load(std::memory_order_relaxed); }

private:
    // A place's state word: its generation above the two low bits, which say whether the
    // place is free, holds a waiting connection, or lent one to a worker. A report
    // carries the generation too, so a report that outlived its connection never takes
    // the connection that later got the same place.
    static constexpr std::uint32_t kFree = 0;
    static constexpr std::uint32_t kWaiting = 1;
    static constexpr std::uint32_t kLent = 2;

    struct Place {
        std::atomic<std::uint32_t> state{kFree};
        // Set while the set is being told about the connection. Whoever lends the place
        // waits for it to clear before the socket may be closed: a descriptor number
        // closed and reused meanwhile would otherwise be armed with this place's report.
        std::atomic<bool> arming{false};
        std::atomic<std::uint32_t> since{0};
        platform::SocketHandle handle = platform::kNoSocket;
        platform::PeerAddress peer{};
    };

    static std::uint64_t tokenOf(std::uint32_t place, std::uint32_t state) noexcept {
        return (std::uint64_t(state >> 2) << 32) | place;
    }
    // Moves a waiting place to lent: false when it is not waiting in that generation.
    // Returns once the place's arming is over.
    bool lend(std::uint32_t place, std::uint32_t generation) noexcept;
    // Ends a waiting connection that no worker has: its socket closed, its place freed;
    // false when it was no longer waiting in that generation.
    bool closeWaiting(std::uint32_t place, std::uint32_t state) noexcept;
    void free(std::uint32_t place) noexcept;

    platform::ReadinessSet set_;
    platform::WakeEvent stop_;
    std::unique_ptr<Place[]> places_;
    std::uint32_t capacity_ = 0;
    std::atomic<std::uint32_t> waiting_{0};
    // Free places, taken from the top.
    std::mutex freeMutex_;
    std::unique_ptr<std::uint32_t[]> free_;
    std::uint32_t freeCount_ = 0;
    std::mutex sweepMutex_;
    std::atomic<std::uint32_t> lastSweep_{0};
};

} // namespace velnor
