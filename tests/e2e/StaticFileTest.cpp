// Files served on the wire: heads byte for byte, bodies intact, target forms and versions.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

struct WireCase {
    const char* what;
    std::string request;
    std::string expected;
    bool headOnly = false;
};

// Each case on a connection of its own, one response read by its length.
void runCases(int port, const std::vector<WireCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(client.readResponse(5s, c.headOnly), c.expected);
    }
}

// Only HTTP/1.1 keeps the connection unless asked otherwise (`close`: 1 closes, 0 keeps).
std::string ok(const std::string& version, const std::string& body, const std::string& type,
               int close = -1) {
    const bool closes = close < 0 ? version != "HTTP/1.1" : close != 0;
    return fileHead(version, "200 OK", closes, body.size(), type) + body;
}

class StaticFileTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.writeDocument("with%20space.txt", "pct\n");
        server.writeDocument("thing.foo", "foo!");
        server.writeDocument("UPPER.HTML", "U");
        server.writeProgramFile("AddType.txt", "# operator types\n.foo\tapplication/x-foo\n");
        startServer();
    }
};

TEST_F(StaticFileTest, VersionsAndMethods) {
    const std::string alphaHead10 = fileHead("HTTP/1.0", "200 OK", true, 6, "text/plain");
    runCases(
        server.port(),
        {
            {"GET 1.0", get("/a.txt"), ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"GET 1.1 with host", get("/a.txt", "HTTP/1.1", "Host: example.test\r\n"),
             ok("HTTP/1.1", kAlphaText, "text/plain")},
            {"GET 1.1 with lower-case host", get("/a.txt", "HTTP/1.1", "host: x\r\n"),
             ok("HTTP/1.1", kAlphaText, "text/plain")},
            {"GET 0.9 keeps its version", get("/a.txt", "HTTP/0.9"),
             ok("HTTP/0.9", kAlphaText, "text/plain")},
            {"simple request line", "GET /a.txt\r\n\r\n", ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"tab separators", "GET\t/a.txt\tHTTP/1.0\r\n\r\n",
             ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"HEAD sends the head alone", "HEAD /a.txt HTTP/1.0\r\n\r\n", alphaHead10, true},
            {"POST to a plain file is answered as GET",
             "POST /a.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
             ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"POST with an empty body", "POST /a.txt HTTP/1.0\r\nContent-Length: 0\r\n\r\n",
             ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"connection close", get("/a.txt", "HTTP/1.0", "Connection: close\r\n"),
             ok("HTTP/1.0", kAlphaText, "text/plain", 1)},
            {"connection CLOSE", get("/a.txt", "HTTP/1.0", "CONNECTION: CLOSE\r\n"),
             ok("HTTP/1.0", kAlphaText, "text/plain", 1)},
            {"keep-alive asked for", get("/a.txt", "HTTP/1.0", "Connection: keep-alive\r\n"),
             ok("HTTP/1.0", kAlphaText, "text/plain", 0)},
            {"close in a token list wins",
             get("/a.txt", "HTTP/1.1", "Host: h\r\nConnection: keep-alive, close\r\n"),
             ok("HTTP/1.1", kAlphaText, "text/plain", 1)},
        });
}

TEST_F(StaticFileTest, TargetForms) {
    runCases(
        server.port(),
        {
            {"root gets the default document", get("/"), ok("HTTP/1.0", kIndexPage, "text/html")},
            {"directory without slash", get("/docs"), ok("HTTP/1.0", kDocsIndex, "text/html")},
            {"directory with slash", get("/docs/"), ok("HTTP/1.0", kDocsIndex, "text/html")},
            {"directory with query", get("/docs/?page=2"), ok("HTTP/1.0", kDocsIndex, "text/html")},
            {"query string", get("/docs/page.html?x=1"), ok("HTTP/1.0", kDocsPage, "text/html")},
            {"empty query", get("/a.txt?"), ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"absolute form", get("http://example.test/a.txt", "HTTP/1.1", "Host: x\r\n"),
             ok("HTTP/1.1", kAlphaText, "text/plain")},
            {"absolute form, scheme in capitals", get("HTTP://Example.Test:8080/docs/"),
             ok("HTTP/1.0", kDocsIndex, "text/html")},
            {"absolute form with query", get("http://h/a.txt?q=http://x/"),
             ok("HTTP/1.0", kAlphaText, "text/plain")},
            {"dot-dot inside the tree", get("/deep/one/../d.txt"),
             ok("HTTP/1.0", "dee\n", "text/plain")},
            {"escapes are not decoded", get("/with%20space.txt"),
             ok("HTTP/1.0", "pct\n", "text/plain")},
        });
}

TEST_F(StaticFileTest, ContentTypes) {
    runCases(
        server.port(),
        {
            {"empty file", get("/empty.txt"), ok("HTTP/1.0", "", "text/plain")},
            {"no suffix", get("/noext"), ok("HTTP/1.0", "x", "application/octet-stream")},
            {"operator's type", get("/thing.foo"), ok("HTTP/1.0", "foo!", "application/x-foo")},
            {"suffix in capitals", get("/UPPER.HTML"), ok("HTTP/1.0", "U", "text/html")},
        });
}

TEST_F(StaticFileTest, ConditionalRequests) {
    auto ims = [](const std::string& date) {
        return get("/a.txt", "HTTP/1.0", "If-Modified-Since: " + date + "\r\n");
    };
    const std::string notModified = bareStatus("HTTP/1.0", "304 Not Modified", 358, true);
    const std::string full = ok("HTTP/1.0", kAlphaText, "text/plain");
    runCases(server.port(),
             {
                 {"same second", ims(kFixedDate), notModified},
                 {"RFC 850 form", ims("Sunday, 06-Nov-94 08:49:37 GMT"), notModified},
                 {"asctime form", ims("Sun Nov  6 08:49:37 1994"), notModified},
                 {"later date", ims("Mon, 07 Nov 1994 00:00:00 GMT"), notModified},
                 {"one second older", ims("Sun, 06 Nov 1994 08:49:36 GMT"), full},
                 {"no valid date", ims("yesterday"), full},
                 {"impossible date", ims("Sun, 30 Feb 2020 25:00:00 GMT"), full},
             });
}

TEST_F(StaticFileTest, LargeFileArrivesIntact) {
    const std::string big = patternBytes(1 << 20, 7);
    server.writeDocument("big.bin", big);
    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/big.bin", "HTTP/1.0", "Connection: close\r\n")));
    std::string answer = client.readUntilClose(10s);
    std::string head = fileHead("HTTP/1.0", "200 OK", true, big.size(), "application/octet-stream");
    ASSERT_EQ(answer.size(), head.size() + big.size());
    EXPECT_EQ(answer.substr(0, head.size()), head);
    EXPECT_TRUE(answer.compare(head.size(), big.size(), big) == 0) << "body differs";
}

} // namespace
} // namespace velnor::e2e
