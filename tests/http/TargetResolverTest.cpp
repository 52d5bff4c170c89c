#include "http/TargetResolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "http/HttpDate.h"
#include "http/RequestContext.h"
#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;

std::string backslashed(std::string text) {
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

std::string slashed(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

TEST(StripAbsoluteForm, KeepsThePathAfterTheHost) {
    const struct {
        const char* target;
        int result;
        const char* after;
    } cases[] = {
        {"http://host/a.html", 1, "/a.html"},
        {"HTTP://Host:8080/x?y=1", 1, "/x?y=1"},
        {"http://h//../x", 1, "//../x"},
        {"http://host", 0, nullptr},
        {"http://", 0, nullptr},
        {"/plain", 1, "/plain"},
        {"https://h/x", 1, "https://h/x"},
        {"http:/x", 1, "http:/x"},
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        char target[kTargetCapacity] = {};
        std::strncpy(target, c.target, sizeof target - 1);
        EXPECT_EQ(stripAbsoluteForm(target), c.result) << c.target;
        if (c.after) {
            EXPECT_STREQ(target, c.after) << c.target;
        }
    }
}

TEST(IsPathInsideRoot, CountsNamedLevelsAgainstDotDot) {
    const struct {
        const char* path;
        int inside;
    } cases[] = {
        {"/", 1},
        {"\\docs\\", 1},
        {"/a/b/../d", 1},
        {"/a/b/..", 1},
        {"/a/../b", 0}, // one named level is not enough
        {"/.x", 0},
        {"/..", 0},
        {"", 0},
        {"a", 0},
        {"/a/b/.../x", 0}, // each dot followed by a dot counts
        // A doubled separator adds no level, wherever it stands.
        {"//x", 0},
        {"/a//b", 1},
        {"/a///../../x", 0},
        {"/a/\\/../../x", 0},
        {"\\a\\\\b\\..\\..\\x", 0},
        {"/a//b/../x", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isPathInsideRoot(c.path), c.inside) << c.path;
    EXPECT_EQ(isPathInsideRoot(nullptr), 0);
}

// A document tree inside a private directory, with files beside the tree that no target
// may ever reach.
class TargetResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = dir_.path();
        www_ = base_ / "www";
        for (const char* d :
             {"docs", "a/b", "nodoc", "dirdoc/index.html", "scripts/sub", "scriptsold", "etc"})
            fs::create_directories(www_ / d);
        fs::create_directories(base_ / "etc");
        for (const char* f :
             {"www/index.html", "www/docs/index.html", "www/docs/page.html", "www/a.html",
              "www/a/d", "www/x", "www/file%20name.html", "www/scripts/test.exe",
              "www/scripts/index.html", "www/scripts/sub/run.exe", "www/scriptsold/tool.exe",
              "www/etc/passwd"})
            dir_.write(f, "inside");
#ifndef _WIN32
        // Windows has no FIFOs: there these names are simply missing, answered alike.
        for (const char* f : {"www/pipe.html", "www/scripts/pipe.exe"})
            ::mkfifo((base_ / f).c_str(), 0600);
#endif
        for (const char* f : {"x", "secret.txt", "etc/passwd"})
            outside_.push_back(dir_.write(f, "outside"));

        documentRoot_ = backslashed(www_.string());
        cgiRoot_ = documentRoot_ + "\\scripts";
        config_.documentRoot = documentRoot_.c_str();
        config_.extensionRoot = cgiRoot_.c_str();
        config_.defaultDocument = "index.html";
        context_.settings = &config_;
    }

    int resolve(const std::string& target, const char* since = nullptr) {
        context_.resetRequest();
        context_.path[0] = '\0';
        std::memset(context_.target, 0, sizeof context_.target);
        std::memcpy(context_.target, target.data(),
                    std::min(target.size(), sizeof context_.target - 1));
        if (since)
            context_.headerTable.add("If-Modified-Since", since);
        return context_.resolveTarget();
    }

    // The resolved path below the document root, "\" separators, or the whole path when it
    // does not begin with the root.
    std::string below() const {
        std::string path = context_.path;
        if (path.rfind(documentRoot_, 0) == 0)
            return path.substr(documentRoot_.size());
        return path;
    }

    std::string variable(const char* name) {
        const char* v = context_.variableTable.value(name);
        return v ? v : "<none>";
    }
    std::string query() {
        const char* v = context_.headerTable.value("QUERY_STRING");
        return v ? v : "<none>";
    }

    std::string httpDateOf(const char* relative, std::int64_t shiftSeconds) {
        platform::FileRecord record;
        EXPECT_TRUE(platform::findFile((www_ / relative).string().c_str(), record));
        HttpDate date;
        date.fromFileTime(record.lastWriteTime + shiftSeconds * 10'000'000);
        return date.formatHttpDate();
    }

    test::TempDir dir_;
    fs::path base_;
    fs::path www_;
    std::vector<std::string> outside_;
    std::string documentRoot_;
    std::string cgiRoot_;
    ServerConfig config_;
    RequestContext context_;
};

TEST_F(TargetResolverTest, MapsTargetsToFiles) {
    const struct {
        const char* target;
        int status;
        const char* below; // resolved path below the root, for 200 and 999
    } cases[] = {
        {"/", 200, "\\index.html"},
        {"/docs", 200, "\\docs\\index.html"},
        {"/docs/", 200, "\\docs\\index.html"},
        {"\\docs\\page.html", 200, "\\docs\\page.html"},
        {"http://example.com/a.html", 200, "\\a.html"},
        {"hTTp://example.com", 400, nullptr},
        // A missing file leaves its canonical path for the password check.
        {"/missing.html", 404, "\\missing.html"},
        {"/docs/./x//y.html", 404, "\\docs\\x\\y.html"},
        {"/nodoc", 404, nullptr},
        {"/nodoc/", 404, nullptr},
        {"/a/../b", 400, nullptr},
        {"/a/b/../d", 200, "\\a\\d"},
        {"/file%20name.html", 200, "\\file%20name.html"},
        {"/file name.html", 404, nullptr},
        // The default document names a directory: no document.
        {"/dirdoc/", 404, nullptr},
        {"", 400, nullptr},
        {"a.html", 400, nullptr},
        // Programs below the CGI root, with and without path info.
        {"/scripts/test.exe/x/y", 999, "\\scripts\\test.exe"},
        {"/scripts/test.exe", 999, "\\scripts\\test.exe"},
        {"/scripts/sub/run.exe/info", 999, "\\scripts\\sub\\run.exe"},
        {"/scripts", 999, "\\scripts\\index.html"},
        {"/scripts/", 404, nullptr},
        {"/scripts/sub/", 404, nullptr},
        {"/scripts/nothing/x", 404, nullptr},
        {"/scripts/sub/x", 404, nullptr},
        // A sibling whose name begins with the CGI root's name is no part of it.
        {"/scriptsold/tool.exe", 200, "\\scriptsold\\tool.exe"},
        // Only regular files are answered.
        {"/pipe.html", 404, "\\pipe.html"},
        {"/scripts/pipe.exe", 404, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(resolve(c.target), c.status);
        if (c.below) {
            EXPECT_EQ(below(), c.below);
        }
    }
}

TEST_F(TargetResolverTest, StoresTheQueryString) {
    EXPECT_EQ(resolve("/docs/page.html?x=1"), 200);
    EXPECT_EQ(query(), "x=1");
    EXPECT_STREQ(context_.target, "/docs/page.html");
    EXPECT_EQ(resolve("/a.html?"), 200);
    EXPECT_EQ(query(), "");
    EXPECT_EQ(resolve("/a.html"), 200);
    EXPECT_EQ(query(), "<none>");
    EXPECT_EQ(resolve("http://h/a.html?p=/..//../x"), 200);
    EXPECT_EQ(query(), "p=/..//../x");
}

TEST_F(TargetResolverTest, GivesProgramsTheirPathInfo) {
    EXPECT_EQ(resolve("/scripts/test.exe/x/y?q"), 999);
    EXPECT_EQ(variable("PATH_INFO"), "/x/y");
    EXPECT_EQ(variable("PATH_TRANSLATED"), documentRoot_ + "\\x\\y");
    EXPECT_EQ(query(), "q");

    EXPECT_EQ(resolve("/scripts/test.exe"), 999);
    EXPECT_EQ(variable("PATH_INFO"), "");
    EXPECT_EQ(variable("PATH_TRANSLATED"), documentRoot_);

    EXPECT_EQ(resolve("/scripts/test.exe/"), 999);
    EXPECT_EQ(variable("PATH_INFO"), "/");

    // Plain files get no CGI variables.
    EXPECT_EQ(resolve("/a.html"), 200);
    EXPECT_EQ(variable("PATH_INFO"), "<none>");
}

// The CGI root is compared name by name, and as the file system compares names: here it
// tells "SCRIPTS" from "scripts", on Windows the two are one folder (and a program there
// must run, not be sent). Either separator and a trailing one name the same root.
TEST_F(TargetResolverTest, ComparesTheCgiRootByWholeNamesExactly) {
    std::string upper = cgiRoot_;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const struct {
        std::string cgiRoot;
        int status;
    } cases[] = {
        {cgiRoot_, 999},
        {slashed(cgiRoot_), 999},
        {cgiRoot_ + "\\", 999},
        {slashed(cgiRoot_) + "/", 999},
        {upper, platform::kNamesIgnoreCase ? 999 : 404},
        {cgiRoot_.substr(0, cgiRoot_.size() - 1), 404}, // "\\script" is no prefix of a name
        {"", 404},                                      // without a CGI root nothing is a program
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cgiRoot);
        config_.extensionRoot = c.cgiRoot.c_str();
        EXPECT_EQ(resolve("/scripts/test.exe/x"), c.status);
    }
}

// A name another file system reads as another file is refused although it is a real file
// here, leaving its canonical path for the password check as a missing file does. The
// document root is the operator's text: a drive's colon in it names no stream.
TEST_F(TargetResolverTest, RefusesNamesReadAsAnotherFileBelowTheRoot) {
    // Windows drops the trailing dot itself, so there the alias names "docs".
    fs::create_directories(www_ / "docs.");
    dir_.write("www/docs./page.html", "alias");
    EXPECT_EQ(resolve("/docs./page.html"), 404);
    EXPECT_EQ(below(), "\\docs.\\page.html");

#ifndef _WIN32
    // Windows allows no ':' in a name; its own roots carry the drive's colon anyway.
    fs::create_directories(www_ / "drive:");
    dir_.write("www/drive:/index.html", "inside");
    const std::string root = documentRoot_ + "\\drive:";
    config_.documentRoot = root.c_str();
    EXPECT_EQ(resolve("/"), 200);
    EXPECT_EQ(resolve("/index.html:x"), 404);
#endif
}

// Devices, streams, short names, dropped trailing dots and blanks, and patterns: on
// Windows each would open a device or another file than the one named (the tree holds
// "a.html" and "docs\\page.html"), so every system refuses them before any lookup.
TEST_F(TargetResolverTest, RefusesDevicesAndAliasesOfRealFiles) {
    for (const char* target :
         {"/nul", "/AUX", "/docs/con.txt", "/Con .html", "/com1.html", "/LPT9", "/conout$",
          "/a.html::$DATA", "/a.html:x", "/docs:alt/page.html", "/a.html.", "/a.html ",
          "/docs./page.html", "/DOCS~1/page.html", "/docs/PAGE~1.HTM", "/a*.html", "/a<.html",
          "/scripts/test.exe./x", "/scripts/TEST~1.EXE"}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(resolve(target), 404);
        EXPECT_EQ(below(), backslashed(target));
    }
}

TEST_F(TargetResolverTest, AnswersUnchangedFilesWith304) {
    const std::string same = httpDateOf("docs/page.html", 0);
    const std::string older = httpDateOf("docs/page.html", -1);
    const std::string later = httpDateOf("docs/page.html", 1);
    const struct {
        const char* since;
        int status;
    } cases[] = {
        {same.c_str(), 304},
        {older.c_str(), 200},
        {later.c_str(), 304},
        {"garbage", 200},
        {"", 200},
        {"Sun, 00 Nov 1994 08:49:37 GMT", 200},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve("/docs/page.html", c.since), c.status) << c.since;

    // The directory's default document is the file compared.
    EXPECT_EQ(resolve("/docs", httpDateOf("docs/index.html", 0).c_str()), 304);
    // Programs never answer 304.
    EXPECT_EQ(resolve("/scripts/test.exe", httpDateOf("scripts/test.exe", 1).c_str()), 999);
}

TEST_F(TargetResolverTest, RefusesPathsTooLongForTheArea) {
    // root + default document + path + 1 may reach 259 characters, not more.
    const std::size_t room = 259 - documentRoot_.size() - std::strlen("index.html") - 1;
    ASSERT_LT(room, 250u);
    EXPECT_EQ(resolve("/" + std::string(room - 1, 'n')), 404);
    EXPECT_EQ(resolve("/" + std::string(room, 'n')), 400);
    EXPECT_EQ(resolve("/" + std::string(258, 'n')), 400);

    // A target area without its NUL is refused, not read past.
    std::memset(context_.target, 'a', sizeof context_.target);
    context_.target[0] = '/';
    EXPECT_EQ(context_.resolveTarget(), 400);
}

TEST_F(TargetResolverTest, RefusesADefaultDocumentThatOverflowsAfterADirectory) {
    // The default document names a directory, so it would be appended twice.
    const std::string longName(120, 'd');
    fs::create_directories(www_ / longName);
    config_.defaultDocument = longName.c_str();
    ASSERT_LE(documentRoot_.size() + longName.size() + 2, 259u);
    ASSERT_GT(documentRoot_.size() + 2 * longName.size() + 2, 259u);
    EXPECT_EQ(resolve("/"), 400);
    EXPECT_EQ(std::strlen(context_.path), std::strlen("\\")); // left as the request path
}

// Every target either is refused or resolves to a path inside the document tree; none ever
// reaches the files placed beside it.
TEST_F(TargetResolverTest, NeverResolvesOutsideTheDocumentRoot) {
    const struct {
        const char* target;
        int status;
    } cases[] = {
        {"/..", 400},
        {"/../x", 400},
        {"/./x", 400},
        {"/.", 400},
        {"//x", 400},
        {"//..//..", 400},
        {"//../x", 400},
        {"/a///../../x", 400},
        {"/a//../x", 400},
        {"/a/b//../../../x", 400},
        {"/a/b//..//..//..//x", 400},
        {"\\..\\x", 400},
        {"/\\..\\..\\etc\\passwd", 400},
        {"/a\\..\\..\\x", 400},
        {"\\a\\b\\..\\..\\..\\x", 400},
        {"/a/\\/../../x", 400},
        {"/a/b/../../x", 400},
        {"/a/b/../../../x", 400},
        {"/a/./../../x", 400},
        {"/a/b/.../x", 400},
        {"/docs/../../secret.txt", 400},
        {"/docs/..\\..\\x", 400},
        {"/a/b/c/../../../../etc/passwd", 400},
        {"/a/b/../../../../../../../../etc/passwd", 400},
        {"/.%2e/x", 400},
        {"/%2e%2e/x", 404},
        {"/a/b/c/../../x", 404},
        {"/a/b/../x", 404},
        {"http://h//../x", 400},
        {"http://h/../x", 400},
        {"HTTP://h/a///../../x", 400},
        {"http://h/a/b/../../../etc/passwd", 400},
        {"/a/b/..\\d", 200},
        {"/a/b/../../etc/passwd", 400},
        {"/a/b/../../a/b/../../x", 400},
        {"/a/b/../b/../../x", 400},
    };
    const fs::path root = fs::canonical(www_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        int status = resolve(c.target);
        EXPECT_EQ(status, c.status);
        if (status == 400 || status == 404)
            continue;
        const std::string os = slashed(context_.path);
        ASSERT_EQ(os.rfind(slashed(www_.string()), 0), 0u);
        const fs::path real = fs::weakly_canonical(os);
        EXPECT_EQ(slashed(real.string()).rfind(slashed(root.string()) + "/", 0), 0u) << real;
        for (const auto& outside : outside_)
            EXPECT_FALSE(fs::equivalent(real, outside));
    }
}

int collectCandidate(void* state, const char* candidate) noexcept {
    static_cast<std::vector<std::string>*>(state)->push_back(candidate);
    return kWalkOn;
}

// Random spellings over a small tree (fixed seed): every target that resolves ends on a
// canonical path inside the root, agreeing with a lexical reading of the target; what the
// programs are told stays inside the root; and the password-file walk visits exactly the
// directories from the resolved file's own up to the root.
TEST_F(TargetResolverTest, CanonicalPathHoldsForRandomTargets) {
    for (const char* d : {"a/b", "a/a", "b/a"})
        fs::create_directories(www_ / d);
    for (const char* f : {"www/a/x.exe", "www/a/b/x.exe", "www/b/x.exe", "www/b/a/access.cha",
                          "www/b/b", "www/a/access.cha"})
        dir_.write(f, "x");
    const std::string cgiRoot = documentRoot_ + "\\a";
    config_.extensionRoot = cgiRoot.c_str();
    const char* const segments[] = {"a", "b", ".", "..", "", "x.exe", "access.cha"};
    std::mt19937 random(20240607);
    int resolved = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string target;
        for (unsigned k = 0, count = 1 + random() % 6; k < count; ++k)
            target += std::string(random() % 2 ? "/" : "\\") + segments[random() % 7];
        SCOPED_TRACE(target);
        const int status = resolve(target);
        if (status == 400)
            continue;
        ++resolved;
        const std::string path = context_.path;
        ASSERT_EQ(path.rfind(documentRoot_ + "\\", 0), 0u);
        const std::string names = path.substr(documentRoot_.size());
        EXPECT_EQ(names.find("\\\\"), std::string::npos);
        for (const char* spelling : {"\\.\\", "\\..\\"})
            EXPECT_EQ((names + "\\").find(spelling), std::string::npos);
        const fs::path lexical = fs::path(www_.string() + slashed(target)).lexically_normal();
        if (status == 200 && !lexical.filename().empty()) {
            EXPECT_EQ(fs::path(slashed(path)), lexical);
        }
        const std::string translated = variable("PATH_TRANSLATED");
        if (translated != "<none>") {
            EXPECT_EQ(translated.rfind(documentRoot_, 0), 0u);
            EXPECT_EQ((translated + "\\").find("\\..\\"), std::string::npos);
        }

        std::vector<std::string> visited;
        std::vector<std::string> expected;
        for (fs::path dir = fs::path(slashed(path)).parent_path();; dir = dir.parent_path()) {
            expected.push_back(backslashed(dir.string()) + "\\access.cha");
            if (dir == www_ || dir == dir.parent_path())
                break;
        }
        EXPECT_EQ(walkPasswordCandidates(status, path.c_str(), documentRoot_.c_str(), "access.cha",
                                         collectCandidate, &visited),
                  status);
        EXPECT_EQ(visited, expected);
    }
    EXPECT_GT(resolved, 500);
}

} // namespace
} // namespace velnor
