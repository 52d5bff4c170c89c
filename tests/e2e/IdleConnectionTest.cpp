// Kept-alive connections that only wait for their next request give their workers to new
// arrivals, so a few visitors' idle connections never shut the next visitor out.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

std::string keptAlpha() {
    return get("/a.txt", "HTTP/1.0", "Connection: keep-alive\r\n");
}
std::string alphaAnswer(bool close) {
    return fileHead("HTTP/1.0", "200 OK", close, kAlphaText.size(), "text/plain") + kAlphaText;
}

class IdleConnectionTest : public ServerTest {
protected:
    void SetUp() override { writeSampleTree(server); }
};

TEST_F(IdleConnectionTest, IdleKeptConnectionsGiveWayToNewVisitors) {
    constexpr int kWorkers = 8;
    constexpr int kIdle = 64;
    server.setDword("StartServers", kWorkers);
    startServer();
    const int port = server.port();

    // Browsers that keep their connections open: far more than there are workers.
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(idle.back()->send(keptAlpha()));
        ASSERT_EQ(idle.back()->readResponse(2s), alphaAnswer(false)) << "idle connection " << i;
    }
    // Each one that gave way was closed cleanly, with nothing more sent on it.
    int closed = 0;
    for (auto& client : idle)
        closed += client->peerClosed(50ms) ? 1 : 0;
    EXPECT_GE(closed, kIdle - kWorkers);

    for (int i = 0; i < 100; ++i) {
        RawClient visitor(port);
        ASSERT_TRUE(visitor.send(keptAlpha()));
        ASSERT_EQ(visitor.readResponse(2s), alphaAnswer(false)) << "visitor " << i;
    }
}

TEST_F(IdleConnectionTest, OnlyAConnectionWithNothingReceivedGivesWay) {
    struct Case {
        const char* name;
        // Sent on the kept connection before the newcomer arrives.
        std::string started;
        std::string newcomerAnswer;
        // What the kept connection sees after finishing its request.
        std::string keptAnswer;
    };
    const Case cases[] = {
        {"waiting for its next request", "", alphaAnswer(true), ""},
        {"inside its next request", "GET /a.txt HTTP/1.0\r\n", std::string(kBusyAnswer),
         alphaAnswer(true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerProcess one;
        writeSampleTree(one);
        one.setDword("StartServers", 1);
        ASSERT_TRUE(one.start());
        RawClient kept(one.port());
        ASSERT_TRUE(kept.send(keptAlpha()));
        ASSERT_EQ(kept.readResponse(2s), alphaAnswer(false));
        if (!c.started.empty()) {
            ASSERT_TRUE(kept.send(c.started));
            // The worker must hold the first byte before the newcomer is accepted.
            std::this_thread::sleep_for(200ms);
        }
        EXPECT_EQ(roundTrip(one.port(), get("/a.txt"), 3s), c.newcomerAnswer);
        if (!c.started.empty())
            kept.send("\r\n");
        EXPECT_EQ(kept.readUntilClose(3s), c.keptAnswer);
        EXPECT_EQ(one.stop(5s).exitCode, 0);
    }
}

} // namespace
} // namespace velnor::e2e
