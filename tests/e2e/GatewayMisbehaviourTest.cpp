// CGI programs that misbehave, through the real server: the child starts clean and is
// reaped, a flood of error output does not stall the worker, a program that exits at once
// is answered at once, and a program that never ends is ended after the bounded time with
// its worker freed.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/e2e/GatewaySupport.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long the server lets a program go without progress before it ends it.
constexpr auto kProgramLimit = 30s;

const std::string kShortOutput = bareStatus("HTTP/1.0", "500 Internal Server Error", 1910);

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A line of /proc/PID/status, such as "SigBlk", without its name; empty when absent.
std::string statusField(int pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0) {
            std::size_t start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    return "";
}

// True once no process `pid` exists, not even one that waits to be reaped, within `limit`.
bool processGone(int pid, std::chrono::milliseconds limit = 3s) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (!fs::exists("/proc/" + std::to_string(pid)))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The pid a program wrote to `file`, waiting a little for it to appear.
int pidFrom(const fs::path& file) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string text = readText(file);
        if (!text.empty())
            return std::atoi(text.c_str());
        std::this_thread::sleep_for(20ms);
    }
    return 0;
}

class CgiMisbehaviourTest : public ServerTest {
protected:
    void SetUp() override { writeSampleTree(server); }

    fs::path pidFile(const std::string& name) const { return server.root() / (name + ".pid"); }
    // Shell text that records the shell's own pid.
    std::string recordPid(const std::string& name) const {
        return "printf '%s' $$ > " + pidFile(name).string() + "\n";
    }
};

// Looks at a running program from outside: its descriptors, directory, session and signals.
TEST_F(CgiMisbehaviourTest, ChildStartsCleanAndIsReaped) {
    writeProgram(server, "scripts/look.exe",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%010d\\n' $$\n"
                 "exec /bin/sleep 2\n");
    startServer();
    RawClient client(server.port());
    ASSERT_TRUE(client.send(get("/scripts/look.exe")));
    const std::string expectedHead = cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\n";
    const std::string head = client.readBytes(expectedHead.size() + 11);
    ASSERT_EQ(head.substr(0, expectedHead.size()), expectedHead);
    const int pid = std::atoi(head.c_str() + expectedHead.size());
    ASSERT_GT(pid, 0);

    // The shell prints before it replaces itself with the sleep; its own script descriptor
    // goes at that moment, so the look waits for the sleep.
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::error_code failed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (fs::read_symlink(proc / "exe", failed).filename() == "sleep")
            break;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(fs::read_symlink(proc / "exe", failed).filename(), "sleep");
    // The new program image shows before the old one's close-on-exec descriptors are gone,
    // so a listing taken in that moment is taken again.
    std::vector<std::string> descriptors;
    for (int attempt = 0; attempt < 100; ++attempt) {
        descriptors.clear();
        for (const auto& entry : fs::directory_iterator(proc / "fd", failed))
            descriptors.push_back(entry.path().filename().string() + " -> " +
                                  fs::read_symlink(entry.path(), failed).string());
        if (descriptors.size() <= 3)
            break;
        std::this_thread::sleep_for(10ms);
    }
    std::sort(descriptors.begin(), descriptors.end());
    ASSERT_EQ(descriptors.size(), 3u) << "only the three pipe ends reach the program:\n"
                                      << ::testing::PrintToString(descriptors);
    for (const std::string& descriptor : descriptors)
        EXPECT_NE(descriptor.find(" -> pipe:"), std::string::npos) << descriptor;
    EXPECT_EQ(fs::read_symlink(proc / "cwd", failed), server.documentRoot() / "scripts");
    // Field 6 of the stat line is the session; a program leads its own.
    std::string stat = readText(proc / "stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string state, parent, group, session;
    fields >> state >> parent >> group >> session;
    EXPECT_EQ(session, std::to_string(pid));
    EXPECT_EQ(group, std::to_string(pid));
    EXPECT_EQ(statusField(pid, "SigBlk"), "0000000000000000");
    // The C library's spawn leaves its own two reserved signals (32 and 33) ignored; a
    // program that uses them installs handlers. Every other signal, SIGPIPE above all
    // (the server ignores it), must reach the program at its default.
    const unsigned long long ignored = std::stoull(statusField(pid, "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & ~0x180000000ull, 0u) << std::hex << ignored;

    EXPECT_EQ(client.readUntilClose(), "");
    EXPECT_TRUE(processGone(pid)) << "the program was left as a zombie: "
                                  << statusField(pid, "State");
}

TEST_F(CgiMisbehaviourTest, FloodOfErrorOutputDoesNotStall) {
    // Some megabytes on standard error, far past what a pipe holds, before any output.
    writeProgram(server, "scripts/noisy.exe",
                 "#!/bin/sh\n/usr/bin/yes 'complaint from the program' | /usr/bin/head -c 4000000 "
                 ">&2\nprintf 'Content-Type: text/plain\\r\\n\\r\\nstill here'\n"
                 "/usr/bin/yes 'and more' | /usr/bin/head -c 1000000 >&2\n");
    startServer();
    const auto begin = Clock::now();
    EXPECT_EQ(roundTrip(server.port(), get("/scripts/noisy.exe"), 20s),
              cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\nstill here");
    EXPECT_LT(Clock::now() - begin, 15s);
    // Whatever the server keeps of it, the program's error output is bounded.
    EXPECT_LT(server.output().size(), 200000u);
}

TEST_F(CgiMisbehaviourTest, ProgramsThatExitAtOnceAreAnsweredAtOnce) {
    writeProgram(server, "scripts/quit.exe", "#!/bin/sh\nexit 3\n");
    writeProgram(server, "scripts/brief.exe",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nbye'\nexit 0\n");
    startServer();
    // A body far larger than a pipe, which neither program reads.
    const std::string body = patternBytes(512 * 1024, 9);
    const std::string post = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"GET, no output", get("/scripts/quit.exe"), kShortOutput},
        {"POST unread, no output", "POST /scripts/quit.exe HTTP/1.0\r\n" + post, kShortOutput},
        {"POST unread, some output", "POST /scripts/brief.exe HTTP/1.0\r\n" + post,
         cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\nbye"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto begin = Clock::now();
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
        EXPECT_LT(Clock::now() - begin, 4s);
    }
    // The server is still whole afterwards.
    EXPECT_EQ(roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n")),
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
}

// The one long test: four programs that never end, side by side, hold every worker until
// the server ends them; then the workers serve again and no program is left behind.
TEST_F(CgiMisbehaviourTest, ProgramsThatNeverEndAreEndedAndTheirWorkersFreed) {
    server.setDword("StartServers", 4);
    writeProgram(server, "scripts/mute.exe",
                 "#!/bin/sh\n" + recordPid("mute") + "exec /bin/sleep 100\n");
    writeProgram(
        server, "scripts/stalls.exe",
        "#!/bin/sh\n" + recordPid("stalls") +
            "printf 'Content-Type: text/plain\\r\\n\\r\\nstarted\\n'\nexec /bin/sleep 100\n");
    writeProgram(server, "scripts/deaf.exe",
                 "#!/bin/sh\n" + recordPid("deaf") + "exec /bin/sleep 100\n");
    // The program itself exits, but a child it left behind holds its output open.
    writeProgram(server, "scripts/orphan.exe",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\norphan\\n'\n"
                 "/bin/sleep 100 &\nprintf '%s' $! > " +
                     pidFile("orphan").string() + "\nexit 0\n");
    startServer();
    const int port = server.port();
    const std::string body = patternBytes(1024 * 1024, 3);

    const auto begin = Clock::now();
    std::vector<std::string> requests = {
        get("/scripts/mute.exe"),
        get("/scripts/stalls.exe"),
        "POST /scripts/deaf.exe HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body,
        get("/scripts/orphan.exe"),
    };
    std::vector<std::string> answers(requests.size());
    std::vector<Clock::duration> took(requests.size());
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < requests.size(); ++i)
        clients.emplace_back([&, i] {
            answers[i] = roundTrip(port, requests[i], kProgramLimit + 20s);
            took[i] = Clock::now() - begin;
        });

    const std::vector<std::string> names = {"mute", "stalls", "deaf", "orphan"};
    std::vector<int> pids;
    for (const std::string& name : names) {
        pids.push_back(pidFrom(pidFile(name)));
        EXPECT_GT(pids.back(), 0) << name << " did not start";
    }
    // Every worker is held now: a further client gets the busy answer.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(roundTrip(port, get("/a.txt")), std::string(kBusyAnswer));

    for (auto& client : clients)
        client.join();
    const std::string started = cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\n";
    EXPECT_EQ(answers[0], kShortOutput) << "silent program";
    EXPECT_EQ(answers[1], started + "started\n") << "program that stalls after its head";
    EXPECT_EQ(answers[2], kShortOutput) << "program that reads no input";
    EXPECT_EQ(answers[3], started + "orphan\n") << "output held open by a grandchild";
    for (std::size_t i = 0; i < took.size(); ++i) {
        EXPECT_GT(took[i], kProgramLimit - 2s) << "request " << i << " ended early";
        EXPECT_LT(took[i], kProgramLimit + 15s) << "request " << i;
    }
    for (std::size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] > 0 && !processGone(pids[i])) {
            ADD_FAILURE() << names[i] << " outlived its request";
            // Ended here, so that a failed run leaves nothing behind.
            ::kill(pids[i], SIGKILL);
        }
    }

    // A worker that has just closed its connection may not be idle the very next moment.
    std::string answer;
    for (int attempt = 0; attempt < 30; ++attempt) {
        answer = roundTrip(port, get("/a.txt", "HTTP/1.0", "Connection: close\r\n"));
        if (answer != kBusyAnswer)
            break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(answer,
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
}

} // namespace
} // namespace velnor::e2e
