#include "platform/Probes.h"
#include "platform/ReadinessSet.h"
#include "platform/Socket.h"
#include "platform/WakeEvent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velnor::platform {
namespace {

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};

struct Socket {
    SocketHandle handle = kNoSocket;
    explicit Socket(SocketHandle s = kNoSocket) : handle(s) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }
    void close() {
        if (handle != kNoSocket)
            socketClose(handle);
        handle = kNoSocket;
    }
};

// A listener on a free loopback port, a client connected to it and the accepted end.
struct Connected {
    Socket listener;
    Socket client;
    Socket server;
    std::uint16_t port = 0;

    bool connect() {
        if (!startSockets())
            return false;
        listener.handle = socketCreate();
        client.handle = socketCreate();
        if (listener.handle == kNoSocket || socketBindListen(listener.handle, 0, 8, kLoopback) != 0)
            return false;
        port = socketLocalPort(listener.handle);
        if (port == 0 || socketConnect(client.handle, kLoopback, port, 2000) != 0 ||
            socketWaitReadable(listener.handle, 2000) < 1)
            return false;
        PeerAddress peer;
        server.handle = socketAccept(listener.handle, peer);
        return server.handle != kNoSocket && std::memcmp(peer.address, kLoopback, 4) == 0;
    }
};

long fillUntilBlocked(SocketHandle s) {
    static char block[16384];
    for (int i = 0; i < 100000; ++i) {
        const long sent = socketSend(s, block, sizeof block);
        if (sent <= 0)
            return sent;
    }
    return 0;
}

TEST(WindowsNetwork, SocketCallsOverLoopback) {
    Connected c;
    Connected d;
    ASSERT_TRUE(c.connect());
    ASSERT_TRUE(d.connect());
    char buffer[64] = {};
    bool shortOfResources = true;
    PeerAddress peer;
    const struct {
        const char* what;
        std::function<long()> call;
        long expected; // a result, or kPositive for "more than zero"
    } steps[] = {
        {"nothing to read yet", [&] { return socketReceive(c.server.handle, buffer, 64); }, -2},
        {"no input, the wait times out", [&] { return socketWaitReadable(c.server.handle, 0); }, 0},
        {"no second connection",
         [&] { return long(socketAccept(c.listener.handle, peer, &shortOfResources)); }, -1},
        {"a refused accept is no shortage", [&] { return long(shortOfResources); }, 0},
        {"the port is held", [&] { return long(probeListen(c.port, kLoopback)); },
         long(ListenProbe::InUse)},
        {"send, kSendMore ignored",
         [&] { return socketSend(c.client.handle, "hello", 5, kSendMore); }, 5},
        {"input arrives", [&] { return long(socketWaitReadable(c.server.handle, 2000)); }, 1},
        {"receive takes it", [&] { return socketReceive(c.server.handle, buffer, 64); }, 5},
        {"bytes intact", [&] { return long(std::memcmp(buffer, "hello", 5)); }, 0},
        {"room to send", [&] { return long(socketWaitWritable(c.client.handle, 0)); }, 1},
        {"a full path would block", [&] { return fillUntilBlocked(c.client.handle); }, -2},
        {"then no room", [&] { return long(socketWaitWritable(c.client.handle, 50)); }, 0},
        {"the server's shutdown ends its sending",
         [&] { return long(socketShutdown(c.server.handle)); }, 0},
        {"the client reads the end",
         [&] {
             socketWaitReadable(c.client.handle, 2000);
             return socketReceive(c.client.handle, buffer, 64);
         },
         0},
        // Windows reports the reset as a failed receive; wine closes gracefully instead,
        // so the check is that the peer's connection ends at once either way.
        {"a reset close ends the peer's connection",
         [&] {
             socketResetOnClose(d.client.handle);
             d.client.close();
             return long(socketWaitReadable(d.server.handle, 2000) == 1 &&
                         socketReceive(d.server.handle, buffer, 64) <= 0);
         },
         1},
        {"closed socket: the wait fails",
         [&] {
             const SocketHandle gone = c.server.handle;
             c.server.close();
             return long(socketWaitReadable(gone, 0));
         },
         -1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.call(), step.expected);
    }
    const std::uint16_t port = c.port;
    c.listener.close();
    EXPECT_EQ(probeListen(port, kLoopback), ListenProbe::Free) << "a closed listener frees it";
    Socket refused(socketCreate());
    EXPECT_EQ(socketConnect(refused.handle, kLoopback, port, 5000), -1) << "nobody listens";
}

TEST(WindowsNetwork, WakeEventKeepsItsSignalUntilCleared) {
    ASSERT_TRUE(startSockets());
    Socket listener(socketCreate());
    ASSERT_EQ(socketBindListen(listener.handle, 0, 1, kLoopback), 0);
    WakeEvent wake;
    ASSERT_TRUE(wake.open());
    const struct {
        const char* what;
        int signals;
        bool clear;
        int seen;
    } cases[] = {
        {"nothing sent: a timeout", 0, false, 0},
        {"a signal before the wait is kept", 1, false, kWoken},
        {"and kept for the next wait too", 0, false, kWoken},
        {"a clear takes it back", 0, true, 0},
        {"many signals, one clear", 50, true, 0},
        {"a signal after a clear", 1, false, kWoken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < c.signals; ++i)
            wake.signal();
        if (c.clear)
            wake.clear();
        EXPECT_EQ(waitSocketOrWake(listener.handle, wake.handle(), 20), c.seen);
        EXPECT_EQ(waitReadableOrWake(listener.handle, wake.handle(), 0), 0);
    }
    EXPECT_EQ(waitReadableOrWake(wake.handle(), kNoSocket, 0), 1) << "watched like a socket";
    wake.clear();
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wake.signal();
    });
    EXPECT_EQ(waitSocketOrWake(listener.handle, wake.handle(), 5000), kWoken);
    later.join();
}

TEST(WindowsNetwork, ReadinessSetHandsEachReadinessToOneWaiter) {
    constexpr int kPairs = 6;
    constexpr std::uint64_t kStop = 999;
    Connected pairs[kPairs];
    ReadinessSet set;
    WakeEvent stop;
    ASSERT_TRUE(set.open());
    ASSERT_TRUE(stop.open());
    ASSERT_TRUE(set.watchAlways(stop.handle(), kStop));
    for (int i = 0; i < kPairs; ++i) {
        ASSERT_TRUE(pairs[i].connect());
        ASSERT_TRUE(set.watchOnce(pairs[i].server.handle, std::uint64_t(i)));
    }
    std::mutex lock;
    std::vector<std::uint64_t> seen;
    std::atomic<int> stopsSeen{0};
    auto waiter = [&] {
        for (;;) {
            std::uint64_t token = 0;
            const int got = set.waitOne(token, 3000);
            if (got != 1)
                return;
            if (token == kStop) {
                stopsSeen.fetch_add(1);
                return;
            }
            std::lock_guard<std::mutex> hold(lock);
            seen.push_back(token);
        }
    };
    std::thread first(waiter);
    std::thread second(waiter);
    const struct {
        const char* what;
        std::function<void()> act;
        std::vector<std::uint64_t> delivered;
    } rounds[] = {
        {"every socket with input, once",
         [&] {
             for (auto& p : pairs)
                 socketSend(p.client.handle, "x", 1);
         },
         {0, 1, 2, 3, 4, 5}},
        {"unread input is not reported twice", [] {}, {}},
        {"armed again, reported again",
         [&] {
             set.armAgain(pairs[2].server.handle, 2);
             set.armAgain(pairs[4].server.handle, 40);
         },
         {2, 40}},
        {"a forgotten socket is not reported",
         [&] {
             char drained[8];
             socketReceive(pairs[5].server.handle, drained, sizeof drained);
             set.armAgain(pairs[5].server.handle, 5);
             set.forget(pairs[5].server.handle);
             socketSend(pairs[5].client.handle, "y", 1);
             set.armAgain(pairs[3].server.handle, 3);
         },
         {3}},
    };
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.what);
        round.act();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::lock_guard<std::mutex> hold(lock);
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, round.delivered);
        seen.clear();
    }
    stop.signal();
    first.join();
    second.join();
    EXPECT_EQ(stopsSeen.load(), 2) << "the stop reaches every waiter";
    std::uint64_t token = 0;
    EXPECT_EQ(set.waitOne(token, 0), 1);
    EXPECT_EQ(token, kStop);
}

} // namespace
} // namespace velnor::platform
