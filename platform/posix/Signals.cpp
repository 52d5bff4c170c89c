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

int StopSignalWatch::take() noexcept {
    if (!fd_.valid())
        return 0;
    signalfd_siginfo info{};
    const ssize_t got = ::read(fd_.get(), &info, sizeof info);
    return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

void exitImmediately(int status) noexcept {
    ::_exit(status);
}

} // namespace velnor::platform
