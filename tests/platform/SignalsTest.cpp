#include "platform/Signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace velnor::platform {
namespace {

// Runs on a thread of its own: the block stays with that thread, and raise() aims the
// signal at the calling thread, so nothing reaches the rest of the test program.
TEST(Signals, BlockedStopSignalsWaitForTheWaiter) {
    std::thread worker([] {
        ASSERT_TRUE(blockStopSignals());
        EXPECT_EQ(waitStopSignal(0), 0) << "nothing pending yet";
        ASSERT_EQ(std::raise(SIGTERM), 0);
        EXPECT_EQ(waitStopSignal(1000), SIGTERM);
        ASSERT_EQ(std::raise(SIGINT), 0);
        EXPECT_EQ(waitStopSignal(-5), SIGINT) << "a pending signal is taken without a wait";
        EXPECT_EQ(waitStopSignal(50), 0);
    });
    worker.join();
}

} // namespace
} // namespace velnor::platform
