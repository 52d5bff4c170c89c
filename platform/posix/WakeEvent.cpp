#include "platform/WakeEvent.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace velnor::platform {

bool WakeEvent::open() noexcept {
    fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd_.valid();
}

void WakeEvent::signal() noexcept {
    if (!fd_.valid())
        return;
    const std::uint64_t one = 1;
    // A full counter already wakes every waiter, so a failed write loses nothing.
    [[maybe_unused]] ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

void WakeEvent::clearHandle(SocketHandle fd) noexcept {
    if (fd < 0)
        return;
    std::uint64_t count = 0;
    // Non-blocking: an event with no signal pending is simply left as it is.
    [[maybe_unused]] ssize_t taken = ::read(fd, &count, sizeof count);
}

int waitSocketOrWake(SocketHandle fd, SocketHandle wakeFd, long timeoutMs) noexcept {
    if (fd < 0)
        return -1;
    pollfd fds[2] = {{int(fd), POLLIN, 0}, {int(wakeFd), POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    int ready;
    do {
        ready = ::poll(fds, count, timeoutMs < 0 ? 0 : static_cast<int>(timeoutMs));
    } while (ready < 0 && errno == EINTR);
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
