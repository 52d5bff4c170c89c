#include "platform/Signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <thread>

namespace velnor::platform {
namespace {

// Each test runs on a thread of its own: the block stays with that thread, and raise()
// aims the signal at the calling thread, so nothing reaches the rest of the test program.
TEST(Signals, BlockedStopSignalsWaitForTheWaiter) {
    std::thread worker([] {
        ASSERT_TRUE(blockStopSignals());
        EXPECT_EQ(waitStopSignal(0), StopRequest::None) << "nothing pending yet";
        const struct {
            int signal;
            StopRequest request;
            int exitStatus;
        } cases[] = {{SIGTERM, StopRequest::Terminate, 143},
                     {SIGINT, StopRequest::Interrupt, 130},
                     {SIGHUP, StopRequest::HangUp, 129}};
        for (const auto& c : cases) {
            ASSERT_EQ(std::raise(c.signal), 0);
            EXPECT_EQ(waitStopSignal(1000), c.request);
            EXPECT_EQ(stopExitStatus(c.request), c.exitStatus);
        }
        ASSERT_EQ(std::raise(SIGINT), 0);
        EXPECT_EQ(waitStopSignal(-5), StopRequest::Interrupt)
            << "a pending signal is taken without a wait";
        EXPECT_EQ(waitStopSignal(50), StopRequest::None);
    });
    worker.join();
}

TEST(Signals, WatchTakesAStopSignalAndGivesTheMaskBack) {
    std::thread worker([] {
        {
            StopSignalWatch watch;
            ASSERT_NE(watch.handle(), kNoHandle);
            EXPECT_EQ(watch.take(), StopRequest::None) << "nothing pending yet";
            ASSERT_EQ(std::raise(SIGHUP), 0);
            EXPECT_EQ(watch.take(), StopRequest::HangUp);
        }
        sigset_t mask;
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
        EXPECT_EQ(sigismember(&mask, SIGHUP), 0) << "the thread's own mask is back";
    });
    worker.join();
}

} // namespace
} // namespace velnor::platform
