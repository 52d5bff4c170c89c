// Kept-alive connections that only wait for their next request hold no worker, so a few
// visitors' idle connections never shut the next visitor out. A connection inside a
// request keeps its worker (ConnectionTest.BusyServerAnswers503).
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

TEST_F(IdleConnectionTest, WaitingConnectionsHoldNoWorker) {
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
    // Connections that only wait for their next request hold no worker: every visitor
    // is served, and so is every waiting connection when it asks again.
    for (int i = 0; i < 100; ++i) {
        RawClient visitor(port);
        ASSERT_TRUE(visitor.send(keptAlpha()));
        ASSERT_EQ(visitor.readResponse(2s), alphaAnswer(false)) << "visitor " << i;
    }
    for (int i = 0; i < kIdle; ++i) {
        ASSERT_TRUE(idle[i]->send(keptAlpha()));
        ASSERT_EQ(idle[i]->readResponse(2s), alphaAnswer(false)) << "idle connection " << i;
    }
}

} // namespace
} // namespace velnor::e2e
