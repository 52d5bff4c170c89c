#include <filesystem>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include "http/RequestContext.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;

std::string base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

std::string basic(const std::string& credentials) {
    return "Basic " + base64(credentials);
}

// A document tree in a temporary directory, and a request context serving it.
class AuthenticationTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = serverForm(tree_.path());
        config_.documentRoot = root_.c_str();
        config_.passwordFileName = "access.cha";
        context_.settings = &config_;
    }

    static std::string serverForm(const fs::path& path) {
        std::string text = path.string();
        for (char& c : text)
            if (c == '/')
                c = '\\';
        return text;
    }

    // Writes a file below the document root; `relative` uses "/".
    void put(const std::string& relative, const std::string& bytes) {
        const fs::path file = tree_.path() / relative;
        fs::create_directories(file.parent_path());
        tree_.write(relative, bytes);
    }

    // The status the check gives a request for `relative` (below the root, "\" form).
    int check(const std::string& relative, const char* authorization, int status = 200) {
        context_.headerTable.clear();
        if (authorization)
            context_.headerTable.add("Authorization", authorization);
        const std::string path = root_ + relative;
        return context_.findPasswordFile(status, path.c_str(), config_.passwordFileName);
    }

    const char* recordedUser() { return context_.headerTable.value("authentication_user"); }

    test::TempDir tree_;
    std::string root_;
    ServerConfig config_;
    RequestContext context_;
};

TEST_F(AuthenticationTest, NoPasswordFileAnywherePassesUnchanged) {
    put("docs/page.html", "x");
    for (int status : {200, 304, 404, 999}) {
        EXPECT_EQ(check("\\docs\\page.html", nullptr, status), status);
        EXPECT_EQ(recordedUser(), nullptr);
    }
}

TEST_F(AuthenticationTest, RootFileProtectsTheWholeTree) {
    put("access.cha", "alice:secret\r\n");
    put("a/b/page.html", "x");
    EXPECT_EQ(check("\\a\\b\\page.html", nullptr), 401);
    EXPECT_EQ(check("\\index.html", nullptr), 401);
    EXPECT_EQ(check("\\a\\b\\page.html", basic("alice:secret").c_str()), 200);
    EXPECT_STREQ(recordedUser(), "alice");
    // A gateway target keeps its status through the check.
    EXPECT_EQ(check("\\scripts\\run.exe", basic("alice:secret").c_str(), 999), 999);
}

TEST_F(AuthenticationTest, AuthorizationHeaderForms) {
    put("access.cha", "alice:secret\n");
    const struct {
        std::string header;
        int status;
    } cases[] = {
        {"BASIC " + base64("alice:secret"), 200},
        {"Digest username=\"alice\", realm=\"x\"", 401},
        {basic("alice:wrong"), 401},
        {"Basic YWxp*2U6c2VjcmV0", 401}, // outside the alphabet
    };
    for (const auto& c : cases)
        EXPECT_EQ(check("\\page.html", c.header.c_str()), c.status) << c.header;
}

TEST_F(AuthenticationTest, NearestPasswordFileWins) {
    put("access.cha", "alice:secret\n");
    put("sub/access.cha", "bob:pw\n");
    put("sub/deeper/page.html", "x");
    EXPECT_EQ(check("\\sub\\deeper\\page.html", basic("alice:secret").c_str()), 401);
    EXPECT_EQ(check("\\sub\\deeper\\page.html", basic("bob:pw").c_str()), 200);
    EXPECT_STREQ(recordedUser(), "bob");
    EXPECT_EQ(check("\\page.html", basic("bob:pw").c_str()), 401);
    EXPECT_EQ(check("\\other\\page.html", basic("alice:secret").c_str()), 200);
}

TEST_F(AuthenticationTest, DirectoryNamedLikeThePasswordFileProtectsNothing) {
    fs::create_directories(tree_.path() / "sub" / "access.cha");
    put("sub/page.html", "x");
    EXPECT_EQ(check("\\sub\\page.html", nullptr), 200);
}

TEST_F(AuthenticationTest, PasswordFileItselfIsNeverServed) {
    put("sub/access.cha", "bob:pw\n");
    for (const char* target :
         {"\\sub\\access.cha", "\\sub\\ACCESS.CHA", "\\Access.Cha", "\\nowhere\\access.CHA"})
        EXPECT_EQ(check(target, basic("bob:pw").c_str()), 404) << target;
    EXPECT_EQ(context_.findPasswordFile(200, "access.cha", "access.cha"), 404);
    EXPECT_EQ(context_.findPasswordFile(200, (root_ + "/sub/Access.cha").c_str(), "access.cha"),
              404);
}

TEST_F(AuthenticationTest, FileWithoutAccountsRefusesEveryone) {
    put("empty/access.cha", "");
    put("breaks/access.cha", "\r\n\n\r");
    for (const char* dir : {"\\empty", "\\breaks"}) {
        const std::string target = std::string(dir) + "\\page.html";
        EXPECT_EQ(check(target, basic("alice:secret").c_str()), 401) << dir;
        EXPECT_EQ(check(target, "Basic "), 401) << dir;
        EXPECT_EQ(check(target, "Basic Og=="), 401) << dir; // ":"
    }
}

TEST_F(AuthenticationTest, LongUserNameIsRecordedCut) {
    const std::string name(40, 'n');
    put("access.cha", name + ":pw\n");
    EXPECT_EQ(check("\\page.html", basic(name + ":pw").c_str()), 200);
    EXPECT_EQ(std::string(recordedUser()), name.substr(0, 31));
}

TEST_F(AuthenticationTest, NothingResolvedMeansNothingToGovern) {
    put("access.cha", "alice:secret\n");
    EXPECT_EQ(context_.findPasswordFile(400, "", "access.cha"), 400);
    EXPECT_EQ(context_.findPasswordFile(400, nullptr, "access.cha"), 400);
    EXPECT_EQ(context_.findPasswordFile(200, (root_ + "\\page.html").c_str(), ""), 200);
}

TEST_F(AuthenticationTest, WalkStopsAtTheDocumentRoot) {
    // A password file above the document root is not the site's.
    fs::create_directories(tree_.path() / "site");
    put("access.cha", "alice:secret\n");
    const std::string site = root_ + "\\site";
    config_.documentRoot = site.c_str();
    EXPECT_EQ(context_.findPasswordFile(200, (site + "\\page.html").c_str(), "access.cha"), 200);

    // A trailing separator on the root still has the root's own file examined.
    put("site/access.cha", "bob:pw\n");
    const std::string trailing = site + "\\";
    config_.documentRoot = trailing.c_str();
    EXPECT_EQ(context_.findPasswordFile(200, (site + "\\page.html").c_str(), "access.cha"), 401);
}

TEST_F(AuthenticationTest, LongPathsAreExaminedWithinBounds) {
    // A directory whose password file's path runs past 259 bytes while the page's path
    // still fits: the directory stays protected.
    std::string relative;
    while (root_.size() + relative.size() + 40 < 259)
        relative += "/d123456789";
    relative += "/" + std::string(259 - root_.size() - relative.size() - 8, 'e');
    std::string backslashed = relative;
    for (char& c : backslashed)
        if (c == '/')
            c = '\\';
    ASSERT_GT(root_.size() + backslashed.size() + 11, 259u);
    put(relative.substr(1) + "/access.cha", "alice:secret\n");
    const std::string page = backslashed + "\\p.html";
    ASSERT_LE(root_.size() + page.size(), 259u);
    EXPECT_EQ(check(page, nullptr), 401);
    EXPECT_EQ(check(page, basic("alice:secret").c_str()), 200);

    // A path or name far past any area (never one that resolution gives) cannot be
    // examined, and is refused rather than left unprotected or overrun.
    const std::string huge = "\\" + std::string(600, 'x') + "\\" + std::string(600, 'y');
    EXPECT_EQ(check(huge, nullptr), 500);
    const std::string longName(700, 'z');
    EXPECT_EQ(context_.findPasswordFile(200, (root_ + "\\p.html").c_str(), longName.c_str()), 500);
}

#ifndef _WIN32
// Windows names are UTF-16: a path that is no UTF-8 names no file there, so nothing exists
// to refuse and the walk passes it by as missing.
TEST_F(AuthenticationTest, UnreadablePasswordPathIsAServerError) {
    // A directory name that is not valid text: the file exists but its path cannot be
    // converted for opening.
    put("\xff/access.cha", "alice:secret\n");
    EXPECT_EQ(check("\\\xff\\page.html", basic("alice:secret").c_str()), 500);
    EXPECT_EQ(check("\\\xff\\page.html", nullptr), 401);
}
#endif

#ifndef _WIN32
// A password file that is a FIFO refuses at once instead of holding the worker (Windows
// has no FIFOs).
TEST_F(AuthenticationTest, PasswordFileThatIsNoRegularFileRefuses) {
    put("pipe/page.html", "x");
    ASSERT_EQ(::mkfifo((tree_.path() / "pipe" / "access.cha").c_str(), 0600), 0);
    EXPECT_EQ(check("\\pipe\\page.html", nullptr), 401);
    EXPECT_EQ(check("\\pipe\\page.html", basic("alice:secret").c_str()), 500);
}
#endif

} // namespace
} // namespace velnor
