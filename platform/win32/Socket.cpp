#include "platform/Socket.h"

#include "platform/FileSystem.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>
#include <mutex>

namespace velnor::platform {
namespace {

// A file is sent through a buffer of this size: one read and one send per call.
constexpr std::size_t kSendFileChunk = 64 * 1024;

SOCKET native(SocketHandle fd) noexcept {
    return static_cast<SOCKET>(fd);
}

int clampedInt(std::size_t size) noexcept {
    return size > std::size_t(INT_MAX) ? INT_MAX : int(size);
}

int pollOne(SocketHandle fd, short events, long timeoutMs) noexcept {
    if (fd < 0)
        return -1;
    WSAPOLLFD entry{};
    entry.fd = native(fd);
    entry.events = events;
    // long is 32 bits here, so every wait fits one call.
    const int result = ::WSAPoll(&entry, 1, timeoutMs < 0 ? 0 : int(timeoutMs));
    if (result < 0)
        return -1;
    if (result > 0 && (entry.revents & POLLNVAL) != 0)
        return -1;
    return result;
}

sockaddr_in ipv4Address(const std::uint8_t (&address)[4], std::uint16_t port) noexcept {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    std::memcpy(&sa.sin_addr.s_addr, address, sizeof address);
    return sa;
}

// Sockets are handles, and a program the server starts must never hold a copy of one:
// a client would then see its connection stay open after the server closed it.
void keepFromChildren(SOCKET socket) noexcept {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

bool wouldBlock() noexcept {
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

} // namespace

bool startSockets() noexcept {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data{};
        // Never cleaned up: sockets are in use until the process ends.
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

SocketHandle socketCreate() noexcept {
    SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems older than the flag refuse it; the handle is then marked afterwards.
        s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET)
            keepFromChildren(s);
    }
    if (s == INVALID_SOCKET)
        return kNoSocket;
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    return SocketHandle(s);
}

int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog, bool loopbackOnly) noexcept {
    constexpr std::uint8_t kAny[4] = {0, 0, 0, 0};
    constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};
    return socketBindListen(fd, port, backlog, loopbackOnly ? kLoopback : kAny);
}

int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog,
                     const std::uint8_t (&address)[4]) noexcept {
    // Here address reuse would let a second listener take a port another one holds, so
    // the port is claimed exclusively instead; a listener never waits on old
    // connections' TIME_WAIT on this system anyway.
    const BOOL on = TRUE;
    if (::setsockopt(native(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                     reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return -1;
    const sockaddr_in sa = ipv4Address(address, port);
    if (::bind(native(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        return -1;
    return ::listen(native(fd), backlog) == 0 ? 0 : -1;
}

bool parseIpv4Address(const char* text, std::uint8_t (&address)[4]) noexcept {
    // Decimal parts of one to three digits, no leading zeros, each at most 255: the
    // form the other system's parser takes, so a setting reads the same on both.
    if (text == nullptr)
        return false;
    std::uint8_t parsed[4] = {};
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return false;
        if (*p < '0' || *p > '9')
            return false;
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (digits > 0 && value == 0)
                return false;
            value = value * 10 + unsigned(*p - '0');
            if (++digits > 3 || value > 255)
                return false;
            ++p;
        }
        parsed[part] = std::uint8_t(value);
    }
    if (*p != '\0')
        return false;
    std::memcpy(address, parsed, sizeof address);
    return true;
}

std::uint16_t socketLocalPort(SocketHandle fd) noexcept {
    sockaddr_in sa{};
    int length = sizeof sa;
    if (::getsockname(native(fd), reinterpret_cast<sockaddr*>(&sa), &length) != 0 ||
        sa.sin_family != AF_INET)
        return 0;
    return ntohs(sa.sin_port);
}

SocketHandle socketAccept(SocketHandle fd, PeerAddress& peer, bool* shortOfResources) noexcept {
    sockaddr_in sa{};
    int length = sizeof sa;
    const SOCKET s = ::accept(native(fd), reinterpret_cast<sockaddr*>(&sa), &length);
    if (s == INVALID_SOCKET) {
        if (shortOfResources != nullptr) {
            const int error = ::WSAGetLastError();
            *shortOfResources = error == WSAEMFILE || error == WSAENOBUFS;
        }
        return kNoSocket;
    }
    if (shortOfResources != nullptr)
        *shortOfResources = false;
    // An accepted socket takes its listener's mode; both are set again so that a
    // listener made elsewhere cannot pass on a blocking or inheritable socket.
    keepFromChildren(s);
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    peer = PeerAddress{};
    peer.family = sa.sin_family;
    peer.port = sa.sin_port;
    std::memcpy(peer.address, &sa.sin_addr.s_addr, sizeof peer.address);
    return SocketHandle(s);
}

int socketSetNonBlocking(SocketHandle fd) noexcept {
    u_long on = 1;
    return ::ioctlsocket(native(fd), FIONBIO, &on) == 0 ? 0 : -1;
}

int socketConnect(SocketHandle fd, const std::uint8_t (&address)[4], std::uint16_t port,
                  long timeoutMs) noexcept {
    const sockaddr_in sa = ipv4Address(address, port);
    if (::connect(native(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    if (::WSAGetLastError() != WSAEWOULDBLOCK)
        return -1;
    // select rather than a poll: a refused connection shows in the exception set, where
    // some versions of the poll call never report it and would wait out the timeout.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native(fd), &writable);
    FD_SET(native(fd), &failed);
    const long wait = timeoutMs < 0 ? 0 : timeoutMs;
    timeval limit{};
    limit.tv_sec = wait / 1000;
    limit.tv_usec = (wait % 1000) * 1000;
    if (::select(0, nullptr, &writable, &failed, &limit) < 1 || FD_ISSET(native(fd), &failed))
        return -1;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(native(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
            0 ||
        error != 0)
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
    // kSendMore has no counterpart here and the system refuses flags it does not know.
    flags &= ~kSendMore;
    const int result = ::send(native(fd), static_cast<const char*>(data), clampedInt(size), flags);
    if (result == SOCKET_ERROR)
        return wouldBlock() ? -2 : -1;
    return long(result);
}

long socketReceive(SocketHandle fd, void* buffer, std::size_t size, int flags) noexcept {
    const int result = ::recv(native(fd), static_cast<char*>(buffer), clampedInt(size), flags);
    if (result == SOCKET_ERROR)
        return wouldBlock() ? -2 : -1;
    return long(result);
}

long socketSendFile(SocketHandle fd, const File& file, std::int64_t& offset,
                    std::size_t count) noexcept {
    if (offset < 0)
        return -1;
    if (count == 0)
        return 0;
    // One buffer per thread: a worker sends one file at a time.
    thread_local char buffer[kSendFileChunk];
    const DWORD want = DWORD(count < kSendFileChunk ? count : kSendFileChunk);
    // The offset travels with the read, so nothing depends on the file's own position.
    OVERLAPPED at{};
    at.Offset = DWORD(std::uint64_t(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(std::uint64_t(offset) >> 32);
    DWORD got = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(file.nativeHandle());
    if (!::ReadFile(handle, buffer, want, &got, &at)) {
        DWORD error = ::GetLastError();
        // A handle opened for overlapped reads finishes the read here.
        if (error == ERROR_IO_PENDING && ::GetOverlappedResult(handle, &at, &got, TRUE))
            error = ERROR_SUCCESS;
        else if (error == ERROR_IO_PENDING)
            error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF)
            return 0;
        if (error != ERROR_SUCCESS)
            return -1;
    }
    if (got == 0)
        return 0;
    // Bytes read but not taken by the socket are simply read again next time.
    const long sent = socketSend(fd, buffer, got);
    if (sent > 0)
        offset += sent;
    return sent;
}

long socketUnsentBytes(SocketHandle) noexcept {
    // The system keeps the send queue's fill to itself.
    return -1;
}

void socketResetOnClose(SocketHandle fd) noexcept {
    linger immediate{};
    immediate.l_onoff = 1;
    immediate.l_linger = 0;
    ::setsockopt(native(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&immediate),
                 sizeof immediate);
}

int socketShutdown(SocketHandle fd) noexcept {
    // Only the sending side: here a socket shut for receiving answers any later input
    // with a reset, which can cost the peer the end of an answer it has not read yet.
    return ::shutdown(native(fd), SD_SEND) == 0 ? 0 : -1;
}

int socketClose(SocketHandle fd) noexcept {
    return ::closesocket(native(fd)) == 0 ? 0 : -1;
}

} // namespace velnor::platform
