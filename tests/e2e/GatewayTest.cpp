// CGI programs through the real server: the variable set a program receives as its whole
// environment, its standard input, the framing of its output, gateway selection by suffix,
// and the answers a client sees when a program fails.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/GatewaySupport.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;

// Prints the exact environment block the shell was started with, a separator, and then
// whatever arrives on its standard input.
const std::string kEnvDump = "#!/bin/sh\n"
                             "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                             "/bin/cat /proc/$$/environ\n"
                             "printf '\\n--\\n'\n"
                             "exec /bin/cat\n";
const std::string kDumpHead = "Content-Type: application/octet-stream\r\n\r\n";

struct Dump {
    std::string head; // the server's lines and the program's own head
    std::vector<std::string> environment;
    std::string input;
};

Dump parseDump(const std::string& answer) {
    Dump dump;
    std::size_t headEnd = answer.find("\r\n\r\n");
    std::size_t separator = answer.rfind("\n--\n");
    if (headEnd == std::string::npos || separator == std::string::npos || separator < headEnd) {
        dump.head = answer;
        return dump;
    }
    dump.head = answer.substr(0, headEnd + 4);
    dump.environment =
        splitBlock(std::string_view(answer).substr(headEnd + 4, separator - headEnd - 4));
    dump.input = answer.substr(separator + 4);
    return dump;
}

class CgiGatewayTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        writeProgram(server, "scripts/env.exe", kEnvDump);
    }

    // The document root as programs see it: the host's own "/" form.
    std::string root() const { return server.documentRoot().string(); }

    // Starts on a known port, so that SERVER_PORT can be compared.
    int startOnFixedPort() {
        int port = freePort();
        server.setDword("Port", static_cast<std::uint32_t>(port));
        startServer();
        EXPECT_EQ(server.port(), port);
        return port;
    }
};

TEST_F(CgiGatewayTest, GetWithQueryHostAndHeadersGivesExactlyTheVariableSet) {
    const int port = startOnFixedPort();
    const std::string host = "localhost:" + std::to_string(port);
    RawClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("GET /scripts/env.exe?a=1&b=%20 HTTP/1.1\r\nHost: " + host +
                            "\r\nUser-Agent: e2e/1.0\r\nX-Trace-Id: abc-123\r\nx.y: dotted\r\n"
                            "Connection: keep-alive\r\n\r\n"));
    const Dump dump = parseDump(client.readUntilClose());

    EXPECT_EQ(dump.head, cgiPrefix("HTTP/1.1") + kDumpHead);
    EXPECT_EQ(dump.environment, std::vector<std::string>({
                                    "PATH_INFO=",
                                    "PATH_TRANSLATED=" + root(),
                                    "CONTENT_LENGTH=0",
                                    "QUERY_STRING=a=1&b=%20",
                                    "REMOTE_ADDR=127.0.0.1",
                                    "REMOTE_HOST=127.0.0.1",
                                    "REMOTE_PORT=" + std::to_string(client.localPort()),
                                    "REQUEST_METHOD=GET",
                                    "SERVER_NAME=" + host,
                                    "SERVER_PORT=" + std::to_string(port),
                                    "SERVER_PROTOCOL=HTTP/1.1",
                                    "SERVER_SOFTWARE=VELNOR/2.34",
                                    "DOCUMENT_ROOT=" + root(),
                                    "HTTP_HOST=" + host,
                                    "HTTP_USER_AGENT=e2e/1.0",
                                    "HTTP_X_TRACE_ID=abc-123",
                                    "HTTP_X.Y=dotted",
                                    "HTTP_CONNECTION=keep-alive",
                                    "HTTP_QUERY_STRING=a=1&b=%20",
                                    "SCRIPT_NAME=/scripts/env.exe",
                                    "GATEWAY_INTERFACE=CGI/1.1",
                                }));
    EXPECT_EQ(dump.input, "") << "a GET gives the program an immediate end of input";
}

TEST_F(CgiGatewayTest, PostWithPathInfoGivesTheVariableSetAndTheBodyOnStandardInput) {
    const int port = startOnFixedPort();
    RawClient client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("POST /scripts/env.exe/p/q.txt?x=y HTTP/1.0\r\nHost: example.test\r\n"
                            "Content-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: 11\r\nX-Empty:\r\n\r\nhello=world"));
    const Dump dump = parseDump(client.readUntilClose());

    EXPECT_EQ(dump.head, cgiPrefix("HTTP/1.0") + kDumpHead);
    EXPECT_EQ(dump.environment, std::vector<std::string>({
                                    "PATH_INFO=/p/q.txt",
                                    "PATH_TRANSLATED=" + root() + "/p/q.txt",
                                    "CONTENT_LENGTH=11",
                                    "CONTENT_TYPE=application/x-www-form-urlencoded",
                                    "QUERY_STRING=x=y",
                                    "REMOTE_ADDR=127.0.0.1",
                                    "REMOTE_HOST=127.0.0.1",
                                    "REMOTE_PORT=" + std::to_string(client.localPort()),
                                    "REQUEST_METHOD=POST",
                                    "SERVER_NAME=example.test",
                                    "SERVER_PORT=" + std::to_string(port),
                                    "SERVER_PROTOCOL=HTTP/1.0",
                                    "SERVER_SOFTWARE=VELNOR/2.34",
                                    "DOCUMENT_ROOT=" + root(),
                                    "HTTP_HOST=example.test",
                                    "HTTP_CONTENT_TYPE=application/x-www-form-urlencoded",
                                    "HTTP_CONTENT_LENGTH=11",
                                    "HTTP_X_EMPTY=",
                                    "HTTP_QUERY_STRING=x=y",
                                    "SCRIPT_NAME=/scripts/env.exe",
                                    "GATEWAY_INTERFACE=CGI/1.1",
                                }));
    EXPECT_EQ(dump.input, "hello=world");
}

TEST_F(CgiGatewayTest, LargeBodyReachesAProgramThatEchoesWhileItReads) {
    startServer();
    // Far more than a pipe holds in either direction: the server must read while it writes.
    const std::string body = patternBytes(600 * 1024, 5);
    const Dump dump = parseDump(roundTrip(server.port(),
                                          "POST /scripts/env.exe HTTP/1.0\r\nContent-Length: " +
                                              std::to_string(body.size()) + "\r\n\r\n" + body,
                                          15s));
    EXPECT_EQ(dump.head, cgiPrefix("HTTP/1.0") + kDumpHead);
    EXPECT_EQ(dump.input.size(), body.size());
    EXPECT_TRUE(dump.input == body) << "the body reached the program altered";
    EXPECT_NE(std::find(dump.environment.begin(), dump.environment.end(),
                        "CONTENT_LENGTH=" + std::to_string(body.size())),
              dump.environment.end());
}

TEST_F(CgiGatewayTest, ProxyHeaderNeverBecomesHttpProxy) {
    startServer();
    for (const char* name : {"Proxy", "proxy", "PROXY", "pRoXy"}) {
        SCOPED_TRACE(name);
        const Dump dump = parseDump(
            roundTrip(server.port(), get("/scripts/env.exe", "HTTP/1.0",
                                         std::string(name) + ": http://attacker.test:8080/\r\n"
                                                             "X-Proxy: kept\r\n")));
        ASSERT_FALSE(dump.environment.empty()) << dump.head;
        for (const std::string& entry : dump.environment)
            EXPECT_NE(entry.rfind("HTTP_PROXY=", 0), 0u) << entry;
        EXPECT_NE(std::find(dump.environment.begin(), dump.environment.end(), "HTTP_X_PROXY=kept"),
                  dump.environment.end());
        // No Host and no Content-Type header: neither variable exists.
        for (const std::string& entry : dump.environment) {
            EXPECT_NE(entry.rfind("SERVER_NAME=", 0), 0u);
            EXPECT_NE(entry.rfind("CONTENT_TYPE=", 0), 0u);
        }
    }
}

// Programs whose output decides the framing, and programs that cannot give an answer.
TEST_F(CgiGatewayTest, OutputFramingAndFailedPrograms) {
    const std::string hello = "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n";
    writeProgram(server, "scripts/plain.exe", hello);
    writeProgram(server, "scripts/RUN.EXE", hello);
    writeProgram(server, "scripts/run.Exe", hello);
    writeProgram(server, "scripts/moved.exe",
                 "#!/bin/sh\nprintf 'Location: http://elsewhere.test/\\r\\n\\r\\n'\n");
    writeProgram(server, "scripts/lower.exe", "#!/bin/sh\nprintf 'location: /x\\r\\n\\r\\n'\n");
    writeProgram(server, "scripts/nospace.exe", "#!/bin/sh\nprintf 'Location:/x\\r\\n\\r\\n'\n");
    writeProgram(server, "scripts/ten.exe", "#!/bin/sh\nprintf 0123456789\n");
    writeProgram(server, "scripts/eleven.exe", "#!/bin/sh\nprintf 0123456789A\n");
    writeProgram(server, "scripts/silent.exe", "#!/bin/sh\nexit 0\n");
    writeProgram(server, "scripts/garbage.exe", "neither a binary nor a script\n");
    writeProgram(server, "scripts/nointerp.exe", "#!/no/such/interpreter\n");
    server.writeDocument("scripts/noexec.exe", hello); // no execute bit
    writeProgram(server, "scripts/run.cgi", hello);
    writeProgram(server, "scripts/run.exe.bak", hello);
    startServer();

    const std::string plain = "Content-Type: text/plain\r\n\r\nhello";
    const std::string failedStart = bareStatus("HTTP/1.0", "500 Internal Server Error", 1865);
    const std::string shortOutput = bareStatus("HTTP/1.0", "500 Internal Server Error", 1910);
    const std::string forbidden = bareStatus("HTTP/1.0", "403 Access Forbidden", 724);
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"plain", get("/scripts/plain.exe"), cgiPrefix("HTTP/1.0") + plain},
        {"HTTP/1.1 keep-alive is closed", get("/scripts/plain.exe", "HTTP/1.1", "Host: h\r\n"),
         cgiPrefix("HTTP/1.1") + plain},
        {"HEAD gets the whole output", "HEAD /scripts/plain.exe HTTP/1.0\r\n\r\n",
         cgiPrefix("HTTP/1.0") + plain},
        {"suffix in capitals", get("/scripts/RUN.EXE"), cgiPrefix("HTTP/1.0") + plain},
        {"suffix in mixed case", get("/scripts/run.Exe"), cgiPrefix("HTTP/1.0") + plain},
        {"Location", get("/scripts/moved.exe"),
         cgiPrefix("HTTP/1.0", "302 Object Moved") + "Location: http://elsewhere.test/\r\n\r\n"},
        {"location in lower case", get("/scripts/lower.exe"),
         cgiPrefix("HTTP/1.0", "302 Object Moved") + "location: /x\r\n\r\n"},
        {"Location without a blank", get("/scripts/nospace.exe"),
         cgiPrefix("HTTP/1.0") + "Location:/x\r\n\r\n"},
        {"ten bytes", get("/scripts/ten.exe"), shortOutput},
        {"eleven bytes", get("/scripts/eleven.exe"), cgiPrefix("HTTP/1.0") + "0123456789A"},
        {"no output", get("/scripts/silent.exe"), shortOutput},
        {"no execute bit", get("/scripts/noexec.exe"), failedStart},
        {"not a program", get("/scripts/garbage.exe"), failedStart},
        {"missing interpreter", get("/scripts/nointerp.exe"), failedStart},
        {"unknown suffix", get("/scripts/run.cgi"), forbidden},
        {"suffix not at the end", get("/scripts/run.exe.bak"), forbidden},
        {"missing program", get("/scripts/none.exe/x"),
         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

TEST_F(CgiGatewayTest, ExampleShellProgramShowsItsVariablesAndInput) {
    VELNOR_NEED_EXAMPLE(kEnvScript);
    ASSERT_TRUE(copyBuilt(kEnvScript, server.documentRoot() / "scripts" / "show.exe"));
    fs::permissions(server.documentRoot() / "scripts" / "show.exe", fs::perms::owner_all);
    startServer();
    const std::string answer =
        roundTrip(server.port(), "POST /scripts/show.exe?k=v HTTP/1.0\r\nContent-Length: 3\r\n"
                                 "\r\nabc");
    const std::string head = cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\n";
    ASSERT_EQ(answer.substr(0, head.size()), head);
    std::vector<std::string> lines;
    std::istringstream body(answer.substr(head.size()));
    for (std::string line; std::getline(body, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "-- stdin --");
    EXPECT_EQ(lines.back(), "abc");
    for (const char* wanted :
         {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=POST", "CONTENT_LENGTH=3",
          "QUERY_STRING=k=v", "SCRIPT_NAME=/scripts/show.exe"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
    for (const std::string& line : lines)
        EXPECT_NE(line.rfind("PATH=", 0), 0u) << "the server's own environment leaked";
}

TEST_F(CgiGatewayTest, ConfiguredErrorDocumentReplacesTheGateway500) {
    const std::string page = "<p>the program failed</p>\n";
    server.writeDocument("errors/500.html", page);
    server.writeProgramFile("ErrorDocument.txt", "500 /errors/500.html\n");
    writeProgram(server, "scripts/silent.exe", "#!/bin/sh\nexit 0\n");
    startServer();
    EXPECT_EQ(roundTrip(server.port(), get("/scripts/silent.exe")),
              fileHead("HTTP/1.0", "500 Internal Server Error", true, page.size(), "text/html") +
                  page);
}

TEST_F(CgiGatewayTest, EightProgramsAtOnceAllAnswer) {
    server.setDword("StartServers", 8);
    // Each program takes a second, so eight that ran one after another would need eight.
    writeProgram(server, "scripts/slow.exe",
                 "#!/bin/sh\n/bin/sleep 1\n"
                 "printf 'Content-Type: text/plain\\r\\n\\r\\nquery %s\\n' \"$QUERY_STRING\"\n");
    startServer();
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<std::string> answers = askTogether(
        server.port(), 8, [](int i) { return get("/scripts/slow.exe?n=" + std::to_string(i)); });
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(answers[static_cast<std::size_t>(i)],
                  cgiPrefix("HTTP/1.0") +
                      "Content-Type: text/plain\r\n\r\nquery n=" + std::to_string(i) + "\n");
    EXPECT_LT(elapsed, 5s) << "the programs did not run side by side";
}

TEST_F(CgiGatewayTest, EightRunsOfTheCompiledExampleAtOnce) {
    VELNOR_NEED_EXAMPLE(kHelloCgi);
    server.setDword("StartServers", 8);
    ASSERT_TRUE(copyBuilt(kHelloCgi, server.documentRoot() / "scripts" / "hello.exe"));
    startServer();
    const std::vector<std::string> answers = askTogether(server.port(), 8, [](int i) {
        return get("/scripts/hello.exe?client=" + std::to_string(i));
    });
    for (int i = 0; i < 8; ++i) {
        const std::string& answer = answers[static_cast<std::size_t>(i)];
        EXPECT_EQ(answer.rfind(cgiPrefix("HTTP/1.0"), 0), 0u) << answer;
        EXPECT_NE(answer.find("client=" + std::to_string(i)), std::string::npos) << answer;
    }
}

} // namespace
} // namespace velnor::e2e
