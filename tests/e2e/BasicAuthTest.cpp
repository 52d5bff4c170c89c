// Basic authentication on the wire: the nearest password file decides, the challenge names
// host and target, and a password file is never served.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

std::string base64(const std::string& text) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8 |
                     (unsigned char)text[i + 2];
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63],
                alphabet[v & 63]};
    }
    if (text.size() - i == 1) {
        unsigned v = (unsigned char)text[i] << 16;
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], '=', '='};
    } else if (text.size() - i == 2) {
        unsigned v = (unsigned char)text[i] << 16 | (unsigned char)text[i + 1] << 8;
        out += {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// A closing GET with an optional authorization value.
std::string request(const std::string& target, const std::string& authorization = "",
                    const std::string& extra = "") {
    std::string headers = "Connection: close\r\n" + extra;
    if (!authorization.empty())
        headers += "Authorization: " + authorization + "\r\n";
    return get(target, "HTTP/1.0", headers);
}

std::string basic(const std::string& credentials) {
    return "Basic " + base64(credentials);
}

std::string served(const std::string& body, const std::string& type) {
    return fileHead("HTTP/1.0", "200 OK", true, body.size(), type) + body;
}

const std::string kPage = "<p>private</p>\n";
const std::string k404 = bareStatus("HTTP/1.0", "404 Object Not Found", 358);

struct AuthCase {
    const char* what;
    std::string request;
    std::string expected;
};

class BasicAuthTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        server.writeDocument("private/access.cha",
                             "alice:secret\r\nbob:pw \n\ncarol:c:olon\nnocolon\n");
        server.writeDocument("private/page.html", kPage);
        server.writeDocument("private/inner/deep.txt", "deep\n");
        server.writeDocument("area/access.cha", "outer:o\n");
        server.writeDocument("area/y.txt", "y\n");
        server.writeDocument("area/inner/access.cha", "inner:i\n");
        server.writeDocument("area/inner/x.txt", "x\n");
        server.writeDocument("empty/access.cha", "");
        server.writeDocument("empty/page.txt", "e\n");
        server.writeDocument("breaks/access.cha", "\r\n\n\r");
        server.writeDocument("breaks/page.txt", "b\n");
        server.makeDirectory("open/access.cha");
        server.writeDocument("open/page.txt", "open\n");
        startServer();
    }

    void run(const std::vector<AuthCase>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
        }
    }
};

TEST_F(BasicAuthTest, Challenge) {
    run({
        {"no credentials, host given", request("/private/page.html", "", "Host: example.test\r\n"),
         challenge("HTTP/1.0", "example.test/private/page.html")},
        {"no host", request("/private/page.html"),
         challenge("HTTP/1.0", "localhost/private/page.html")},
        {"query is not in the realm", request("/private/page.html?x=1", "", "Host: h\r\n"),
         challenge("HTTP/1.0", "h/private/page.html")},
        {"absolute form", request("http://elsewhere/private/page.html", "", "Host: h\r\n"),
         challenge("HTTP/1.0", "h/private/page.html")},
        {"1.1 keeps its version", get("/private/page.html", "HTTP/1.1", "Host: h\r\n"),
         challenge("HTTP/1.1", "h/private/page.html")},
    });
}

TEST_F(BasicAuthTest, Credentials) {
    const std::string alice = base64("alice:secret");
    const std::string denied = challenge("HTTP/1.0", "localhost/private/page.html");
    run({
        {"right user", request("/private/page.html", basic("alice:secret")),
         served(kPage, "text/html")},
        {"scheme in lower case", request("/private/page.html", "basic " + alice),
         served(kPage, "text/html")},
        {"scheme in capitals", request("/private/page.html", "BASIC " + alice),
         served(kPage, "text/html")},
        {"many blanks after the scheme", request("/private/page.html", "Basic      " + alice),
         served(kPage, "text/html")},
        {"header name in capitals",
         get("/private/page.html", "HTTP/1.0",
             "Connection: close\r\nAUTHORIZATION: Basic " + alice + "\r\n"),
         served(kPage, "text/html")},
        {"password with a colon", request("/private/page.html", basic("carol:c:olon")),
         served(kPage, "text/html")},
        {"wrong password", request("/private/page.html", basic("alice:Secret")), denied},
        {"unknown user", request("/private/page.html", basic("mallory:secret")), denied},
        {"line with a trailing blank", request("/private/page.html", basic("bob:pw")), denied},
        {"trailing blank sent too", request("/private/page.html", basic("bob:pw ")),
         served(kPage, "text/html")},
        {"line without a colon", request("/private/page.html", basic("nocolon")),
         served(kPage, "text/html")},
        {"empty credentials", request("/private/page.html", basic("")), denied},
        {"other scheme", request("/private/page.html", "Digest username=\"alice\""), denied},
        {"scheme alone", request("/private/page.html", "Basic"), denied},
        {"not base64", request("/private/page.html", "Basic !!!!####"), denied},
        {"ragged base64", request("/private/page.html", "Basic YWxpY2U6c2VjcmV"), denied},
        {"over-long base64", request("/private/page.html", "Basic " + std::string(300, 'Q')),
         denied},
        {"subdirectory governed", request("/private/inner/deep.txt", basic("alice:secret")),
         served("deep\n", "text/plain")},
    });
}

TEST_F(BasicAuthTest, NearestPasswordFileDecides) {
    run({
        {"outer file, outer user", request("/area/y.txt", basic("outer:o")),
         served("y\n", "text/plain")},
        {"outer file, inner user", request("/area/y.txt", basic("inner:i")),
         challenge("HTTP/1.0", "localhost/area/y.txt")},
        {"inner file, inner user", request("/area/inner/x.txt", basic("inner:i")),
         served("x\n", "text/plain")},
        {"inner file, outer user", request("/area/inner/x.txt", basic("outer:o")),
         challenge("HTTP/1.0", "localhost/area/inner/x.txt")},
        {"directory named like the file", request("/open/page.txt"),
         served("open\n", "text/plain")},
        {"unprotected file", request("/a.txt"), served(kAlphaText, "text/plain")},
        {"zero-byte password file", request("/empty/page.txt", basic("alice:secret")),
         challenge("HTTP/1.0", "localhost/empty/page.txt")},
        {"zero-byte file, empty credentials", request("/empty/page.txt", basic(":")),
         challenge("HTTP/1.0", "localhost/empty/page.txt")},
        {"only line breaks", request("/breaks/page.txt", basic("alice:secret")),
         challenge("HTTP/1.0", "localhost/breaks/page.txt")},
    });
}

TEST_F(BasicAuthTest, PasswordFileIsNeverServed) {
    run({
        {"by name", request("/private/access.cha"), k404},
        {"by name with credentials", request("/private/access.cha", basic("alice:secret")), k404},
        {"other letter case", request("/private/ACCESS.CHA"), k404},
        {"with a query", request("/area/access.cha?x"), k404},
        {"absolute form", request("http://h/area/inner/access.cha"), k404},
        {"HEAD", "HEAD /area/access.cha HTTP/1.0\r\nConnection: close\r\n\r\n", k404},
    });
}

TEST_F(BasicAuthTest, EarlierPathIsNotChecked) {
    // A request refused before its target is resolved must be answered for itself, not
    // by the password file that governed the previous request on the connection.
    RawClient client(server.port());
    ASSERT_TRUE(client.send(
        get("/private/page.html", "HTTP/1.0",
            "Connection: keep-alive\r\nAuthorization: " + basic("alice:secret") + "\r\n")));
    EXPECT_EQ(client.readResponse(),
              fileHead("HTTP/1.0", "200 OK", false, kPage.size(), "text/html") + kPage);
    ASSERT_TRUE(client.send(get("/private/page.html", "HTTP/1.1")));
    EXPECT_EQ(client.readUntilClose(), bareStatus("HTTP/1.1", "400 Bad Request", 358));
}

} // namespace
} // namespace velnor::e2e
