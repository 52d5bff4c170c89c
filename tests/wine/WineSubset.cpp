// The end-to-end subset for the Windows build: velnor.exe under wine, its settings in the
// registry, driven over loopback from this system. One line per check; the exit status
// is the number of failed checks (capped at 100), 100 and more for a run that could not
// start.
//
//   wine_subset BUILD-WIN-DIR [--hive-file]
//
// --hive-file hands the settings over as a file (--registry) instead of the registry.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "tests/e2e/RawClient.h"
#include "tests/support/RegText.h"
#include "tests/wine/WineServer.h"

namespace velnor::wine {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kFixedMtime = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
const std::string kAlpha = "alpha\n";
const std::string kPrivate = "<p>private</p>\n";
const std::string kNotFound = "<h1>Nothing here</h1>\n";
const std::string kPosted = "line one\r\nline two\n\x1a after a Ctrl-Z";

struct Tree {
    fs::path root, bin, www;

    void put(const fs::path& path, const std::string& bytes) const {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        timespec times[2] = {{kFixedMtime, 0}, {kFixedMtime, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
    bool copy(const fs::path& from, const fs::path& to) const {
        std::error_code failed;
        fs::create_directories(to.parent_path(), failed);
        fs::copy_file(from, to, fs::copy_options::overwrite_existing, failed);
        return !failed;
    }
};

// The settings key in the registry editor's export form, paths through the Z: drive.
std::string settings(const Tree& tree, int port) {
    char dword[32];
    std::snprintf(dword, sizeof dword, "dword:%08x", unsigned(port));
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n"
           "\"Port\"=" +
           std::string(dword) + "\r\n\"DocRoot\"=" + test::regString(windowsPath(tree.www)) +
           "\r\n\"CgiRoot\"=" + test::regString(windowsPath(tree.www / "scripts")) +
           "\r\n\"LogFile\"=" + test::regString(windowsPath(tree.root / "access_log.txt")) +
           "\r\n\"StartServers\"=dword:00000004\r\n\"KeepAlive\"=dword:00000001\r\n"
           "\"DNSLookup\"=dword:00000000\r\n";
}

std::string cgiPrefix() {
    return "HTTP/1.0 200 OK\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n";
}

std::string helloPage(const std::string& script, const std::string& query) {
    return "<!DOCTYPE html>\n<html><head><title>hello</title></head><body>\n<p>Hello from " +
           script + ".</p>\n<p>Query: " + query + "</p>\n</body></html>\n";
}

struct Check {
    const char* what;
    std::string request;
    std::string expected;
};

std::vector<Check> wireChecks() {
    const std::string page = helloPage("/scripts/hello.zlx", "name=wine");
    const std::string echoed =
        "Content-Type: text/plain\r\n\r\nPOST " + std::to_string(kPosted.size()) + "\n" + kPosted;
    return {
        {"static file: status, bytes, type, date", "GET /a.txt HTTP/1.0\r\n\r\n",
         e2e::fileHead("HTTP/1.0", "200 OK", true, kAlpha.size(), "text/plain") + kAlpha},
        {"If-Modified-Since of the same second",
         "GET /a.txt HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n",
         e2e::bareStatus("HTTP/1.0", "304 Not Modified", 358)},
        {"protected page without credentials", "GET /private/page.html HTTP/1.0\r\nHost: h\r\n\r\n",
         e2e::challenge("HTTP/1.0", "h/private/page.html")},
        {"protected page with credentials",
         "GET /private/page.html HTTP/1.0\r\nHost: h\r\nAuthorization: Basic "
         "YWxpY2U6c2VjcmV0\r\n\r\n",
         e2e::fileHead("HTTP/1.0", "200 OK", true, kPrivate.size(), "text/html") + kPrivate},
        {"error document for a 404", "GET /missing.txt HTTP/1.0\r\n\r\n",
         e2e::fileHead("HTTP/1.0", "404 Object Not Found", true, kNotFound.size(), "text/html") +
             kNotFound},
        {"CGI program with a POST body",
         "POST /scripts/echo.exe HTTP/1.0\r\nContent-Length: " + std::to_string(kPosted.size()) +
             "\r\n\r\n" + kPosted,
         cgiPrefix() + echoed},
        {"ZLX example", "GET /scripts/hello.zlx?name=wine HTTP/1.0\r\n\r\n",
         cgiPrefix() + "Content-Length: " + std::to_string(page.size()) +
             "\r\nContent-Type: text/html\r\n\r\n" + page},
    };
}

// The access log's lines with the bracketed date made "[D]".
std::vector<std::string> logLines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    static const std::regex date(R"(\[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\])");
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(std::regex_replace(text.substr(start, end - start), date, "[D]",
                                           std::regex_constants::format_first_only));
        start = end;
    }
    return lines;
}

int failures = 0;

void report(bool passed, const std::string& what, const std::string& detail = "") {
    std::printf("%s %s\n", passed ? "ok  " : "FAIL", what.c_str());
    if (!passed) {
        ++failures;
        if (!detail.empty())
            std::printf("%s\n", detail.c_str());
    }
}

std::string shown(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, c == '\n' ? "\\n\n" : "\\x%02x", c);
        text += c >= 0x20 && c < 0x7f ? std::string(1, char(c)) : c == '\r' ? "\\r" : hex;
    }
    return text;
}

int run(const fs::path& build, bool hiveFile) {
    char pattern[] = "/tmp/velnor-wine-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return 100;
    const Tree tree{pattern, fs::path(pattern) / "bin", fs::path(pattern) / "www"};
    const std::pair<fs::path, fs::path> programs[] = {
        {"velnor.exe", tree.bin / "velnor.exe"},
        {"dunmark.dll", tree.bin / "dunmark.dll"},
        {"tests/wine/echo.exe", tree.www / "scripts/echo.exe"},
        {"examples/extensions/hello.zlx", tree.www / "scripts/hello.zlx"}};
    std::string notCopied;
    for (const auto& [from, to] : programs)
        if (!tree.copy(build / from, to))
            notCopied += (build / from).string() + "\n";
    const bool built = notCopied.empty();
    tree.put(tree.www / "a.txt", kAlpha);
    tree.put(tree.www / "private/access.cha", "alice:secret\r\n");
    tree.put(tree.www / "private/page.html", kPrivate);
    tree.put(tree.www / "errors/404.html", kNotFound);
    tree.put(tree.bin / "ErrorDocument.txt", "404 /errors/404.html\r\n");
    const int wanted = freePort();
    tree.put(tree.root / "settings.reg", settings(tree, wanted));
    const std::string hive = windowsPath(tree.root / "settings.reg");

    std::vector<std::string> command = {"wine", (tree.bin / "velnor.exe").string(), "--bind",
                                        "127.0.0.1"};
    if (hiveFile)
        command.insert(command.end(), {"--registry", hive});
    report(built, "programs copied into the tree", "not copied:\n" + notCopied);
    // reg.exe, not regedit: a console program whose status tells whether the import
    // worked (regedit answers 0 even for a file it cannot read). Named by its full path,
    // wine runs it directly; a bare name goes through start.exe and the window system.
    // The import is wine's own tool, not ours: a failed try is shown and tried again.
    std::string importOutput;
    int importStatus = 0;
    for (int attempt = 1; !hiveFile && attempt <= 3; ++attempt) {
        importStatus = runToEnd({"wine", "C:\\windows\\system32\\reg.exe", "import", hive},
                                std::chrono::seconds(60), importOutput);
        if (importStatus == 0)
            break;
        std::printf("note: reg import, try %d: status %d, output:\n%s\n", attempt, importStatus,
                    shown(importOutput).c_str());
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    const bool imported = importStatus == 0;
    report(imported,
           hiveFile ? "settings as a file (--registry)" : "settings imported into the registry");
    WineServer server;
    const int port = built && imported ? server.start(command, std::chrono::seconds(60)) : 0;
    report(port == wanted,
           "server announces the port of the settings (" + std::to_string(wanted) + ")",
           shown(server.output()));
    if (port != wanted) {
        std::error_code ignored;
        fs::remove_all(tree.root, ignored);
        return 100;
    }
    for (const Check& check : wireChecks()) {
        const std::string answer = e2e::roundTrip(port, check.request, std::chrono::seconds(20));
        report(answer == check.expected, check.what,
               "expected:\n" + shown(check.expected) + "\ngot:\n" + shown(answer));
    }
    const int status = server.interrupt(std::chrono::seconds(20));
    report(status == 0, "Ctrl-C stops the server in order (exit status 0)",
           "status " + std::to_string(status) + ", output:\n" + shown(server.output()));
    const std::string first = "127.0.0.1 - - [D] \"GET /a.txt HTTP/1.0\" 200 " +
                              std::to_string(kAlpha.size()) + " \"-\" \"-\"\n";
    const std::vector<std::string> lines = logLines(tree.root / "access_log.txt");
    std::string all;
    for (const auto& line : lines)
        all += line;
    report(!lines.empty() && lines.front() == first, "access-log line written by dunmark.dll",
           "expected first:\n" + shown(first) + "\ngot:\n" + shown(all));
    std::error_code ignored;
    fs::remove_all(tree.root, ignored);
    return failures < 100 ? failures : 99;
}

} // namespace
} // namespace velnor::wine

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BUILD-WIN-DIR [--hive-file]\n", argv[0]);
        return 100;
    }
    // A parent that ignores SIGCHLD passes that on, and then no child could be waited
    // for: the exit statuses of reg and the server would be lost.
    std::signal(SIGCHLD, SIG_DFL);
    const bool hiveFile = argc > 2 && std::string(argv[2]) == "--hive-file";
    return velnor::wine::run(argv[1], hiveFile);
}
