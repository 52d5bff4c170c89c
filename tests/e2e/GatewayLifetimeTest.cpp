// A CGI program that answers, lets go of its output and goes on working: the client has
// its whole answer at once, the work is finished, and no zombie is left.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/e2e/GatewaySupport.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class GatewayLifetimeTest : public ServerTest {};

TEST_F(GatewayLifetimeTest, ProgramFinishesItsWorkAfterTheAnswer) {
    writeSampleTree(server);
    const fs::path marker = server.root() / "finished.txt";
    writeProgram(server, "scripts/later.exe",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nanswered\\n'\n"
                 "exec >/dev/null 2>&1\nsleep 1\nprintf '%s' $$ > " +
                     marker.string() + "\n");
    startServer();
    const auto begin = Clock::now();
    EXPECT_EQ(roundTrip(server.port(), get("/scripts/later.exe"), 5s),
              cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\nanswered\n");
    EXPECT_LT(Clock::now() - begin, 800ms) << "the answer waited for the program's work";

    int pid = 0;
    while (pid == 0 && Clock::now() - begin < 5s) {
        std::ifstream in(marker);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        pid = std::atoi(text.c_str());
        if (pid == 0)
            std::this_thread::sleep_for(20ms);
    }
    ASSERT_GT(pid, 0) << "the program was ended before it finished its work";
    const fs::path proc = "/proc/" + std::to_string(pid);
    while (fs::exists(proc) && Clock::now() - begin < 5s)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(fs::exists(proc)) << "the program was left as a zombie";
}

} // namespace
} // namespace velnor::e2e
