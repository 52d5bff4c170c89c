#include "platform/ChildReaper.h"

#include <windows.h>

#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "platform/UniqueHandle.h"
#include "platform/win32/ReapJob.h"

namespace velnor::platform {
namespace {

// A wait watches at most this many programs besides the wake event; any beyond them are
// looked at on this pace. Up to that many held programs, an exit is seen at once.
constexpr DWORD kWatchedAtOnce = MAXIMUM_WAIT_OBJECTS - 1;
constexpr DWORD kExitCheckMs = 100;
constexpr UINT kEndedExitCode = 1;

std::int64_t nowMs() noexcept {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HANDLE asHandle(const UniqueHandle& handle) noexcept {
    return reinterpret_cast<HANDLE>(handle.get());
}

struct Held {
    UniqueHandle process;
    UniqueHandle job; // none for a program known only by its number
    std::int64_t deadline = 0;
};

class Reaper {
public:
    bool adopt(NativeHandle process, NativeHandle job, std::uint32_t limitMs) noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        if (count_ >= kMostReapedLater || !startLocked())
            return false;
        Held& entry = held_[count_];
        entry.process.reset(process);
        entry.job.reset(job);
        entry.deadline = nowMs() + std::int64_t(limitMs);
        ++count_;
        ::SetEvent(asHandle(wake_));
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
        HANDLE wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (wake == nullptr)
            return false;
        wake_.reset(reinterpret_cast<NativeHandle>(wake));
        try {
            std::thread(&Reaper::run, this).detach();
        } catch (...) {
            wake_.reset();
            return false;
        }
        started_ = true;
        return true;
    }

    // Only this thread removes entries and closes their handles; adopters only append,
    // under the lock, so the handles copied out stay open through the wait.
    [[noreturn]] void run() noexcept {
        HANDLE watched[kWatchedAtOnce + 1];
        for (;;) {
            DWORD count = 0;
            std::int64_t timeout = -1;
            {
                std::lock_guard<std::mutex> hold(lock_);
                const std::int64_t now = nowMs();
                watched[count++] = asHandle(wake_);
                for (std::size_t i = 0; i < count_; ++i) {
                    if (i < kWatchedAtOnce)
                        watched[count++] = asHandle(held_[i].process);
                    const std::int64_t left = held_[i].deadline - now;
                    const std::int64_t until = left < 0 ? 0 : left;
                    if (timeout < 0 || until < timeout)
                        timeout = until;
                }
                if (count_ > kWatchedAtOnce && timeout > std::int64_t(kExitCheckMs))
                    timeout = kExitCheckMs;
            }
            const DWORD wait = timeout < 0                             ? INFINITE
                               : timeout >= std::int64_t(INFINITE - 1) ? INFINITE - 1
                                                                       : DWORD(timeout);
            ::WaitForMultipleObjects(count, watched, FALSE, wait);
            settle();
        }
    }

    // Lets go of every program that has exited and ends every job whose limit has passed.
    void settle() noexcept {
        std::lock_guard<std::mutex> hold(lock_);
        const std::int64_t now = nowMs();
        for (std::size_t i = 0; i < count_;) {
            Held& entry = held_[i];
            const bool exited = ::WaitForSingleObject(asHandle(entry.process), 0) == WAIT_OBJECT_0;
            if (!exited && entry.deadline > now) {
                ++i;
                continue;
            }
            if (!exited && entry.job)
                ::TerminateJobObject(asHandle(entry.job), kEndedExitCode);
            else if (!exited)
                ::TerminateProcess(asHandle(entry.process), kEndedExitCode);
            // Ending is certain once asked for; nothing is left to wait for here.
            Held& last = held_[count_ - 1];
            if (&last != &entry) {
                entry.process = std::move(last.process);
                entry.job = std::move(last.job);
                entry.deadline = last.deadline;
            } else {
                entry.process.reset();
                entry.job.reset();
            }
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

bool reapJobLater(NativeHandle process, NativeHandle job, std::uint32_t limitMs) noexcept {
    if (process == kNoHandle)
        return false;
    return reaper().adopt(process, job, limitMs);
}

// Known only by its number, the program is ended alone at its limit: what it started is
// out of reach without its job. The caller's own handle keeps the number from being reused
// until this one is open.
bool reapLater(int pid, std::uint32_t limitMs) noexcept {
    if (pid <= 0)
        return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return false;
    UniqueHandle owned(reinterpret_cast<NativeHandle>(process));
    if (!reaper().adopt(owned.get(), kNoHandle, limitMs))
        return false;
    owned.release();
    return true;
}

std::size_t reapLaterCount() noexcept {
    return reaper().count();
}

} // namespace velnor::platform
