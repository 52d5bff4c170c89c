#include "platform/ReadinessSet.h"

#include "platform/Socket.h"
#include "platform/WakeEvent.h"

#include <windows.h>
#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

namespace velnor::platform {
namespace {

// One poll call watches at most this many sockets. With more armed, the calls take turns
// over them and each is cut to kTurnMs, so none goes unwatched for long.
constexpr std::size_t kMostPolled = 1024;
constexpr int kTurnMs = 20;

using Clock = std::chrono::steady_clock;

enum class State : std::uint8_t { Armed, Ready };

struct Entry {
    SocketHandle socket = kNoSocket;
    std::uint64_t token = 0;
    // Renewed at every arming, so a poll's answer about an older arming is recognised.
    std::uint64_t serial = 0;
    bool always = false;
    State state = State::Armed;
};

} // namespace

struct ReadinessSet::Poller {
    std::mutex mutex;
    std::condition_variable roundOver;
    // The sockets being watched; a one-shot entry leaves once it is handed out, so
    // arming it again is adding it again.
    std::vector<Entry> entries;
    std::size_t readyCount = 0;
    std::size_t nextTake = 0;
    std::size_t nextPoll = 0;
    std::uint64_t nextSerial = 1;
    // Whether a waiter is inside the poll call, and how many polls have ended.
    bool polling = false;
    bool interrupted = false;
    std::uint64_t rounds = 0;
    // The poll's own arrays, written only by the polling waiter under the lock: slot 0
    // is the interruption, the rest mirror `polledSerials`.
    WSAPOLLFD fds[kMostPolled + 1] = {};
    std::uint64_t polledSerials[kMostPolled + 1] = {};
    std::size_t polledCount = 0;
    // Interrupts the poll when the watched sockets change.
    WakeEvent interrupt;

    Entry* find(SocketHandle socket) noexcept {
        for (Entry& entry : entries)
            if (entry.socket == socket)
                return &entry;
        return nullptr;
    }
    void interruptPoll() noexcept {
        if (polling && !interrupted) {
            interrupted = true;
            interrupt.signal();
        }
    }
    bool watch(SocketHandle socket, std::uint64_t token, bool always) noexcept;
    bool takeReady(std::uint64_t& token) noexcept;
    bool beingPolled(SocketHandle socket) const noexcept;
    // One poll over the armed entries; false when the poll call failed.
    bool pollRound(std::unique_lock<std::mutex>& hold, Clock::time_point deadline) noexcept;
};

void ReadinessSet::PollerOwner::reset(Poller* poller) noexcept {
    delete poller_;
    poller_ = poller;
}

bool ReadinessSet::Poller::watch(SocketHandle socket, std::uint64_t token, bool always) noexcept {
    if (socket < 0)
        return false;
    std::lock_guard<std::mutex> hold(mutex);
    // A socket already here is a number the system has handed out again after a close
    // the set was not told of: the new arming replaces the old one.
    Entry* entry = find(socket);
    if (entry == nullptr) {
        try {
            entries.push_back(Entry{});
        } catch (...) {
            return false;
        }
        entry = &entries.back();
        entry->socket = socket;
    } else if (entry->state == State::Ready) {
        --readyCount;
    }
    entry->token = token;
    entry->serial = nextSerial++;
    entry->always = always;
    entry->state = State::Armed;
    interruptPoll();
    return true;
}

bool ReadinessSet::Poller::takeReady(std::uint64_t& token) noexcept {
    if (readyCount == 0)
        return false;
    // Taken in turn from where the last take stopped, so no ready socket waits behind
    // others forever.
    const std::size_t count = entries.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = (nextTake + i) % count;
        Entry& entry = entries[at];
        if (entry.state != State::Ready)
            continue;
        token = entry.token;
        --readyCount;
        nextTake = at + 1;
        if (entry.always) {
            entry.state = State::Armed;
        } else {
            entries[at] = entries.back();
            entries.pop_back();
        }
        return true;
    }
    return false;
}

bool ReadinessSet::Poller::beingPolled(SocketHandle socket) const noexcept {
    if (!polling)
        return false;
    for (std::size_t i = 1; i <= polledCount; ++i)
        if (SocketHandle(fds[i].fd) == socket)
            return true;
    return false;
}

bool ReadinessSet::Poller::pollRound(std::unique_lock<std::mutex>& hold,
                                     Clock::time_point deadline) noexcept {
    const std::size_t count = entries.size();
    polledCount = 0;
    for (std::size_t i = 0; i < count && polledCount < kMostPolled; ++i) {
        const Entry& entry = entries[(nextPoll + i) % count];
        if (entry.state != State::Armed)
            continue;
        ++polledCount;
        fds[polledCount] = WSAPOLLFD{};
        fds[polledCount].fd = static_cast<SOCKET>(entry.socket);
        fds[polledCount].events = POLLIN;
        polledSerials[polledCount] = entry.serial;
    }
    const bool crowded = count > kMostPolled;
    nextPoll = count == 0 ? 0 : (nextPoll + kMostPolled) % count;
    fds[0] = WSAPOLLFD{};
    fds[0].fd = static_cast<SOCKET>(interrupt.handle());
    fds[0].events = POLLIN;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int waitMs = left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : int(left);
    if (crowded && waitMs > kTurnMs)
        waitMs = kTurnMs;
    polling = true;
    interrupted = false;
    hold.unlock();
    const int result = ::WSAPoll(fds, ULONG(polledCount + 1), waitMs);
    hold.lock();
    polling = false;
    ++rounds;
    if (interrupted || (result > 0 && fds[0].revents != 0))
        interrupt.clear();
    interrupted = false;
    // Every answer is checked against the entry as it is now: one forgotten or armed
    // anew during the poll is not reported for the old arming.
    for (std::size_t i = 1; result > 0 && i <= polledCount; ++i) {
        if (fds[i].revents == 0)
            continue;
        Entry* entry = find(SocketHandle(fds[i].fd));
        if (entry == nullptr || entry->serial != polledSerials[i] || entry->state != State::Armed)
            continue;
        entry->state = State::Ready;
        ++readyCount;
    }
    polledCount = 0;
    roundOver.notify_all();
    return result >= 0;
}

bool ReadinessSet::open() noexcept {
    fd_.reset();
    Poller* poller = new (std::nothrow) Poller;
    if (poller == nullptr)
        return false;
    fd_.reset(poller);
    if (!poller->interrupt.open()) {
        fd_.reset();
        return false;
    }
    return true;
}

bool ReadinessSet::watchOnce(SocketHandle fd, std::uint64_t token) noexcept {
    return fd_.valid() && fd_.get()->watch(fd, token, false);
}

bool ReadinessSet::armAgain(SocketHandle fd, std::uint64_t token) noexcept {
    return fd_.valid() && fd_.get()->watch(fd, token, false);
}

bool ReadinessSet::watchAlways(SocketHandle fd, std::uint64_t token) noexcept {
    return fd_.valid() && fd_.get()->watch(fd, token, true);
}

void ReadinessSet::forget(SocketHandle fd) noexcept {
    if (!fd_.valid() || fd < 0)
        return;
    Poller& p = *fd_.get();
    std::unique_lock<std::mutex> hold(p.mutex);
    if (Entry* entry = p.find(fd)) {
        if (entry->state == State::Ready)
            --p.readyCount;
        *entry = p.entries.back();
        p.entries.pop_back();
    }
    // The caller closes the socket next, and the number may come back at once for
    // another one: the poll that still watches it must be over first.
    if (p.beingPolled(fd)) {
        const std::uint64_t round = p.rounds;
        p.interruptPoll();
        p.roundOver.wait(hold, [&] { return p.rounds != round; });
    }
}

int ReadinessSet::waitOne(std::uint64_t& token, long timeoutMs) noexcept {
    if (!fd_.valid())
        return -1;
    Poller& p = *fd_.get();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::unique_lock<std::mutex> hold(p.mutex);
    bool polled = false;
    for (;;) {
        if (p.takeReady(token))
            return 1;
        const bool expired = Clock::now() >= deadline;
        // A mere check leaves at once when another waiter is polling: that one sees
        // whatever becomes ready.
        if (expired && (polled || p.polling))
            return 0;
        if (!p.polling) {
            if (!p.pollRound(hold, deadline))
                return -1;
            polled = true;
            continue;
        }
        p.roundOver.wait_until(hold, deadline);
    }
}

} // namespace velnor::platform
