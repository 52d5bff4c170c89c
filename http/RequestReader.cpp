// Reading one request off the connection: the head, its checks, the target's resolution
// and the body a POST announces.

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/ClientPace.h"
#include "http/RequestContext.h"
#include "platform/Clock.h"
#include "platform/HostLookup.h"

namespace velnor {

namespace {

constexpr char kDefaultVersion[] = "HTTP/1.0";

// The longest body taken: every length a gateway or extension is handed is a signed
// 32-bit figure.
constexpr std::int64_t kBodyCapacity = INT32_MAX;
// A body is received in pieces of up to this size: every piece grows the body's block
// once, so small pieces would copy a large body over and over.
constexpr std::uint32_t kBodyReceiveBlock = 64 * 1024;

// Finds the end of the head in the bytes collected so far, looking at each byte only
// once however small the pieces are. The collected bytes are text up to their first NUL:
// a NUL before the end of the head means the head can never be read as text.
class HeadFinder {
public:
    // The head's length (its terminator included), or 0 while its end has not arrived.
    std::uint32_t search(const char* data, std::uint32_t length) noexcept {
        if (stopped_ || length <= searched_)
            return 0;
        const std::uint32_t before = searched_;
        const void* nul = std::memchr(data + before, '\0', length - before);
        searched_ = nul ? std::uint32_t(static_cast<const char*>(nul) - data) : length;
        stopped_ = nul != nullptr;
        const std::string_view text(data, searched_);
        // The text before held neither terminator, so a new one reaches into the new
        // bytes. "\r\n\r\n" anywhere wins over an earlier "\n\n".
        std::size_t at = text.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
        if (at != std::string_view::npos)
            return std::uint32_t(at + 4);
        at = text.find("\n\n", before >= 1 ? before - 1 : 0);
        if (at != std::string_view::npos)
            return std::uint32_t(at + 2);
        return 0;
    }

    // A NUL came before any end of the head: no head can hold one, and waiting for more
    // would only hold the worker until the deadline.
    bool hitNul() const noexcept { return stopped_; }

private:
    std::uint32_t searched_ = 0;
    bool stopped_ = false;
};

std::uint32_t elapsedSince(std::uint32_t startTick) noexcept {
    // Unsigned difference: right across the wrap of the tick counter.
    return platform::tickCount() - startTick;
}

// Moves the whole of `from` to the empty `to` without copying when their granules agree,
// else by copying; false when the copy fails (`from` is then unchanged).
bool moveBytes(ByteBuffer& from, ByteBuffer& to) noexcept {
    if (from.length == 0)
        return true;
    if (to.data == nullptr && to.blockSize == from.blockSize) {
        std::swap(to.data, from.data);
        std::swap(to.length, from.length);
        return true;
    }
    if (to.append(from.data, from.length) == 0)
        return false;
    from.reset();
    return true;
}

// Takes the first `count` bytes off the front of `from`, appending them to `to` (when
// given) or dropping them. 1 when done, 0 when `to` cannot take them, -1 when the bytes
// after them cannot be kept.
int takeFront(ByteBuffer& from, std::uint32_t count, ByteBuffer* to) noexcept {
    if (count >= from.length) {
        if (!to)
            from.reset();
        return !to || moveBytes(from, *to) ? 1 : 0;
    }
    if (to && to->append(from.data, count) == 0)
        return 0;
    ByteBuffer rest;
    rest.blockSize = from.blockSize;
    if (rest.append(from.data + count, from.length - count) == 0)
        return -1;
    std::swap(rest.data, from.data);
    std::swap(rest.length, from.length);
    return 1;
}

// 400 when a head line holds more than kLineLimit characters. Only a CR ends a line
// here (it and the character after it are not counted); a bare LF is counted like any
// other character.
int checkLineLengths(const char* head, std::uint32_t length) noexcept {
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < length;) {
        if (count > kLineLimit)
            return 400;
        if (head[i] == '\r') {
            i += 2;
            count = 0;
            continue;
        }
        ++count;
        ++i;
    }
    return 200;
}

} // namespace

int RequestContext::readRequest(const std::atomic<std::uint32_t>* busy) noexcept {
    headBuffer.reset();
    bodyBuffer.reset();
    std::memcpy(version, kDefaultVersion, sizeof kDefaultVersion);
    // Nothing of the previous request may speak for this one, whatever refuses it.
    methodCode = Unrecognised;
    target[0] = '\0';
    path[0] = '\0';
    contentLength = -1;
    findData = platform::FileRecord{};
    const std::uint32_t startTick = platform::tickCount();
    auto underPressure = [busy] {
        return busy != nullptr && busy->load(std::memory_order_relaxed) != 0;
    };

    // Bytes a pipelining client sent after the previous request start this one.
    ByteBuffer collected;
    collected.blockSize = pendingBuffer.blockSize;
    if (!moveBytes(pendingBuffer, collected))
        return 500;

    HeadFinder finder;
    char block[kReceiveBlock];
    std::uint32_t headLength = 0;
    // The head's pace is measured from its first byte, so that a kept-alive connection's
    // idle time before it does not count against it.
    std::uint32_t firstByteTick = startTick;
    if (collected.length > kHeadLimit)
        return 400;
    if (collected.length > 0)
        headLength = finder.search(collected.data, collected.length);
    while (headLength == 0) {
        if (finder.hitNul())
            return 400;
        const int received = Receive(block, kReceiveBlock, 0);
        if (received < 0) {
            Close();
            return 0;
        }
        if (received > 0) {
            if (collected.length == 0)
                firstByteTick = platform::tickCount();
            if (collected.append(block, std::uint32_t(received)) == 0)
                return 500;
            if (collected.length > kHeadLimit)
                return 400;
            headLength = finder.search(collected.data, collected.length);
            if (headLength != 0)
                break;
            if (finder.hitNul())
                return 400;
        }
        if (elapsedSince(startTick) > readTimeout)
            return 0;
        // Once the server is saturated, an idle connection gives its worker back, and so
        // does one that sends its head too slowly for others to wait on it.
        if (underPressure() &&
            (collected.length == 0 || isTooSlow(collected.length, elapsedSince(firstByteTick))))
            return 0;
    }

    // Whatever follows the head waits in pendingBuffer: a POST takes its body from
    // there, and the rest is the next request's.
    if (collected.length == headLength) {
        if (!moveBytes(collected, headBuffer))
            return 413;
    } else {
        if (headBuffer.append(collected.data, headLength) == 0)
            return 413;
        if (pendingBuffer.append(collected.data + headLength, collected.length - headLength) == 0)
            return 500;
    }
    collected.reset();

    int status = checkLineLengths(headBuffer.data, headBuffer.length);
    if (status != 200)
        return status;
    status = parseRequestLine(headBuffer.data);
    if (status != 200)
        return status;
    status = parseHeaders(headBuffer.data);
    if (status != 200)
        return status;

    if (settings && settings->reverseLookup != 0 && peer) {
        char hostName[platform::kHostNameCapacity];
        AboutToWait();
        if (platform::lookupHostName(peer->address, hostName, sizeof hostName))
            headerTable.add("remote_host", hostName);
    }
    if (std::strcmp(version, "HTTP/1.1") == 0 && !headerTable.findNoCase("host"))
        return 400;

    const int result = resolveTarget();

    if (methodCode == Post && contentLength < 0)
        return 411;
    // A body on another method is read and dropped as well, so that it is not taken for
    // the next request on the connection.
    if (contentLength <= 0)
        return result;

    // A client that may not reach the target gets its refusal before any of its body is
    // taken in; dispatch asks again and words the refusal.
    if (settings && settings->passwordFileName) {
        const int decided = findPasswordFile(result, path, settings->passwordFileName);
        if (decided >= 400 && decided != result)
            return decided;
    }
    if (contentLength > kBodyCapacity ||
        (settings && settings->maxBodySize != 0 && contentLength > settings->maxBodySize))
        return 413;

    const bool keepBody = methodCode == Post;
    const auto wanted = std::uint32_t(contentLength);

    // Body bytes that came with the head.
    const std::uint32_t early = pendingBuffer.length < wanted ? pendingBuffer.length : wanted;
    if (early > 0) {
        const int taken = takeFront(pendingBuffer, early, keepBody ? &bodyBuffer : nullptr);
        if (taken == 0) {
            bodyBuffer.reset();
            return 413;
        }
        if (taken < 0)
            return 500;
    }
    std::uint32_t received = early;
    char bodyBlock[kBodyReceiveBlock];
    const std::uint32_t bodyTick = platform::tickCount();
    for (;;) {
        if (received >= wanted)
            return result;
        // A wait that passes with nothing is a pause, not the end: the body has until the
        // request's deadline, unless its pace holds a worker others are waiting for.
        if (elapsedSince(startTick) > readTimeout ||
            (underPressure() && isTooSlow(received - early, elapsedSince(bodyTick)))) {
            bodyBuffer.reset();
            return 0;
        }
        // Never more than the body: what follows it belongs to the next request and
        // stays in the socket for it.
        const std::uint32_t left = wanted - received;
        const int count =
            Receive(bodyBlock, left < kBodyReceiveBlock ? left : kBodyReceiveBlock, 0);
        if (count < 0) {
            bodyBuffer.reset();
            return 0;
        }
        if (count == 0)
            continue;
        if (keepBody && bodyBuffer.append(bodyBlock, std::uint32_t(count)) == 0) {
            bodyBuffer.reset();
            return 413;
        }
        received += std::uint32_t(count);
    }
}

} // namespace velnor
