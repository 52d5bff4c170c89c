#include "platform/ReadinessSet.h"

#include <cerrno>
#include <sys/epoll.h>

namespace velnor::platform {
namespace {

bool control(int set, int operation, int fd, std::uint32_t events, std::uint64_t token) noexcept {
    if (set < 0 || fd < 0)
        return false;
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    return ::epoll_ctl(set, operation, fd, &event) == 0;
}

// A hang-up or a half-close counts as input: the reader then sees the end.
constexpr std::uint32_t kOnce = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;

} // namespace

bool ReadinessSet::open() noexcept {
    fd_.reset(::epoll_create1(EPOLL_CLOEXEC));
    return fd_.valid();
}

bool ReadinessSet::watchOnce(SocketHandle fd, std::uint64_t token) noexcept {
    return control(fd_.get(), EPOLL_CTL_ADD, fd, kOnce, token);
}

bool ReadinessSet::armAgain(SocketHandle fd, std::uint64_t token) noexcept {
    return control(fd_.get(), EPOLL_CTL_MOD, fd, kOnce, token);
}

bool ReadinessSet::watchAlways(SocketHandle fd, std::uint64_t token) noexcept {
    return control(fd_.get(), EPOLL_CTL_ADD, fd, EPOLLIN, token);
}

void ReadinessSet::forget(SocketHandle fd) noexcept {
    if (fd_.valid() && fd >= 0)
        ::epoll_ctl(fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

int ReadinessSet::waitOne(std::uint64_t& token, long timeoutMs) noexcept {
    if (!fd_.valid())
        return -1;
    epoll_event event{};
    int ready;
    do {
        ready = ::epoll_wait(fd_.get(), &event, 1, timeoutMs < 0 ? 0 : int(timeoutMs));
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return -1;
    if (ready == 0)
        return 0;
    token = event.data.u64;
    return 1;
}

} // namespace velnor::platform
