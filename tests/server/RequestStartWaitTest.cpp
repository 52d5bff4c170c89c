// The wait for the first bytes of a kept-alive connection's next request: the one wait
// in which the listener may take the worker back for a new arrival.
#include "platform/WakeEvent.h"
#include "server/core/SocketConnection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace velnor {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};

struct Case {
    const char* name;
    bool answered; // an answer went out on the connection before the wait
    std::uint32_t initial;
    bool clientSends; // "hi" is waiting in the socket
    bool claimDuringWait;
    bool staleSignal; // the wake-up is signalled with nobody claiming
    int result;
    std::uint32_t after;
};

TEST(RequestStartWait, GivesWayOnlyWhenClaimedBeforeAnyByte) {
    const Case cases[] = {
        {"bytes arrive", true, kWorkerInside, true, false, false, 2, kWorkerInside},
        {"nothing arrives", true, kWorkerInside, false, false, false, 0, kWorkerInside},
        {"claimed while waiting", true, kWorkerInside, false, true, false,
         SocketConnection::kGaveWay, kWorkerClaimed},
        {"stop already begun", true, kWorkerIdle, false, false, false, SocketConnection::kGaveWay,
         kWorkerIdle},
        {"a new connection keeps its worker", false, kWorkerIdle, true, false, false, 2,
         kWorkerIdle},
        {"a stale wake-up reads as nothing", true, kWorkerInside, false, false, true, 0,
         kWorkerInside},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketConnection listener;
        ASSERT_EQ(listener.Listen(0, true), 1);
        SocketConnection client;
        client.handle = platform::socketCreate();
        ASSERT_EQ(platform::socketConnect(client.handle, kLoopback, listener.LocalPort(), 2000), 0);
        listener.WaitSeconds = 2;
        platform::PeerAddress peer;
        SocketConnection server;
        server.Adopt(listener.Accept(peer));
        ASSERT_NE(server.handle, -1);
        server.WaitSeconds = 0;
        server.WaitMicroseconds = 300000;
        std::atomic<std::uint32_t> state{c.initial};
        platform::WakeEvent wake;
        ASSERT_TRUE(wake.open());
        server.workerState = &state;
        server.claimWakeFd = wake.descriptor();
        if (c.answered)
            server.BeginResponse();
        if (c.clientSends) {
            ASSERT_EQ(client.SendAll("hi", 2, 0), 2);
        }
        if (c.staleSignal)
            wake.signal();
        std::thread claimer;
        if (c.claimDuringWait)
            claimer = std::thread([&] {
                std::uint32_t expected = kWorkerWaiting;
                while (!state.compare_exchange_weak(expected, kWorkerClaimed))
                    expected = kWorkerWaiting;
                wake.signal();
            });
        char buffer[8];
        const auto start = Clock::now();
        EXPECT_EQ(server.ReceiveRequestStart(buffer, sizeof buffer), c.result);
        if (claimer.joinable())
            claimer.join();
        EXPECT_EQ(state.load(), c.after);
        if (c.claimDuringWait) {
            EXPECT_LT(Clock::now() - start, 250ms) << "the claim must end the wait at once";
        }
        if (c.staleSignal) {
            // The signal was taken back: the next wait runs its full time.
            const auto again = Clock::now();
            EXPECT_EQ(server.ReceiveRequestStart(buffer, sizeof buffer), 0);
            EXPECT_GE(Clock::now() - again, 250ms);
        }
    }
}

} // namespace
} // namespace velnor
