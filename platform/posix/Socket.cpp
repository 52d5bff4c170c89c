#include "platform/Socket.h"

#include "platform/FileSystem.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velnor::platform {
namespace {

// The most one sendfile call moves on Linux; larger counts are sent in several calls.
constexpr std::size_t kMaxSendFileChunk = 0x7ffff000;
// Longer waits are cut to about 31 years so the deadline arithmetic cannot overflow.
constexpr std::int64_t kLongestWaitMs = 1'000'000'000'000;

int pollOne(SocketHandle fd, short events, long timeoutMs) noexcept {
    // poll ignores a negative descriptor and would simply sleep; a wait on no socket
    // is a failure, as it is for select.
    if (fd < 0)
        return -1;
    std::int64_t remaining = timeoutMs < 0 ? 0 : timeoutMs;
    if (remaining > kLongestWaitMs)
        remaining = kLongestWaitMs;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(remaining);
    for (;;) {
        pollfd entry{};
        entry.fd = fd;
        entry.events = events;
        const int result = ::poll(&entry, 1, remaining > INT_MAX ? INT_MAX : int(remaining));
        if (result > 0)
            return (entry.revents & POLLNVAL) ? -1 : result;
        if (result == 0) {
            // A wait longer than poll can express is finished in several calls.
            if (remaining <= INT_MAX)
                return 0;
        } else if (errno != EINTR) {
            return -1;
        }
        // An interrupted wait goes on for the time that is left, never longer.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return 0;
        remaining = std::int64_t(left.count());
    }
}

sockaddr_in ipv4Address(const std::uint8_t (&address)[4], std::uint16_t port) noexcept {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr.s_addr, address, sizeof address);
    return sa;
}

} // namespace

bool startSockets() noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGPIPE, &action, nullptr) == 0;
}

SocketHandle socketCreate() noexcept {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog, bool loopbackOnly) noexcept {
    constexpr std::uint8_t kAny[4] = {0, 0, 0, 0};
    constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};
    return socketBindListen(fd, port, backlog, loopbackOnly ? kLoopback : kAny);
}

int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog,
                     const std::uint8_t (&address)[4]) noexcept {
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return -1;
    const sockaddr_in sa = ipv4Address(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return -1;
    return ::listen(fd, backlog) == 0 ? 0 : -1;
}

bool parseIpv4Address(const char* text, std::uint8_t (&address)[4]) noexcept {
    in_addr parsed{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    std::memcpy(address, &parsed.s_addr, sizeof address);
    return true;
}

std::uint16_t socketLocalPort(SocketHandle fd) noexcept {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

SocketHandle socketAccept(SocketHandle fd, PeerAddress& peer, bool* shortOfResources) noexcept {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    int result;
    do {
        result =
            ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        if (shortOfResources != nullptr)
            *shortOfResources =
                errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
        return -1;
    }
    if (shortOfResources != nullptr)
        *shortOfResources = false;
    peer = PeerAddress{};
    peer.family = sa.sin_family;
    peer.port = sa.sin_port;
    std::memcpy(peer.address, &sa.sin_addr.s_addr, sizeof peer.address);
    return result;
}

int socketSetNonBlocking(SocketHandle fd) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if (flags & O_NONBLOCK)
        return 0;
    return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int socketConnect(SocketHandle fd, const std::uint8_t (&address)[4], std::uint16_t port,
                  long timeoutMs) noexcept {
    const sockaddr_in sa = ipv4Address(address, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    // An interrupted connect goes on in the background, like one in progress.
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    if (pollOne(fd, POLLOUT, timeoutMs) < 1)
        return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return -1;
    return 0;
}

int socketWaitReadable(SocketHandle fd, long timeoutMs) noexcept {
    return pollOne(fd, POLLIN, timeoutMs);
}

int socketWaitWritable(SocketHandle fd, long timeoutMs) noexcept {
    return pollOne(fd, POLLOUT, timeoutMs);
}

long socketSend(SocketHandle fd, const void* data, std::size_t size, int flags) noexcept {
    ssize_t result;
    do {
        result = ::send(fd, data, size, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
    return long(result);
}

long socketReceive(SocketHandle fd, void* buffer, std::size_t size, int flags) noexcept {
    ssize_t result;
    do {
        result = ::recv(fd, buffer, size, flags | MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
    return long(result);
}

long socketSendFile(SocketHandle fd, const File& file, std::int64_t& offset,
                    std::size_t count) noexcept {
    if (offset < 0)
        return -1;
    if (count > kMaxSendFileChunk)
        count = kMaxSendFileChunk;
    off_t position = off_t(offset);
    ssize_t result;
    do {
        result = ::sendfile(int(fd), int(file.nativeHandle()), &position, count);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
    offset = std::int64_t(position);
    return long(result);
}

long socketUnsentBytes(SocketHandle fd) noexcept {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0)
        return -1;
    return long(queued);
}

void socketResetOnClose(SocketHandle fd) noexcept {
    linger immediate{};
    immediate.l_onoff = 1;
    immediate.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
}

int socketShutdown(SocketHandle fd) noexcept {
    return ::shutdown(fd, SHUT_RDWR);
}

int socketClose(SocketHandle fd) noexcept {
    // Never repeated on EINTR: on Linux the descriptor is released either way.
    if (::close(fd) == 0 || errno == EINTR)
        return 0;
    return -1;
}

} // namespace velnor::platform
