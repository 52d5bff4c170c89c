// Request framing on the wire: every head that could be framed two ways (by this server
// and by an intermediary in front of it) is refused, and the connection ends with the
// refusal, so nothing after it can pass for another request.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

const std::string k400 = bareStatus("HTTP/1.1", "400 Bad Request", 358);
const std::string k501 = bareStatus("HTTP/1.1", "501 Not Implemented", 358);

// A kept-alive POST of /a.txt with the given header lines and the bytes after the head.
std::string post(const std::string& headers, const std::string& after) {
    return "POST /a.txt HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n" + after;
}

std::string hex(std::size_t value) {
    char text[20];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

class FramingTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        startServer();
    }
};

TEST_F(FramingTest, AmbiguousHeadsAreRefusedAndTheConnectionEnds) {
    const struct {
        const char* what;
        std::string request;
        std::string answer;
    } cases[] = {
        {"chunked body", post("Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n"), k501},
        {"any transfer coding, any case",
         get("/a.txt", "HTTP/1.1", "Host: h\r\ntRaNsFeR-eNcOdInG: Identity\r\n"), k501},
        {"two different lengths", post("Content-Length: 3\r\nContent-Length: 30\r\n", "abc"), k400},
        {"two lengths, other case", post("content-length: 30\r\nContent-Length: 3\r\n", "abc"),
         k400},
        {"length with trailing text", post("Content-Length: 10abc\r\n", "0123456789"), k400},
        {"signed length", post("Content-Length: +3\r\n", "abc"), k400},
        {"length list", post("Content-Length: 3, 3\r\n", "abc"), k400},
        {"empty length", post("Content-Length:\r\n", ""), k400},
        {"blank before the colon", post("Content-Length : 3\r\n", "abc"), k400},
        {"blank before another colon", get("/a.txt", "HTTP/1.1", "Host: h\r\nAccept : */*\r\n"),
         k400},
        {"name that is not a token", get("/a.txt", "HTTP/1.1", "Host: h\r\nX[1]: v\r\n"), k400},
        {"folded line", get("/a.txt", "HTTP/1.1", "Host: h\r\nX-A: 1\r\n 2\r\n"), k400},
        {"lone LF hides a header",
         get("/a.txt", "HTTP/1.1", "Host: h\r\nX: a\nContent-Length: 3\r\n"), k400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(server.port());
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(client.readResponse(), c.answer);
        EXPECT_TRUE(client.peerClosed());
    }
}

TEST_F(FramingTest, IdenticalLengthsAreOneLength) {
    RawClient client(server.port());
    ASSERT_TRUE(client.send(post("Content-Length: 3\r\ncontent-length: 3\r\n", "abc")));
    EXPECT_EQ(client.readResponse(),
              fileHead("HTTP/1.1", "200 OK", false, kAlphaText.size(), "text/plain") + kAlphaText);
    ASSERT_TRUE(client.send(get("/b.txt", "HTTP/1.1", "Host: h\r\nConnection: close\r\n")));
    EXPECT_EQ(client.readUntilClose(),
              fileHead("HTTP/1.1", "200 OK", true, kBetaText.size(), "text/plain") + kBetaText);
}

// A client that frames its body both ways: a front end that follows the chunked coding
// sees one request, while a reader that followed the length would find a second one in
// the body. Only the refusal comes back.
TEST_F(FramingTest, NoRequestRidesInABody) {
    const std::string hidden = get("/b.txt", "HTTP/1.1", "Host: h\r\n");
    const std::string sizeLine = hex(hidden.size()) + "\r\n";
    RawClient client(server.port());
    ASSERT_TRUE(client.send(post("Content-Length: " + std::to_string(sizeLine.size()) +
                                     "\r\nTransfer-Encoding: chunked\r\n",
                                 sizeLine + hidden + "\r\n0\r\n\r\n")));
    EXPECT_EQ(client.readUntilClose(), k501);
}

} // namespace
} // namespace velnor::e2e
