#include <gtest/gtest.h>

#include "tests/support/Processes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../http/ResponderTestSupport.h"
#include "gateway/CgiGateway.h"
#include "http/StatusLines.h"
#include "platform/Signals.h"
#include "platform/Socket.h"

namespace velnor::test {
namespace {

const std::string kPrefix = "HTTP/1.1 200 OK\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n";
const std::string kMovedPrefix =
    "HTTP/1.1 302 Object Moved\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n";
const std::string kPlain = "Content-Type: text/plain\r\n\r\n";

// Quick limits, so the stalling programs cost the suite little.
constexpr CgiLimits kQuick{300, 300};

// True once no child of this process is left, zombies included, within `limitMs`: the
// reaper takes a moment after a program ends.
bool childrenGoneWithin(long limitMs) {
    const auto start = Clock::now();
    while (childrenOfThisProcess() != 0) {
        if (elapsedMs(start) > limitMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string failure(int origin) {
    return "HTTP/1.1 500 Internal Server Error(" + std::to_string(origin) +
           ")\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n\r\n";
}

class CgiGatewayTest : public ResponderTest {
protected:
    void SetUp() override {
        ResponderTest::SetUp();
        // The quick limits end every stalling program well inside this wait.
        client.WaitSeconds = 10;
        hello = install(CGI_HELLO, "hello.exe");
        inspect = install(CGI_INSPECT, "inspect.exe");
        behave = install(CGI_BEHAVE, "behave.exe");
    }

    // Copies a program into the CGI root; its path as the server writes it.
    std::string install(const char* built, const std::string& name) {
        const auto target = tree.path() / "scripts" / name;
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(built, target,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(target, std::filesystem::perms(0755));
        return backslashed(target.string());
    }

    std::string run(const std::string& program, const char* query = "",
                    const CgiLimits& limits = kQuick) {
        context.variableTable.add("QUERY_STRING", query);
        return exchange([&] { return runCgiGateway(context, program.c_str(), 0, limits); });
    }

    void post(const std::string& body) {
        context.methodCode = Post;
        ASSERT_EQ(context.bodyBuffer.append(body.data(), std::uint32_t(body.size())), body.size());
    }

    std::string hello, inspect, behave;
};

TEST_F(CgiGatewayTest, GetRelaysTheOutputUnchanged) {
    EXPECT_EQ(run(hello, "a=1&b=2"),
              kPrefix + kPlain + "Hello from CGI.\nQUERY_STRING=a=1&b=2\nbody=0 bytes\n");
    EXPECT_EQ(result, 999);
    EXPECT_STREQ(context.variableTable.value("GATEWAY_INTERFACE"), "CGI/1.1");
    EXPECT_EQ(context.headerTable.value("send_bytes"), nullptr);
}

TEST_F(CgiGatewayTest, HeadGetsTheWholeOutput) {
    context.methodCode = Head;
    EXPECT_EQ(run(hello), kPrefix + kPlain + "Hello from CGI.\nQUERY_STRING=\nbody=0 bytes\n");
    EXPECT_EQ(result, 999);
}

TEST_F(CgiGatewayTest, PostBodyArrivesOnStandardInput) {
    const std::string body = std::string("name=value&x=1\0tail", 19);
    post(body);
    const std::string got = run(inspect);
    const std::string expected = "stdin 19\n" + body;
    ASSERT_GE(got.size(), expected.size());
    EXPECT_EQ(got.substr(got.size() - expected.size()), expected);
    EXPECT_EQ(result, 999);
}

TEST_F(CgiGatewayTest, ProgramThatWritesBeforeReadingGetsItsWholeInput) {
    // 256 KiB of output before it reads 1 MiB of input: the server must take output while
    // it still writes the body, or both sides wait on full pipes.
    post(std::string(1 << 20, 'p'));
    const std::string got = run(behave, "write-first");
    EXPECT_EQ(got, kPrefix + kPlain + std::string(256 * 1024, 'w') + "\nread 1048576\n");
    EXPECT_EQ(result, 999);
}

TEST_F(CgiGatewayTest, ProgramThatIgnoresItsInputStillAnswers) {
    post(std::string(1 << 20, 'p'));
    EXPECT_EQ(run(behave, "ignore-input"), kPrefix + kPlain + "ignored\n");
    EXPECT_EQ(result, 999);
}

TEST_F(CgiGatewayTest, StatusLineFollowsTheFirstBytes) {
    const struct {
        const char* mode;
        std::string expected;
    } cases[] = {
        {"location", kMovedPrefix + "Location: /x\r\n\r\n"},
        {"lower-location", kMovedPrefix + "location: /x\r\n\r\n"},
        {"tight-location", kPrefix + "Location:/x\r\n\r\n"},
        {"eleven", kPrefix + "0123456789A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(behave, c.mode), c.expected) << c.mode;
        EXPECT_EQ(result, 999) << c.mode;
        reconnect();
    }
}

TEST_F(CgiGatewayTest, TenBytesOrFewerAreNoAnswer) {
    for (const char* mode : {"ten", "exit"}) {
        EXPECT_EQ(run(behave, mode), failure(kOriginCgiShortOutput)) << mode;
        EXPECT_EQ(result, 500) << mode;
        reconnect();
    }
}

TEST_F(CgiGatewayTest, ProgramsThatCannotStartGive1865) {
    const std::string plain = install(CGI_HELLO, "plain.exe");
    std::filesystem::permissions(tree.path() / "scripts" / "plain.exe",
                                 std::filesystem::perms(0644));
    const std::string text = put("scripts/text.exe", "no program\n");
    const std::string orphan = put("scripts/orphan.exe", "#!/no/such/interpreter\n");
    for (const char* name : {"text.exe", "orphan.exe"})
        std::filesystem::permissions(tree.path() / "scripts" / name, std::filesystem::perms(0755));
    const std::string cases[] = {scripts + "\\missing.exe",        plain, text, orphan, scripts, "",
                                 std::string(kTargetCapacity, 'x')};
    for (const std::string& program : cases) {
        EXPECT_EQ(run(program), failure(kOriginCgiStart)) << program;
        EXPECT_EQ(result, 500);
        reconnect();
    }
}

TEST_F(CgiGatewayTest, EnvironmentIsTheVariableSetAlone) {
    context.variableTable.add("CONTENT_LENGTH", "0");
    context.variableTable.add("HTTP_X_EMPTY", "");
    context.variableTable.add("SCRIPT_NAME", "/scripts/inspect.exe");
    const std::string got = run(inspect, "q=1");
    std::string environment;
    std::istringstream lines(got);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("env ", 0) == 0)
            environment += line.substr(4) + "|";
    }
    EXPECT_EQ(environment, "CONTENT_LENGTH=0|HTTP_X_EMPTY=|SCRIPT_NAME=/scripts/inspect.exe|"
                           "QUERY_STRING=q=1|GATEWAY_INTERFACE=CGI/1.1|");
}

TEST_F(CgiGatewayTest, ProgramStartsClean) {
    // The server ignores SIGPIPE and blocks its stop signals; none of that may reach the
    // program, and neither may a descriptor opened without close-on-exec.
    platform::startSockets();
    ASSERT_TRUE(platform::blockStopSignals());
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> inherited(std::fopen("/dev/null", "r"),
                                                              std::fclose);
    ASSERT_NE(inherited, nullptr);
    const std::string got = run(inspect);
    const std::string directory = std::filesystem::canonical(tree.path() / "scripts").string();
    EXPECT_NE(got.find("\ncwd " + directory + "\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\nfds 0 1 2\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\nSigBlk:\t0000000000000000\n"), std::string::npos) << got;
    // glibc's own two signals (32 and 33, below SIGRTMIN, which no program can name
    // through it) start ignored in every child its posix_spawn makes; every signal a
    // program can name must be at its default.
    const std::size_t ignored = got.find("\nSigIgn:\t");
    ASSERT_NE(ignored, std::string::npos) << got;
    EXPECT_EQ(std::stoull(got.substr(ignored + 9, 16), nullptr, 16) & ~0x180000000ULL, 0u) << got;
    EXPECT_NE(got.find("\nsession-leader yes\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\nstdin 0\n"), std::string::npos) << got;
}

TEST_F(CgiGatewayTest, ShellScriptRunsWithoutPath) {
    const std::string script = install(CGI_ENV_SH, "env.exe");
    post("abc");
    const std::string got = run(script, "q=1");
    EXPECT_EQ(got.rfind(kPrefix + kPlain, 0), 0u) << got;
    EXPECT_NE(got.find("\nQUERY_STRING=q=1\n"), std::string::npos) << got;
    EXPECT_EQ(got.find("PATH="), std::string::npos) << got;
    const std::string tail = "\n-- stdin --\nabc";
    EXPECT_EQ(got.substr(got.size() - std::min(got.size(), tail.size())), tail) << got;
}

TEST_F(CgiGatewayTest, StalledProgramsAreEndedInBoundedTime) {
    const std::string big(1 << 20, 'p');
    const struct {
        const char* mode;
        bool posted;
        std::string expected;
        int status;
    } cases[] = {
        {"forever", false, failure(kOriginCgiShortOutput), 500},
        // Standard error is drained, but it is no sign of progress.
        {"flood-forever", false, failure(kOriginCgiShortOutput), 500},
        // Takes no input: the body cannot be written.
        {"no-read", true, failure(kOriginCgiShortOutput), 500},
        // Already answering: the response can only be cut short.
        {"stall", false, kPrefix + kPlain + "started\n", 0},
    };
    for (const auto& c : cases) {
        if (c.posted)
            post(big);
        const auto start = Clock::now();
        EXPECT_EQ(run(behave, c.mode), c.expected) << c.mode;
        EXPECT_EQ(result, c.status) << c.mode;
        EXPECT_GE(elapsedMs(start), 280) << c.mode;
        EXPECT_LT(elapsedMs(start), 3000) << c.mode;
        EXPECT_EQ(childrenOfThisProcess(), 0) << c.mode;
        reconnect();
    }
}

TEST_F(CgiGatewayTest, ErrorFloodDoesNotStall) {
    const auto start = Clock::now();
    EXPECT_EQ(run(behave, "flood", CgiLimits{}), kPrefix + kPlain + "flooded\n");
    EXPECT_EQ(result, 999);
    EXPECT_LT(elapsedMs(start), 5000);
}

// Once its output has ended the answer is complete at once; the program may go on
// working until the linger limit, after which its group is ended. Either way it is reaped.
TEST_F(CgiGatewayTest, ProgramsWorkOnAfterAnsweringUntilTheLingerLimit) {
    const auto marker = tree.path() / "scripts" / "finished.txt";
    const struct {
        const char* mode;
        std::uint32_t lingerMs;
        std::string expected;
        bool finishes;
        long goneByMs;
    } cases[] = {
        {"finish-later", 5000, kPrefix + kPlain + "answered\n", true, 2500},
        {"linger", 400, kPrefix + kPlain + "lingering\n", false, 2500},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(marker);
        const auto start = Clock::now();
        EXPECT_EQ(run(behave, c.mode, CgiLimits{kReadTimeoutMs, c.lingerMs}), c.expected) << c.mode;
        EXPECT_EQ(result, 999) << c.mode;
        EXPECT_LT(elapsedMs(start), 250) << c.mode << ": the answer waited for the program";
        EXPECT_TRUE(childrenGoneWithin(c.goneByMs)) << c.mode;
        if (c.lingerMs < c.goneByMs) {
            EXPECT_GE(elapsedMs(start), long(c.lingerMs) - 50) << c.mode << ": ended early";
        }
        EXPECT_EQ(std::filesystem::exists(marker), c.finishes) << c.mode;
        reconnect();
    }
}

TEST_F(CgiGatewayTest, ClientGoneGivesZero) {
    client.Close();
    post(std::string(1 << 20, 'p'));
    run(behave, "write-first");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(childrenGoneWithin(2000));
}

TEST_F(CgiGatewayTest, PipesThatCannotBeMadeHaveTheirOwnCodes) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks need descriptors, and fail once there are none to have.
    GTEST_SKIP() << "needs a process whose runtime opens no descriptors";
#endif
    // Descriptor numbers at or above the limit cannot be made: fill every free number up
    // to the highest in use, then allow exactly `spare` more.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const struct {
        int spare;
        int origin;
    } cases[] = {{0, kOriginCgiInputPipe}, {2, kOriginCgiOutputPipe}, {4, kOriginCgiErrorPipe}};
    for (const auto& c : cases) {
        int highest = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
        std::vector<int> fillers;
        for (int fd = 3; fd <= highest; ++fd) {
            if (::fcntl(fd, F_GETFD) == -1)
                fillers.push_back(::fcntl(0, F_DUPFD_CLOEXEC, fd));
        }
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(highest + 1 + c.spare);
        context.variableTable.add("QUERY_STRING", "");
        // Tight only around the call, so the test's own thread still starts.
        const std::string got = exchange([&] {
            if (::setrlimit(RLIMIT_NOFILE, &tight) != 0)
                return -1;
            const int status = runCgiGateway(context, hello.c_str(), 0, kQuick);
            ::setrlimit(RLIMIT_NOFILE, &saved);
            return status;
        });
        for (int fd : fillers)
            ::close(fd);
        EXPECT_EQ(got, failure(c.origin)) << c.spare;
        EXPECT_EQ(result, 500);
        reconnect();
    }
}

TEST_F(CgiGatewayTest, EightProgramsAtOnce) {
    struct Run {
        SocketConnection client;
        RequestContext context;
        std::string got;
        int status = -1;
    };
    std::vector<std::unique_ptr<Run>> runs;
    for (int i = 0; i < 8; ++i) {
        auto one = std::make_unique<Run>();
        one->client.handle = platform::socketCreate();
        ASSERT_EQ(
            platform::socketConnect(one->client.handle, kLoopback, listener.LocalPort(), 2000), 0);
        platform::PeerAddress peer;
        one->context.handle = listener.Accept(peer);
        ASSERT_NE(one->context.handle, -1);
        one->context.settings = &config;
        one->context.methodCode = Get;
        std::strcpy(one->context.version, "HTTP/1.1");
        one->context.variableTable.add("QUERY_STRING", std::to_string(i).c_str());
        one->client.WaitSeconds = 10;
        runs.push_back(std::move(one));
    }
    std::vector<std::thread> threads;
    for (auto& one : runs) {
        threads.emplace_back([&one, this] {
            one->status = runCgiGateway(one->context, hello.c_str(), 0);
            one->context.Close();
            char buffer[4096];
            for (int n; (n = one->client.Receive(buffer, sizeof buffer, 0)) > 0;)
                one->got.append(buffer, std::size_t(n));
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(runs[i]->status, 999);
        EXPECT_EQ(runs[i]->got, kPrefix + kPlain + "Hello from CGI.\nQUERY_STRING=" +
                                    std::to_string(i) + "\nbody=0 bytes\n");
    }
    EXPECT_TRUE(childrenGoneWithin(2000));
}

TEST(CgiEnvironmentBlock, EntriesInOrderThenOneMoreNul) {
    TextTable variables;
    ByteBuffer empty;
    EXPECT_TRUE(buildEnvironmentBlock(variables, empty));
    EXPECT_EQ(empty.length, 0u);

    variables.add("A", "1");
    variables.add("EMPTY", "");
    variables.add("B", "x=y");
    ByteBuffer block;
    ASSERT_TRUE(buildEnvironmentBlock(variables, block));
    EXPECT_EQ(std::string(block.data, block.length + 1), std::string("A=1\0EMPTY=\0B=x=y\0\0", 18));
}

} // namespace
} // namespace velnor::test
