// Bare status responses on the wire: the status line with its origin code, the server
// line, "Connection: Close", nothing else, and the connection closed after them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

struct StatusCase {
    const char* what;
    std::string request;
    std::string expected;
};

void runClosingCases(int port, const std::vector<StatusCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(port, c.request), c.expected);
    }
}

const std::string k400v10 = bareStatus("HTTP/1.0", "400 Bad Request", 358);
const std::string k404v10 = bareStatus("HTTP/1.0", "404 Object Not Found", 358);
const std::string k501 = bareStatus("HTTP/1.0", "501 Not Implemented", 358);

// A header line of exactly `length` characters before its CR LF.
std::string headerLine(const std::string& name, std::size_t length) {
    return name + ": " + std::string(length - name.size() - 2, 'v') + "\r\n";
}

class StatusResponseTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.makeDirectory("nodefault");
        startServer();
    }
};

TEST_F(StatusResponseTest, NotFound) {
    runClosingCases(server.port(),
                    {
                        {"missing file, 1.1", get("/missing.html", "HTTP/1.1", "Host: h\r\n"),
                         bareStatus("HTTP/1.1", "404 Object Not Found", 358)},
                        {"missing file, 1.0", get("/missing.html"), k404v10},
                        {"missing file, 0.9", get("/missing.html", "HTTP/0.9"),
                         bareStatus("HTTP/0.9", "404 Object Not Found", 358)},
                        {"missing directory", get("/nothere/"), k404v10},
                        {"directory without default document", get("/nodefault"), k404v10},
                        {"same with slash", get("/nodefault/"), k404v10},
                        {"HEAD of a missing file", "HEAD /missing.html HTTP/1.0\r\n\r\n", k404v10},
                        {"POST to a missing file, body complete",
                         "POST /missing.html HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody", k404v10},
                    });
}

TEST_F(StatusResponseTest, BadRequests) {
    runClosingCases(
        server.port(),
        {
            {"lower-case method", get("/a.txt").replace(0, 3, "get"), k400v10},
            {"unknown method", "BREW /a.txt HTTP/1.0\r\n\r\n", k400v10},
            {"unknown version", get("/a.txt", "HTTP/1.2"), k400v10},
            {"version in lower case", get("/a.txt", "http/1.0"), k400v10},
            {"blank after the version", "GET /a.txt HTTP/1.0 \r\n\r\n", k400v10},
            {"two blanks before the target", "GET  /a.txt HTTP/1.0\r\n\r\n", k400v10},
            {"method alone", "GET\r\n\r\n", k400v10},
            {"1.1 without host", get("/a.txt", "HTTP/1.1"),
             bareStatus("HTTP/1.1", "400 Bad Request", 358)},
            {"bare line feeds", "GET /a.txt HTTP/1.0\nHost: h\n\n", k400v10},
            {"relative target", get("a.txt"), k400v10},
            {"empty target", "GET  HTTP/1.0\r\n\r\n", k400v10},
            {"dot name after the root", get("/.hidden"), k400v10},
            {"absolute form without a path", get("http://example.test"), k400v10},
            {"target longer than 259", get("/" + std::string(300, 'a')), k400v10},
            {"path too long for the root", get("/" + std::string(250, 'a')), k400v10},
            {"negative length", "POST /a.txt HTTP/1.0\r\nContent-Length: -5\r\n\r\n", k400v10},
        });
}

TEST_F(StatusResponseTest, MethodsNotServed) {
    std::vector<StatusCase> cases;
    for (const char* method : {"PUT", "DELETE", "TRACE", "OPTIONS", "CONNECT", "LINK", "UNLINK"})
        cases.push_back(
            {method, std::string(method) + " /a.txt HTTP/1.1\r\nHost: h\r\n\r\n", k501});
    runClosingCases(server.port(), cases);
}

TEST_F(StatusResponseTest, LengthRequired) {
    runClosingCases(server.port(), {
                                       {"POST without length", "POST /a.txt HTTP/1.0\r\n\r\n",
                                        bareStatus("HTTP/1.0", "411 Length Required", 358)},
                                       {"POST without length to a missing file",
                                        "POST /missing HTTP/1.1\r\nHost: h\r\n\r\n",
                                        bareStatus("HTTP/1.1", "411 Length Required", 358)},
                                   });
}

TEST_F(StatusResponseTest, HeadLimits) {
    const std::string alphaClosed =
        fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText;
    const std::string closeHeader = "Connection: close\r\n";
    std::string manyFields, fewerFields;
    for (int i = 0; i < 8; ++i)
        manyFields += headerLine("H" + std::to_string(i), 504);
    for (int i = 0; i < 7; ++i)
        fewerFields += headerLine("H" + std::to_string(i), 504);
    runClosingCases(
        server.port(),
        {
            {"line of 512 characters",
             get("/a.txt", "HTTP/1.0", headerLine("X-Pad", 512) + closeHeader), alphaClosed},
            {"line of 513 characters", get("/a.txt", "HTTP/1.0", headerLine("X-Pad", 513)),
             k400v10},
            {"4097 bytes without an end", "GET /a.txt HTTP/1.0\r\n" + std::string(4076, 'x'),
             k400v10},
            {"header table just under its limit",
             get("/a.txt", "HTTP/1.0", fewerFields + closeHeader), alphaClosed},
            {"header table over 4000 bytes", get("/a.txt", "HTTP/1.0", manyFields),
             bareStatus("HTTP/1.0", "500 Internal Server Error", 358)},
            {"line without a colon is skipped", get("/a.txt", "HTTP/1.0", "junk\r\n" + closeHeader),
             alphaClosed},
        });
}

TEST_F(StatusResponseTest, FileThatCannotBeOpened) {
    ASSERT_TRUE(makeUnopenableFile(server.documentRoot() / "sock.html"));
    runClosingCases(server.port(),
                    {
                        {"no regular file", get("/sock.html", "HTTP/1.0", "Connection: close\r\n"),
                         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
                        {"HEAD alike", "HEAD /sock.html HTTP/1.0\r\nConnection: close\r\n\r\n",
                         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
                    });
}

} // namespace
} // namespace velnor::e2e
