#include "server/ConfigCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/ServerSettings.h"
#include "platform/Socket.h"
#include "platform/UniqueHandle.h"
#include "server/ServerThread.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class CollectedFindings : public FindingSink {
public:
    void finding(const char* text) noexcept override { lines.emplace_back(text); }
    std::vector<std::string> lines;
};

/// A program directory, document root, log directory and hive that the check finds
/// sound; each case breaks one thing.
class Sandbox {
public:
    Sandbox() {
        fs::create_directories(dir.path() / "bin");
        fs::create_directories(dir.path() / "www" / "scripts");
        fs::create_directories(dir.path() / "www" / "errors");
        fs::create_directories(dir.path() / "logs");
        setDword("Port", 0);
        setDword("StartServers", 4);
        setString("DocRoot", dir.file("www"));
        setString("CgiRoot", dir.file("www/scripts"));
        setString("LogFile", dir.file("logs/access_log.txt"));
        fs::copy_file(VELNOR_TEST_LOG_PLUGIN, dir.path() / "bin" / VELNOR_LOG_PLUGIN);
        writeProgramFile("AddType.txt", "# extra types\n.svg image/svg+xml\n\n.webp\timage/webp\n");
        writeProgramFile("ErrorDocument.txt", "404 /errors/missing.html\r\n500 /scripts/fail\r\n");
        dir.write("www/errors/missing.html", "gone");
        dir.write("www/scripts/fail", "#!/bin/sh\n");
    }

    void setString(const std::string& name, const std::string& value) {
        std::string quoted = "\"";
        for (char c : value)
            quoted += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
        hive[name] = quoted + "\"";
    }
    void setDword(const std::string& name, std::uint32_t value) {
        char text[24];
        std::snprintf(text, sizeof text, "dword:%08x", value);
        hive[name] = text;
    }
    void writeProgramFile(const std::string& name, const std::string& bytes) {
        dir.write("bin/" + name, bytes);
    }

    std::vector<std::string> findings() {
        std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n";
        for (const auto& [name, value] : hive)
            text += "\"" + name + "\"=" + value + "\r\n";
        const std::string hivePath = dir.write("velnor.reg", text);
        ServerSettings settings(hivePath);
        const std::string program = dir.file("bin");
        const std::u16string wide(program.begin(), program.end()); // the path is ASCII
        CheckPlace place;
        place.programDirectory = wide.c_str();
        place.bindAddress[0] = 127;
        place.bindAddress[3] = 1;
        CollectedFindings sink;
        const std::size_t count = CheckConfiguration(settings, place, sink);
        EXPECT_EQ(count, sink.lines.size());
        return sink.lines;
    }

    test::TempDir dir;
    std::map<std::string, std::string> hive;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

TEST(ConfigCheck, ASoundSetupHasNoFindings) {
    Sandbox sandbox;
    EXPECT_EQ(joined(sandbox.findings()), "");
}

TEST(ConfigCheck, EachBrokenSetupIsNamedOnItsOwnLine) {
    // A listener of the test's own, so that one port is surely taken.
    platform::UniqueHandle held(platform::socketCreate());
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    ASSERT_EQ(platform::socketBindListen(held.get(), 0, 1, loopback), 0);
    const std::uint32_t heldPort = platform::socketLocalPort(held.get());
    const std::string longType(1400, 't');
    const std::string longDocument = "/" + std::string(300, 'd');

    struct Case {
        const char* what;
        std::function<void(Sandbox&)> breakIt;
        std::string finding; // the whole line, or its start when it ends in "..."
    };
    const Case cases[] = {
        // Nothing under a missing root is named as well: the root is the one cause.
        {"missing document root",
         [](Sandbox& s) {
             s.setString("DocRoot", s.dir.file("gone"));
             s.setString("CgiRoot", s.dir.file("gone/scripts"));
         },
         "DocRoot: {root}/gone does not exist"},
        {"document root is a file",
         [](Sandbox& s) {
             s.dir.write("site", "");
             s.setString("DocRoot", s.dir.file("site"));
             s.setString("CgiRoot", "");
         },
         "DocRoot: {root}/site is not a directory"},
        {"extension root beside the document root, one name longer",
         [](Sandbox& s) { s.setString("CgiRoot", s.dir.file("wwwcgi")); },
         "CgiRoot: {root}/wwwcgi is not inside DocRoot {root}/www"},
        {"extension root in another letter case",
         [](Sandbox& s) { s.setString("CgiRoot", s.dir.file("WWW/scripts")); },
         "CgiRoot: {root}/WWW/scripts is not inside DocRoot {root}/www"},
        {"extension root is the document root",
         [](Sandbox& s) { s.setString("CgiRoot", s.dir.file("www/")); },
         "CgiRoot: {root}/www is DocRoot itself: every request runs a program"},
        {"port taken", [&](Sandbox& s) { s.setDword("Port", heldPort); },
         "Port: " + std::to_string(heldPort) + " is in use"},
        {"port past 16 bits", [](Sandbox& s) { s.setDword("Port", 70000); },
         "Port: 70000 is not a TCP port (0 to 65535): the server will not start"},
        {"no workers", [](Sandbox& s) { s.setDword("StartServers", 0); },
         "StartServers: 0 workers: every request is answered 503"},
        {"too many workers", [](Sandbox& s) { s.setDword("StartServers", 65537); },
         "StartServers: 65537 is more than 65536: the server will not start"},
        {"log directory missing",
         [](Sandbox& s) { s.setString("LogFile", s.dir.file("nolog/access_log.txt")); },
         "LogFile: directory {root}/nolog does not exist: no access log will be written"},
        {"log path is a directory", [](Sandbox& s) { s.setString("LogFile", s.dir.file("logs")); },
         "LogFile: {root}/logs is a directory: no access log will be written"},
        {"no plug-in", [](Sandbox& s) { fs::remove(s.dir.path() / "bin" / VELNOR_LOG_PLUGIN); },
         VELNOR_LOG_PLUGIN ": not found in {root}/bin: no access log"},
        {"plug-in without its entry",
         [](Sandbox& s) {
             fs::copy_file(VELNOR_TEST_NOENTRY_PLUGIN, s.dir.path() / "bin" / VELNOR_LOG_PLUGIN,
                           fs::copy_options::overwrite_existing);
         },
         VELNOR_LOG_PLUGIN ": has no entry fnVelnorLog: no access log"},
        {"plug-in that is no library",
         [](Sandbox& s) { s.writeProgramFile(VELNOR_LOG_PLUGIN, "not a library"); },
         VELNOR_LOG_PLUGIN ": cannot be loaded from {root}/bin: no access log"},
        {"type line without suffix",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", "\n\n .x text/x\n"); },
         "AddType.txt line 3: ignored: no suffix (the line begins with a blank)"},
        {"type line without type, CR LF ends",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", "#\r\n.a text/a\r\n.foo\r\n"); },
         "AddType.txt line 3: ignored: type missing after .foo"},
        {"suffix without its dot",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", "svg image/svg+xml\n"); },
         "AddType.txt line 1: ignored: suffix svg does not begin with '.'"},
        {"suffix with two dots",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", ".tar.gz application/gzip\n"); },
         "AddType.txt line 1: ignored: suffix .tar.gz holds a second '.' or a separator..."},
        {"type too long for a head",
         [&](Sandbox& s) { s.writeProgramFile("AddType.txt", ".t " + longType + "\n"); },
         "AddType.txt line 1: ignored: type for .t too long..."},
        {"suffix given twice",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", ".svg image/a\n.svg image/b\n"); },
         "AddType.txt line 1: ignored: suffix .svg is given again on line 2"},
        {"suffix shadowed by a built-in in another case",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", ".HTML text/x-html\n"); },
         "AddType.txt line 1: ignored: suffix .HTML is already given as .html (case is ignored)"},
        {"suffix taken by a handler module",
         [](Sandbox& s) { s.writeProgramFile("svg.mod", "module"); },
         "AddType.txt line 2: ignored: suffix .svg is taken by a handler module"},
        {"NUL byte in a table",
         [](Sandbox& s) { s.writeProgramFile("AddType.txt", ".a text/a\n\n.b te\0xt/b\n"s); },
         "AddType.txt line 3: a NUL byte: the rest of the file is ignored"},
        {"status that is no number",
         [](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "40x /a.html\n"); },
         "ErrorDocument.txt line 1: ignored: 40x is not a status code"},
        {"status without document",
         [](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "\r\n404   \r\n"); },
         "ErrorDocument.txt line 2: ignored: document missing after 404"},
        {"document longer than a request target",
         [&](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "404 " + longDocument + "\n"); },
         "ErrorDocument.txt line 1: ignored: document for 404 longer than 259 bytes"},
        {"status given twice",
         [](Sandbox& s) {
             s.writeProgramFile("ErrorDocument.txt",
                                "404 /errors/missing.html\n404 /errors/missing.html\n");
         },
         "ErrorDocument.txt line 1: ignored: status 404 is given again on line 2"},
        {"document that does not exist",
         [](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "404 /errors/nothing.html\n"); },
         "ErrorDocument.txt: 404 document /errors/nothing.html does not exist under DocRoot"},
        {"document above the document root",
         [](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "403 /../bin/AddType.txt\n"); },
         "ErrorDocument.txt: 403 document /../bin/AddType.txt names no file under DocRoot..."},
        {"program that does not exist",
         [](Sandbox& s) { s.writeProgramFile("ErrorDocument.txt", "500 /scripts/none\n"); },
         "ErrorDocument.txt: 500 document /scripts/none does not exist under DocRoot"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sandbox sandbox;
        c.breakIt(sandbox);
        std::string expected = c.finding;
        // A path is named in the system's own form: "{root}/gone" is "{root}\gone" on
        // Windows.
        for (std::size_t at; (at = expected.find("{root}")) != std::string::npos;) {
            const std::size_t end = std::min(expected.find(' ', at), expected.size());
            const std::string tail = expected.substr(at + 6, end - at - 6);
            expected.replace(
                at, end - at,
                fs::path(sandbox.dir.path().string() + tail).make_preferred().string());
        }
        const std::vector<std::string> lines = sandbox.findings();
        ASSERT_EQ(lines.size(), 1u) << joined(lines);
        if (expected.ends_with("...")) {
            expected.resize(expected.size() - 3);
            EXPECT_EQ(lines[0].substr(0, expected.size()), expected);
        } else {
            EXPECT_EQ(lines[0], expected);
        }
    }
}

} // namespace
} // namespace velnor
