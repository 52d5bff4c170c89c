#include "platform/Signals.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace velnor::platform {
namespace {

sigset_t stopSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

bool blockStopSignals() noexcept {
    const sigset_t set = stopSignals();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int waitStopSignal(long timeoutMs) noexcept {
    const sigset_t set = stopSignals();
    if (timeoutMs < 0)
        timeoutMs = 0;
    timespec wait{};
    wait.tv_sec = timeoutMs / 1000;
    wait.tv_nsec = (timeoutMs % 1000) * 1000000L;
    const int result = ::sigtimedwait(&set, nullptr, &wait);
    if (result > 0)
        return result;
    // EINTR: another signal's handler cut the wait short; the caller simply looks again.
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

void exitImmediately(int status) noexcept {
    ::_exit(status);
}

} // namespace velnor::platform
