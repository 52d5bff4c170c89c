// Paths at the edge of the 259-character areas: refused or answered, never overrun, and
// a password file that cannot be examined never lets a request through.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

constexpr std::size_t kPathLimit = 259;
const std::string kLongPasswordName(60, 'p');

class PathLimitTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.setString("BasicAuthFile", kLongPasswordName);
        rootLength = server.documentRoot().string().size();
    }

    std::size_t rootLength = 0;
};

TEST_F(PathLimitTest, DefaultDocumentThatIsADirectory) {
    // "/NAME/" passes the length test with room for "index.html" once; NAME/index.html is
    // a directory, so a second "\index.html" would pass the end of the path area.
    std::string name(kPathLimit - rootLength - 10 - 1 - 2, 'd');
    server.writeDocument(name + "/index.html/index.html", "too deep\n");
    server.writeDocument("small/index.html/index.html", "small\n");
    startServer();
    EXPECT_EQ(roundTrip(server.port(), get("/" + name + "/")),
              bareStatus("HTTP/1.0", "400 Bad Request", 358));
    std::string answer = roundTrip(server.port(), get("/" + name));
    EXPECT_EQ(answer.find("too deep"), std::string::npos) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.0 4", 0), 0u) << answer;
}

TEST_F(PathLimitTest, PasswordFileBeyondThePathArea) {
    // The file fits the path area; its directory plus the password file name does not.
    std::string directory(kPathLimit - rootLength - 20, 'g');
    server.writeDocument(directory + "/" + kLongPasswordName, "u:p\n");
    server.writeDocument(directory + "/f.txt", "protected\n");
    ASSERT_LE(rootLength + 1 + directory.size() + 6 + 10 + 1, kPathLimit);
    ASSERT_GT(rootLength + 1 + directory.size() + 1 + kLongPasswordName.size(), kPathLimit);
    startServer();
    std::string answer = roundTrip(
        server.port(), get("/" + directory + "/f.txt", "HTTP/1.0", "Connection: close\r\n"));
    EXPECT_EQ(answer.find("protected"), std::string::npos) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), std::string::npos) << answer;
    EXPECT_EQ(answer.rfind("HTTP/1.0 ", 0), 0u) << answer;
}

} // namespace
} // namespace velnor::e2e
