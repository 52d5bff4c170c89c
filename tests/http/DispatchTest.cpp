#include <gtest/gtest.h>

#include <string>

#include "ResponderTestSupport.h"
#include "http/StatusLines.h"

namespace velnor::test {
namespace {

TEST(StatusLinesTest, TableHoldsExactlyTheListedRows) {
    const std::pair<int, const char*> rows[] = {
        {200, "200 OK"},
        {301, "301 Moved Permanently"},
        {302, "302 Object Moved"},
        {304, "304 Not Modified"},
        {400, "400 Bad Request"},
        {401, "401 Unauthorized"},
        {403, "403 Access Forbidden"},
        {404, "404 Object Not Found"},
        {411, "411 Length Required"},
        {413, "413 Request Entity Too Large"},
        {500, "500 Internal Server Error"},
        {501, "501 Not Implemented"},
        {999, "999 CGI"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_STREQ(statusText(code), text) << code;
    for (int code : {0, -1, 100, 201, 303, 405, 503, 998})
        EXPECT_EQ(statusText(code), nullptr) << code;
}

using DispatchTest = ResponderTest;

// Statuses dispatch does not route elsewhere become bare responses from origin 358.
TEST_F(DispatchTest, BareResponsesCarryOriginServerAndConnectionWord) {
    struct Case {
        int status;
        int closeFlag;
        const char* version;
        const char* expected;
    };
    const Case cases[] = {
        {404, 1, "HTTP/1.1",
         "HTTP/1.1 404 Object Not Found(358)\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n\r\n"},
        {304, 0, "HTTP/1.1",
         "HTTP/1.1 304 Not Modified(358)\r\nServer: VELNOR/2.34\r\nConnection: Keep-Alive\r\n\r\n"},
        // The version of a refused request line was never taken over.
        {501, 1, "HTTP/1.0",
         "HTTP/1.0 501 Not Implemented(358)\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n\r\n"},
        // No row: the minimal form, always "Close", whatever the flag says.
        {555, 0, "HTTP/1.1", "HTTP/1.1 555\r\nConnection: Close\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        reconnect();
        std::strcpy(context.version, c.version);
        const std::string got = exchange([&] { return context.dispatch(c.status, c.closeFlag); });
        EXPECT_EQ(result, c.status);
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(DispatchTest, OversizedServerTextFallsBackToMinimalForm) {
    const std::string software(2000, 's');
    config.serverSoftware = software.c_str();
    const std::string got = exchange([&] { return context.dispatch(404, 1); });
    EXPECT_EQ(result, 404);
    EXPECT_EQ(got, "HTTP/1.1 404\r\nConnection: Close\r\n\r\n");
}

TEST_F(DispatchTest, NoConnectionMeansNothingSent) {
    context.Close();
    EXPECT_EQ(context.dispatch(0, 0), 0);
    EXPECT_EQ(context.sendStatusResponse(404, 1, kOriginDispatch), 0);
    EXPECT_EQ(context.sendAuthChallenge(401), 0);
}

// The realm is the client's host followed by the target; the header word is always the
// lower-case "close".
TEST_F(DispatchTest, ChallengeRealmIsHostAndTarget) {
    struct Case {
        const char* host;
        const char* realm;
    };
    const Case cases[] = {
        {"example.com:8080", "example.com:8080/private/index.html"},
        {nullptr, "localhost/private/index.html"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.realm);
        reconnect();
        if (c.host)
            context.headerTable.add("HOST", c.host);
        std::strcpy(context.target, "/private/index.html");
        const std::string got = exchange([&] { return context.sendAuthChallenge(401); });
        EXPECT_EQ(result, 401);
        EXPECT_EQ(got, std::string("HTTP/1.1 401 Unauthorized\r\nServer: VELNOR/2.34\r\n"
                                   "WWW-Authenticate: Basic realm=\"") +
                           c.realm + "\"\r\nConnection: close\r\n\r\n");
    }
}

TEST_F(DispatchTest, OversizedChallengeIsAnswered500) {
    const std::string host(1400, 'h');
    context.headerTable.add("host", host.c_str());
    std::strcpy(context.target, "/x");
    const std::string got = exchange([&] { return context.sendAuthChallenge(401); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(512)", "Close"));
}

TEST_F(DispatchTest, PasswordFileDecidesBeforeTheResponder) {
    put("access.cha", "user:secret\n");
    const std::string page = put("index.html", "protected");
    resolvedTo(page);
    std::strcpy(context.target, "/index.html");
    context.headerTable.add("host", "example.com");
    std::string got = exchange([&] { return context.dispatch(200, 0); });
    EXPECT_EQ(result, 401);
    EXPECT_EQ(got, "HTTP/1.1 401 Unauthorized\r\nServer: VELNOR/2.34\r\n"
                   "WWW-Authenticate: Basic realm=\"example.com/index.html\"\r\n"
                   "Connection: close\r\n\r\n");

    // The password file itself is never served: 404 from dispatch.
    reconnect();
    const std::string secret = root + "\\ACCESS.CHA";
    std::strcpy(context.path, secret.c_str());
    got = exchange([&] { return context.dispatch(200, 0); });
    EXPECT_EQ(result, 404);
    EXPECT_EQ(got, bare("404 Object Not Found(358)", "Close"));
}

TEST_F(DispatchTest, PlainFileGoesToTheFileResponder) {
    const std::string page = put("index.html", "<p>hi</p>");
    resolvedTo(page);
    const std::string got = exchange([&] { return context.dispatch(200, 0); });
    EXPECT_EQ(result, 200);
    EXPECT_EQ(got, head("200 OK", "Keep-Alive", 9, dateOf(page), "text/html") + "<p>hi</p>");
}

TEST_F(DispatchTest, GatewayStatusGoesToTheRunner) {
    const std::string got = exchange([&] { return context.dispatch(999, 0); });
    EXPECT_EQ(result, 999);
    EXPECT_EQ(got, "");
    EXPECT_EQ(runner.selectCalls, 1);
    EXPECT_EQ(runner.lastCloseFlag, 0);
}

TEST_F(DispatchTest, GatewayStatusWithoutRunnerIs500) {
    context.gateways = nullptr;
    const std::string got = exchange([&] { return context.dispatch(999, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(358)", "Close"));
}

// The document goes out under the error status, with its own length, date and type, and
// the connection closes whatever the flag said; HEAD gets the head alone.
TEST_F(DispatchTest, ErrorDocumentIsServedUnderTheErrorStatus) {
    const std::string body = "<h1>Not here</h1>";
    const std::string document = put("errors/missing.html", body);
    errors.add("404", "/errors/missing.html");
    for (const std::int32_t method : {Get, Head, Post}) {
        SCOPED_TRACE(method);
        reconnect();
        context.methodCode = method;
        const std::string got = exchange([&] { return context.dispatch(404, 0); });
        EXPECT_EQ(result, 404);
        EXPECT_EQ(
            got, head("404 Object Not Found", "Close", body.size(), dateOf(document), "text/html") +
                     (method == Head ? "" : body));
    }
}

TEST_F(DispatchTest, MissingOrUnconfiguredErrorDocumentGivesBareResponse) {
    errors.add("404", "/errors/missing.html"); // the file does not exist
    std::string got = exchange([&] { return context.dispatch(404, 0); });
    EXPECT_EQ(result, 404);
    EXPECT_EQ(got, bare("404 Object Not Found(358)", "Close"));

    reconnect();
    got = exchange([&] { return context.dispatch(400, 1); });
    EXPECT_EQ(result, 400);
    EXPECT_EQ(got, bare("400 Bad Request(358)", "Close"));

    reconnect();
    config.errorDocuments = nullptr;
    got = exchange([&] { return context.dispatch(404, 1); });
    EXPECT_EQ(got, bare("404 Object Not Found(358)", "Close"));
}

TEST_F(DispatchTest, ErrorDocumentUnderCgiRootIsTheGatewaysAnswer) {
    put("scripts/notfound.exe", "#!/bin/sh\n");
    errors.add("404", "/scripts/notfound.exe");
    runner.onSelect = [](RequestContext& c, int) {
        c.SendAll("HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\nfrom gateway", 0, 0);
        return 999;
    };
    const std::string got = exchange([&] { return context.dispatch(404, 0); });
    EXPECT_EQ(result, 999);
    EXPECT_EQ(got, "HTTP/1.1 200 OK\r\nConnection: Close\r\n\r\nfrom gateway");
    EXPECT_EQ(runner.selectCalls, 1);
    EXPECT_EQ(runner.lastCloseFlag, 1);
}

// A 500 document that itself fails with 500 must not send the server round in circles:
// the detour is taken once, then the bare answer goes out.
TEST_F(DispatchTest, FailingErrorDocumentFor500EndsAfterOneDetour) {
    put("scripts/broken.exe", "#!/bin/sh\n");
    errors.add("500", "/scripts/broken.exe");
    runner.onSelect = [](RequestContext& c, int) { return c.sendStatusResponse(500, 1, 1764); };
    std::string got = exchange([&] { return context.dispatch(999, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(runner.selectCalls, 2);
    EXPECT_EQ(got, bare("500 Internal Server Error(1764)", "Close"));

    // The same loop without any runner at all.
    reconnect();
    context.gateways = nullptr;
    got = exchange([&] { return context.dispatch(999, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(358)", "Close"));
}

// The same through the file responder: a 500 document handled by a module that fails
// with 500 again.
TEST_F(DispatchTest, ErrorDocumentFor500ThroughFailingModuleEnds) {
    mime.add(".fail", "\\mods\\fail.mod");
    put("errors/oops.fail", "x");
    errors.add("500", "/errors/oops.fail");
    int moduleCalls = 0;
    struct Failing : FakeGatewayRunner {
        int* calls = nullptr;
        int runHandlerModule(RequestContext& c, const char*, int) noexcept override {
            ++*calls;
            return c.sendStatusResponse(500, 1, 1529);
        }
    } failing;
    failing.calls = &moduleCalls;
    context.gateways = &failing;
    const std::string got = exchange([&] { return context.dispatch(500, 1); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(moduleCalls, 1);
    EXPECT_EQ(got, bare("500 Internal Server Error(1529)", "Close"));
}

} // namespace
} // namespace velnor::test
