#include "server/ConsoleDocumentRoot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/ServerSettings.h"
#include "tests/server/ConsoleTestDialogs.h"
#include "tests/support/RegText.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;
using test::ScriptedDialogs;
using test::TempDir;

// Spelled out here rather than taken from the header, so a changed byte is caught.
const std::string kExpectedPage =
    "<HTML><BODY><H1>Can you see me?</H1><BR><HR>VELNOR2 by<A "
    "HREF=\"https://brellan.example/velnor/\">Brellan</A></BODY></HTML>";

class EnsureDocumentRootTest : public ::testing::Test {
protected:
    // Settings whose roots are `root` and `root`/scripts (or the given extension root).
    ServerSettings& settingsFor(const fs::path& root, const std::string& extension = "",
                                const std::string& defaultDocument = "") {
        std::string values = "\"DocRoot\"=" + quoted(root.string()) + "\n\"CgiRoot\"=" +
                             quoted(extension.empty() ? (root / "scripts").string() : extension) +
                             "\n";
        if (!defaultDocument.empty())
            values += "\"DefaultDoc\"=" + quoted(defaultDocument) + "\n";
        dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n" +
                                    values);
        settings = std::make_unique<ServerSettings>(dir.file("velnor.reg"));
        return *settings;
    }
    static std::string quoted(const std::string& text) { return test::regString(text); }

    TempDir dir;
    ScriptedDialogs dialogs;
    std::unique_ptr<ServerSettings> settings;
};

TEST_F(EnsureDocumentRootTest, ExistingDirectoryIsEnoughWithoutAQuestion) {
    EXPECT_EQ(EnsureDocumentRoot(settingsFor(dir.path()), dialogs), 1);
    EXPECT_TRUE(dialogs.questions.empty());
    EXPECT_FALSE(fs::exists(dir.path() / "index.html"));
}

TEST_F(EnsureDocumentRootTest, NoCreatesNothing) {
    const fs::path root = dir.path() / "www";
    EXPECT_EQ(EnsureDocumentRoot(settingsFor(root), dialogs), 0);
    EXPECT_EQ(dialogs.questions, std::vector<std::string>{"May I create default directory?"});
    EXPECT_FALSE(fs::exists(root));
}

TEST_F(EnsureDocumentRootTest, YesCreatesTheRootItsDefaultPageAndTheExtensionRoot) {
    const fs::path root = dir.path() / "www";
    dialogs.answers = {true};
    EXPECT_EQ(EnsureDocumentRoot(settingsFor(root), dialogs), 1);
    EXPECT_TRUE(fs::is_directory(root));
    EXPECT_TRUE(fs::is_directory(root / "scripts"));
    EXPECT_EQ(TempDir::read((root / "index.html").string()), kExpectedPage);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(EnsureDocumentRootTest, DefaultPageTakesTheDefaultDocumentName) {
    const fs::path root = dir.path() / "www";
    dialogs.answers = {true};
    EXPECT_EQ(EnsureDocumentRoot(settingsFor(root, "", "start.htm"), dialogs), 1);
    EXPECT_EQ(TempDir::read((root / "start.htm").string()), kExpectedPage);
    EXPECT_FALSE(fs::exists(root / "index.html"));
}

TEST_F(EnsureDocumentRootTest, FailuresAfterYesGiveZero) {
    struct Case {
        const char* what;
        std::string root;      // relative to the temporary directory
        std::string extension; // relative too; empty for root/scripts
        bool plainFile;        // the root exists as a file
    };
    const Case cases[] = {
        {"only one level is created", "a/b/www", "", false},
        {"the root is a file", "file", "", true},
        {"the extension root cannot be made", "www", "elsewhere/deep/cgi", false},
    };
    for (const Case& c : cases) {
        TempDir each;
        const fs::path root = each.path() / c.root;
        if (c.plainFile)
            each.write(c.root, "x");
        const std::string extension =
            c.extension.empty() ? std::string() : (each.path() / c.extension).string();
        ScriptedDialogs asked;
        asked.answers = {true};
        EXPECT_EQ(EnsureDocumentRoot(settingsFor(root, extension), asked), 0) << c.what;
        EXPECT_EQ(asked.questions.size(), 1u) << c.what;
    }
}

TEST_F(EnsureDocumentRootTest, PagePathTooLongForItsAreaGivesZero) {
    // A 250-byte root leaves no room in the 260-byte path area for "\index.html".
    const std::size_t base = dir.path().string().size() + 1;
    ASSERT_LT(base, 200u);
    const std::string root = dir.path().string() + "/" + std::string(250 - base, 'r');
    ServerSettings& loaded = settingsFor(root);
    ASSERT_EQ(std::string(loaded.documentRoot).size(), 250u) << "must not fall back";
    dialogs.answers = {true};
    EXPECT_EQ(EnsureDocumentRoot(loaded, dialogs), 0);
    EXPECT_FALSE(fs::exists(root + "/index.html"));
}

} // namespace
} // namespace velnor
