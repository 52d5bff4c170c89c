#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../http/ResponderTestSupport.h"
#include "gateway/GatewaySelection.h"
#include "http/StatusLines.h"

namespace velnor::test {
namespace {

namespace fs = std::filesystem;

class GatewaySelectionTest : public ResponderTest {
protected:
    void SetUp() override {
        ResponderTest::SetUp();
        context.gateways = &gateways;
        context.headerTable.add("request_line", "GET /scripts/x HTTP/1.1");
    }

    // Copies a built library into the tree under `name` and points the request at it.
    void placeLibrary(const char* built, const std::string& name) {
        const std::string placed = put(name, "");
        fs::copy_file(built, tree.file(name), fs::copy_options::overwrite_existing);
        resolvedTo(placed);
    }

    void placeProgram(const std::string& name) {
#ifdef _WIN32
        // Windows runs programs only, never a script however it is named.
        const std::string placed = put(name, "");
        fs::copy_file(CGI_HELLO, tree.file(name), fs::copy_options::overwrite_existing);
#else
        const std::string placed =
            put(name, "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello'\n");
        fs::permissions(tree.file(name), fs::perms::owner_exec, fs::perm_options::add);
#endif
        resolvedTo(placed);
    }

    std::string select() {
        return exchange([&] { return context.selectGateway(0); });
    }

    const char* variable(const char* name) {
        return context.variableTable.value(name);
    }

    Gateways gateways;
};

// The suffix decides, in any letter case; GATEWAY_INTERFACE tells which gateway ran.
TEST_F(GatewaySelectionTest, SuffixChoosesTheGateway) {
    struct Case {
        std::string name;
        const char* built; // null: a CGI program
        const char* mode;
        const char* interface;
    };
    const Case cases[] = {
        {"scripts/run.exe", nullptr, "", "CGI/1.1"},
        {"scripts/RUN.EXE", nullptr, "", "CGI/1.1"},
        {"scripts/run.Exe", nullptr, "", "CGI/1.1"},
        {"scripts/probe.zlx", VELNOR_ZLX_PROBE, "hello5", "ZLX/1.0"},
        {"scripts/PROBE.ZLX", VELNOR_ZLX_PROBE, "hello5", "ZLX/1.0"},
        {"scripts/probe.Dll", VELNOR_CAPI_PROBE, "full", "ZLX/1.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reconnect();
        context.headerTable.add("request_line", "GET /scripts/x HTTP/1.1");
        context.headerTable.add("QUERY_STRING", c.mode);
        if (c.built != nullptr)
            placeLibrary(c.built, c.name);
        else
            placeProgram(c.name);
        const std::string got = select();
        EXPECT_EQ(result, 999) << got;
        ASSERT_NE(variable("GATEWAY_INTERFACE"), nullptr);
        EXPECT_STREQ(variable("GATEWAY_INTERFACE"), c.interface);
        ASSERT_NE(variable("SCRIPT_NAME"), nullptr);
        EXPECT_EQ(std::string(variable("SCRIPT_NAME")), "/" + c.name);
    }
}

TEST_F(GatewaySelectionTest, OtherSuffixesAreForbidden) {
    for (const char* name : {"scripts/run.cgi", "scripts/run.exe.bak", "scripts/zlx",
                             "scripts/run.exe~", "scripts/a.dl"}) {
        SCOPED_TRACE(name);
        reconnect();
        placeProgram(name);
        EXPECT_EQ(select(), bare("403 Access Forbidden(724)", "Close"));
        EXPECT_EQ(result, 403);
        EXPECT_EQ(variable("GATEWAY_INTERFACE"), nullptr);
    }
}

// The example ZLX extension names its script and query, escaped for HTML.
TEST_F(GatewaySelectionTest, HelloZlxExample) {
    context.headerTable.add("QUERY_STRING", "who=<me>&x");
    placeLibrary(VELNOR_HELLO_ZLX, "scripts/hello.zlx");
    const std::string got = select();
    EXPECT_EQ(result, 999);
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n"
                        "Content-Length: ",
                        0),
              0u)
        << got;
    EXPECT_NE(got.find("\r\nContent-Type: text/html\r\n\r\n<!DOCTYPE html>"), std::string::npos);
    EXPECT_NE(got.find("Hello from /scripts/hello.zlx."), std::string::npos) << got;
    EXPECT_NE(got.find("Query: who=&lt;me&gt;&amp;x<"), std::string::npos) << got;
    const std::size_t body = got.find("<!DOCTYPE");
    EXPECT_STREQ(context.headerTable.value("send_bytes"),
                 std::to_string(got.size() - body).c_str());
}

TEST_F(GatewaySelectionTest, HelloCapiExample) {
    placeLibrary(VELNOR_HELLO_CAPI, "scripts/hello.dll");
    const std::string text = "Hello from /scripts/hello.dll (0 body bytes).\n";
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(select(), head + text);
    EXPECT_EQ(result, 999);

    reconnect();
    context.methodCode = Head;
    context.headerTable.add("request_line", "HEAD /scripts/hello.dll HTTP/1.1");
    placeLibrary(VELNOR_HELLO_CAPI, "scripts/hello.dll");
    EXPECT_EQ(select(), head);
}

// A file whose suffix a module has taken over is answered by the module, with the
// requested file as SCRIPT_NAME after the variable set and no PATH_ variables.
TEST_F(GatewaySelectionTest, HandlerModuleAnswersForItsSuffix) {
    ASSERT_NE(mime.add(".upper", backslashed(VELNOR_UPPER_MOD).c_str()), 0u);
    const std::string file = put("docs/notes.upper", "Hello, World \xC3\xBC\n");
    context.headerTable.add("Accept", "*/*");
    resolvedTo(file);
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 999);
    const std::string body = "HELLO, WORLD \xC3\xBC\n";
    EXPECT_EQ(got,
              "HTTP/1.1 200 OK\r\nServer: VELNOR/2.34\r\nConnection: Close\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nContent-Type: text/plain\r\n\r\n" + body);

    TextTable& variables = context.variableTable;
    EXPECT_EQ(variables.value("PATH_INFO"), nullptr);
    EXPECT_EQ(variables.value("PATH_TRANSLATED"), nullptr);
    // The last three entries: the header copy, SCRIPT_NAME, GATEWAY_INTERFACE.
    std::vector<std::string> names;
    variables.rewind();
    for (char* entry = variables.current(); entry != nullptr && *entry != '\0';
         entry = variables.next())
        names.emplace_back(entry);
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[names.size() - 3], "HTTP_ACCEPT");
    EXPECT_EQ(names[names.size() - 2], "SCRIPT_NAME");
    EXPECT_EQ(names.back(), "GATEWAY_INTERFACE");
    EXPECT_STREQ(variables.value("SCRIPT_NAME"), "/docs/notes.upper");
}

// A module that cannot read its file gives no answer, which the server answers 500.
TEST_F(GatewaySelectionTest, HandlerModuleWithoutItsFile) {
    ASSERT_NE(mime.add(".upper", backslashed(VELNOR_UPPER_MOD).c_str()), 0u);
    const std::string file = put("gone.upper", "x");
    resolvedTo(file);
    fs::remove(tree.file("gone.upper"));
    EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }),
              "HTTP/1.1 500 Internal Server Error(1572)\r\nServer: VELNOR/2.34\r\n"
              "Connection: Close\r\n\r\n");
    EXPECT_EQ(result, 500);
}

} // namespace
} // namespace velnor::test
