// Kept-alive connections that only wait for their next request give their workers to new
// arrivals, so a few visitors' idle connections never shut the next visitor out. A
// connection inside a request keeps its worker (ConnectionTest.BusyServerAnswers503).
#include <memory>
#include <string>
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

} // namespace
} // namespace velnor::e2e
