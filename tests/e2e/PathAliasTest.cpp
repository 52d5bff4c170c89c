// Every spelling of a place is judged as that place: dots, doubled separators and links
// lead neither around a password file nor into or out of the extension root, and only
// regular files are ever opened.
#include <sys/stat.h>

#include <filesystem>
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

struct Case {
    const char* what;
    std::string request;
    std::string expected;
};

// Names the program and what it was told about the path.
const std::string kPathProgram =
    "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s|%s|%s' \"$SCRIPT_NAME\" "
    "\"$PATH_INFO\" \"$PATH_TRANSLATED\"\n";
const std::string kUploaded = "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nuploaded'\n";
const std::string k404 = bareStatus("HTTP/1.0", "404 Object Not Found", 358);

// A closing GET with extra header lines.
std::string closing(const std::string& target, const std::string& headers = "") {
    return get(target, "HTTP/1.0", "Connection: close\r\n" + headers);
}

std::string served(const std::string& body, const std::string& type) {
    return fileHead("HTTP/1.0", "200 OK", true, body.size(), type) + body;
}

// The document root and the extension root (two levels down) are stored in spellings
// that name them only once normalised: a trailing separator, a "." name.
class PathAliasTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        const std::string root = server.documentRoot().string();
        server.setString("DocRoot", root + "/");
        server.setString("CgiRoot", root + "/app/./cgi/");
        writeProgram(server, "app/cgi/p.exe", kPathProgram);
        writeProgram(server, "app/uploads/x.exe", kUploaded);
        writeProgram(server, "app/cgi-old/y.exe", kUploaded);
        server.writeDocument("private/access.cha", "alice:secret\n");
        server.writeDocument("private/page.txt", "private\n");
        fs::create_symlink(server.documentRoot() / "private/access.cha",
                           server.documentRoot() / "peek.txt");
        fs::create_symlink(server.documentRoot() / "docs/page.html",
                           server.documentRoot() / "good.html");
        fs::create_directory_symlink(server.documentRoot() / "docs",
                                     server.documentRoot() / "docs-link");
        EXPECT_EQ(::mkfifo((server.documentRoot() / "pipe.html").c_str(), 0600), 0);
        EXPECT_TRUE(makeUnopenableFile(server.documentRoot() / "sock.html"));
        startServer();
    }

    void run(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            EXPECT_EQ(roundTrip(server.port(), c.request, 3s), c.expected);
        }
    }

    std::string ran(const std::string& pathInfo) const {
        return cgiPrefix("HTTP/1.0") + "Content-Type: text/plain\r\n\r\n/app/cgi/p.exe|" +
               pathInfo + "|" + server.documentRoot().string() + pathInfo;
    }
};

TEST_F(PathAliasTest, ExtensionRootIsJudgedOnTheCanonicalPath) {
    run({
        {"program", closing("/app/cgi/p.exe"), ran("")},
        {"a dot name", closing("/app/./cgi/p.exe"), ran("")},
        {"a doubled separator", closing("/app//cgi/p.exe"), ran("")},
        {"path info resolved", closing("/app/cgi/./p.exe/a/../b"), ran("/b")},
        {"path info climbing out of the program", closing("/app/cgi/p.exe/../x"), k404},
        {"climbing out of the root is a file", closing("/app/cgi/../uploads/x.exe"),
         served(kUploaded, "application/octet-stream")},
        {"a sibling named alike is a file", closing("/app/cgi-old/y.exe"),
         served(kUploaded, "application/octet-stream")},
    });
}

TEST_F(PathAliasTest, OnlyRegularFilesAndNeverAPasswordFile) {
    run({
        {"link to a password file", closing("/peek.txt"), k404},
        {"link to a password file, HEAD", "HEAD /peek.txt HTTP/1.0\r\nConnection: close\r\n\r\n",
         k404},
        {"password file through a linked directory", closing("/docs-link/../private/access.cha"),
         k404},
        {"link to a page", closing("/good.html"), served(kDocsPage, "text/html")},
        {"linked directory", closing("/docs-link/page.html"), served(kDocsPage, "text/html")},
        {"FIFO", closing("/pipe.html"), k404},
        {"socket", closing("/sock.html"), k404},
    });
    // No worker was left behind on the FIFO.
    run({{"still serving", closing("/a.txt"), served(kAlphaText, "text/plain")}});
}

// Streams, short names, trailing dots, devices and patterns name another file on some file
// systems, so they are no names on any: each is refused here although it is a real file,
// and the ordinary names that merely look alike are served.
TEST_F(PathAliasTest, NamesReadAsAnotherFileAreNotFound) {
    const std::string alice = "Authorization: Basic YWxpY2U6c2VjcmV0\r\n"; // alice:secret
    const struct {
        const char* file;
        std::string request;
    } refused[] = {
        {"a:b", closing("/a:b")},
        {"docs/page.html::$DATA", closing("/docs/page.html::$DATA")},
        {"d:$I30:$INDEX_ALLOCATION/page.html", closing("/d:$I30:$INDEX_ALLOCATION/page.html")},
        {"PASSWO~1", closing("/PASSWO~1")},
        {"SECRET~1.TXT", closing("/SECRET~1.TXT")},
        {"x.", closing("/x.")},
        {"deep./d.txt", closing("/deep./d.txt")},
        {"app/cgi./p.exe", closing("/app/cgi./p.exe")},
        {"private/access.cha.", closing("/private/access.cha.", alice)},
        {"nul.txt", closing("/nul.txt")},
        {"Con.x", closing("/cOn.x")},
        {"lpt1.anything", closing("/LPT1.anything")},
        {"COM\xC2\xB9", closing("/com\xC2\xB9")},
        {"CONIN$", closing("/CONIN$")},
        {"star*.txt", closing("/star*.txt")},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.file);
        server.writeDocument(c.file, "ALIAS-BYTES\n");
        const std::string answer = roundTrip(server.port(), c.request, 3s);
        EXPECT_EQ(answer, k404);
        EXPECT_EQ(answer.find("ALIAS-BYTES"), std::string::npos);
    }
    const struct {
        const char* name;
        const char* type;
    } ordinary[] = {
        {"con-tact.html", "text/html"},        {"nullable.txt", "text/plain"},
        {"com10", "application/octet-stream"}, {"lpt", "application/octet-stream"},
        {"a~b", "application/octet-stream"},   {"~user", "application/octet-stream"},
        {"file.name.txt", "text/plain"},       {"PASSWORD~1.HTML", "text/html"},
    };
    std::vector<Case> cases;
    for (const auto& c : ordinary) {
        server.writeDocument(c.name, "ordinary\n");
        cases.push_back({c.name, closing(std::string("/") + c.name), served("ordinary\n", c.type)});
    }
    run(cases);
}

// The root's password file names "admin", guest's own directory names "guest"; alice's
// directory has none of its own, so the root's governs it whatever the spelling.
class CanonicalPasswordTest : public ServerTest {
protected:
    void SetUp() override {
        server.writeDocument("access.cha", "admin:a\n");
        server.writeDocument("members/guest/access.cha", "guest:g\n");
        server.writeDocument("members/guest/page.txt", "guest\n");
        server.writeDocument("members/alice/file.html", "alice\n");
        startServer();
    }
};

TEST_F(CanonicalPasswordTest, GoverningFileIsFoundOnTheCanonicalPath) {
    const std::string guest = "Authorization: Basic Z3Vlc3Q6Zw==\r\n"; // guest:g
    const std::string admin = "Authorization: Basic YWRtaW46YQ==\r\n"; // admin:a
    const std::vector<Case> cases = {
        {"detour through guest's directory", closing("/members/guest/../alice/file.html", guest),
         challenge("HTTP/1.0", "localhost/members/guest/../alice/file.html")},
        {"detour with doubled separators",
         closing("/members//guest/x/../../alice/file.html", guest),
         challenge("HTTP/1.0", "localhost/members//guest/x/../../alice/file.html")},
        {"detour, the governing account", closing("/members/guest/../alice/file.html", admin),
         served("alice\n", "text/html")},
        {"guest's own page", closing("/members/./guest/page.txt", guest),
         served("guest\n", "text/plain")},
        // Whether a file exists is no answer to a client without credentials.
        {"missing file, no credentials", closing("/members/guest/missing.html"),
         challenge("HTTP/1.0", "localhost/members/guest/missing.html")},
        {"missing directory, no credentials", closing("/members/guest/none/x.html"),
         challenge("HTTP/1.0", "localhost/members/guest/none/x.html")},
        {"existing file, no credentials", closing("/members/guest/page.txt"),
         challenge("HTTP/1.0", "localhost/members/guest/page.txt")},
        {"missing file, credentials", closing("/members/guest/missing.html", guest), k404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(roundTrip(server.port(), c.request), c.expected);
    }
}

} // namespace
} // namespace velnor::e2e
