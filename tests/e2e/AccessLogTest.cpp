// The access log of the real server through the real plug-in: one line per answer, in
// the order answered, rotation at the configured size, and a server without the plug-in
// that serves as before and logs nothing.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
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

const std::regex kDate(R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\])");

// The file's lines, each with its line end, the bracketed date checked and made "[D]".
std::vector<std::string> logLines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        EXPECT_TRUE(std::regex_search(line, kDate)) << line;
        lines.push_back(
            std::regex_replace(line, kDate, "[D]", std::regex_constants::format_first_only));
        start = end;
    }
    return lines;
}

std::string closing(const std::string& method, const std::string& target,
                    const std::string& headers = "") {
    return method + " " + target + " HTTP/1.0\r\nConnection: close\r\n" + headers + "\r\n";
}

std::string line(const std::string& request, int status, const std::string& bytes,
                 const std::string& referer = "-", const std::string& agent = "-") {
    return "127.0.0.1 - - [D] \"" + request + "\" " + std::to_string(status) + " " + bytes + " \"" +
           referer + "\" \"" + agent + "\"\n";
}

class AccessLogTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        ASSERT_TRUE(server.installLogPlugin());
    }

    fs::path logFile() const { return server.root() / "access_log.txt"; }

    // Each answer below closes its connection after the log call has returned, so the
    // lines are in request order; stopping makes sure no call is still under way.
    void stopServer() {
        const ExitReport report = server.stop();
        EXPECT_TRUE(report.inTime);
        EXPECT_EQ(report.exitCode, 0);
    }
};

TEST_F(AccessLogTest, OneLinePerAnswerWithAddressRequestStatusAndLength) {
    startServer();
    const int port = server.port();
    roundTrip(port, closing("GET", "/a.txt",
                            "Referer: http://ref.test/page\r\nUser-Agent: agent/1.0\r\n"));
    roundTrip(port, closing("GET", "/missing.txt"));
    roundTrip(port, closing("HEAD", "/b.txt"));
    roundTrip(port, closing("GET", "/a.txt", "User-Agent: say \"hi\" \\ now\r\n"));
    {
        RawClient client(port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send(get("/b.txt", "HTTP/1.1", "Host: x\r\n") +
                                get("/", "HTTP/1.1", "Host: x\r\nConnection: close\r\n")));
        client.readUntilClose();
    }
    stopServer();

    EXPECT_EQ(logLines(logFile()),
              std::vector<std::string>({
                  line("GET /a.txt HTTP/1.0", 200, "6", "http://ref.test/page", "agent/1.0"),
                  line("GET /missing.txt HTTP/1.0", 404, "-"),
                  line("HEAD /b.txt HTTP/1.0", 200, "-"),
                  line("GET /a.txt HTTP/1.0", 200, "6", "-", "say \\\"hi\\\" \\\\ now"),
                  line("GET /b.txt HTTP/1.1", 200, std::to_string(kBetaText.size())),
                  line("GET / HTTP/1.1", 200, std::to_string(kIndexPage.size())),
              }));
}

TEST_F(AccessLogTest, OverlongHeaderLinesStillGiveOneBoundedLineEach) {
    startServer();
    const std::string agent(480, '"');
    const std::string referer(480, '\\');
    roundTrip(server.port(), closing("GET", "/a.txt",
                                     "Referer: " + referer + "\r\nUser-Agent: " + agent + "\r\n"));
    roundTrip(server.port(), closing("GET", "/b.txt"));
    stopServer();

    const std::vector<std::string> lines = logLines(logFile());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_LE(lines[0].size(), 1023u);
    EXPECT_EQ(lines[0].rfind("127.0.0.1 - - [D] \"GET /a.txt HTTP/1.0\" 200 6 \"\\\\", 0), 0u);
    EXPECT_EQ(lines[1], line("GET /b.txt HTTP/1.0", 200, std::to_string(kBetaText.size())));
}

TEST_F(AccessLogTest, LogMovesAsideOncePastLogSize) {
    server.setDword("LogSize", 100);
    startServer();
    for (const char* target : {"/a.txt", "/b.txt", "/index.html"})
        roundTrip(server.port(), closing("GET", target));
    stopServer();

    const std::vector<std::string> rotated = logLines(server.root() / "access_log.tx_");
    ASSERT_EQ(rotated.size(), 2u) << "the line that passed 100 bytes went in first";
    EXPECT_EQ(rotated[1], line("GET /b.txt HTTP/1.0", 200, std::to_string(kBetaText.size())));
    EXPECT_EQ(logLines(logFile()),
              std::vector<std::string>{
                  line("GET /index.html HTTP/1.0", 200, std::to_string(kIndexPage.size()))});
}

TEST_F(AccessLogTest, GatewayAnswerIsLoggedAs200) {
    server.makeDirectory("scripts");
    const std::string script = server.writeDocument(
        "scripts/run.exe", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhi'\n");
    fs::permissions(script, fs::perms::owner_exec, fs::perm_options::add);
    startServer();
    const std::string answer = roundTrip(server.port(), closing("GET", "/scripts/run.exe"));
    stopServer();
    const std::vector<std::string> lines = logLines(logFile());
    ASSERT_EQ(lines.size(), 1u);
    if (answer.rfind("HTTP/1.0 500 ", 0) == 0)
        GTEST_SKIP() << "this build has no gateways yet: the target is answered 500";
    EXPECT_EQ(lines[0], line("GET /scripts/run.exe HTTP/1.0", 200, "-"));
}

// Records that cannot be written are counted and the operator is told once per change,
// not once per request: here the log's directory is missing, then made, then removed.
TEST_F(AccessLogTest, FailuresAreReportedOncePerSpellOnStandardError) {
    const fs::path directory = server.root() / "logs";
    server.setString("LogFile", (directory / "access_log.txt").string());
    startServer();
    const int port = server.port();
    auto ask = [&](int times) {
        for (int i = 0; i < times; ++i)
            roundTrip(port, closing("GET", "/a.txt"));
    };
    ask(3);
    fs::create_directory(directory);
    ask(2);
    fs::remove_all(directory);
    // The log finds its directory gone at its next check of the path, at most a fifth of
    // a second on; until then its records are kept in memory.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ask(2);
    stopServer();

    const std::string failing =
        "velnor: the access log cannot be written; records are lost until it can\n";
    const std::string output = server.output();
    std::size_t reports = 0;
    for (std::size_t at = output.find(failing); at != std::string::npos;
         at = output.find(failing, at + 1))
        ++reports;
    EXPECT_EQ(reports, 2u) << output;
    EXPECT_NE(output.find("velnor: the access log is written again; 3 records were lost\n"),
              std::string::npos)
        << output;
}

// Without dunmark.so next to the executable the server serves and writes no log.
class WithoutLogPluginTest : public ServerTest {};

TEST_F(WithoutLogPluginTest, RequestsAreServedAndNothingIsLogged) {
    writeSampleTree(server);
    startServer();
    EXPECT_EQ(roundTrip(server.port(), closing("GET", "/a.txt")),
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
    EXPECT_EQ(roundTrip(server.port(), closing("GET", "/missing.txt")),
              bareStatus("HTTP/1.0", "404 Object Not Found", 358));
    const ExitReport report = server.stop();
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_FALSE(fs::exists(server.root() / "access_log.txt"));
}

} // namespace
} // namespace velnor::e2e
