#include "server/ConnectionPark.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "server/IdleWorkers.h"

namespace velnor {
namespace {

using namespace std::chrono_literals;

// A connected pair: one end waits in the park, the test plays the client on the other.
struct Pair {
    int parked = -1;
    int client = -1;
    Pair() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
            parked = ends[0];
            client = ends[1];
        }
    }
    ~Pair() { ::close(client); }
    bool send() const { return ::write(client, "x", 1) == 1; }
    // The park closed its end: the client reads the end of the stream.
    bool closedByPark() const {
        char byte;
        return ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    }
};

TEST(ConnectionPark, EachReadinessGoesToOneTakerAndAReturnedConnectionIsWatchedAgain) {
    ConnectionPark park;
    ASSERT_TRUE(park.Open(4));
    Pair pair;
    ASSERT_TRUE(park.Admit(pair.parked, {}));
    ConnectionPark::Connection taken;
    EXPECT_EQ(park.Take(taken, 0), ConnectionPark::Taken::Nothing) << "no input yet";
    ASSERT_TRUE(pair.send());
    ASSERT_EQ(park.Take(taken, 1000), ConnectionPark::Taken::Connection);
    EXPECT_EQ(taken.handle, pair.parked);
    ConnectionPark::Connection again;
    EXPECT_EQ(park.Take(again, 0), ConnectionPark::Taken::Nothing)
        << "a lent connection is not reported to a second worker";
    // Back in the park with its input still unread, it is reported at once.
    ASSERT_TRUE(park.Return(taken));
    ASSERT_EQ(park.Take(again, 1000), ConnectionPark::Taken::Connection);
    EXPECT_EQ(again.handle, pair.parked);
    park.Release(again);
    ::close(again.handle);
}

TEST(ConnectionPark, FullParkAndExpiryCloseTheLongestWaiting) {
    ConnectionPark park;
    ASSERT_TRUE(park.Open(2));
    Pair oldest, middle, newest;
    ASSERT_TRUE(park.Admit(oldest.parked, {}));
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(park.Admit(middle.parked, {}));
    ASSERT_TRUE(park.Admit(newest.parked, {}));
    EXPECT_TRUE(oldest.closedByPark());
    EXPECT_FALSE(middle.closedByPark());
    EXPECT_EQ(park.Waiting(), 2u);

    std::this_thread::sleep_for(5ms);
    park.CloseExpired(1);
    EXPECT_TRUE(middle.closedByPark());
    EXPECT_TRUE(newest.closedByPark());
    EXPECT_EQ(park.Waiting(), 0u);
}

TEST(ConnectionPark, StopReachesEveryWaiterAndCallsWakeOnlyWithoutAWatcher) {
    ConnectionPark park;
    ASSERT_TRUE(park.Open(2));
    IdleWorkers idle;
    ASSERT_TRUE(idle.TryWatch());
    auto sleeper = std::async(std::launch::async, [&] { return idle.SleepUntilWatch(); });
    idle.CallWatcher();
    EXPECT_EQ(sleeper.wait_for(100ms), std::future_status::timeout) << "the watch is held";
    idle.EndWatch();
    idle.CallWatcher();
    ASSERT_EQ(sleeper.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(sleeper.get());

    auto second = std::async(std::launch::async, [&] { return idle.SleepUntilWatch(); });
    std::future<ConnectionPark::Taken> takers[3];
    for (auto& taker : takers)
        taker = std::async(std::launch::async, [&] {
            ConnectionPark::Connection connection;
            return park.Take(connection, 10000);
        });
    std::this_thread::sleep_for(20ms);
    park.Stop();
    idle.Stop();
    for (auto& taker : takers) {
        ASSERT_EQ(taker.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(taker.get(), ConnectionPark::Taken::Stop);
    }
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(second.get());
}

} // namespace
} // namespace velnor
