// Extension libraries through the real server: ZLX and CAPI extensions under the
// extension root, handler modules registered by a "*.mod" file and by an AddType.txt
// value, the failures a client sees, and the access-log lines of every gateway kind.
#include <filesystem>
#include <fstream>
#include <regex>
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

const std::string kNoteText = "Hello, World: 42 apples\n";
const std::string kNoteUpper = "HELLO, WORLD: 42 APPLES\n";
const std::string kUpperHead = "Content-Type: text/plain\r\n\r\n";

// The page of the hello.zlx example for a script and an already escaped query.
std::string helloPage(const std::string& script, const std::string& query) {
    return "<!DOCTYPE html>\n<html><head><title>hello</title></head><body>\n<p>Hello from " +
           script + ".</p>\n<p>Query: " + query + "</p>\n</body></html>\n";
}

// The whole answer of the hello.dll example.
std::string helloCapi(const std::string& version, const std::string& script, int bodyBytes,
                      bool head = false) {
    const std::string text =
        "Hello from " + script + " (" + std::to_string(bodyBytes) + " body bytes).\n";
    return version +
           " 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
           "\r\nConnection: close\r\n\r\n" + (head ? "" : text);
}

// A path in the server's own "\" form, as AddType.txt names a handler module.
std::string backslashed(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

class ExtensionGatewayTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.writeDocument("notes/hello.upper", kNoteText);
        server.writeDocument("notes/caps.UPPER", kNoteText);
        server.writeDocument("notes/hello.shout", kNoteText);
        server.writeDocument("notes/hello.loud", kNoteText);
        server.writeDocument("notes/hello.broken", kNoteText);
    }

    fs::path scripts() const { return server.documentRoot() / "scripts"; }

    // The three example libraries where the server finds them: the extensions under the
    // extension root, the module next to the executable under two names, and once more
    // outside the program directory, named by an AddType.txt line.
    void installExamples() {
        ASSERT_TRUE(copyBuilt(kHelloZlx, scripts() / "hello.zlx"));
        ASSERT_TRUE(copyBuilt(kHelloCapi, scripts() / "hello.dll"));
        ASSERT_TRUE(copyBuilt(kUpperMod, server.programDirectory() / "upper.mod"));
        ASSERT_TRUE(copyBuilt(kUpperMod, server.programDirectory() / "shout.x.mod"));
        ASSERT_TRUE(copyBuilt(kUpperMod, server.root() / "lib" / "upper.so"));
        server.writeProgramFile("AddType.txt",
                                ".loud " + backslashed(server.root() / "lib" / "upper.so") +
                                    "\n.broken " +
                                    backslashed(server.root() / "lib" / "missing.so") + "\n");
    }
};

#define NEED_EXTENSION_EXAMPLES()                                                                  \
    do {                                                                                           \
        VELNOR_NEED_EXAMPLE(kHelloZlx);                                                            \
        VELNOR_NEED_EXAMPLE(kHelloCapi);                                                           \
        VELNOR_NEED_EXAMPLE(kUpperMod);                                                            \
    } while (0)

TEST_F(ExtensionGatewayTest, ExamplesAnswerThroughEveryRoute) {
    NEED_EXTENSION_EXAMPLES();
    installExamples();
    ASSERT_TRUE(copyBuilt(kHelloZlx, scripts() / "HELLO.ZLX"));
    startServer();
    const std::string zlxHead = "Content-Type: text/html\r\n\r\n";
    const std::string page = helloPage("/scripts/hello.zlx", "name=&lt;b&gt;&amp;x=1");
    const std::string upper = zlxPrefix("HTTP/1.0", kNoteUpper.size()) + kUpperHead;
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"ZLX GET", get("/scripts/hello.zlx?name=<b>&x=1"),
         zlxPrefix("HTTP/1.0", page.size()) + zlxHead + page},
        {"ZLX HEAD: the same head, no body",
         "HEAD /scripts/hello.zlx?name=<b>&x=1 HTTP/1.0\r\n\r\n",
         zlxPrefix("HTTP/1.0", page.size()) + zlxHead},
        {"ZLX over HTTP/1.1 still closes", get("/scripts/HELLO.ZLX", "HTTP/1.1", "Host: h\r\n"),
         zlxPrefix("HTTP/1.1", helloPage("/scripts/HELLO.ZLX", "").size()) + zlxHead +
             helloPage("/scripts/HELLO.ZLX", "")},
        {"CAPI GET", get("/scripts/hello.dll"), helloCapi("HTTP/1.0", "/scripts/hello.dll", 0)},
        {"CAPI POST", "POST /scripts/hello.dll HTTP/1.0\r\nContent-Length: 5\r\n\r\nabcde",
         helloCapi("HTTP/1.0", "/scripts/hello.dll", 5)},
        {"CAPI HEAD is sent as the extension wrote it", "HEAD /scripts/hello.dll HTTP/1.0\r\n\r\n",
         helloCapi("HTTP/1.0", "/scripts/hello.dll", 0, true)},
        {"module from upper.mod", get("/notes/hello.upper"), upper + kNoteUpper},
        {"module suffix in other case", get("/notes/caps.UPPER"), upper + kNoteUpper},
        {"module from shout.x.mod", get("/notes/hello.shout"), upper + kNoteUpper},
        {"module HEAD", "HEAD /notes/hello.upper HTTP/1.0\r\n\r\n", upper},
        {"module named by AddType.txt", get("/notes/hello.loud"), upper + kNoteUpper},
        {"module that cannot be loaded", get("/notes/hello.broken"),
         bareStatus("HTTP/1.0", "500 Internal Server Error", 1549)},
        {"module for a missing file is never asked", get("/notes/none.upper"),
         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

TEST_F(ExtensionGatewayTest, LibrariesThatCannotServe) {
    NEED_EXTENSION_EXAMPLES();
    // Each kind's library under the other kind's suffix lacks the entry looked for.
    ASSERT_TRUE(copyBuilt(kHelloCapi, scripts() / "capi.zlx"));
    ASSERT_TRUE(copyBuilt(kHelloZlx, scripts() / "zlx.dll"));
    server.writeDocument("scripts/text.zlx", "not a library\n");
    server.writeDocument("scripts/text.dll", "not a library\n");
    server.writeDocument("scripts/index.html", "<p>an extension root page</p>\n");
    startServer();
    const std::string error = "500 Internal Server Error";
    struct Case {
        const char* what;
        std::string request;
        std::string expected;
    } cases[] = {
        {"ZLX without fnZlx", get("/scripts/capi.zlx"), bareStatus("HTTP/1.0", error, 1557)},
        {"CAPI without fnCAPI", get("/scripts/zlx.dll"), bareStatus("HTTP/1.0", error, 1701)},
        {"ZLX not a library", get("/scripts/text.zlx"), bareStatus("HTTP/1.0", error, 1549)},
        {"CAPI not a library", get("/scripts/text.dll"), bareStatus("HTTP/1.0", error, 1693)},
        {"extension root's default document", get("/scripts"),
         bareStatus("HTTP/1.0", "403 Access Forbidden", 724)},
        {"extension root with a slash", get("/scripts/"),
         bareStatus("HTTP/1.0", "404 Object Not Found", 358)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

TEST_F(ExtensionGatewayTest, EightClientsInsideOneExtensionAtOnce) {
    NEED_EXTENSION_EXAMPLES();
    server.setDword("StartServers", 8);
    installExamples();
    startServer();
    const std::vector<std::string> answers = askTogether(
        server.port(), 8, [](int i) { return get("/scripts/hello.zlx?n=" + std::to_string(i)); });
    for (int i = 0; i < 8; ++i) {
        const std::string page = helloPage("/scripts/hello.zlx", "n=" + std::to_string(i));
        EXPECT_EQ(answers[static_cast<std::size_t>(i)],
                  zlxPrefix("HTTP/1.0", page.size()) + "Content-Type: text/html\r\n\r\n" + page);
    }
}

// The log line of each gateway kind: 200 with "-" for CGI programs and CAPI extensions,
// 200 with the body length for ZLX extensions and modules (HEAD included).
TEST_F(ExtensionGatewayTest, AccessLogLinesOfEveryGatewayKind) {
    NEED_EXTENSION_EXAMPLES();
    installExamples();
    ASSERT_TRUE(server.installLogPlugin());
    writeProgram(server, "scripts/run.exe",
                 "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n");
    writeProgram(server, "scripts/silent.exe", "#!/bin/sh\nexit 0\n");
    startServer();
    const std::string page = helloPage("/scripts/hello.zlx", "");
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"GET /scripts/run.exe HTTP/1.0", "200 -"},
        {"HEAD /scripts/run.exe HTTP/1.0", "200 -"},
        {"GET /scripts/silent.exe HTTP/1.0", "500 -"},
        {"GET /scripts/hello.dll HTTP/1.0", "200 -"},
        {"GET /scripts/hello.zlx HTTP/1.0", "200 " + std::to_string(page.size())},
        {"HEAD /scripts/hello.zlx HTTP/1.0", "200 " + std::to_string(page.size())},
        {"GET /notes/hello.upper HTTP/1.0", "200 " + std::to_string(kNoteUpper.size())},
        {"GET /scripts/run.cgi HTTP/1.0", "404 -"},
    };
    for (const auto& [request, logged] : requests)
        EXPECT_NE(roundTrip(server.port(), request + "\r\n\r\n"), "(no connection)");
    const ExitReport report = server.stop();
    EXPECT_EQ(report.exitCode, 0);

    std::ifstream in(server.root() / "access_log.txt", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(std::regex_replace(line, std::regex(R"(\[[^\]]*\])"), "[D]",
                                           std::regex_constants::format_first_only));
    std::vector<std::string> expected;
    for (const auto& [request, logged] : requests)
        expected.push_back("127.0.0.1 - - [D] \"" + request + "\" " + logged + " \"-\" \"-\"");
    EXPECT_EQ(lines, expected);
}

} // namespace
} // namespace velnor::e2e
