#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "gateway/GatewayEnvironment.h"
#include "http/RequestContext.h"

namespace velnor::test {
namespace {

using Variables = std::vector<std::pair<std::string, std::string>>;

class GatewayEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.port = 8080;
        config.serverSoftware = "VELNOR/2.34";
        config.documentRoot = "\\srv\\www";
        config.extensionRoot = "\\srv\\www\\scripts";
        context.settings = &config;
        context.peer = &peer;
        // 10.1.2.3, port 1234, both in network byte order as the socket layer gives them.
        const std::uint8_t address[4] = {10, 1, 2, 3};
        std::memcpy(peer.address, address, sizeof address);
        const std::uint8_t port[2] = {0x04, 0xD2};
        std::memcpy(&peer.port, port, sizeof port);
        std::strcpy(context.path, "\\srv\\www\\scripts\\run.exe");
    }

    void header(const char* name, const char* value) {
        ASSERT_NE(context.headerTable.add(name, value), 0u) << name;
    }

    Variables build() {
        buildGatewayEnvironment(context);
        EXPECT_TRUE(setScriptName(context));
        return variables();
    }

    Variables variables() {
        Variables list;
        TextTable& table = context.variableTable;
        table.rewind();
        for (char* entry = table.current(); entry != nullptr && *entry != '\0';
             entry = table.next())
            list.emplace_back(entry, table.currentValue());
        return list;
    }

    const char* variable(const char* name) { return context.variableTable.value(name); }

    ServerConfig config;
    platform::PeerAddress peer;
    RequestContext context;
};

// A GET for /scripts/run.exe/a/b?q=1: what target resolution left comes first, then the
// fixed rows, the header copies (the request line never among them) and SCRIPT_NAME.
TEST_F(GatewayEnvironmentTest, GetRequestGivesTheWholeSetInOrder) {
    context.methodCode = Get;
    std::strcpy(context.version, "HTTP/1.1");
    context.variableTable.add("PATH_INFO", "/a/b");
    context.variableTable.add("PATH_TRANSLATED", "\\srv\\www\\a\\b");
    header("request_line", "GET /scripts/run.exe/a/b?q=1 HTTP/1.1");
    header("Host", "example.org:8080");
    header("User-Agent", "x");
    header("X-Custom-Thing", "v w");
    header("QUERY_STRING", "q=1");

    const Variables expected = {
        {"PATH_INFO", "/a/b"},
        {"PATH_TRANSLATED", "/srv/www/a/b"},
        {"CONTENT_LENGTH", "0"},
        {"QUERY_STRING", "q=1"},
        {"REMOTE_ADDR", "10.1.2.3"},
        {"REMOTE_HOST", "10.1.2.3"},
        {"REMOTE_PORT", "1234"},
        {"REQUEST_METHOD", "GET"},
        {"SERVER_NAME", "example.org:8080"},
        {"SERVER_PORT", "8080"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"SERVER_SOFTWARE", "VELNOR/2.34"},
        {"DOCUMENT_ROOT", "/srv/www"},
        {"HTTP_HOST", "example.org:8080"},
        {"HTTP_USER_AGENT", "x"},
        {"HTTP_X_CUSTOM_THING", "v w"},
        {"HTTP_QUERY_STRING", "q=1"},
        {"SCRIPT_NAME", "/scripts/run.exe"},
    };
    EXPECT_EQ(build(), expected);
    // The settings themselves keep the server's own form.
    EXPECT_STREQ(config.documentRoot, "\\srv\\www");
}

// A POST counts the bytes received, not its Content-Length text; the reverse lookup's
// name becomes REMOTE_HOST; without Host there is no SERVER_NAME.
TEST_F(GatewayEnvironmentTest, PostRequestWithoutHost) {
    context.methodCode = Post;
    ASSERT_EQ(context.bodyBuffer.append("a=1&b", 5), 5u);
    header("request_line", "POST /scripts/run.exe HTTP/1.0");
    header("Content-Type", "application/x-www-form-urlencoded");
    header("Content-Length", "0005");
    header("remote_host", "client.example");

    const Variables expected = {
        {"CONTENT_LENGTH", "5"},
        {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
        {"QUERY_STRING", ""},
        {"REMOTE_ADDR", "10.1.2.3"},
        {"REMOTE_HOST", "client.example"},
        {"REMOTE_PORT", "1234"},
        {"REQUEST_METHOD", "POST"},
        {"SERVER_PORT", "8080"},
        {"SERVER_PROTOCOL", "HTTP/1.0"},
        {"SERVER_SOFTWARE", "VELNOR/2.34"},
        {"DOCUMENT_ROOT", "/srv/www"},
        {"HTTP_CONTENT_TYPE", "application/x-www-form-urlencoded"},
        {"HTTP_CONTENT_LENGTH", "0005"},
        {"HTTP_REMOTE_HOST", "client.example"},
        {"SCRIPT_NAME", "/scripts/run.exe"},
    };
    EXPECT_EQ(build(), expected);
}

TEST_F(GatewayEnvironmentTest, HeaderNamesBecomeVariableNames) {
    struct Case {
        std::string header;
        const char* variable; // null: no variable at all
    };
    const std::string longName(600, 'a');
    const Case cases[] = {
        {"x.y", "HTTP_X.Y"},
        {"Accept-Language", "HTTP_ACCEPT_LANGUAGE"},
        {"x\xC3\xA4-b", "HTTP_X\xC3\xA4_B"}, // bytes above 0x7F stay as they are
        {longName, nullptr},                 // checked below
        {"Proxy", nullptr},
        {"PROXY", nullptr},
        {"pRoXy", nullptr},
        // The environment reads up to the first '=' as the name.
        {"Proxy=", nullptr},
        {"X=Y", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        context.headerTable.clear();
        context.variableTable.clear();
        header("request_line", "GET / HTTP/1.0");
        header(c.header.c_str(), "value");
        const Variables built = build();
        // Ten fixed rows here (no CONTENT_TYPE, no SERVER_NAME), the copy, SCRIPT_NAME.
        if (c.variable == nullptr && c.header != longName) {
            EXPECT_EQ(built.size(), 11u) << "no HTTP_PROXY, whatever the spelling";
            EXPECT_EQ(variable("HTTP_PROXY"), nullptr);
            continue;
        }
        ASSERT_EQ(built.size(), 12u);
        const std::pair<std::string, std::string>& copy = built[10];
        if (c.header == longName) {
            EXPECT_EQ(copy.first, "HTTP_" + std::string(506, 'A'));
            EXPECT_EQ(copy.first.size(), 511u);
        } else {
            EXPECT_EQ(copy.first, c.variable);
        }
        EXPECT_EQ(copy.second, "value");
    }
}

// Built again after an error-document detour, every name moves to the end in the same
// order, and PATH_TRANSLATED is not turned twice into something else.
TEST_F(GatewayEnvironmentTest, SecondBuildKeepsTheOrder) {
    context.variableTable.add("PATH_INFO", "");
    context.variableTable.add("PATH_TRANSLATED", "\\srv\\www");
    header("request_line", "GET /scripts/run.exe HTTP/1.0");
    header("Accept", "*/*");
    const Variables first = build();
    EXPECT_EQ(build(), first);
    EXPECT_STREQ(variable("PATH_TRANSLATED"), "/srv/www");
}

TEST_F(GatewayEnvironmentTest, MissingPeerAndEmptyHeaderTable) {
    context.peer = nullptr;
    const Variables built = build();
    EXPECT_STREQ(variable("REMOTE_ADDR"), "0.0.0.0");
    EXPECT_STREQ(variable("REMOTE_PORT"), "0");
    EXPECT_EQ(built.back().first, "SCRIPT_NAME");
    EXPECT_EQ(built.size(), 11u);
}

TEST_F(GatewayEnvironmentTest, ScriptNameIsThePathBelowTheDocumentRoot) {
    struct Case {
        const char* documentRoot;
        const char* path;
        const char* scriptName;
    };
    const Case cases[] = {
        {"\\srv\\www", "\\srv\\www\\scripts\\run.exe", "/scripts/run.exe"},
        {"\\srv\\www\\", "\\srv\\www\\docs\\notes.upper", "/docs/notes.upper"},
        {"\\", "\\docs\\notes.upper", "/docs/notes.upper"},
        {"\\wwwroot", "\\wwwroot\\scripts\\RUN.EXE", "/scripts/RUN.EXE"},
        {"\\a\\much\\longer\\root", "\\short", ""},
        {"", "\\x\\y", "/x/y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        config.documentRoot = c.documentRoot;
        std::strcpy(context.path, c.path);
        ASSERT_TRUE(setScriptName(context));
        EXPECT_STREQ(variable("SCRIPT_NAME"), c.scriptName);
    }
}

// A path area without its NUL (never left so by the server) is read no further than
// the area.
TEST_F(GatewayEnvironmentTest, ScriptNameStaysInsideAnUnterminatedPath) {
    config.documentRoot = "\\r";
    std::memset(context.path, 'p', sizeof context.path);
    ASSERT_TRUE(setScriptName(context));
    EXPECT_EQ(std::strlen(variable("SCRIPT_NAME")), sizeof context.path - 1 - 2);
}

} // namespace
} // namespace velnor::test
