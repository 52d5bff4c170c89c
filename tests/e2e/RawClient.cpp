#include "tests/e2e/RawClient.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velnor::e2e {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The value of a header in a response head, found without regard to case, or -1.
long contentLength(const std::string& head) {
    std::string lower = head;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return -1;
    return std::strtol(head.c_str() + at + 17, nullptr, 10);
}

} // namespace

RawClient::RawClient(int port, std::chrono::milliseconds connectLimit) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd waiter{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (::poll(&waiter, 1, static_cast<int>(connectLimit.count())) == 1 &&
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0)
            result = 0;
    }
    if (result != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

RawClient::~RawClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

int RawClient::localPort() const noexcept {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool RawClient::send(std::string_view bytes) {
    auto deadline = Clock::now() + 5s;
    while (fd_ >= 0 && !bytes.empty()) {
        ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waiter{fd_, POLLOUT, 0};
            if (::poll(&waiter, 1, remainingMs(deadline)) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return fd_ >= 0;
}

bool RawClient::sendSlowly(std::string_view bytes, std::size_t chunk,
                           std::chrono::milliseconds pause) {
    while (!bytes.empty()) {
        std::size_t piece = bytes.size() < chunk ? bytes.size() : chunk;
        if (!send(bytes.substr(0, piece)))
            return false;
        bytes.remove_prefix(piece);
        std::this_thread::sleep_for(pause);
    }
    return true;
}

void RawClient::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

void RawClient::abort() {
    if (fd_ < 0)
        return;
    linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd_);
    fd_ = -1;
}

bool RawClient::fill(Clock::time_point deadline) {
    if (fd_ < 0 || eof_)
        return false;
    for (;;) {
        char block[16384];
        ssize_t got = ::recv(fd_, block, sizeof block, 0);
        if (got > 0) {
            pending_.append(block, static_cast<std::size_t>(got));
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            eof_ = true;
            return false;
        }
        int left = remainingMs(deadline);
        if (left == 0)
            return false;
        pollfd waiter{fd_, POLLIN, 0};
        if (::poll(&waiter, 1, left) == 0)
            return false;
    }
}

std::string RawClient::readUntilClose(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (fill(deadline)) {
    }
    return std::exchange(pending_, {});
}

std::string RawClient::readBytes(std::size_t count, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (pending_.size() < count && fill(deadline)) {
    }
    std::string taken = pending_.substr(0, count);
    pending_.erase(0, taken.size());
    return taken;
}

std::string RawClient::readResponse(std::chrono::milliseconds limit, bool headOnly) {
    auto deadline = Clock::now() + limit;
    std::size_t end;
    while ((end = pending_.find("\r\n\r\n")) == std::string::npos && fill(deadline)) {
    }
    if (end == std::string::npos)
        return std::exchange(pending_, {});
    std::size_t total = end + 4;
    long length = contentLength(pending_.substr(0, total));
    if (length < 0 && !headOnly && pending_.size() >= 12 && pending_.compare(9, 3, "200") == 0) {
        while (fill(deadline)) {
        }
        total = pending_.size();
    } else if (length > 0 && !headOnly) {
        total += static_cast<std::size_t>(length);
        while (pending_.size() < total && fill(deadline)) {
        }
    }
    std::string taken = pending_.substr(0, total);
    pending_.erase(0, taken.size());
    return taken;
}

bool RawClient::peerClosed(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (fill(deadline)) {
    }
    return eof_ && pending_.empty();
}

std::string roundTrip(int port, std::string_view request, std::chrono::milliseconds limit) {
    RawClient client(port);
    if (!client.connected() || !client.send(request))
        return "(no connection)";
    return client.readUntilClose(limit);
}

std::string bareStatus(std::string_view version, std::string_view statusText, int origin,
                       bool close, std::string_view software) {
    std::string text(version);
    text += ' ';
    text += statusText;
    text += '(' + std::to_string(origin) + ")\r\nServer: ";
    text += software;
    text += close ? "\r\nConnection: Close\r\n\r\n" : "\r\nConnection: Keep-Alive\r\n\r\n";
    return text;
}

std::string fileHead(std::string_view version, std::string_view statusText, bool close,
                     std::size_t length, std::string_view type, std::string_view date,
                     std::string_view software) {
    std::string text(version);
    text += ' ';
    text += statusText;
    text += "\r\nServer: ";
    text += software;
    text += close ? "\r\nConnection: Close" : "\r\nConnection: Keep-Alive";
    text += "\r\nContent-Length: " + std::to_string(length) + "\r\nLast-Modified: ";
    text += date;
    text += "\r\nContent-Type: ";
    text += type;
    text += "\r\n\r\n";
    return text;
}

std::string challenge(std::string_view version, std::string_view realm, std::string_view software) {
    std::string text(version);
    text += " 401 Unauthorized\r\nServer: ";
    text += software;
    text += "\r\nWWW-Authenticate: Basic realm=\"";
    text += realm;
    text += "\"\r\nConnection: close\r\n\r\n";
    return text;
}

} // namespace velnor::e2e
