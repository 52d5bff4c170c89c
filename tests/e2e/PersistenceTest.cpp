// Whether a connection outlives its answer, by protocol version and Connection header:
// HTTP/1.1 persists unless the client says close, HTTP/1.0 only when it asks for
// keep-alive, HTTP/0.9 and a request line without a version never. The answer's
// Connection line always says which.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

class PersistenceTest : public ServerTest {
protected:
    void SetUp() override { writeSampleTree(server); }
};

TEST_F(PersistenceTest, VersionAndConnectionHeaderDecide) {
    struct Case {
        const char* requestLine; // the target is /a.txt
        const char* headers;
        const char* answeredAs;
        bool kept;
    };
    const Case cases[] = {
        {"GET /a.txt HTTP/1.1", "Host: h\r\n", "HTTP/1.1", true},
        {"GET /a.txt HTTP/1.1", "Host: h\r\nConnection: keep-alive\r\n", "HTTP/1.1", true},
        {"GET /a.txt HTTP/1.1", "Host: h\r\nConnection: close\r\n", "HTTP/1.1", false},
        {"GET /a.txt HTTP/1.1", "Host: h\r\nConnection: keep-alive, Close\r\n", "HTTP/1.1", false},
        {"GET /a.txt HTTP/1.1", "Host: h\r\nConnection: keep-alive\r\nconnection: close\r\n",
         "HTTP/1.1", false},
        {"GET /a.txt HTTP/1.1", "Host: h\r\nConnection: closed\r\n", "HTTP/1.1", true},
        {"GET /a.txt HTTP/1.0", "", "HTTP/1.0", false},
        {"GET /a.txt HTTP/1.0", "Connection: keep-alive\r\n", "HTTP/1.0", true},
        {"GET /a.txt HTTP/1.0", "Connection: Keep-Alive\r\n", "HTTP/1.0", true},
        {"GET /a.txt HTTP/1.0", "Connection: TE,\tkeep-alive \r\n", "HTTP/1.0", true},
        {"GET /a.txt HTTP/1.0", "Connection: keep-alive, close\r\n", "HTTP/1.0", false},
        {"GET /a.txt HTTP/1.0", "Keep-Alive: 300\r\n", "HTTP/1.0", false},
        {"GET /a.txt HTTP/0.9", "", "HTTP/0.9", false},
        {"GET /a.txt HTTP/0.9", "Connection: keep-alive\r\n", "HTTP/0.9", false},
        {"GET /a.txt", "", "HTTP/1.0", false},
        {"GET /a.txt", "Connection: keep-alive\r\n", "HTTP/1.0", false},
    };
    startServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.requestLine) + " / " + c.headers);
        const std::string answer =
            fileHead(c.answeredAs, "200 OK", !c.kept, kAlphaText.size(), "text/plain") + kAlphaText;
        RawClient client(server.port());
        ASSERT_TRUE(client.send(std::string(c.requestLine) + "\r\n" + c.headers + "\r\n"));
        if (!c.kept) {
            EXPECT_EQ(client.readUntilClose(3s), answer);
            continue;
        }
        EXPECT_EQ(client.readResponse(), answer);
        // Kept: the same connection carries the next request.
        ASSERT_TRUE(client.send(get("/b.txt", "HTTP/1.1", "Host: h\r\nConnection: close\r\n")));
        EXPECT_EQ(client.readUntilClose(3s),
                  fileHead("HTTP/1.1", "200 OK", true, kBetaText.size(), "text/plain") + kBetaText);
    }
}

} // namespace
} // namespace velnor::e2e
