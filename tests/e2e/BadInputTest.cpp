// Hostile and broken clients: the server answers what it can, drops what it cannot, and
// keeps serving everyone else afterwards.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

const std::string kAlphaClosed =
    fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText;
const std::string kClosingGet = get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
const std::string k400 = bareStatus("HTTP/1.0", "400 Bad Request", 358);

// A literal with its NUL bytes, without the terminating one.
template <std::size_t N> std::string bytes(const char (&text)[N]) {
    return {text, N - 1};
}

class BadInputTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        big = patternBytes(1 << 20, 3);
        server.writeDocument("big.bin", big);
        startServer();
    }

    void expectStillServing() {
        SCOPED_TRACE("a normal request afterwards");
        EXPECT_EQ(roundTrip(server.port(), kClosingGet), kAlphaClosed);
    }

    std::string big;
};

TEST_F(BadInputTest, RandomBytes) {
    const std::size_t sizes[] = {1, 64, 700, 1500, 3000, 4096, 5000, 9000};
    std::uint32_t seed = 11;
    for (std::size_t size : sizes) {
        SCOPED_TRACE("random bytes: " + std::to_string(size));
        RawClient client(server.port());
        client.send(patternBytes(size, seed++));
        client.shutdownWrite();
        std::string answer = client.readUntilClose(5s);
        EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/", 0) == 0) << answer;
    }
    expectStillServing();
}

TEST_F(BadInputTest, NulBytesInTheHead) {
    const std::string heads[] = {
        bytes("GET /a.txt HTTP/1.0\r\nX: a\0b\r\n\r\n"),
        bytes("GET /a\0.txt HTTP/1.0\r\n\r\n"),
        bytes("\0GET /a.txt HTTP/1.0\r\n\r\n"),
    };
    for (const auto& head : heads) {
        SCOPED_TRACE(testing::PrintToString(head));
        RawClient client(server.port());
        ASSERT_TRUE(client.send(head));
        // No head can hold a NUL: the answer comes at once, not at the deadline.
        EXPECT_EQ(client.readUntilClose(2s), k400);
    }
    expectStillServing();
}

TEST_F(BadInputTest, SlowSenders) {
    std::vector<std::thread> senders;
    std::string answers[2];
    for (int i = 0; i < 2; ++i)
        senders.emplace_back([&, i] {
            RawClient client(server.port());
            client.sendSlowly(kClosingGet, 3, 100ms);
            answers[i] = client.readUntilClose(5s);
        });
    // Others are served while the slow ones trickle in.
    std::this_thread::sleep_for(200ms);
    expectStillServing();
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(answers[0], kAlphaClosed);
    EXPECT_EQ(answers[1], kAlphaClosed);
}

TEST_F(BadInputTest, ClientsThatVanish) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            // Gone in the middle of a body.
            RawClient client(server.port());
            client.send("POST /a.txt HTTP/1.0\r\nContent-Length: 100000\r\n\r\n" +
                        std::string(1000, 'b'));
            client.abort();
        }
        {
            // Gone in the middle of a large response.
            RawClient client(server.port());
            client.send(get("/big.bin"));
            EXPECT_EQ(client.readBytes(10000).substr(0, 15), "HTTP/1.0 200 OK");
            client.abort();
        }
        {
            // Gone before the answer.
            RawClient client(server.port());
            client.send(get("/big.bin"));
        }
        {
            // Connected, never spoke.
            RawClient client(server.port());
        }
        // The workers of vanished clients need a moment to be idle again.
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(200ms);

    // Every worker is back: as many clients as workers are served at the same time.
    RawClient clients[4] = {RawClient(server.port()), RawClient(server.port()),
                            RawClient(server.port()), RawClient(server.port())};
    for (auto& client : clients)
        ASSERT_TRUE(client.send(get("/a.txt", "HTTP/1.0", "Connection: keep-alive\r\n")));
    for (auto& client : clients)
        EXPECT_EQ(client.readResponse(),
                  fileHead("HTTP/1.0", "200 OK", false, kAlphaText.size(), "text/plain") +
                      kAlphaText);
    for (auto& client : clients)
        client.abort();
    std::this_thread::sleep_for(100ms);

    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/big.bin", "HTTP/1.0", "Connection: close\r\n")));
    std::string answer = client.readUntilClose(10s);
    std::string head = fileHead("HTTP/1.0", "200 OK", true, big.size(), "application/octet-stream");
    EXPECT_EQ(answer.size(), head.size() + big.size());
    EXPECT_TRUE(answer == head + big) << "large file damaged after vanished clients";
}

TEST_F(BadInputTest, SilentConnectionsDoNotStarveOthers) {
    RawClient silent1(server.port());
    RawClient silent2(server.port());
    RawClient partial(server.port());
    ASSERT_TRUE(partial.send("GET /a.txt HTTP/1.0\r\nHost: "));
    std::this_thread::sleep_for(100ms);
    expectStillServing();
}

// The one test that waits for the server's 30-second read deadline; its clients wait
// side by side.
TEST_F(BadInputTest, StalledClientsAreDroppedAtTheDeadline) {
    RawClient silent(server.port());
    RawClient partialHead(server.port());
    RawClient partialBody(server.port());
    ASSERT_TRUE(partialHead.send("GET /a.txt HTTP/1.0\r\n"));
    ASSERT_TRUE(partialBody.send("POST /a.txt HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc"));
    auto begin = std::chrono::steady_clock::now();
    auto since = [&] { return std::chrono::steady_clock::now() - begin; };

    // A body that stops coming is given up at the latest at the deadline.
    EXPECT_TRUE(partialBody.peerClosed(40s)) << "a stalled body was answered";
    EXPECT_LE(since(), 32s);
    EXPECT_TRUE(partialHead.peerClosed(40s)) << "a stalled head was answered";
    EXPECT_TRUE(silent.peerClosed(10s)) << "a silent connection was answered";
    EXPECT_GE(since(), 29s) << "dropped before the deadline";
    EXPECT_LE(since(), 33s);
    expectStillServing();
}

} // namespace
} // namespace velnor::e2e
