#include "server/IdleWorkers.h"

namespace velnor {

bool IdleWorkers::TryWatch() noexcept {
    std::uint32_t watching = watching_.load();
    while (watching < limit_) {
        if (watching_.compare_exchange_weak(watching, watching + 1))
            return true;
    }
    return false;
}

bool IdleWorkers::SleepUntilWatch() noexcept {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        if (stopped_)
            return false;
        // Judged under the lock that CallWatcher takes, so a watch given up just before
        // this sleep is either taken here or followed by a call that finds this sleeper.
        if (TryWatch())
            return true;
        ++sleeping_;
        wake_.wait(hold);
        --sleeping_;
    }
}

void IdleWorkers::CallWatcher() noexcept {
    if (watching_.load() >= limit_)
        return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (watching_.load() < limit_ && sleeping_ > 0)
        wake_.notify_one();
}

void IdleWorkers::Stop() noexcept {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

} // namespace velnor
