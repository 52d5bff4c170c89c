// Persistent connections, pipelining, the busy answer and stopping under open connections.
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

std::string alpha(const std::string& version, bool close) {
    return fileHead(version, "200 OK", close, kAlphaText.size(), "text/plain") + kAlphaText;
}
std::string beta(const std::string& version, bool close) {
    return fileHead(version, "200 OK", close, kBetaText.size(), "text/plain") + kBetaText;
}

// An HTTP/1.0 request that asks for its connection to be kept.
constexpr const char* kKeep = "Connection: keep-alive\r\n";
std::string kept(const std::string& target, const std::string& headers = "") {
    return get(target, "HTTP/1.0", kKeep + headers);
}

// Asks until an answer other than the busy one comes: a worker that has just closed its
// connection may not be idle yet when the next client arrives.
std::string askPatiently(int port, const std::string& request) {
    std::string answer;
    for (int attempt = 0; attempt < 30; ++attempt) {
        answer = roundTrip(port, request);
        if (answer != kBusyAnswer)
            break;
        std::this_thread::sleep_for(100ms);
    }
    return answer;
}

class ConnectionTest : public ServerTest {
protected:
    void SetUp() override { writeSampleTree(server); }
};

TEST_F(ConnectionTest, OneConnectionCarriesManyRequests) {
    startServer();
    RawClient client(server.port());
    ASSERT_TRUE(client.send(kept("/a.txt")));
    EXPECT_EQ(client.readResponse(), alpha("HTTP/1.0", false));
    ASSERT_TRUE(client.send(get("/b.txt", "HTTP/1.1", "Host: h\r\n")));
    EXPECT_EQ(client.readResponse(), beta("HTTP/1.1", false));
    ASSERT_TRUE(
        client.send(kept("/a.txt", std::string("If-Modified-Since: ") + kFixedDate + "\r\n")));
    EXPECT_EQ(client.readResponse(), bareStatus("HTTP/1.0", "304 Not Modified", 358, false));
    ASSERT_TRUE(client.send("HEAD /a.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
    EXPECT_EQ(client.readResponse(5s, true),
              fileHead("HTTP/1.0", "200 OK", false, kAlphaText.size(), "text/plain"));
    // An error ends the connection after its answer.
    ASSERT_TRUE(client.send(get("/missing")));
    EXPECT_EQ(client.readUntilClose(), bareStatus("HTTP/1.0", "404 Object Not Found", 358));
}

TEST_F(ConnectionTest, CloseHeaderEndsTheConnection) {
    startServer();
    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/a.txt", "HTTP/1.1", "Host: h\r\nConnection: Close\r\n")));
    EXPECT_EQ(client.readUntilClose(), alpha("HTTP/1.1", true));
}

TEST_F(ConnectionTest, PipelinedRequestsAreAnsweredInOrder) {
    startServer();
    RawClient client(server.port());
    ASSERT_TRUE(client.send(kept("/a.txt") + "HEAD /b.txt HTTP/1.0\r\n" + kKeep + "\r\n" +
                            "POST /a.txt HTTP/1.0\r\n" + kKeep + "Content-Length: 5\r\n\r\nhello" +
                            get("/b.txt", "HTTP/1.1", "Host: h\r\n") +
                            get("/docs/page.html", "HTTP/1.0", "Connection: close\r\n")));
    EXPECT_EQ(client.readUntilClose(),
              alpha("HTTP/1.0", false) +
                  fileHead("HTTP/1.0", "200 OK", false, kBetaText.size(), "text/plain") +
                  alpha("HTTP/1.0", false) + beta("HTTP/1.1", false) +
                  fileHead("HTTP/1.0", "200 OK", true, kDocsPage.size(), "text/html") + kDocsPage);
}

TEST_F(ConnectionTest, LongPipelineBeyondTheHeadLimit) {
    startServer();
    // 300 requests sent at once are far more than one head may hold; each is its own.
    std::string requests, answers;
    for (int i = 0; i < 299; ++i) {
        requests += kept(i % 2 ? "/a.txt" : "/b.txt");
        answers += i % 2 ? alpha("HTTP/1.0", false) : beta("HTTP/1.0", false);
    }
    requests += get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
    answers += alpha("HTTP/1.0", true);
    RawClient client(server.port());
    ASSERT_TRUE(client.send(requests));
    EXPECT_TRUE(client.readUntilClose() == answers) << "pipelined answers differ";
}

TEST_F(ConnectionTest, PipelinedRequestSplitAcrossPieces) {
    startServer();
    RawClient client(server.port());
    // The second request's head begins in the same piece as the first one's body.
    ASSERT_TRUE(client.send("POST /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n"
                            "Content-Length: 4\r\n\r\nbodyGET /b"));
    EXPECT_EQ(client.readResponse(), alpha("HTTP/1.0", false));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(client.send(".txt HTTP/1.0\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(client.readUntilClose(), beta("HTTP/1.0", true));
}

TEST_F(ConnectionTest, KeepAliveOffClosesEveryConnection) {
    server.setDword("KeepAlive", 0);
    startServer();
    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/a.txt")));
    EXPECT_EQ(client.readUntilClose(2s), alpha("HTTP/1.0", true));
}

TEST_F(ConnectionTest, ServerSoftwareNamesTheServer) {
    server.setString("ServerSoftware", "Quiet/1.0");
    startServer();
    EXPECT_EQ(roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n")),
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain", kFixedDate,
                       "Quiet/1.0") +
                  kAlphaText);
    EXPECT_EQ(roundTrip(server.port(), get("/missing")),
              bareStatus("HTTP/1.0", "404 Object Not Found", 358, true, "Quiet/1.0"));
}

TEST_F(ConnectionTest, BusyServerAnswers503) {
    server.setDword("StartServers", 1);
    startServer();
    const int port = server.port();

    // The one worker holds a persistent connection that is inside its next request.
    RawClient held(port);
    ASSERT_TRUE(held.send(kept("/a.txt")));
    EXPECT_EQ(held.readResponse(), alpha("HTTP/1.0", false));
    ASSERT_TRUE(held.send("GET /b.txt HTTP/1.0\r\nConnection: keep-alive\r\n"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(roundTrip(port, get("/a.txt"), 3s), kBusyAnswer);
    // The request in flight when the busy answer went out is still answered, then closed.
    ASSERT_TRUE(held.send("\r\n"));
    EXPECT_EQ(held.readUntilClose(3s), beta("HTTP/1.0", true));

    EXPECT_EQ(askPatiently(port, get("/b.txt", "HTTP/1.0", "Connection: close\r\n")),
              beta("HTTP/1.0", true));

    // A new connection that has sent nothing yet holds no worker: others are served
    // meanwhile, and it is served once it asks.
    RawClient silent(port);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(roundTrip(port, get("/b.txt"), 3s), beta("HTTP/1.0", true));
    ASSERT_TRUE(silent.send(get("/a.txt")));
    EXPECT_EQ(silent.readUntilClose(3s), alpha("HTTP/1.0", true));
}

TEST_F(ConnectionTest, WorkersServeSideBySide) {
    startServer(); // four workers
    std::string failures[4];
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] {
            RawClient client(server.port());
            for (int n = 0; n < 100 && failures[i].empty(); ++n) {
                bool even = (n + i) % 2 == 0;
                client.send(kept(even ? "/a.txt" : "/b.txt"));
                std::string answer = client.readResponse();
                if (answer != (even ? alpha("HTTP/1.0", false) : beta("HTTP/1.0", false)))
                    failures[i] = "request " + std::to_string(n) + ": " + answer;
            }
        });
    for (auto& client : clients)
        client.join();
    for (const auto& failure : failures)
        EXPECT_EQ(failure, "");
}

TEST_F(ConnectionTest, StopsPromptlyUnderAnIdleConnection) {
    startServer();
    RawClient idle(server.port());
    ASSERT_TRUE(idle.send(kept("/a.txt")));
    EXPECT_EQ(idle.readResponse(), alpha("HTTP/1.0", false));

    ExitReport report = server.stop(15s);
    EXPECT_TRUE(report.inTime) << "still running after 15 s";
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_TRUE(idle.peerClosed(1s));
}

TEST_F(ConnectionTest, StopsOnInterrupt) {
    startServer();
    EXPECT_EQ(roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n")),
              alpha("HTTP/1.0", true));
    ExitReport report = server.stop(15s, SIGINT);
    EXPECT_TRUE(report.inTime);
    EXPECT_EQ(report.exitCode, 0);
}

} // namespace
} // namespace velnor::e2e
