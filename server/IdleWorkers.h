// Which idle workers watch the waiting connections. As many idle workers as there are
// processors wait on the park's readiness; the others sleep here. A worker that finishes
// a short request looks for the next ready connection itself, so under load each
// processor's worker serves ready connections back to back while the rest sleep, instead
// of each readiness waking a fresh worker that takes the processor from the one
// mid-request. A worker about to wait inside a request (on its client, a program, a
// library) calls for a watcher first, so connections that become ready meanwhile are
// still served at once by another worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace velnor {

class IdleWorkers {
public:
    // At most `watchers` at once (at least one).
    explicit IdleWorkers(std::uint32_t watchers = 1) noexcept
        : limit_(watchers == 0 ? 1 : watchers) {}
    void SetWatchers(std::uint32_t watchers) noexcept { limit_ = watchers == 0 ? 1 : watchers; }

    // Takes a watch when one is free.
    bool TryWatch() noexcept;
    void EndWatch() noexcept { watching_.fetch_sub(1); }
    // Sleeps until this worker may take a watch (true, and it holds it) or the stop
    // (false).
    bool SleepUntilWatch() noexcept;
    // From a worker inside a request that is about to wait: wakes a sleeping worker to
    // take a watch when one is free.
    void CallWatcher() noexcept;
    // Wakes every sleeper for good.
    void Stop() noexcept;

    // The form a socket's wait takes the call in.
    static void CallWatcherOf(void* workers) noexcept {
        static_cast<IdleWorkers*>(workers)->CallWatcher();
    }

private:
    std::uint32_t limit_;
    std::atomic<std::uint32_t> watching_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::uint32_t sleeping_ = 0;
    bool stopped_ = false;
};

} // namespace velnor
