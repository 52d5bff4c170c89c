// The velnor program as an operator meets it: on a terminal (the question, the panel,
// Ctrl-C) and without one (status lines, exit statuses, the setup and settings commands).
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
#include "tests/e2e/PtyProcess.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;
using Input = PtyProcess::Input;

// The page a new document root gets, byte for byte: no NUL and no line end.
const std::string kDefaultPage = "<HTML><BODY><H1>Can you see me?</H1><BR><HR>VELNOR2 by<A HREF="
                                 "\"https://brellan.example/velnor/\""
                                 ">Brellan</A></BODY></HTML>";

const std::string kCreateQuestion = "May I create default directory?";
const std::string kSaveQuestion = "May I save this setup?";
const std::string kOutsideMessage = "VELNOR: Please be sure to place a ExtRoot under DocRoot.";
const std::string kPortMessage = "VELNOR: Listen port must be between 1 and 65534.";
const std::string kServersMessage = "VELNOR: Server threads must be between 1 and 16.";
const std::string kSavedMessage = "VELNOR: This setup becomes effective after a restart.";
const std::string kFailedMessage = "VELNOR: Save setup failed.";

// A request after which the server closes, so a round trip ends with its answer.
std::string closingGet(const std::string& target) {
    return "GET " + target + " HTTP/1.0\r\nConnection: close\r\n\r\n";
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

/// A private program directory and hive (from ServerProcess) with the binary run by
/// hand, on a terminal or without one.
class ConsoleTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- console output ----\n"
                      << console.output() << "\n---- errors ----\n"
                      << console.errors() << "---- end ----\n";
    }

    void SetUp() override {
        // Valid values for the checks a setup test does not aim at (the port comes first).
        sandbox.setDword("Port", 8080);
        sandbox.setDword("StartServers", 4);
    }

    fs::path hivePath() const { return sandbox.programDirectory() / "velnor.reg"; }
    void writeHive() { sandbox.writeHive(hivePath()); }

    std::vector<std::string> commandLine(std::initializer_list<std::string> rest) const {
        std::vector<std::string> args = {(sandbox.programDirectory() / "velnor").string(),
                                         "--registry", hivePath().string()};
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    }

    // Runs a command with no terminal, its input closed at once, to its end.
    ExitReport runCommand(std::initializer_list<std::string> rest) {
        EXPECT_TRUE(console.start(Input::Pipes, commandLine(rest), sandbox.root()));
        console.closeInput();
        return console.waitExit(10s);
    }

    // The server in the foreground; with no terminal its "Port: N" line gives the port.
    int startServer(Input input, std::initializer_list<std::string> rest = {}) {
        std::vector<std::string> args = commandLine({"--bind", "127.0.0.1"});
        args.insert(args.end(), rest.begin(), rest.end());
        if (!console.start(input, args, sandbox.root()))
            return 0;
        if (input == Input::Terminal)
            return 0;
        std::size_t at = console.waitFor("Port: ", 10s);
        if (at == std::string::npos || console.waitFor("\n", 5s, at) == std::string::npos)
            return 0;
        return std::atoi(console.screenText().c_str() + at);
    }

    // True once the server accepts connections on `port`.
    static bool listening(int port, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (RawClient(port, 200ms).connected())
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    std::optional<std::string> storedString(const char* name) const {
        HiveValue value;
        if (!SettingsHive(hivePath().string(), kHiveKeyPath).query(name, value) ||
            value.type != kHiveString)
            return std::nullopt;
        std::string text; // UTF-16LE with its NUL; the tests use ASCII only
        for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
            if (value.data[i] == 0 && value.data[i + 1] == 0)
                break;
            text += static_cast<char>(value.data[i]);
        }
        return text;
    }

    std::optional<std::uint32_t> storedDword(const char* name) const {
        HiveValue value;
        if (!SettingsHive(hivePath().string(), kHiveKeyPath).query(name, value) ||
            value.type != kHiveDword || value.data.size() != 4)
            return std::nullopt;
        return std::uint32_t(value.data[0]) | std::uint32_t(value.data[1]) << 8 |
               std::uint32_t(value.data[2]) << 16 | std::uint32_t(value.data[3]) << 24;
    }

    ServerProcess sandbox; // never started itself: it provides the directories and hive
    PtyProcess console;
};

// ---- on a terminal -------------------------------------------------------------------

TEST_F(ConsoleTest, QuestionAnsweredYesCreatesTheDefaultTree) {
    const fs::path site = sandbox.root() / "site";
    const int port = freePort();
    sandbox.setString("DocRoot", site.string());
    sandbox.setString("CgiRoot", (site / "scripts").string());
    sandbox.setDword("Port", static_cast<std::uint32_t>(port));
    writeHive();
    startServer(Input::Terminal);
    ASSERT_NE(console.waitFor(kCreateQuestion), std::string::npos);
    ASSERT_TRUE(console.type("y\n"));

    ASSERT_NE(console.waitFor("VELNOR/2.34"), std::string::npos);
    ASSERT_TRUE(listening(port));
    EXPECT_TRUE(fs::is_directory(site));
    EXPECT_EQ(fileBytes(site / "index.html"), kDefaultPage);
    EXPECT_TRUE(fs::is_directory(site / "scripts"));
    // The new page is what the server now serves.
    std::string answer = roundTrip(port, closingGet("/"));
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), kDefaultPage.size())),
              kDefaultPage);

    ASSERT_TRUE(console.type("\x03"));
    ExitReport report = console.waitExit(25s);
    EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;
}

TEST_F(ConsoleTest, QuestionAnsweredNoOpensTheSetupDialog) {
    const fs::path site = sandbox.root() / "site";
    const int port = freePort();
    sandbox.setString("DocRoot", site.string());
    sandbox.setString("CgiRoot", (site / "scripts").string());
    sandbox.setDword("Port", static_cast<std::uint32_t>(port));
    writeHive();
    startServer(Input::Terminal);
    ASSERT_NE(console.waitFor(kCreateQuestion), std::string::npos);
    ASSERT_TRUE(console.type("n\n"));

    // Each field is offered with its current value; Enter keeps it.
    ASSERT_NE(console.waitFor("Document root [" + site.string() + "]"), std::string::npos);
    const std::string other = (sandbox.root() / "other").string();
    ASSERT_TRUE(console.type(other + "\n"));
    ASSERT_NE(console.waitFor("Extension root ["), std::string::npos);
    ASSERT_TRUE(console.type(other + "/cgi\n"));
    ASSERT_NE(console.waitFor("Listen port [" + std::to_string(port) + "]"), std::string::npos);
    ASSERT_TRUE(console.type("\n"));
    ASSERT_NE(console.waitFor("Servers [4]"), std::string::npos);
    ASSERT_TRUE(console.type("16\n"));
    ASSERT_NE(console.waitFor(kSaveQuestion), std::string::npos);
    ASSERT_TRUE(console.type("y\n"));
    // Saving looks at the document root loaded at start, which is still missing.
    std::size_t asked = console.waitFor(kCreateQuestion);
    ASSERT_NE(asked, std::string::npos);
    ASSERT_NE(console.waitFor(kCreateQuestion, 10s, asked), std::string::npos);
    ASSERT_TRUE(console.type("n\n"));
    ASSERT_NE(console.waitFor(kSavedMessage), std::string::npos);

    // The server still starts, on the settings loaded at start.
    ASSERT_TRUE(listening(port));
    EXPECT_EQ(roundTrip(port, closingGet("/")).substr(0, 12), "HTTP/1.0 404");
    EXPECT_FALSE(fs::exists(site));
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(storedString("DocRoot"), other);
    EXPECT_EQ(storedString("CgiRoot"), other + "/cgi");
    EXPECT_EQ(storedDword("Port"), static_cast<std::uint32_t>(port));
    EXPECT_EQ(storedDword("StartServers"), 16u);

    ASSERT_TRUE(console.type("\x03"));
    EXPECT_EQ(console.waitExit(25s).exitCode, 0);
}

TEST_F(ConsoleTest, PanelShowsCaptionAddressAndStatusThenCtrlCCloses) {
    const int port = freePort();
    sandbox.setDword("Port", static_cast<std::uint32_t>(port));
    // A program that holds its worker for a while keeps the close sequence ticking.
    sandbox.writeDocument("scripts/slow.exe", "#!/bin/sh\n/bin/sleep 1.5\n"
                                              "printf 'Content-Type: text/plain\\r\\n\\r\\n"
                                              "late\\n'\n");
    fs::permissions(sandbox.documentRoot() / "scripts" / "slow.exe", fs::perms::owner_all);
    sandbox.installLogPlugin();
    writeHive();
    startServer(Input::Terminal);
    ASSERT_NE(console.waitFor("VELNOR/2.34"), std::string::npos);
    ASSERT_NE(console.waitFor("IP Addr:"), std::string::npos);
    ASSERT_NE(console.waitFor("Status:"), std::string::npos);
    ASSERT_NE(console.waitFor("Load log dll."), std::string::npos);
    ASSERT_TRUE(listening(port));
    EXPECT_EQ(console.screenText().find(kCreateQuestion), std::string::npos);

    const std::size_t idle = console.screenText().size();
    std::string slowAnswer;
    std::thread client([&] { slowAnswer = roundTrip(port, closingGet("/scripts/slow.exe"), 10s); });
    // The panel is redrawn in place with the request count.
    const bool counted = console.waitFor("Reqest:", 5s, idle) != std::string::npos;
    std::this_thread::sleep_for(200ms);
    const std::size_t before = console.screenText().size();
    ASSERT_TRUE(console.type("\x03"));
    const bool bar = console.waitFor("Shutdown...|", 10s, before) != std::string::npos;
    const bool dash = console.waitFor("Shutdown...-", 10s, before) != std::string::npos;
    ExitReport report = console.waitExit(25s);
    client.join();
    EXPECT_TRUE(counted);
    EXPECT_TRUE(bar);
    EXPECT_TRUE(dash);
    EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;
    // The request under way when Ctrl-C came was answered before the server ended.
    EXPECT_NE(slowAnswer.find("late\n"), std::string::npos) << slowAnswer;
    // A panel redraws its lines instead of printing a line per status text.
    EXPECT_LE(countOf(console.screenText(), "\nStatus: Reqest:"), 1u);
}

// ---- without a terminal -------------------------------------------------------------

TEST_F(ConsoleTest, StatusLinesAndTheOrderlyStopWithoutTerminal) {
    sandbox.writeDocument("index.html", "home\n");
    sandbox.installLogPlugin();
    sandbox.setDword("Port", 0); // the system picks a free one
    writeHive();
    const int port = startServer(Input::Pipes);
    ASSERT_GT(port, 0);
    EXPECT_EQ(roundTrip(port, closingGet("/")).substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_NE(console.waitFor("Status: Reqest:1\n", 5s), std::string::npos);
    console.signal(SIGTERM);
    ExitReport report = console.waitExit(25s);
    EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;

    const std::string out = console.output();
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << "no terminal controls without a terminal";
    ASSERT_EQ(linesStartingWith(out, "IP Addr: ").size(), 1u);
    const std::string address = linesStartingWith(out, "IP Addr: ")[0].substr(9);
    EXPECT_FALSE(address.empty());
    EXPECT_EQ(linesStartingWith(out, "Status: Load log dll.").size(), 1u);
    EXPECT_EQ(linesStartingWith(out, "Port: " + std::to_string(port)).size(), 1u);
}

TEST_F(ConsoleTest, InterruptWithoutTerminalEndsWithZero) {
    sandbox.setDword("Port", 0); // the system picks a free one
    writeHive();
    ASSERT_GT(startServer(Input::Pipes), 0);
    console.signal(SIGINT);
    ExitReport report = console.waitExit(25s);
    EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;
}

TEST_F(ConsoleTest, RequestCountsAreCoalescedUnderLoad) {
    sandbox.writeDocument("a.txt", "a\n");
    sandbox.setDword("StartServers", 8);
    sandbox.setDword("Port", 0); // the system picks a free one
    writeHive();
    const int port = startServer(Input::Pipes);
    ASSERT_GT(port, 0);
    constexpr int kClients = 4;
    constexpr int kEach = 500;
    std::atomic<int> answered{0};
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                if (!roundTrip(port, closingGet("/a.txt")).empty())
                    ++answered;
        });
    for (auto& client : clients)
        client.join();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    EXPECT_EQ(answered.load(), kClients * kEach);
    // The latest count is shown once things calm down.
    std::this_thread::sleep_for(1500ms);
    console.signal(SIGTERM);
    EXPECT_EQ(console.waitExit(25s).exitCode, 0);

    const std::string out = console.output();
    const auto counts = linesStartingWith(out, "Status: Reqest:");
    const auto busy = linesStartingWith(out, "Status: Server busy...");
    ASSERT_FALSE(counts.empty());
    // About one frequent line a second, plus the first one and the one shown at the end.
    EXPECT_LE(counts.size() + busy.size(), static_cast<std::size_t>(seconds) + 3)
        << "in " << seconds << " s";
    EXPECT_EQ(counts.back(), "Status: Reqest:" + std::to_string(kClients * kEach));
}

TEST_F(ConsoleTest, ListenFailedEndsWithOne) {
    HeldPort held;
    ASSERT_GT(held.port(), 0);
    sandbox.setDword("Port", static_cast<std::uint32_t>(held.port()));
    writeHive();
    ASSERT_TRUE(console.start(Input::Pipes, commandLine({"--bind", "127.0.0.1"}), sandbox.root()));
    console.closeInput();
    ExitReport report = console.waitExit(10s);
    EXPECT_TRUE(report.inTime);
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_NE(console.output().find("Listen Failed."), std::string::npos);
}

TEST_F(ConsoleTest, MissingDocumentRootWithoutTerminal) {
    const fs::path site = sandbox.root() / "site";
    sandbox.setString("DocRoot", site.string());
    sandbox.setString("CgiRoot", (site / "cgi").string());
    sandbox.setDword("Port", 0); // the system picks a free one
    writeHive();
    {
        SCOPED_TRACE("nobody answers: No, and the setup dialog saves nothing");
        const std::string before = fileBytes(hivePath());
        ASSERT_GT(startServer(Input::Pipes), 0);
        console.signal(SIGTERM);
        EXPECT_EQ(console.waitExit(25s).exitCode, 0);
        const std::string out = console.output();
        EXPECT_NE(out.find("VELNOR: " + kCreateQuestion + " No\n"), std::string::npos);
        EXPECT_NE(out.find("VELNOR: " + kSaveQuestion + " No\n"), std::string::npos);
        EXPECT_FALSE(fs::exists(site));
        EXPECT_EQ(fileBytes(hivePath()), before);
    }
    {
        SCOPED_TRACE("--yes answers Yes");
        PtyProcess again;
        std::vector<std::string> args = commandLine({"--bind", "127.0.0.1", "--yes"});
        ASSERT_TRUE(again.start(Input::Pipes, args, sandbox.root()));
        again.closeInput();
        ASSERT_NE(again.waitFor("Port: ", 10s), std::string::npos) << again.output();
        again.signal(SIGTERM);
        EXPECT_EQ(again.waitExit(25s).exitCode, 0);
        EXPECT_NE(again.output().find("VELNOR: " + kCreateQuestion + " Yes\n"), std::string::npos);
        EXPECT_EQ(fileBytes(site / "index.html"), kDefaultPage);
        EXPECT_TRUE(fs::is_directory(site / "cgi"));
    }
}

// ---- velnor setup -------------------------------------------------------------------

TEST_F(ConsoleTest, SetupRefusalsKeepTheHive) {
    struct Case {
        std::initializer_list<std::string> args;
        std::string message;
    } cases[] = {
        {{"--docroot", "\\web\\", "--extroot", "\\other"}, kOutsideMessage},
        {{"--port", "0"}, kPortMessage},
        {{"--port", "65535"}, kPortMessage},
        {{"--port", "80x"}, kPortMessage},
        {{"--servers", "0"}, kServersMessage},
        {{"--servers", "17"}, kServersMessage},
    };
    writeHive();
    const std::string before = fileBytes(hivePath());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message + " for " + *c.args.begin() + " " + *(c.args.begin() + 1));
        std::vector<std::string> args = commandLine({"setup"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("--yes");
        PtyProcess run;
        ASSERT_TRUE(run.start(Input::Pipes, args, sandbox.root()));
        run.closeInput();
        ExitReport report = run.waitExit(10s);
        EXPECT_EQ(report.exitCode, 1);
        const std::string out = run.output() + run.errors();
        const std::size_t refused = out.find(c.message + "\n");
        EXPECT_NE(refused, std::string::npos) << out;
        EXPECT_NE(out.find(kFailedMessage + "\n", refused), std::string::npos) << out;
        EXPECT_EQ(out.find(kSavedMessage), std::string::npos) << out;
        EXPECT_EQ(fileBytes(hivePath()), before);
    }
}

TEST_F(ConsoleTest, SetupStoresWithoutTheTrailingSeparator) {
    struct Case {
        std::string docRoot, extRoot, storedDoc, storedExt;
    } cases[] = {
        {"\\web\\", "\\web\\cgi", "\\web", "\\web\\cgi"},
        {"/web/", "/WEB/cgi/", "/web", "/WEB/cgi"}, // the prefix ignores ASCII case
        {"", "\\anything", "", "\\anything"},       // an empty root takes any extension root
        {"\\", "\\x", "", "\\x"},                   // one separator removed, leaving nothing
    };
    sandbox.setDword("Port", 8080);
    sandbox.setDword("StartServers", 4);
    writeHive();
    for (const auto& c : cases) {
        SCOPED_TRACE("docroot '" + c.docRoot + "', extroot '" + c.extRoot + "'");
        PtyProcess run;
        ASSERT_TRUE(run.start(
            Input::Pipes,
            commandLine({"setup", "--docroot", c.docRoot, "--extroot", c.extRoot, "--yes"}),
            sandbox.root()));
        run.closeInput();
        EXPECT_EQ(run.waitExit(10s).exitCode, 0);
        EXPECT_NE(run.output().find(kSavedMessage + "\n"), std::string::npos) << run.output();
        EXPECT_EQ(storedString("DocRoot"), c.storedDoc);
        EXPECT_EQ(storedString("CgiRoot"), c.storedExt);
        // Omitted fields are stored with their current values.
        EXPECT_EQ(storedDword("Port"), 8080u);
        EXPECT_EQ(storedDword("StartServers"), 4u);
    }
}

TEST_F(ConsoleTest, SetupRangeLimitsAreAccepted) {
    writeHive();
    for (auto [port, servers] : {std::pair{"1", "16"}, std::pair{"65534", "1"}}) {
        SCOPED_TRACE(std::string("port ") + port + ", servers " + servers);
        PtyProcess run;
        ASSERT_TRUE(run.start(Input::Pipes,
                              commandLine({"setup", "--port", port, "--servers", servers, "--yes"}),
                              sandbox.root()));
        run.closeInput();
        EXPECT_EQ(run.waitExit(10s).exitCode, 0) << run.output();
        EXPECT_EQ(storedDword("Port"), static_cast<std::uint32_t>(std::stoul(port)));
        EXPECT_EQ(storedDword("StartServers"), static_cast<std::uint32_t>(std::stoul(servers)));
    }
}

TEST_F(ConsoleTest, SetupWithoutYesSavesNothing) {
    writeHive();
    const std::string before = fileBytes(hivePath());
    ExitReport report = runCommand({"setup", "--port", "8081"});
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_NE(console.output().find("VELNOR: " + kSaveQuestion + " No\n"), std::string::npos);
    EXPECT_EQ(fileBytes(hivePath()), before);
}

TEST_F(ConsoleTest, SetupCreatesTheDocumentRootLoadedAtStart) {
    // The new document root is for the next start; the one loaded now is made.
    const fs::path loaded = sandbox.root() / "loaded";
    const fs::path next = sandbox.root() / "next";
    sandbox.setString("DocRoot", loaded.string());
    sandbox.setString("CgiRoot", (loaded / "scripts").string());
    writeHive();
    ExitReport report = runCommand(
        {"setup", "--docroot", next.string(), "--extroot", (next / "cgi").string(), "--yes"});
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_EQ(fileBytes(loaded / "index.html"), kDefaultPage);
    EXPECT_TRUE(fs::is_directory(loaded / "scripts"));
    EXPECT_FALSE(fs::exists(next));
    EXPECT_EQ(storedString("DocRoot"), next.string());
}

TEST_F(ConsoleTest, SetupThatCannotStoreFails) {
    // The hive's directory does not exist, so the first store fails.
    const fs::path hive = sandbox.root() / "missing" / "velnor.reg";
    PtyProcess run;
    ASSERT_TRUE(run.start(Input::Pipes,
                          {(sandbox.programDirectory() / "velnor").string(), "--registry",
                           hive.string(), "setup", "--docroot", "", "--extroot", "", "--yes"},
                          sandbox.root()));
    run.closeInput();
    EXPECT_EQ(run.waitExit(10s).exitCode, 1);
    EXPECT_NE(run.output().find(kFailedMessage + "\n"), std::string::npos) << run.output();
    EXPECT_EQ(run.output().find(kSavedMessage), std::string::npos);
    EXPECT_FALSE(fs::exists(hive));
}

// ---- about, settings, set -----------------------------------------------------------

TEST_F(ConsoleTest, AboutShowsTheServerSoftwareSetting) {
    sandbox.setString("ServerSoftware", "Tower/9.1");
    writeHive();
    for (const char* command : {"about", "--version"}) {
        SCOPED_TRACE(command);
        PtyProcess run;
        ASSERT_TRUE(run.start(Input::Pipes, commandLine({command}), sandbox.root()));
        run.closeInput();
        EXPECT_EQ(run.waitExit(10s).exitCode, 0);
        EXPECT_NE(run.output().find("Tower/9.1"), std::string::npos) << run.output();
    }
}

TEST_F(ConsoleTest, SettingsListsEveryValueAndTheHive) {
    sandbox.setDword("Port", 8123);
    sandbox.setString("DefaultDoc", "start.htm");
    writeHive();
    ExitReport report = runCommand({"settings"});
    EXPECT_EQ(report.exitCode, 0);
    const std::string out = console.output();
    EXPECT_NE(out.find(hivePath().string()), std::string::npos) << out;
    for (const char* name :
         {"ServerSoftware", "DocRoot", "CgiRoot", "DefaultDoc", "BasicAuthFile", "LogFile",
          "LogSize", "Port", "StartServers", "Timeout", "KeepAlive", "DNSLookup", "MaxBodySize"})
        EXPECT_NE(out.find(name), std::string::npos) << name;
    EXPECT_NE(out.find("8123"), std::string::npos);
    EXPECT_NE(out.find("start.htm"), std::string::npos);
}

TEST_F(ConsoleTest, SetWritesOneTypedValue) {
    writeHive();
    EXPECT_EQ(runCommand({"set", "Port", "8124"}).exitCode, 0) << console.output();
    EXPECT_EQ(storedDword("Port"), 8124u);
    PtyProcess text;
    ASSERT_TRUE(
        text.start(Input::Pipes, commandLine({"set", "DefaultDoc", "home.htm"}), sandbox.root()));
    text.closeInput();
    EXPECT_EQ(text.waitExit(10s).exitCode, 0);
    EXPECT_EQ(storedString("DefaultDoc"), "home.htm");
}

TEST_F(ConsoleTest, SetRefusesUnknownNamesAndNonNumbers) {
    writeHive();
    const std::string before = fileBytes(hivePath());
    struct Case {
        std::initializer_list<std::string> args;
        std::string mentioned;
    } cases[] = {
        {{"set", "Colour", "blue"}, "Colour"},
        {{"set", "Port", "eighty"}, "eighty"},
        {{"set", "LogSize", "-5"}, "-5"},
        {{"set", "Port"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(*(c.args.begin() + 1));
        std::vector<std::string> args = commandLine(c.args);
        PtyProcess run;
        ASSERT_TRUE(run.start(Input::Pipes, args, sandbox.root()));
        run.closeInput();
        ExitReport report = run.waitExit(10s);
        EXPECT_TRUE(report.inTime);
        EXPECT_NE(report.exitCode, 0);
        const std::string said = run.output() + run.errors();
        EXPECT_FALSE(said.empty());
        if (!c.mentioned.empty()) {
            EXPECT_NE(said.find(c.mentioned), std::string::npos) << said;
        }
        EXPECT_EQ(fileBytes(hivePath()), before);
    }
}

TEST_F(ConsoleTest, HelpNamesTheCommands) {
    ExitReport report = runCommand({"--help"});
    EXPECT_EQ(report.exitCode, 0);
    const std::string out = console.output();
    for (const char* word : {"setup", "about", "settings", "set", "--registry", "--bind", "--yes"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
}

} // namespace
} // namespace velnor::e2e
