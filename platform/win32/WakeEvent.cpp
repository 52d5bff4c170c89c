#include "platform/WakeEvent.h"

#include "platform/Socket.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace velnor::platform {
namespace {

// A clear reads at most this many pending signals; one more left behind only costs a
// spurious wake-up, while an endless stream of them must not hold the clearing thread.
constexpr int kMostSignalsCleared = 4096;

SOCKET native(SocketHandle fd) noexcept {
    return static_cast<SOCKET>(fd);
}

// A non-blocking, non-inheritable datagram socket bound to a fresh loopback port.
SOCKET loopbackDatagramSocket(sockaddr_in& bound) noexcept {
    SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET)
            ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    bound = sockaddr_in{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof bound;
    u_long on = 1;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        ::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

} // namespace

void WakeEvent::SocketPair::reset() noexcept {
    if (read_ != kNoSocket)
        ::closesocket(native(std::exchange(read_, kNoSocket)));
    if (write_ != kNoSocket)
        ::closesocket(native(std::exchange(write_, kNoSocket)));
}

bool WakeEvent::SocketPair::open() noexcept {
    reset();
    if (!startSockets())
        return false;
    sockaddr_in readAt{};
    sockaddr_in writeAt{};
    read_ = SocketHandle(loopbackDatagramSocket(readAt));
    write_ = SocketHandle(loopbackDatagramSocket(writeAt));
    // Each end is connected to the other, so the reading end takes datagrams from the
    // writing end only: no other program can wake it.
    if (read_ == kNoSocket || write_ == kNoSocket ||
        ::connect(native(read_), reinterpret_cast<const sockaddr*>(&writeAt), sizeof writeAt) !=
            0 ||
        ::connect(native(write_), reinterpret_cast<const sockaddr*>(&readAt), sizeof readAt) != 0) {
        reset();
        return false;
    }
    return true;
}

void WakeEvent::SocketPair::send() const noexcept {
    if (write_ == kNoSocket)
        return;
    const char one = 1;
    // A full queue already holds signals, so a send that would block loses nothing.
    ::send(native(write_), &one, 1, 0);
}

bool WakeEvent::open() noexcept {
    return fd_.open();
}

void WakeEvent::signal() noexcept {
    fd_.send();
}

void WakeEvent::clearHandle(SocketHandle fd) noexcept {
    if (fd < 0)
        return;
    char scratch[16];
    for (int i = 0; i < kMostSignalsCleared; ++i) {
        if (::recv(native(fd), scratch, sizeof scratch, 0) == SOCKET_ERROR) {
            // A datagram longer than the scratch area is still taken whole.
            if (::WSAGetLastError() != WSAEMSGSIZE)
                return;
        }
    }
}

int waitSocketOrWake(SocketHandle fd, SocketHandle wakeFd, long timeoutMs) noexcept {
    if (fd < 0)
        return -1;
    WSAPOLLFD fds[2] = {};
    fds[0].fd = native(fd);
    fds[0].events = POLLIN;
    fds[1].fd = native(wakeFd);
    fds[1].events = POLLIN;
    const ULONG count = wakeFd >= 0 ? 2 : 1;
    const int ready = ::WSAPoll(fds, count, timeoutMs < 0 ? 0 : int(timeoutMs));
    if (ready < 0 || (fds[0].revents & POLLNVAL) != 0)
        return -1;
    int seen = 0;
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0)
        seen |= kSocketReady;
    if (count == 2 && (fds[1].revents & POLLIN) != 0)
        seen |= kWoken;
    return seen;
}

} // namespace velnor::platform
