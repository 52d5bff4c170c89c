#include "server/ConnectionPark.h"

#include <new>
#include <thread>

#include "core/SocketConnection.h"
#include "platform/Clock.h"

namespace velnor {
namespace {

// No place has this number, so the stop's report can never be taken for a connection.
constexpr std::uint64_t kStopToken = ~std::uint64_t(0);
// After a failed wait a worker rests this long rather than spin on the failure.
constexpr std::uint32_t kFailedWaitPauseMs = 10;

std::uint32_t generationBits(std::uint32_t state) noexcept {
    return state & ~std::uint32_t(3);
}

// Milliseconds from `since` to `now`; a mark set after `now` was read is no time at all.
std::uint32_t quietFor(std::uint32_t now, std::uint32_t since) noexcept {
    const auto difference = std::int32_t(now - since);
    return difference > 0 ? std::uint32_t(difference) : 0;
}

} // namespace

bool ConnectionPark::Open(std::uint32_t capacity) noexcept {
    places_.reset(new (std::nothrow) Place[capacity]);
    free_.reset(new (std::nothrow) std::uint32_t[capacity]);
    if (!places_ || !free_ || !set_.open() || !stop_.open() ||
        !set_.watchAlways(stop_.handle(), kStopToken))
        return false;
    capacity_ = capacity;
    // Handed out from the top, so the lowest places are used first and stay warm.
    for (std::uint32_t i = 0; i < capacity; ++i)
        free_[i] = capacity - 1 - i;
    freeCount_ = capacity;
    lastSweep_.store(platform::tickCount() - kSweepMs, std::memory_order_relaxed);
    return true;
}

bool ConnectionPark::Admit(platform::SocketHandle handle,
                           const platform::PeerAddress& peer) noexcept {
    std::uint32_t place = capacity_;
    for (int attempt = 0; attempt < 2 && place == capacity_; ++attempt) {
        {
            std::lock_guard<std::mutex> hold(freeMutex_);
            if (freeCount_ > 0)
                place = free_[--freeCount_];
        }
        if (place == capacity_ && (attempt > 0 || !CloseOldest()))
            return false;
    }
    Place& p = places_[place];
    p.handle = handle;
    p.peer = peer;
    p.since.store(platform::tickCount(), std::memory_order_relaxed);
    const std::uint32_t waiting =
        generationBits(p.state.load(std::memory_order_relaxed)) | kWaiting;
    p.arming.store(true, std::memory_order_relaxed);
    p.state.store(waiting, std::memory_order_release);
    waiting_.fetch_add(1, std::memory_order_relaxed);
    const bool watched = set_.watchOnce(handle, tokenOf(place, waiting));
    p.arming.store(false, std::memory_order_release);
    if (watched)
        return true;
    // Never reported, but a sweep may have taken it meanwhile; then the sweep ends it.
    std::uint32_t expected = waiting;
    if (!p.state.compare_exchange_strong(expected, generationBits(waiting) | kLent,
                                         std::memory_order_acq_rel))
        return true;
    waiting_.fetch_sub(1, std::memory_order_relaxed);
    p.handle = -1;
    free(place);
    return false;
}

ConnectionPark::Taken ConnectionPark::Take(Connection& out, long timeoutMs) noexcept {
    std::uint64_t token = 0;
    const int seen = set_.waitOne(token, timeoutMs);
    if (seen < 0) {
        platform::sleepMilliseconds(kFailedWaitPauseMs);
        return Taken::Nothing;
    }
    if (seen == 0)
        return Taken::Nothing;
    if (token == kStopToken)
        return Taken::Stop;
    const auto place = std::uint32_t(token);
    const auto generation = std::uint32_t(token >> 32);
    if (place >= capacity_ || !lend(place, generation))
        return Taken::Nothing;
    const Place& p = places_[place];
    out.handle = p.handle;
    out.peer = p.peer;
    out.place = place;
    return Taken::Connection;
}

bool ConnectionPark::lend(std::uint32_t place, std::uint32_t generation) noexcept {
    std::uint32_t expected = (generation << 2) | kWaiting;
    Place& p = places_[place];
    if (!p.state.compare_exchange_strong(expected, (generation << 2) | kLent,
                                         std::memory_order_acq_rel))
        return false;
    waiting_.fetch_sub(1, std::memory_order_relaxed);
    // The one arming the place is inside a single system call at most.
    while (p.arming.load(std::memory_order_acquire))
        std::this_thread::yield();
    return true;
}

bool ConnectionPark::Return(Connection& connection) noexcept {
    if (connection.place >= capacity_)
        return false;
    Place& p = places_[connection.place];
    p.since.store(platform::tickCount(), std::memory_order_relaxed);
    const std::uint32_t lent = p.state.load(std::memory_order_relaxed);
    std::uint32_t waiting = generationBits(lent) | kWaiting;
    // Waiting before armed: a report that comes at once finds the place ready to lend.
    p.arming.store(true, std::memory_order_relaxed);
    p.state.store(waiting, std::memory_order_release);
    waiting_.fetch_add(1, std::memory_order_relaxed);
    const bool armed = set_.armAgain(connection.handle, tokenOf(connection.place, waiting));
    p.arming.store(false, std::memory_order_release);
    if (armed)
        return true;
    if (p.state.compare_exchange_strong(waiting, lent, std::memory_order_acq_rel)) {
        waiting_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    // A sweep took it in that moment and ends it itself.
    return true;
}

void ConnectionPark::Release(const Connection& connection) noexcept {
    if (connection.place >= capacity_)
        return;
    // A copy of the socket held by a program being started would keep it in the set.
    if (connection.handle != -1)
        set_.forget(connection.handle);
    places_[connection.place].handle = -1;
    free(connection.place);
}

void ConnectionPark::free(std::uint32_t place) noexcept {
    Place& p = places_[place];
    const std::uint32_t next = generationBits(p.state.load(std::memory_order_relaxed)) + 4;
    p.state.store(next | kFree, std::memory_order_release);
    std::lock_guard<std::mutex> hold(freeMutex_);
    free_[freeCount_++] = place;
}

bool ConnectionPark::closeWaiting(std::uint32_t place, std::uint32_t state) noexcept {
    if (!lend(place, state >> 2))
        return false;
    Place& p = places_[place];
    const platform::SocketHandle handle = p.handle;
    set_.forget(handle);
    p.handle = -1;
    free(place);
    SocketConnection(handle).Close();
    return true;
}

bool ConnectionPark::CloseOldest() noexcept {
    const std::uint32_t now = platform::tickCount();
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::uint32_t oldest = capacity_;
        std::uint32_t oldestState = 0;
        std::uint32_t longest = 0;
        for (std::uint32_t i = 0; i < capacity_; ++i) {
            const std::uint32_t state = places_[i].state.load(std::memory_order_acquire);
            if ((state & 3) != kWaiting)
                continue;
            const std::uint32_t quiet =
                quietFor(now, places_[i].since.load(std::memory_order_relaxed));
            if (oldest == capacity_ || quiet > longest) {
                oldest = i;
                oldestState = state;
                longest = quiet;
            }
        }
        if (oldest == capacity_)
            return false;
        if (closeWaiting(oldest, oldestState))
            return true;
    }
    return false;
}

void ConnectionPark::CloseExpired(std::uint32_t limitMs) noexcept {
    const std::uint32_t now = platform::tickCount();
    // A sweep noted after `now` was read makes this one early; one sweep too many.
    if (now - lastSweep_.load(std::memory_order_relaxed) < kSweepMs)
        return;
    std::unique_lock<std::mutex> hold(sweepMutex_, std::try_to_lock);
    if (!hold.owns_lock())
        return;
    lastSweep_.store(now, std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < capacity_; ++i) {
        const std::uint32_t state = places_[i].state.load(std::memory_order_acquire);
        if ((state & 3) == kWaiting &&
            quietFor(now, places_[i].since.load(std::memory_order_relaxed)) > limitMs)
            closeWaiting(i, state);
    }
}

void ConnectionPark::Stop() noexcept {
    stop_.signal();
}

void ConnectionPark::CloseAll() noexcept {
    for (std::uint32_t i = 0; i < capacity_; ++i) {
        const std::uint32_t state = places_[i].state.load(std::memory_order_acquire);
        if ((state & 3) == kWaiting)
            closeWaiting(i, state);
    }
}

} // namespace velnor
