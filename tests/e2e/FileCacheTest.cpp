// A page answered from memory is still the page on disk: every change to it is seen on
// the next request, and a name turned into a link to a password file is refused.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;

class FileCacheTest : public ServerTest {
protected:
    void SetUp() override {
        server.writeDocument("private/access.cha", "alice:secret\n");
        server.writeDocument("page.txt", "one!\n");
        startServer();
    }

    // The body of a closing GET, or the status line when the answer is not 200.
    std::string fetch(const std::string& target) {
        const std::string answer =
            roundTrip(server.port(), get(target, "HTTP/1.0", "Connection: close\r\n"), 3s);
        const auto end = answer.find("\r\n\r\n");
        if (answer.rfind("HTTP/1.0 200 OK\r\n", 0) != 0 || end == std::string::npos)
            return answer.substr(0, answer.find("\r\n"));
        return answer.substr(end + 4);
    }
};

TEST_F(FileCacheTest, EveryChangeToAKeptPageIsSeenOnTheNextRequest) {
    const fs::path page = server.documentRoot() / "page.txt";
    struct Step {
        const char* what;
        std::function<void()> change;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {"same size, new bytes", [&] { server.writeDocument("page.txt", "two!\n"); }, "two!\n"},
        {"renamed over", [&] { fs::rename(server.writeDocument("next.txt", "six!\n"), page); },
         "six!\n"},
        {"made a link to a password file",
         [&] {
             fs::remove(page);
             fs::create_symlink(server.documentRoot() / "private/access.cha", page);
         },
         "HTTP/1.0 404 Object Not Found(358)"},
    };
    std::string current = "one!\n";
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        // Long enough for the page to settle, so the second request is served from memory.
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(fetch("/page.txt"), current);
        EXPECT_EQ(fetch("/page.txt"), current);
        step.change();
        EXPECT_EQ(fetch("/page.txt"), step.expected);
        current = step.expected;
    }
}

} // namespace
} // namespace velnor::e2e
