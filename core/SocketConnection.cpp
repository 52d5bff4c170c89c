#include "core/SocketConnection.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "core/ClientPace.h"
#include "platform/Clock.h"
#include "platform/WakeEvent.h"

namespace velnor {
namespace {

std::atomic<bool> socketsStarted{false};

// While a send waits, the client's progress and pace are looked at this often: the full
// path to it frees room in pieces too small to report the socket writable.
constexpr long kSendCheckMs = 250;

} // namespace

SocketConnection::SocketConnection() noexcept {
    StartSockets();
}

SocketConnection::SocketConnection(platform::SocketHandle adopted) noexcept : handle(adopted) {
    StartSockets();
    if (handle != platform::kNoSocket)
        platform::socketSetNonBlocking(handle);
}

SocketConnection::~SocketConnection() {
    SocketConnection::Close();
}

int SocketConnection::StartSockets() noexcept {
    // The flag is set before the work, so start-up is attempted once per process.
    if (socketsStarted.exchange(true))
        return 1;
    return platform::startSockets() ? 1 : 0;
}

int SocketConnection::Close() noexcept {
    if (handle == platform::kNoSocket)
        return -1;
    // Unread input makes the kernel answer the close with a reset, and a peer that gets
    // the reset before it has read the answer loses it.
    platform::socketDiscardInput(handle, kCloseDiscardLimit);
    platform::socketShutdown(handle);
    const int result = platform::socketClose(handle);
    handle = platform::kNoSocket;
    return result;
}

int SocketConnection::Listen(std::uint32_t port, bool loopbackOnly) noexcept {
    constexpr std::uint8_t kAny[4] = {0, 0, 0, 0};
    constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};
    return Listen(port, loopbackOnly ? kLoopback : kAny);
}

int SocketConnection::Listen(std::uint32_t port, const std::uint8_t (&address)[4]) noexcept {
    if (handle != -1)
        Close();
    // A port beyond 16 bits would silently bind another port after truncation.
    if (port > 0xFFFF)
        return -1;
    handle = platform::socketCreate();
    if (handle == platform::kNoSocket)
        return -1;
    if (platform::socketBindListen(handle, static_cast<std::uint16_t>(port), kListenBacklog,
                                   address) != 0)
        return -1;
    return 1;
}

platform::SocketHandle SocketConnection::Accept(platform::PeerAddress& peer) noexcept {
    if (WaitReadable() < 1)
        return platform::kNoSocket;
    return platform::socketAccept(handle, peer);
}

int SocketConnection::WaitReadable() noexcept {
    AboutToWait();
    return platform::socketWaitReadable(handle, waitMilliseconds());
}

void SocketConnection::BeginResponse() noexcept {
    responseSent_ = 0;
    paceStarted_ = false;
    takenAtStart_ = 0;
    waitedMs_ = 0;
    sendCut_ = false;
}

std::uint64_t SocketConnection::takenByClient() const noexcept {
    const long unsent = platform::socketUnsentBytes(handle);
    // Without the queue's size, what the socket accepted stands in for what the client
    // took; it still grows only as the client makes room.
    if (unsent < 0)
        return responseSent_;
    return responseSent_ > std::uint64_t(unsent) ? responseSent_ - std::uint64_t(unsent) : 0;
}

int SocketConnection::waitToSend() noexcept {
    // The wait time is the longest the client may take no byte at all. The pace is
    // measured from the first whole check in which the client fell behind it: until
    // then the buffers on the way to it were still filling, which says nothing of how
    // fast it reads. Only time spent waiting on it counts, so a gateway that is slow to produce
    // its output never counts against its client.
    AboutToWait();
    const long stallMs = waitMilliseconds();
    std::uint64_t lastTaken = takenByClient();
    std::uint32_t lastProgress = platform::tickCount();
    for (;;) {
        const std::uint32_t before = platform::tickCount();
        const long left = stallMs - long(before - lastProgress);
        const long slice = left <= 0 ? 0 : left < kSendCheckMs ? left : kSendCheckMs;
        const int ready = platform::socketWaitWritable(handle, slice);
        const std::uint32_t after = platform::tickCount();
        if (ready < 0)
            return -1;
        if (paceStarted_)
            waitedMs_ += after - before;
        const std::uint64_t taken = takenByClient();
        const std::uint64_t gained = taken > lastTaken ? taken - lastTaken : 0;
        if (!paceStarted_ && ready == 0 &&
            gained * 1000 < std::uint64_t(kMinimumBytesPerSecond) * std::uint64_t(slice)) {
            paceStarted_ = true;
            takenAtStart_ = taken;
        }
        if (taken > lastTaken) {
            lastTaken = taken;
            lastProgress = after;
        }
        const bool pressed = pressure != nullptr && pressure->load(std::memory_order_relaxed) != 0;
        const std::uint64_t paced = taken > takenAtStart_ ? taken - takenAtStart_ : 0;
        const std::uint32_t waited = waitedMs_ > UINT32_MAX ? UINT32_MAX : std::uint32_t(waitedMs_);
        if ((pressed && isTooSlow(paced, waited)) ||
            (ready == 0 && long(after - lastProgress) >= stallMs)) {
            // What is still queued would otherwise go on trickling out to the client
            // after the close, holding the memory the cut was meant to free.
            platform::socketResetOnClose(handle);
            sendCut_ = true;
            return -1;
        }
        if (ready > 0)
            return 1;
    }
}

long SocketConnection::waitMilliseconds() const noexcept {
    // A part of a millisecond is rounded up so a short nonzero wait does not become a
    // mere check; a negative total is a check, never an endless wait.
    const std::int64_t micro = std::int64_t(WaitSeconds) * 1000000 + std::int64_t(WaitMicroseconds);
    if (micro <= 0)
        return 0;
    return long((micro + 999) / 1000);
}

std::int64_t SocketConnection::SendAll(const void* data, std::uint32_t length, int flags) noexcept {
    if (handle == platform::kNoSocket)
        return -1;
    if (length == 0) {
        if (data == nullptr)
            return 0;
        const std::size_t measured = std::strlen(static_cast<const char*>(data));
        if (measured == 0)
            return 0;
        if (measured > UINT32_MAX)
            return -1;
        length = static_cast<std::uint32_t>(measured);
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::int64_t sent = 0;
    // The socket is non-blocking, so the send is tried first and a wait is only paid
    // for when the path to the peer is full.
    for (;;) {
        const long result =
            platform::socketSend(handle, bytes + sent, std::size_t(length - sent), flags);
        if (result == -2) {
            if (waitToSend() < 1)
                return -1;
            continue;
        }
        if (result <= 0)
            return sent;
        sent += result;
        responseSent_ += std::uint64_t(result);
        if (sent >= length)
            return sent;
    }
}

std::int64_t SocketConnection::SendFile(const platform::File& file, std::int64_t offset,
                                        std::uint64_t count) noexcept {
    if (handle == platform::kNoSocket)
        return -1;
    if (count == 0)
        return 0;
    if (count > std::uint64_t(INT64_MAX))
        return -1;
    std::uint64_t sent = 0;
    // Tried first, like SendAll: the wait is only for a full path to the peer.
    for (;;) {
        const std::uint64_t left = count - sent;
        const std::size_t chunk = left > SIZE_MAX ? SIZE_MAX : std::size_t(left);
        const long result = platform::socketSendFile(handle, file, offset, chunk);
        if (result == -2) {
            if (waitToSend() < 1)
                return -1;
            continue;
        }
        // 0 means the file ended early; the caller sees the shortfall in the count.
        if (result <= 0)
            return std::int64_t(sent);
        sent += std::uint64_t(result);
        responseSent_ += std::uint64_t(result);
        if (sent >= count)
            return std::int64_t(sent);
    }
}

int SocketConnection::Receive(void* buffer, std::uint32_t size, int flags) noexcept {
    if (handle == platform::kNoSocket)
        return -1;
    if (size > INT_MAX)
        size = INT_MAX;
    // Data that has already arrived is taken without a wait; the wait is only for an
    // empty socket.
    long result = platform::socketReceive(handle, buffer, size, flags);
    if (result == -2) {
        const int ready = WaitReadable();
        if (ready < 1)
            return ready;
        result = platform::socketReceive(handle, buffer, size, flags);
        // Readiness without data (a spurious wake-up) counts as nothing having arrived.
        if (result == -2)
            return 0;
    }
    if (result <= 0)
        return -1;
    return int(result);
}

std::uint16_t SocketConnection::LocalPort() const noexcept {
    return handle == platform::kNoSocket ? 0 : platform::socketLocalPort(handle);
}

} // namespace velnor
