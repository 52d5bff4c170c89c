#include "platform/ChildReaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/UniqueHandle.h"

namespace velnor::platform {
namespace {

// Without process descriptors (older kernels) exits are looked for at this pace.
constexpr long kExitCheckMs = 100;

std::int64_t nowMs() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class State { Running, Exited, Gone };

State stateOf(int pid) noexcept {
    siginfo_t info{};
    int result;
    do {
        // WNOWAIT keeps it unreaped, so its number (and its group's) stays its own until
        // the group has been dealt with.
        result = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return State::Gone; // reaped by someone else (SIGCHLD set to be ignored)
    return info.si_pid == pid ? State::Exited : State::Running;
}

void reap(int pid) noexcept {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

struct Held {
    int pid = -1;
    UniqueHandle exitFd;
    std::int64_t deadline = 0;
};

class Reaper {
public:
    bool adopt(int pid, std::uint32_t limitMs) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        if (count_ >= kMostReapedLater || !startLocked())
            return false;
        Held& entry = held_[count_];
        entry.pid = pid;
#ifdef SYS_pidfd_open
        entry.exitFd.reset(int(::syscall(SYS_pidfd_open, pid, 0)));
#endif
        entry.deadline = nowMs() + std::int64_t(limitMs);
        ++count_;
        wake();
        return true;
    }

    std::size_t count() noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        return count_;
    }

private:
    bool startLocked() noexcept {
        if (started_)
            return true;
        wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake_)
            return false;
        try {
            std::thread(&Reaper::run, this).detach();
        } catch (...) {
            wake_.reset();
            return false;
        }
        started_ = true;
        return true;
    }

    void wake() noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
    }

    // Only this thread removes entries; adopters only append, under the lock.
    [[noreturn]] void run() noexcept {
        pollfd watched[kMostReapedLater + 1];
        for (;;) {
            std::size_t count;
            long timeout = -1;
            {
                std::lock_guard<std::mutex> hold(lock_);
                count = count_;
                const std::int64_t now = nowMs();
                for (std::size_t i = 0; i < count; ++i) {
                    watched[i] = {int(held_[i].exitFd.get()), POLLIN, 0};
                    const std::int64_t left = held_[i].deadline - now;
                    const long until = left <= 0 ? 0 : left > INT_MAX ? INT_MAX : long(left);
                    if (timeout < 0 || until < timeout)
                        timeout = until;
                    if (!held_[i].exitFd && timeout > kExitCheckMs)
                        timeout = kExitCheckMs;
                }
                watched[count] = {int(wake_.get()), POLLIN, 0};
            }
            if (::poll(watched, nfds_t(count + 1), int(timeout)) > 0 &&
                watched[count].revents != 0) {
                std::uint64_t drained = 0;
                [[maybe_unused]] ssize_t got = ::read(wake_.get(), &drained, sizeof drained);
            }
            settle();
        }
    }

    // Reaps every program that has exited and ends every group whose limit has passed.
    void settle() noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        const std::int64_t now = nowMs();
        for (std::size_t i = 0; i < count_;) {
            Held& entry = held_[i];
            const State state = stateOf(entry.pid);
            if (state == State::Running && entry.deadline > now) {
                ++i;
                continue;
            }
            if (state == State::Running)
                ::kill(-entry.pid, SIGKILL);
            // A killed program ends at once, so this wait is short.
            if (state != State::Gone)
                reap(entry.pid);
            Held& last = held_[count_ - 1];
            if (&last != &entry) {
                entry.pid = last.pid;
                entry.exitFd = std::move(last.exitFd);
                entry.deadline = last.deadline;
            }
            last.exitFd.reset();
            last.pid = -1;
            --count_;
        }
    }

    std::mutex lock_;
    Held held_[kMostReapedLater];
    std::size_t count_ = 0;
    UniqueHandle wake_;
    bool started_ = false;
};

// Never destroyed: its thread runs until the process ends, through the exit itself.
Reaper& reaper() noexcept {
    alignas(Reaper) static unsigned char storage[sizeof(Reaper)];
    static Reaper* const instance = new (storage) Reaper();
    return *instance;
}

} // namespace

bool reapLater(int pid, std::uint32_t limitMs) noexcept {
    if (pid <= 0)
        return false;
    return reaper().adopt(pid, limitMs);
}

std::size_t reapLaterCount() noexcept {
    return reaper().count();
}

} // namespace velnor::platform
