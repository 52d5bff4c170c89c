// The log plug-in as the workers use it: one call per answered request under the log
// lock, and a plug-in that outlives the stop because a worker is still inside it.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "http/RequestContext.h"
#include "tests/server/ServerFixture.h"

namespace velnor {
namespace {

using test::Client;
using test::Clock;
using test::kPage;
using test::ServerThreadTest;
using test::statusLineOf;
using namespace std::chrono_literals;

// Answers every gateway target itself, as a CGI program would.
class FixedGateway : public GatewayRunner {
public:
    int selectGateway(RequestContext& context, int) noexcept override {
        context.SendAll("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", 0, 0);
        return 999;
    }
    int runHandlerModule(RequestContext&, const char*, int) noexcept override { return 500; }
};

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

bool waitForLine(const std::string& path, const std::string& wanted, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const std::vector<std::string> seen = lines(path);
        if (std::find(seen.begin(), seen.end(), wanted) != seen.end())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class LogPluginTest : public ServerThreadTest {
protected:
    void SetUp() override {
        ServerThreadTest::SetUp();
        record = dir.file("record.txt");
        setenv("VELNOR_TEST_LOG_RECORD", record.c_str(), 1);
        usePlugin(VELNOR_TEST_LOG_PLUGIN);
    }

    std::string record;
};

TEST_F(LogPluginTest, EveryAnsweredRequestIsLoggedOnceAndNeverTwiceAtOnce) {
    // A slow plug-in widens the window in which two workers could meet inside it.
    setenv("VELNOR_TEST_LOG_SLEEP_MS", "5", 1);
    FixedGateway gateway;
    control.gateways = &gateway;
    const std::uint16_t port = start(3);
    ASSERT_NE(port, 0);

    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([port] {
            Client client(port);
            for (int i = 0; i < 2; ++i) {
                client.send("GET /index.html HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
                EXPECT_NE(client.readResponse().find(kPage), std::string::npos);
            }
            client.send("GET /none.html HTTP/1.0\r\n\r\n");
            EXPECT_EQ(statusLineOf(client.readResponse()).substr(9, 3), "404");
            EXPECT_TRUE(client.closedByPeer());
        });
    }
    for (std::thread& client : clients)
        client.join();
    {
        Client gatewayClient(port);
        gatewayClient.send("GET /scripts/run.exe HTTP/1.0\r\n\r\n");
        EXPECT_EQ(gatewayClient.readUntilClose(), "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
        // A connection that ends without a request has nothing to log.
        Client silent(port);
        ASSERT_TRUE(silent.connected());
    }
    const auto deadline = Clock::now() + 5s;
    while (statusText() != "Reqest:5" && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(statusText(), "Reqest:5");
    stop();
    EXPECT_EQ(statusHistory(), std::vector<std::string>{"Load log dll."});

    std::string logPath = dir.file("access.log");
    std::replace(logPath.begin(), logPath.end(), '/', '\\');
    const std::string common = " size=102400 path=" + logPath + " remote_addr=127.0.0.1 ";
    int ok = 0, missing = 0;
    std::vector<std::string> seen = lines(record);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "unloaded") << "the plug-in is released at the stop";
    seen.pop_back();
    for (const std::string& line : seen) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.rfind("call ", 0), 0u) << "two calls overlapped";
        if (line.find("status=200" + common) != std::string::npos)
            ++ok;
        else if (line.find("status=404" + common) != std::string::npos)
            ++missing;
        else
            ADD_FAILURE() << "unexpected record";
    }
    EXPECT_EQ(ok, 7) << "six files and the gateway answer (999 logged as 200)";
    EXPECT_EQ(missing, 3);
}

TEST_F(LogPluginTest, WorkerStillInsideThePluginAtStopIsLeftBehindSafely) {
    setenv("VELNOR_TEST_LOG_SLEEP_MS", "3000", 1);
    control.shutdownWaitMs = 300;
    const std::uint16_t port = start(1);
    ASSERT_NE(port, 0);
    Client client(port);
    client.send("GET /index.html HTTP/1.0\r\nConnection: close\r\n\r\n");
    EXPECT_NE(client.readResponse().find(kPage), std::string::npos);
    // The answer is out; the worker now spends three seconds in the plug-in.
    EXPECT_LT(stop(), 2500ms);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(control.abandonedWorkers.load(), 1u);
    // The plug-in stays loaded until the worker is out of it and has ended; only then
    // is it released, by the worker's own last hold on the pool.
    ASSERT_TRUE(waitForLine(record, "unloaded", 10s));
    const std::vector<std::string> seen = lines(record);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].rfind("call status=200", 0), 0u) << seen[0];
}

} // namespace
} // namespace velnor
