#include <gtest/gtest.h>

#include "tests/support/Processes.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "../support/TempDir.h"
#include "platform/ChildProcess.h"
#include "platform/ChildReaper.h"
#include "tests/support/ChildOutput.h"

namespace velnor::platform {
namespace {

using test::childrenOfThisProcess;
using test::Clock;
using test::elapsedMs;

bool processGone(int pid) {
    const std::string stat = test::readProcFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat[close + 2] == 'Z');
}

class ChildProcessTest : public ::testing::Test {
protected:
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = dir.write(name, "#!/bin/sh\n" + body);
        std::filesystem::permissions(path, std::filesystem::perms(0755));
        return path;
    }

    test::TempDir dir;
};

TEST_F(ChildProcessTest, RelativePathsAreTakenFromTheServersDirectory) {
    // The child moves to its working directory before the program is looked up; a
    // relative program path must still name the file below the server's directory.
    std::filesystem::create_directories(dir.path() / "sub");
    script("sub/where.exe", "pwd\n");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ChildProcess child;
    const StartFailure started = child.start("sub\\where.exe", "sub\\", nullptr);
    std::filesystem::current_path(previous);
    ASSERT_EQ(started, StartFailure::None);
    EXPECT_EQ(test::readChildOutput(child),
              std::filesystem::canonical(dir.path() / "sub").string() + "\n");
    EXPECT_TRUE(child.finish(2000));
}

TEST_F(ChildProcessTest, WritingToAProgramThatStoppedReadingFailsQuietly) {
    // With SIGPIPE at its default the test process would die if the write raised it.
    struct sigaction previous {};
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &byDefault, &previous);
    ChildProcess child;
    ASSERT_EQ(child.start(script("quit.exe", "exit 0\n").c_str(), nullptr, nullptr),
              StartFailure::None);
    const std::string block(64 * 1024, 'x');
    long result = 0;
    const auto start = Clock::now();
    while (result != -1 && elapsedMs(start) < 5000) {
        if (child.waitReady(true, 1000) & ChildProcess::kInputWritable)
            result = child.writeInput(block.data(), block.size());
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(child.finish(2000));
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(ChildProcessTest, FinishEndsTheGroupUnlessTheProgramEndsByItself) {
    const struct {
        const char* body;
        long graceMs;
        bool sleeperEnded;
    } cases[] = {
        // Waits for its sleeper: does not end within the grace, so the group is ended.
        {"sleep 1000 &\necho $!\nwait\n", 100, true},
        // Gone at once, but its sleeper holds the output: ending now takes the group.
        {"sleep 1000 &\necho $!\n", 0, true},
        // Gone at once, its sleeper detached from the output: a background job it keeps.
        {"sleep 1000 >/dev/null 2>&1 &\necho $!\n", 2000, false},
    };
    for (const auto& c : cases) {
        ChildProcess child;
        ASSERT_EQ(child.start(script("family.exe", c.body).c_str(), nullptr, nullptr),
                  StartFailure::None);
        const int leader = child.pid();
        std::string line;
        char buffer[64];
        while (line.find('\n') == std::string::npos && child.waitReady(false, 2000) > 0) {
            const long n = child.readOutput(buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, std::size_t(n));
        }
        const int sleeper = std::atoi(line.c_str());
        ASSERT_GT(sleeper, 0) << c.body;

        const auto start = Clock::now();
        child.finish(c.graceMs);
        EXPECT_LT(elapsedMs(start), 2500) << c.body;
        EXPECT_FALSE(child.running());
        EXPECT_TRUE(processGone(leader)) << c.body;
        bool gone = processGone(sleeper);
        while (c.sleeperEnded && !gone && elapsedMs(start) < 3000)
            gone = processGone(sleeper);
        EXPECT_EQ(gone, c.sleeperEnded) << c.body;
        if (!gone)
            ::kill(sleeper, SIGKILL);
        EXPECT_EQ(childrenOfThisProcess(), 0) << c.body;
    }
}

TEST_F(ChildProcessTest, DestructorReapsAProgramStillRunning) {
    int pid = -1;
    {
        ChildProcess child;
        ASSERT_EQ(child.start(script("sleep.exe", "exec sleep 1000\n").c_str(), nullptr, nullptr),
                  StartFailure::None);
        pid = child.pid();
        ChildProcess moved(std::move(child));
        EXPECT_FALSE(child.running());
        EXPECT_TRUE(moved.running());
    }
    EXPECT_TRUE(processGone(pid));
    EXPECT_EQ(childrenOfThisProcess(), 0);
}

// A program left to run is reaped when it ends by itself, with its work done; one that
// outlives its limit has its whole group ended. Nobody waits on it in either case.
TEST_F(ChildProcessTest, LeftRunningProgramsAreReapedOrEndedAtTheirLimit) {
    const struct {
        const char* body;
        std::uint32_t limitMs;
        bool finishes;
    } cases[] = {
        {"sleep 0.3\necho done > finished.txt\n", 5000, true},
        {"sleep 5\necho done > finished.txt\n", 300, false},
    };
    const std::string marker = dir.path() / "finished.txt";
    for (const auto& c : cases) {
        std::filesystem::remove(marker);
        ChildProcess child;
        ASSERT_EQ(child.start(script("work.exe", c.body).c_str(), dir.path().c_str(), nullptr),
                  StartFailure::None);
        const auto start = Clock::now();
        child.leaveRunning(c.limitMs);
        EXPECT_LT(elapsedMs(start), 100) << c.body;
        EXPECT_FALSE(child.running());
        while (childrenOfThisProcess() != 0 && elapsedMs(start) < 3000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(childrenOfThisProcess(), 0) << c.body;
        EXPECT_EQ(reapLaterCount(), 0u) << c.body;
        EXPECT_EQ(std::filesystem::exists(marker), c.finishes) << c.body;
        if (!c.finishes) {
            EXPECT_GE(elapsedMs(start), long(c.limitMs) - 20) << c.body;
        }
    }
}

} // namespace
} // namespace velnor::platform
