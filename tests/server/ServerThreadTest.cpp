// The server thread: hand-off, the busy answer, the keep-alive decision, start-up
// failures and the orderly stop.
#include <string>
#include <utility>
#include <vector>

#include "server/WorkerSlot.h"
#include "tests/server/ServerFixture.h"

namespace velnor {
namespace {

using test::Client;
using test::Clock;
using test::kLoopback;
using test::kPage;
using test::ServerThreadTest;
using test::statusLineOf;
using namespace std::chrono_literals;

TEST(KeepAliveDecision, ClosesOnlyForTheListedReasons) {
    constexpr HttpLevel v09 = HttpLevel::Http09, v10 = HttpLevel::Http10, v11 = HttpLevel::Http11;
    struct Case {
        std::uint32_t keepAlive;
        HttpLevel level;
        bool askedClose;
        bool askedKeepAlive;
        std::uint32_t serverBusy;
        int status;
        int expected;
    };
    const Case cases[] = {
        {1, v11, false, false, 0, 200, 0}, // HTTP/1.1 persists by default
        {1, v11, false, true, 0, 304, 0},  //
        {1, v11, false, false, 0, 399, 0}, //
        {1, v11, true, false, 0, 200, 1},  // unless the client said close
        {1, v11, true, true, 0, 200, 1},   // close wins over keep-alive
        {1, v10, false, true, 0, 200, 0},  // HTTP/1.0 persists only on request
        {1, v10, false, false, 0, 200, 1}, //
        {1, v10, true, true, 0, 200, 1},   //
        {1, v09, false, true, 0, 200, 1},  // HTTP/0.9 never persists
        {0, v11, false, true, 0, 200, 1},  // keep-alive switched off
        {2, v11, false, false, 0, 200, 0}, // any nonzero switch is on
        {1, v11, false, true, 1, 200, 1},  // the pool was full at the latest arrival
        {1, v10, false, true, 7, 200, 1},  //
        {1, v11, false, true, 0, 400, 1},  // errors end the connection
        {1, v10, false, true, 0, 404, 1},  //
        {1, v11, false, true, 0, 999, 1},  // a gateway target always ends it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.keepAlive << " level " << int(c.level) << " close "
                                          << c.askedClose << " keep-alive " << c.askedKeepAlive
                                          << " " << c.serverBusy << " " << c.status);
        EXPECT_EQ(decideCloseFlag(c.keepAlive, c.level, c.askedClose, c.askedKeepAlive,
                                  c.serverBusy, c.status),
                  c.expected);
    }
}

TEST(KeepAliveDecision, LevelComesFromTheRequestLine) {
    struct Case {
        const char* requestLine;
        const char* version;
        HttpLevel expected;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1", "HTTP/1.1", HttpLevel::Http11},
        {"GET / HTTP/1.0", "HTTP/1.0", HttpLevel::Http10},
        {"GET / HTTP/0.9", "HTTP/0.9", HttpLevel::Http09},
        // The parser answers a line without a version as HTTP/1.0; it is not one.
        {"GET /", "HTTP/1.0", HttpLevel::Http09},
        {"GET\t/a.txt", "HTTP/1.0", HttpLevel::Http09},
        {"GET", "HTTP/1.0", HttpLevel::Http09},
        {nullptr, "HTTP/1.1", HttpLevel::Http11},
        {nullptr, nullptr, HttpLevel::Http09},
    };
    for (const Case& c : cases)
        EXPECT_EQ(httpLevelOf(c.requestLine, c.version), c.expected)
            << (c.requestLine ? c.requestLine : "(null)");
}

TEST(KeepAliveDecision, ConnectionTokensAreFoundInEveryListAndEntry) {
    using Entries = std::vector<std::pair<const char*, const char*>>;
    struct Case {
        Entries entries;
        bool close;
        bool keepAlive;
    };
    const Case cases[] = {
        {{}, false, false},
        {{{"Connection", "close"}}, true, false},
        {{{"connection", "CLOSE"}}, true, false},
        {{{"Connection", "Keep-Alive"}}, false, true},
        {{{"Connection", "keep-alive, close"}}, true, true},
        {{{"Connection", " ,upgrade ,\tclose\t, "}}, true, false},
        {{{"Connection", "keep-alive"}, {"CONNECTION", "close"}}, true, true},
        {{{"Connection", "closed, keep-alives"}}, false, false},
        {{{"Connection", "clo se"}}, false, false},
        {{{"Proxy-Connection", "close"}, {"X", "keep-alive"}}, false, false},
    };
    for (const Case& c : cases) {
        TextTable headers;
        std::string shown;
        for (const auto& [name, value] : c.entries) {
            ASSERT_NE(headers.add(name, value), 0u);
            shown += std::string(name) + ": " + value + "; ";
        }
        EXPECT_EQ(connectionHasToken(headers, "close"), c.close) << shown;
        EXPECT_EQ(connectionHasToken(headers, "keep-alive"), c.keepAlive) << shown;
    }
}

TEST(KeepAliveDecision, OnlySuccessAndRedirectionKeepTheConnection) {
    const int kept[] = {200, 206, 304, 399};
    const int ended[] = {0, 100, 199, 400, 401, 404, 500, 999};
    for (int status : kept) {
        EXPECT_TRUE(keepsConnection(status, 0)) << status;
        EXPECT_FALSE(keepsConnection(status, 1)) << status;
    }
    for (int status : ended)
        EXPECT_FALSE(keepsConnection(status, 0)) << status;
}

TEST_F(ServerThreadTest, ServesSeveralRequestsOnOneConnection) {
    const std::uint16_t port = start(2);
    ASSERT_NE(port, 0);
    Client client(port);
    ASSERT_TRUE(client.connected());
    // HTTP/1.1 is kept open by default, HTTP/1.0 when it asks.
    for (const char* version : {"HTTP/1.0", "HTTP/1.1", "HTTP/1.0"}) {
        ASSERT_TRUE(client.send(std::string("GET /index.html ") + version +
                                "\r\nHost: a\r\nConnection: keep-alive\r\n\r\n"));
        const std::string response = client.readResponse();
        EXPECT_EQ(statusLineOf(response).substr(9, 3), "200") << response;
        EXPECT_NE(response.find(kPage), std::string::npos);
    }
    ASSERT_TRUE(client.send("GET /index.html HTTP/1.1\r\nHost: a\r\nConnection: CLOSE\r\n\r\n"));
    EXPECT_NE(client.readResponse().find(kPage), std::string::npos);
    EXPECT_TRUE(client.closedByPeer());

    EXPECT_LT(stop(), 5s);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(control.ended.load(), 1u);
    EXPECT_EQ(control.runFlag.load(), 0u);
    EXPECT_EQ(control.abandonedWorkers.load(), 0u);
    char ready[16];
    for (std::uint32_t i = 0; i < 2; ++i) {
        board.workerText(i, ready, sizeof ready);
        EXPECT_STREQ(ready, "Ready.");
    }
    EXPECT_EQ(statusText(), "Reqest:1") << "one arrival, one readiness event";
}

TEST_F(ServerThreadTest, ErrorsAndSwitchedOffKeepAliveEndTheConnection) {
    struct Case {
        std::uint32_t keepAlive;
        const char* request;
        const char* status;
    };
    const Case cases[] = {
        {1, "GET /missing.html HTTP/1.1\r\nHost: a\r\n\r\n", "404"},
        {0, "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n", "200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const std::uint16_t port = start(1, c.keepAlive);
        ASSERT_NE(port, 0);
        Client client(port);
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(statusLineOf(client.readResponse()).substr(9, 3), c.status);
        EXPECT_TRUE(client.closedByPeer());
        stop();
    }
}

TEST_F(ServerThreadTest, FullPoolAnswersBusyAndClosesPersistentConnections) {
    const std::uint16_t port = start(1);
    ASSERT_NE(port, 0);
    Client first(port);
    ASSERT_TRUE(first.send("GET /index.html HTTP/1.1\r\n"));
    // The only worker now holds the first connection, inside its request.
    std::this_thread::sleep_for(300ms);
    Client second(port);
    ASSERT_TRUE(second.connected());
    EXPECT_EQ(second.readUntilClose(), kServerBusyAnswer);
    EXPECT_TRUE(second.closedByPeer());
    EXPECT_EQ(statusText(), "Server busy...");

    // The first connection is answered, then closed because the pool was full.
    ASSERT_TRUE(first.send("Host: a\r\n\r\n"));
    const std::string response = first.readResponse();
    EXPECT_NE(response.find(kPage), std::string::npos) << response;
    EXPECT_TRUE(first.closedByPeer());
    stop();
    EXPECT_EQ(exitCode, 1);
}

TEST_F(ServerThreadTest, OneWorkerServesManyShortConnectionsInARow) {
    const std::uint16_t port = start(1);
    ASSERT_NE(port, 0);
    // A connection that arrives while the worker is still on its way to park is
    // answered busy; that is fine. A wake-up that got lost would leave the worker
    // parked with its new connection, and every later one busy or unanswered.
    int served = 0;
    int busy = 0;
    for (int i = 0; i < 150; ++i) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            Client client(port);
            ASSERT_TRUE(client.connected());
            ASSERT_TRUE(client.send("GET /index.html HTTP/1.0\r\nConnection: close\r\n\r\n"));
            const std::string response = client.readUntilClose();
            if (response == kServerBusyAnswer) {
                ++busy;
                std::this_thread::sleep_for(1ms);
                continue;
            }
            ASSERT_NE(response.find(kPage), std::string::npos)
                << "connection " << i << ": " << response;
            ++served;
            break;
        }
        ASSERT_EQ(served, i + 1) << "the worker stopped taking connections";
    }
    EXPECT_LT(busy, 150) << "most connections should find the worker idle";
    EXPECT_LT(stop(), 5s);
}

TEST_F(ServerThreadTest, StopWithIdleKeepAliveConnectionIsBounded) {
    control.listenWaitMs = 3000; // the real readiness wait
    const std::uint16_t port = start(2);
    ASSERT_NE(port, 0);
    Client idle(port);
    ASSERT_TRUE(idle.send("GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n"));
    ASSERT_NE(idle.readResponse().find(kPage), std::string::npos);
    // The connection stays open, waiting for a next request that never comes.
    const auto took = stop();
    EXPECT_LT(took, 15s);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(control.abandonedWorkers.load(), 0u);
    EXPECT_TRUE(idle.closedByPeer());
}

TEST_F(ServerThreadTest, StopAskedBeforeTheThreadRunsIsKept) {
    configure(2);
    control.runFlag.store(0);
    launch();
    server.join();
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(control.ended.load(), 1u);
}

TEST_F(ServerThreadTest, PortInUseFailsTheStart) {
    SocketConnection holder;
    ASSERT_EQ(holder.Listen(0, kLoopback), 1);
    configure(2, 1, holder.LocalPort());
    launch();
    server.join();
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(control.runFlag.load(), 0u);
    EXPECT_EQ(control.ended.load(), 1u);
    EXPECT_EQ(statusText(), "Listen Failed.");
    EXPECT_EQ(board.listeningPort(), 0);
    char worker[16];
    board.workerText(0, worker, sizeof worker);
    EXPECT_STREQ(worker, "") << "no worker is created without a listener";
}

TEST_F(ServerThreadTest, AbsurdWorkerCountIsAMemoryErrorNotAnExhaustedMachine) {
    configure(0xFFFFFFFF);
    launch();
    server.join();
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(statusHistory(), std::vector<std::string>{"Memory error."});
}

TEST_F(ServerThreadTest, FailedThreadCreationReleasesWorkersAndPort) {
    std::uint16_t port;
    {
        SocketConnection probe;
        ASSERT_EQ(probe.Listen(0, kLoopback), 1);
        port = probe.LocalPort();
    }
    configure(4, 1, port);
    control.failWorkerAt = 2;
    const auto begin = Clock::now();
    launch();
    server.join();
    EXPECT_LT(Clock::now() - begin, 5s) << "the workers already made must end promptly";
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(statusText(), "Create thread failed.");
    char worker[16];
    board.workerText(1, worker, sizeof worker);
    EXPECT_STREQ(worker, "Ready.");
    board.workerText(2, worker, sizeof worker);
    EXPECT_STREQ(worker, "");
    SocketConnection again;
    EXPECT_EQ(again.Listen(port, kLoopback), 1) << "the listening socket was not released";
}

TEST_F(ServerThreadTest, MissingPluginMeansServingWithoutLogging) {
    const std::uint16_t port = start(1);
    ASSERT_NE(port, 0);
    Client client(port);
    ASSERT_TRUE(client.send("GET /index.html HTTP/1.0\r\n\r\n"));
    EXPECT_NE(client.readResponse().find(kPage), std::string::npos);
    stop();
    const std::vector<std::string> history = statusHistory();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.front(), "Load log ext failed.");
    EXPECT_FALSE(std::filesystem::exists(dir.file("access.log")));
}

TEST_F(ServerThreadTest, PluginWithoutEntryStaysUnused) {
    usePlugin(VELNOR_TEST_NOENTRY_PLUGIN);
    const std::uint16_t port = start(1);
    ASSERT_NE(port, 0);
    Client client(port);
    ASSERT_TRUE(client.send("GET /index.html HTTP/1.0\r\n\r\n"));
    EXPECT_NE(client.readResponse().find(kPage), std::string::npos);
    stop();
    const std::vector<std::string> expected = {"Load log dll.", "Load log Addr failed."};
    EXPECT_EQ(statusHistory(), expected);
}

} // namespace
} // namespace velnor
