#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/ChildReaper.h"
#include "tests/support/ChildOutput.h"
#include "tests/support/TempDir.h"

// Runs child_helper.exe, built from programs/ChildHelper.cpp beside this test program.
namespace velnor::platform {
namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point start) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string helperPath() {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    return utf8(std::filesystem::path(self).parent_path() / "child_helper.exe");
}

// An environment block from its entries.
std::string block(const std::vector<std::string>& entries) {
    std::string out;
    for (const std::string& entry : entries)
        out += entry + '\0';
    return out + '\0';
}

bool endsWithin(HANDLE process, DWORD ms) {
    return ::WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
}

class Win32ChildProcessTest : public ::testing::Test {
protected:
    test::TempDir scratch;
    const std::filesystem::path dir = scratch.path();
};

TEST_F(Win32ChildProcessTest, BodyComesBackThroughThePipes) {
    // The large body outgrows both pipes: writes wait in flight while output piles up.
    const std::string bodies[] = {"", "hello", std::string(300 * 1024, 'b') + "end"};
    const std::string environment = block({"CHILD_MODE=echo"});
    for (const std::string& body : bodies) {
        ChildProcess child;
        ASSERT_EQ(child.start(helperPath().c_str(), nullptr, environment.c_str()),
                  StartFailure::None);
        std::string out;
        std::size_t sent = 0;
        char buffer[4096];
        const auto start = Clock::now();
        for (bool open = true; elapsedMs(start) < 10000;) {
            if (open && sent == body.size()) {
                child.closeInput();
                open = false;
            }
            const int ready = child.waitReady(open, 1000);
            ASSERT_GE(ready, 0);
            if (ready & ChildProcess::kInputWritable) {
                const long n = child.writeInput(body.data() + sent, body.size() - sent);
                ASSERT_NE(n, -1);
                sent += n > 0 ? std::size_t(n) : 0;
            }
            const long n = (ready & ChildProcess::kOutputReadable)
                               ? child.readOutput(buffer, sizeof buffer)
                               : -2;
            if (n == 0)
                break;
            out.append(buffer, n > 0 ? std::size_t(n) : 0);
        }
        EXPECT_EQ(out.size(), body.size());
        EXPECT_TRUE(out == body);
        EXPECT_TRUE(child.finish(2000));
    }
}

TEST_F(Win32ChildProcessTest, AFloodOfErrorsNeverStallsTheProgram) {
    ChildProcess child;
    const std::string environment = block({"CHILD_MODE=flood"});
    ASSERT_EQ(child.start(helperPath().c_str(), nullptr, environment.c_str()), StartFailure::None);
    EXPECT_EQ(test::readChildOutput(child, 10000), "done");
    EXPECT_TRUE(child.finish(2000));
}

TEST_F(Win32ChildProcessTest, FinishEndsTheJobUnlessTheProgramEndsByItself) {
    const struct {
        const char* wait;
        long graceMs;
        bool sleeperEnded;
    } cases[] = {
        {"1", 100, true},   // does not end within its grace: it and its sleeper end
        {"0", 0, true},     // gone at once, but no grace: the whole job ends
        {"0", 2000, false}, // gone by itself: its sleeper is left to run
    };
    for (const auto& c : cases) {
        const std::string environment =
            block({"CHILD_MODE=family", std::string("CHILD_WAIT=") + c.wait});
        ChildProcess child;
        ASSERT_EQ(child.start(helperPath().c_str(), nullptr, environment.c_str()),
                  StartFailure::None);
        HANDLE program = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(child.pid()));
        std::string line;
        char buffer[64];
        while (line.find('\n') == std::string::npos && child.waitReady(false, 5000) > 0) {
            const long n = child.readOutput(buffer, sizeof buffer);
            if (n <= 0)
                break;
            line.append(buffer, std::size_t(n));
        }
        HANDLE sleeper = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                       DWORD(std::strtoul(line.c_str(), nullptr, 10)));
        ASSERT_NE(sleeper, nullptr) << line;
        if (c.graceMs > 0 && c.wait[0] == '0')
            endsWithin(program, 2000); // let it be gone before the grace is asked about
        child.finish(c.graceMs);
        EXPECT_FALSE(child.running());
        EXPECT_TRUE(endsWithin(program, 0));
        EXPECT_EQ(endsWithin(sleeper, c.sleeperEnded ? 3000 : 300), c.sleeperEnded) << c.wait;
        ::TerminateProcess(sleeper, 0);
        ::CloseHandle(sleeper);
        ::CloseHandle(program);
    }
}

TEST_F(Win32ChildProcessTest, OnlyThePipesAreInherited) {
    for (const BOOL inheritable : {TRUE, FALSE}) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, inheritable};
        HANDLE event = ::CreateEventW(&attributes, TRUE, FALSE, nullptr);
        const std::string environment =
            block({"CHILD_MODE=handle",
                   "CHILD_HANDLE=" + std::to_string(reinterpret_cast<std::uintptr_t>(event))});
        ChildProcess child;
        ASSERT_EQ(child.start(helperPath().c_str(), nullptr, environment.c_str()),
                  StartFailure::None);
        EXPECT_EQ(test::readChildOutput(child), "failed") << inheritable;
        EXPECT_TRUE(child.finish(2000));
        EXPECT_EQ(::WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT)) << inheritable;
        ::CloseHandle(event);
    }
}

TEST_F(Win32ChildProcessTest, EnvironmentArrivesWhole) {
    // SYSTEMROOT is there exactly once in every case. Its value is not compared: under wine
    // the program's own start-up sets it again.
    const struct {
        std::vector<std::string> entries;
        std::vector<std::string> expected; // beside CHILD_MODE
    } cases[] = {
        {{"QUERY_STRING=a=1&b=2", "EMPTY="}, {"QUERY_STRING=a=1&b=2", "EMPTY="}},
        {{"NAME=gr\xc3\xbc\xc3\x9f \xe2\x82\xac"}, {"NAME=gr\xc3\xbc\xc3\x9f \xe2\x82\xac"}},
        // Not UTF-8: each byte arrives as its own character.
        {{"RAW=caf\xe9"}, {"RAW=caf\xc3\xa9"}},
        {{"SystemRoot=D:\\elsewhere"}, {}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> entries = c.entries;
        entries.push_back("CHILD_MODE=environment");
        ChildProcess child;
        ASSERT_EQ(child.start(helperPath().c_str(), nullptr, block(entries).c_str()),
                  StartFailure::None);
        const std::string out = test::readChildOutput(child);
        EXPECT_TRUE(child.finish(2000));
        for (const std::string& entry : c.expected)
            EXPECT_NE(out.find(entry + "\n"), std::string::npos) << entry << " in\n" << out;
        std::size_t roots = 0;
        for (std::size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
            std::string name = out.substr(at, 11);
            for (char& letter : name)
                letter = char(std::toupper(static_cast<unsigned char>(letter)));
            roots += name == "SYSTEMROOT=" ? 1 : 0;
        }
        EXPECT_EQ(roots, 1u) << out;
    }
}

TEST_F(Win32ChildProcessTest, OnlyProgramsEndingInExeAreRun) {
    std::ofstream(dir / "run.bat") << "echo hi\r\n";
    std::ofstream(dir / "run.cmd") << "echo hi\r\n";
    std::filesystem::copy_file(helperPath(), dir / "upper.EXE");
    const struct {
        std::string path;
        StartFailure expected;
    } cases[] = {
        {utf8(dir / "run.bat"), StartFailure::Start},
        {utf8(dir / "run.bat."), StartFailure::Start},
        {utf8(dir / "run.cmd"), StartFailure::Start},
        {utf8(dir / "missing.exe"), StartFailure::Start},
        {utf8(dir / "upper.EXE"), StartFailure::None},
    };
    for (const auto& c : cases) {
        ChildProcess child;
        EXPECT_EQ(child.start(c.path.c_str(), utf8(dir).c_str(), nullptr), c.expected) << c.path;
        EXPECT_EQ(child.running(), c.expected == StartFailure::None);
        child.finish(0);
    }
}

TEST_F(Win32ChildProcessTest, LeftRunningProgramsFinishOrAreEndedAtTheirLimit) {
    const struct {
        const char* mode;
        std::uint32_t limitMs;
        bool fileWritten;
    } cases[] = {
        {"linger", 5000, true}, // works on after its answer, then ends by itself
        {"sleep", 200, false},  // outlives its limit: ended by the reaper
    };
    for (const auto& c : cases) {
        const std::filesystem::path file = dir / (std::string(c.mode) + ".done");
        const std::string environment = block(
            {std::string("CHILD_MODE=") + c.mode, "CHILD_SLEEP=300", "CHILD_FILE=" + utf8(file)});
        ChildProcess child;
        ASSERT_EQ(child.start(helperPath().c_str(), nullptr, environment.c_str()),
                  StartFailure::None);
        HANDLE program = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(child.pid()));
        if (c.fileWritten) {
            EXPECT_EQ(test::readChildOutput(child), "answered");
        }
        child.leaveRunning(c.limitMs);
        EXPECT_FALSE(child.running());
        EXPECT_TRUE(endsWithin(program, 3000)) << c.mode;
        EXPECT_EQ(std::filesystem::exists(file), c.fileWritten) << c.mode;
        const auto start = Clock::now();
        while (reapLaterCount() != 0 && elapsedMs(start) < 2000)
            ::Sleep(10);
        EXPECT_EQ(reapLaterCount(), 0u) << c.mode;
        ::CloseHandle(program);
    }
}

} // namespace
} // namespace velnor::platform
