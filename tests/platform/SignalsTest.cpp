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
        EXPECT_EQ(waitStopSignal(0), 0) << "nothing pending yet";
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            ASSERT_EQ(std::raise(signal), 0);
            EXPECT_EQ(waitStopSignal(1000), signal);
        }
        ASSERT_EQ(std::raise(SIGINT), 0);
        EXPECT_EQ(waitStopSignal(-5), SIGINT) << "a pending signal is taken without a wait";
        EXPECT_EQ(waitStopSignal(50), 0);
    });
    worker.join();
}

TEST(Signals, WatchTakesAStopSignalAndGivesTheMaskBack) {
    std::thread worker([] {
        {
            StopSignalWatch watch;
            ASSERT_GE(watch.descriptor(), 0);
            EXPECT_EQ(watch.take(), 0) << "nothing pending yet";
            ASSERT_EQ(std::raise(SIGHUP), 0);
            EXPECT_EQ(watch.take(), SIGHUP);
        }
        sigset_t mask;
        ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
        EXPECT_EQ(sigismember(&mask, SIGHUP), 0) << "the thread's own mask is back";
    });
    worker.join();
}

} // namespace
} // namespace velnor::platform
