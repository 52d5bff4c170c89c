// What a request may cost a worker before its answer: the announced body length is judged
// before a byte of the body is taken in, a protected target refuses a stranger before its
// body, a body that pauses is waited for, and a head trickled in while others wait for a
// worker does not keep it.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

const std::string k413 = bareStatus("HTTP/1.1", "413 Request Entity Too Large", 358);
const std::string kAlphaKept =
    fileHead("HTTP/1.1", "200 OK", false, kAlphaText.size(), "text/plain") + kAlphaText;

// The head of a kept-alive request announcing `length` body bytes.
std::string head(const std::string& method, const std::string& target, std::uint64_t length) {
    return method + " " + target +
           " HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

class BodyLimitTest : public ServerTest {
protected:
    void start(std::optional<std::uint32_t> limit) {
        writeSampleTree(server);
        server.writeDocument("private/access.cha", "alice:secret\n");
        server.writeDocument("private/page.html", "<p>private</p>\n");
        if (limit)
            server.setDword("MaxBodySize", *limit);
        startServer();
    }
};

// Each announced length is answered from the head alone: no body byte is ever sent.
TEST_F(BodyLimitTest, LengthsPastTheLimitAreRefusedBeforeTheBody) {
    start(100);
    const struct {
        const char* what;
        std::string head;
        std::string answer;
    } cases[] = {
        {"POST one past the limit", head("POST", "/a.txt", 101), k413},
        {"GET one past the limit", head("GET", "/a.txt", 101), k413},
        {"protected POST of 2 GiB without account", head("POST", "/private/x.exe", 2147483647),
         challenge("HTTP/1.1", "h/private/x.exe")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(server.port());
        ASSERT_TRUE(client.send(c.head));
        EXPECT_EQ(client.readResponse(), c.answer);
        EXPECT_TRUE(client.peerClosed());
    }

    RawClient client(server.port());
    ASSERT_TRUE(client.send(head("POST", "/a.txt", 100) + std::string(100, 'b')));
    EXPECT_EQ(client.readResponse(), kAlphaKept) << "a body at the limit";
}

TEST_F(BodyLimitTest, TheDefaultLimitAndNoLimit) {
    const std::uint64_t pastDefault = 16u * 1024 * 1024 + 1;
    {
        SCOPED_TRACE("default limit");
        start(std::nullopt);
        RawClient client(server.port());
        ASSERT_TRUE(client.send(head("POST", "/a.txt", pastDefault)));
        EXPECT_EQ(client.readResponse(), k413);
        server.stop();
    }
    ServerProcess unlimited;
    writeSampleTree(unlimited);
    unlimited.setDword("MaxBodySize", 0);
    ASSERT_TRUE(unlimited.start());
    {
        RawClient client(unlimited.port());
        ASSERT_TRUE(client.send(head("POST", "/a.txt", 2147483648u)));
        EXPECT_EQ(client.readResponse(), k413) << "more than a body can hold";
    }
    RawClient client(unlimited.port());
    ASSERT_TRUE(client.send(head("POST", "/a.txt", pastDefault) + std::string(pastDefault, 'b')));
    EXPECT_EQ(client.readResponse(10s), kAlphaKept) << "0 takes any length";
    EXPECT_EQ(unlimited.stop().exitCode, 0);
}

TEST_F(BodyLimitTest, ABodyThatPausesIsWaitedFor) {
    start(std::nullopt);
    RawClient client(server.port());
    ASSERT_TRUE(client.send(head("POST", "/a.txt", 10) + "01234"));
    // Longer than one receive wait of the server.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(client.send("56789"));
    EXPECT_EQ(client.readResponse(), kAlphaKept);
}

TEST_F(BodyLimitTest, ATrickledHeadIsCutUnderPressure) {
    server.setDword("StartServers", 1);
    start(std::nullopt);
    RawClient slow(server.port());
    ASSERT_TRUE(slow.send("GET /a.txt HTTP/1.0\r\n"));
    // A worker takes the connection once its first bytes are in.
    std::this_thread::sleep_for(300ms);
    // The whole head would be there after about 8 s.
    const std::string rest = "X: " + std::string(35, 'x') + "\r\n\r\n";
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (char byte : rest) {
            std::this_thread::sleep_for(200ms);
            if (stop || !slow.send(std::string(1, byte)))
                return;
        }
    });
    // Another client finds the only worker taken: from now on the server is under pressure.
    EXPECT_EQ(roundTrip(server.port(), get("/b.txt"), 3s), kBusyAnswer);
    EXPECT_TRUE(slow.peerClosed(5s)) << "the trickled head kept its worker";
    stop = true;
    trickle.join();

    // The worker is free again; a worker that has just closed may need a moment.
    std::string answer(kBusyAnswer);
    for (int attempt = 0; attempt < 30 && answer == kBusyAnswer; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(100ms);
        answer = roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n"));
    }
    EXPECT_EQ(answer,
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
}

} // namespace
} // namespace velnor::e2e
