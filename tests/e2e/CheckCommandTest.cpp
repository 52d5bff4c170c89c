// `velnor check` and the start-up warnings as an operator meets them, and the command
// line's help and usage rules.
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/PtyProcess.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;
using Input = PtyProcess::Input;

/// A private program directory and hive (from ServerProcess) with the binary run by
/// hand, standard output and standard error apart.
class CheckCommandTest : public ::testing::Test {
protected:
    // The binary with the sandbox's hive and `rest`, started without a terminal.
    bool start(PtyProcess& run, const std::vector<std::string>& rest) {
        const fs::path hive = sandbox.programDirectory() / "velnor.reg";
        sandbox.writeHive(hive);
        std::vector<std::string> args = {(sandbox.programDirectory() / "velnor").string(),
                                         "--registry", hive.string()};
        args.insert(args.end(), rest.begin(), rest.end());
        if (!run.start(Input::Pipes, args, sandbox.root()))
            return false;
        run.closeInput();
        return true;
    }

    // The sandbox's place as the binary names it (links resolved).
    std::string place(const std::string& relative) const {
        return (fs::canonical(sandbox.root()) / relative).string();
    }

    ServerProcess sandbox;
};

std::string said(const PtyProcess& run) {
    return "---- output ----\n" + run.output() + "---- errors ----\n" + run.errors();
}

TEST_F(CheckCommandTest, NamesEveryProblemOnItsOwnLine) {
    HeldPort held;
    ASSERT_GT(held.port(), 0);
    const std::string port = std::to_string(held.port());
    struct Case {
        const char* what;
        std::function<void(ServerProcess&)> prepare;
        int exitCode;
        std::function<std::string()> expected;
    };
    const Case cases[] = {
        {"sound",
         [](ServerProcess& s) {
             ASSERT_TRUE(s.installLogPlugin());
             s.writeDocument("errors/missing.html", "gone\n");
             s.writeProgramFile("AddType.txt", "# more types\n.svg image/svg+xml\n");
             s.writeProgramFile("ErrorDocument.txt", "404 /errors/missing.html\n");
         },
         0, [] { return std::string("velnor check: settings OK\n"); }},
        {"broken",
         [&](ServerProcess& s) {
             fs::remove(s.programDirectory() / "dunmark.so");
             s.setString("DocRoot", (s.root() / "site").string());
             s.setString("CgiRoot", (s.root() / "site" / "cgi").string());
             s.setDword("Port", std::uint32_t(held.port()));
             s.setString("LogFile", (s.root() / "nolog" / "access_log.txt").string());
             s.writeProgramFile("AddType.txt", "html text/html\n");
             s.writeProgramFile("ErrorDocument.txt", "\n40x /errors/missing.html\n");
         },
         1,
         [&] {
             return "DocRoot: " + place("site") + " does not exist\n" + "Port: " + port +
                    " is in use\n" + "LogFile: directory " + place("nolog") +
                    " does not exist: no access log will be written\n" +
                    "dunmark.so: not found in " + place("bin") + ": no access log\n" +
                    "AddType.txt line 1: ignored: suffix html does not begin with '.'\n" +
                    "ErrorDocument.txt line 2: ignored: 40x is not a status code\n" +
                    "velnor check: 6 problems\n";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare(sandbox);
        PtyProcess run;
        ASSERT_TRUE(start(run, {"--bind", "127.0.0.1", "check"}));
        const ExitReport report = run.waitExit(10s);
        EXPECT_EQ(report.exitCode, c.exitCode) << said(run);
        EXPECT_EQ(run.output(), c.expected());
        EXPECT_EQ(run.errors(), "");
    }
}

TEST_F(CheckCommandTest, TheServerWarnsAtStartAndServesAsBefore) {
    sandbox.writeDocument("a.txt", "served\n");
    sandbox.setDword("Port", 0);
    PtyProcess run;
    ASSERT_TRUE(start(run, {"--bind", "127.0.0.1"}));
    const std::size_t at = run.waitFor("Port: ", 10s);
    ASSERT_NE(at, std::string::npos);
    ASSERT_NE(run.waitFor("\n", 5s, at), std::string::npos);
    const int port = std::atoi(run.screenText().c_str() + at);
    const std::string answer = roundTrip(port, "GET /a.txt HTTP/1.0\r\nConnection: close\r\n\r\n");
    EXPECT_NE(answer.find("served\n"), std::string::npos) << answer;
    run.signal(SIGTERM);
    EXPECT_EQ(run.waitExit(25s).exitCode, 0);
    EXPECT_EQ(run.errors(),
              "velnor: warning: dunmark.so: not found in " + place("bin") + ": no access log\n");
    EXPECT_EQ(run.output().find("warning"), std::string::npos);
    EXPECT_NE(run.output().find("Status: Load log ext failed."), std::string::npos) << said(run);
}

TEST_F(CheckCommandTest, HelpGoesToOutputAndMistakesExitTwo) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string outputStart;
        std::string errorsStart;
    };
    const std::string overview = "usage: velnor [COMMAND] [--registry FILE]";
    const Case cases[] = {
        {{"--help"}, 0, overview, ""},
        {{"help"}, 0, overview, ""},
        {{"check", "--help"}, 0, "usage: velnor check [--registry FILE] [--bind ADDRESS]\n", ""},
        {{"help", "setup"}, 0, "usage: velnor setup [--docroot D]", ""},
        {{"set", "--help"}, 0, "usage: velnor set NAME VALUE", ""},
        {{"settings", "--help"}, 0, "usage: velnor settings", ""},
        {{"about", "--help"}, 0, "usage: velnor about", ""},
        {{"--frobnicate"}, 2, "", "velnor: unknown option: --frobnicate\n" + overview},
        {{"serve"}, 2, "", "velnor: unknown command: serve\n" + overview},
        {{"check", "now"}, 2, "", "velnor: unexpected argument: now\n" + overview},
        {{"help", "serve"}, 2, "", "velnor: unknown command: serve\n" + overview},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        PtyProcess run;
        ASSERT_TRUE(start(run, c.args));
        EXPECT_EQ(run.waitExit(10s).exitCode, c.exitCode) << said(run);
        EXPECT_EQ(run.output().substr(0, c.outputStart.size()), c.outputStart);
        EXPECT_EQ(run.errors().substr(0, c.errorsStart.size()), c.errorsStart);
        if (c.outputStart.empty()) {
            EXPECT_EQ(run.output(), "");
        }
        if (c.errorsStart.empty()) {
            EXPECT_EQ(run.errors(), "");
        }
    }
}

} // namespace
} // namespace velnor::e2e
