// Operator error documents: served under the error's status line, or the bare response
// when the document cannot be served, and never a detour without end.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

const std::string kNotFoundPage = "<h1>Nothing here</h1>\n";
const std::string kBadRequestText = "that was not HTTP\n";

class ErrorDocumentTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.writeDocument("errors/404.html", kNotFoundPage);
        server.writeDocument("errors/400.txt", kBadRequestText);
        ASSERT_TRUE(makeUnopenableFile(server.documentRoot() / "errors" / "sock.html"));
        // A program that answers nothing: its gateway fails with 500 every time.
        const std::string mute = server.writeDocument("scripts/mute.exe", "#!/bin/sh\nexit 0\n");
        std::filesystem::permissions(mute, std::filesystem::perms::owner_all);
        server.writeProgramFile("ErrorDocument.txt", "# the operator's pages\n"
                                                     "404 /errors/404.html\n"
                                                     "400\t/errors/400.txt\n"
                                                     "501 /errors/none.html\n"
                                                     "500 /scripts/mute.exe\n"
                                                     "411 /../secret.txt\n"
                                                     "413\n");
        startServer();
    }
};

TEST_F(ErrorDocumentTest, DocumentServedUnderTheErrorStatus) {
    const std::string head404 =
        fileHead("HTTP/1.1", "404 Object Not Found", true, kNotFoundPage.size(), "text/html");
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"GET", get("/missing", "HTTP/1.1", "Host: h\r\n"), head404 + kNotFoundPage},
        {"HEAD gets the head alone", "HEAD /missing HTTP/1.1\r\nHost: h\r\n\r\n", head404},
        {"POST gets the document too",
         "POST /missing HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nhi",
         head404 + kNotFoundPage},
        {"tab-separated line", get("no-slash.txt"),
         fileHead("HTTP/1.0", "400 Bad Request", true, kBadRequestText.size(), "text/plain") +
             kBadRequestText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

TEST_F(ErrorDocumentTest, UnservableDocumentFallsBackToTheBareResponse) {
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"document missing", "PUT /a.txt HTTP/1.0\r\n\r\n",
         bareStatus("HTTP/1.0", "501 Not Implemented", 358)},
        {"document not modified since",
         get("/missing", "HTTP/1.0", std::string("If-Modified-Since: ") + kFixedDate + "\r\n"),
         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
        {"document outside the root", "POST /a.txt HTTP/1.0\r\n\r\n",
         bareStatus("HTTP/1.0", "411 Length Required", 358)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

TEST_F(ErrorDocumentTest, FailingDocumentFor500EndsAfterOneDetour) {
    // The 500 document is a program that fails with 500 itself: one bare answer.
    std::string fields;
    for (int i = 0; i < 8; ++i)
        fields += "H" + std::to_string(i) + ": " + std::string(500, 'v') + "\r\n";
    EXPECT_EQ(roundTrip(server.port(), get("/a.txt", "HTTP/1.0", fields), 3s),
              bareStatus("HTTP/1.0", "500 Internal Server Error", 1910));
    // Only regular files are documents: a socket in the tree is not found, and its
    // 404 is answered with the 404 document.
    EXPECT_EQ(
        roundTrip(server.port(), get("/errors/sock.html"), 3s),
        fileHead("HTTP/1.0", "404 Object Not Found", true, kNotFoundPage.size(), "text/html") +
            kNotFoundPage);
    // And the server still serves.
    EXPECT_EQ(roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n")),
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
}

} // namespace
} // namespace velnor::e2e
