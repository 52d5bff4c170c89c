// Targets that try to climb out of the document root: every one is refused or names
// nothing, and no byte of a file outside the root ever reaches the client.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

class TraversalTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        startServer();
    }
};

const char* const kClimbs[] = {
    "/../secret.txt",
    "/..\\secret.txt",
    "\\..\\secret.txt",
    "/./../secret.txt",
    "////../secret.txt",
    "//docs/../../secret.txt",
    "/docs/../../secret.txt",
    "/docs//../../secret.txt",
    "/docs///../../secret.txt",
    "/docs/\\../../secret.txt",
    "/docs\\\\..\\..\\secret.txt",
    "/docs/..\\..\\secret.txt",
    "/docs\\..\\..\\secret.txt",
    "/docs\\/..\\/..\\/secret.txt",
    "/a///../../secret.txt",
    "/docs/./../../secret.txt",
    "/docs/../.././secret.txt",
    "/docs/..//..//secret.txt",
    "/docs/.../secret.txt",
    "/docs/..../secret.txt",
    "/deep/one/../../../secret.txt",
    "/deep/one//..//..//../secret.txt",
    "/deep//one//..//..//..//secret.txt",
    "/deep/one/..//../..//secret.txt",
    "/deep/one/\\/..\\/..\\/..\\/secret.txt",
    "/docs/../../secret.txt?x=1",
    "/../www-secret.txt",
    "/docs/%2e%2e/%2e%2e/secret.txt",
    "/%2e%2e/secret.txt",
    "/..%2fsecret.txt",
    "/.%2e/secret.txt",
    "http://h/../secret.txt",
    "http://h//../secret.txt",
    "HTTP://h/docs//../../secret.txt",
    "http://h\\..\\secret.txt",
    "..",
    "../secret.txt",
    ".",
    "secret.txt",
    "/../../../../../../../../etc/passwd",
    "/docs/../../../../../../etc/passwd",
    "/docs////../../../../../../../../etc/passwd",
    "/a/b/c//////../../../../../../../../../etc/passwd",
    "//////////../../../../../../../../etc/passwd",
};

TEST_F(TraversalTest, NothingOutsideTheRootIsServed) {
    for (const char* target : kClimbs) {
        for (const char* method : {"GET", "HEAD"}) {
            SCOPED_TRACE(std::string(method) + " " + target);
            std::string answer =
                roundTrip(server.port(), std::string(method) + " " + target +
                                             " HTTP/1.0\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(answer.find("TOPSECRET"), std::string::npos);
            EXPECT_EQ(answer.find("root:"), std::string::npos);
            bool refused = answer == bareStatus("HTTP/1.0", "400 Bad Request", 358) ||
                           answer == bareStatus("HTTP/1.0", "404 Object Not Found", 358);
            EXPECT_TRUE(refused) << answer;
        }
    }
}

TEST_F(TraversalTest, LevelsInsideTheTreeStillWork) {
    struct Case {
        const char* target;
        std::string body;
        const char* type;
    } cases[] = {
        {"/deep/one/../d.txt", "dee\n", "text/plain"},
        {"/docs//page.html", kDocsPage, "text/html"},
        {"/docs\\page.html", kDocsPage, "text/html"},
        {"/deep/one\\..\\d.txt", "dee\n", "text/plain"},
        {"/docs/./page.html", kDocsPage, "text/html"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(roundTrip(server.port(), get(c.target, "HTTP/1.0", "Connection: close\r\n")),
                  fileHead("HTTP/1.0", "200 OK", true, c.body.size(), c.type) + c.body);
    }
}

} // namespace
} // namespace velnor::e2e
