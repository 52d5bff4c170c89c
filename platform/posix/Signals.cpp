#include "platform/Signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace velnor::platform {
namespace {

static_assert(sizeof(sigset_t) <= 128, "the watch keeps the previous mask in 128 bytes");

// Set once at start, before any other thread exists.
std::atomic<bool> hangupIgnored{false};

sigset_t stopSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (!hangupIgnored.load(std::memory_order_relaxed))
        sigaddset(&set, SIGHUP);
    return set;
}

extern "C" void endProcess(int signal) {
    ::_exit(128 + signal);
}

} // namespace

bool endOnStopSignals() noexcept {
    struct sigaction previous {};
    if (::sigaction(SIGHUP, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
        hangupIgnored.store(true, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = endProcess;
    action.sa_mask = stopSignals();
    bool installed = true;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (signal == SIGHUP && hangupIgnored.load(std::memory_order_relaxed))
            continue;
        installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
    }
    // A mask inherited from the parent would hold the signals back.
    const sigset_t set = stopSignals();
    return ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr) == 0 && installed;
}

bool blockStopSignals() noexcept {
    const sigset_t set = stopSignals();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

namespace {

StopRequest requestFor(int signal) noexcept {
    switch (signal) {
    case SIGINT:
        return StopRequest::Interrupt;
    case SIGTERM:
        return StopRequest::Terminate;
    case SIGHUP:
        return StopRequest::HangUp;
    default:
        return StopRequest::None;
    }
}

} // namespace

int stopExitStatus(StopRequest request) noexcept {
    switch (request) {
    case StopRequest::Interrupt:
        return 128 + SIGINT;
    case StopRequest::HangUp:
        return 128 + SIGHUP;
    default:
        return 128 + SIGTERM;
    }
}

StopRequest waitStopSignal(long timeoutMs) noexcept {
    const sigset_t set = stopSignals();
    if (timeoutMs < 0)
        timeoutMs = 0;
    timespec wait{};
    wait.tv_sec = timeoutMs / 1000;
    wait.tv_nsec = (timeoutMs % 1000) * 1000000L;
    const int result = ::sigtimedwait(&set, nullptr, &wait);
    if (result > 0)
        return requestFor(result);
    // EINTR: another signal's handler cut the wait short; the caller simply looks again.
    return (errno == EAGAIN || errno == EINTR) ? StopRequest::None : StopRequest::Failed;
}

StopSignalWatch::StopSignalWatch() noexcept {
    const sigset_t set = stopSignals();
    sigset_t previous;
    if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0)
        return;
    std::memcpy(previous_, &previous, sizeof previous);
    restore_ = true;
    fd_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

StopSignalWatch::~StopSignalWatch() {
    if (!restore_)
        return;
    sigset_t previous;
    std::memcpy(&previous, previous_, sizeof previous);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

StopRequest StopSignalWatch::take() noexcept {
    if (!fd_.valid())
        return StopRequest::None;
    signalfd_siginfo info{};
    const ssize_t got = ::read(fd_.get(), &info, sizeof info);
    return got == static_cast<ssize_t>(sizeof info) ? requestFor(int(info.ssi_signo))
                                                    : StopRequest::None;
}

void exitImmediately(int status) noexcept {
    ::_exit(status);
}

} // namespace velnor::platform
