#include "server/ConsoleSetupDialog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/ServerSettings.h"
#include "tests/server/ConsoleTestDialogs.h"
#include "tests/support/RegText.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;
using test::ScriptedDialogs;
using test::TempDir;
using Texts = std::vector<std::string>;

// A value as the hive file writes it: "\" doubled.
std::string hiveText(const std::string& text) {
    std::string escaped;
    for (char c : text)
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

// A path as the loaded record holds it: "/" read as "\".
std::string recordPath(std::string path) {
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

// The settings loaded at start name an existing document root, so saving asks nothing
// more than the test scripts.
class SaveSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "www");
        dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n"
                                "\"DocRoot\"=" +
                                    test::regString((dir.path() / "www").string()) +
                                    "\n\"Port\"=dword:00000050\n");
        settings = std::make_unique<ServerSettings>(dir.file("velnor.reg"));
    }

    static SetupFields fields(const char* root, const char* extension, const char* port,
                              const char* servers) {
        SetupFields f;
        std::snprintf(f.documentRoot, sizeof f.documentRoot, "%s", root);
        std::snprintf(f.extensionRoot, sizeof f.extensionRoot, "%s", extension);
        std::snprintf(f.port, sizeof f.port, "%s", port);
        std::snprintf(f.servers, sizeof f.servers, "%s", servers);
        return f;
    }
    std::string hive() const { return TempDir::read(dir.file("velnor.reg")); }
    // The settings a restart would load.
    std::unique_ptr<ServerSettings> reloaded() const {
        return std::make_unique<ServerSettings>(dir.file("velnor.reg"));
    }

    TempDir dir;
    std::unique_ptr<ServerSettings> settings;
    ScriptedDialogs dialogs;
};

TEST_F(SaveSetupTest, EveryRuleWithItsExactMessage) {
    struct Case {
        const char* root;
        const char* extension;
        const char* port;
        const char* servers;
        const char* message; // the one message shown
        const char* storedRoot;
        const char* storedExtension;
    };
    const char* saved = "This setup becomes effective after a restart.";
    const char* outside = "Please be sure to place a ExtRoot under DocRoot.";
    const char* badPort = "Listen port must be between 1 and 65534.";
    const char* badServers = "Server threads must be between 1 and 16.";
    const Case cases[] = {
        {"\\web\\", "\\web\\cgi", "8080", "8", saved, "\\web", "\\web\\cgi"},
        {"/web/", "/web/cgi/", "8080", "8", saved, "/web", "/web/cgi"},
        {"\\Web", "\\WEB\\cgi", "8080", "8", saved, "\\Web", "\\WEB\\cgi"},
        {"/web", "\\web\\cgi", "8080", "8", saved, "/web", "\\web\\cgi"},
        {"\\web", "\\other", "8080", "8", outside, nullptr, nullptr},
        {"\\web\\cgi", "\\web", "8080", "8", outside, nullptr, nullptr},
        {"", "\\anything\\at\\all", "8080", "8", saved, "", "\\anything\\at\\all"},
        {"\\", "\\", "8080", "8", saved, "", ""},
        {"\\web", "\\web", "0", "8", badPort, nullptr, nullptr},
        {"\\web", "\\web", "65535", "8", badPort, nullptr, nullptr},
        {"\\web", "\\web", "port", "8", badPort, nullptr, nullptr},
        {"\\web", "\\web", "", "8", badPort, nullptr, nullptr},
        {"\\web", "\\web", "4294967376", "8", badPort, nullptr, nullptr}, // 2^32 + 80
        {"\\web", "\\web", "1", "8", saved, "\\web", "\\web"},
        {"\\web", "\\web", "65534", "8", saved, "\\web", "\\web"},
        {"\\web", "\\web", "8080", "0", badServers, nullptr, nullptr},
        {"\\web", "\\web", "8080", "17", badServers, nullptr, nullptr},
        {"\\web", "\\web", "8080", "16", saved, "\\web", "\\web"},
        {"\\web", "\\web", "8080", "1", saved, "\\web", "\\web"},
        // The first failed check is the one reported.
        {"\\web", "\\other", "0", "0", outside, nullptr, nullptr},
        {"\\web", "\\web", "0", "0", badPort, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SetUp();
        const std::string before = hive();
        ScriptedDialogs shown;
        const int result =
            SaveSetup(*settings, fields(c.root, c.extension, c.port, c.servers), shown);
        const std::string label =
            std::string(c.root) + " | " + c.extension + " | " + c.port + " | " + c.servers;
        EXPECT_EQ(shown.messages, Texts{c.message}) << label;
        EXPECT_TRUE(shown.questions.empty()) << label;
        if (!c.storedRoot) {
            EXPECT_EQ(result, 0) << label;
            EXPECT_EQ(hive(), before) << label << ": the hive must not change";
            continue;
        }
        EXPECT_EQ(result, 1) << label;
        auto after = reloaded();
        EXPECT_EQ(std::string(after->documentRoot), recordPath(c.storedRoot)) << label;
        EXPECT_EQ(std::string(after->extensionRoot), recordPath(c.storedExtension)) << label;
        // Stored as typed, less one trailing separator.
        EXPECT_NE(hive().find("\"DocRoot\"=\"" + hiveText(c.storedRoot) + "\""), std::string::npos)
            << label;
        EXPECT_EQ(after->port, ReadFieldNumber(c.port)) << label;
        EXPECT_EQ(after->workerCount, ReadFieldNumber(c.servers)) << label;
    }
}

TEST_F(SaveSetupTest, OverLongPathIsRefusedRatherThanCut) {
    const std::string longRoot = "\\" + std::string(258, 'd'); // 259 units
    const std::string before = hive();
    SetupFields f = fields(longRoot.c_str(), (longRoot + "\\cgi").c_str(), "80", "8");
    EXPECT_EQ(SaveSetup(*settings, f, dialogs), 0);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].find("Document root"), std::string::npos);
    EXPECT_EQ(hive(), before);
    // 258 units, the trailing separator included, are taken.
    const std::string fits = "\\" + std::string(256, 'd') + "\\";
    ScriptedDialogs again;
    EXPECT_EQ(SaveSetup(*settings, fields(fits.c_str(), fits.c_str(), "80", "8"), again), 1);
    EXPECT_EQ(std::string(reloaded()->documentRoot), fits.substr(0, 257));
}

TEST_F(SaveSetupTest, FailedStoreReturnsZeroWithoutAMessageOfItsOwn) {
    // A hive in a directory that does not exist cannot be written.
    ServerSettings unwritable((dir.path() / "missing" / "velnor.reg").string());
    EXPECT_EQ(SaveSetup(unwritable, fields("\\web", "\\web\\cgi", "80", "8"), dialogs), 0);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));
}

TEST_F(SaveSetupTest, DocumentRootCheckUsesTheSettingsLoadedAtStart) {
    // The loaded root is missing: the question is about it, not about the one stored.
    dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n"
                            "\"DocRoot\"=" +
                                test::regString((dir.path() / "old").string()) + "\n\"CgiRoot\"=" +
                                test::regString((dir.path() / "old" / "cgi").string()) + "\n");
    ServerSettings loaded(dir.file("velnor.reg"));
    dialogs.answers = {true};
    const std::string fresh = (dir.path() / "new").string();
    EXPECT_EQ(SaveSetup(loaded, fields(fresh.c_str(), fresh.c_str(), "80", "8"), dialogs), 1);
    EXPECT_EQ(dialogs.questions, Texts{"May I create default directory?"});
    EXPECT_TRUE(fs::exists(dir.path() / "old" / "index.html"));
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(dialogs.messages, Texts{"This setup becomes effective after a restart."});
    EXPECT_EQ(std::string(reloaded()->documentRoot), recordPath(fresh));
}

TEST_F(SaveSetupTest, DialogAsksBeforeSavingAndReportsARefusal) {
    const std::string before = hive();
    // No: nothing is checked or stored.
    EXPECT_EQ(RunSetupDialog(*settings, fields("\\web", "\\other", "80", "8"), false, dialogs), 0);
    EXPECT_EQ(dialogs.questions, Texts{"May I save this setup?"});
    EXPECT_TRUE(dialogs.messages.empty());
    // Yes on a refused setup without a person to edit it: one try.
    ScriptedDialogs refused;
    refused.answers = {true};
    EXPECT_EQ(RunSetupDialog(*settings, fields("\\web", "\\other", "80", "8"), false, refused), 0);
    EXPECT_EQ(refused.messages,
              (Texts{"Please be sure to place a ExtRoot under DocRoot.", "Save setup failed."}));
    EXPECT_EQ(hive(), before);
}

TEST_F(SaveSetupTest, DialogOnATerminalEditsAgainAfterARefusal) {
    dialogs.person = true;
    dialogs.answers = {true, true};
    dialogs.edits = {"\\web", "\\web\\cgi", "0", "4", "\\web", "\\web\\cgi", "8081", "4"};
    SetupFields start = SetupFields::FromSettings(*settings);
    EXPECT_EQ(RunSetupDialog(*settings, start, true, dialogs), 1);
    EXPECT_EQ(dialogs.fields, (Texts{"Document root", "Extension root", "Listen port", "Servers",
                                     "Document root", "Extension root", "Listen port", "Servers"}));
    EXPECT_EQ(dialogs.messages,
              (Texts{"Listen port must be between 1 and 65534.", "Save setup failed.",
                     "This setup becomes effective after a restart."}));
    EXPECT_EQ(reloaded()->port, 8081u);
    EXPECT_EQ(reloaded()->workerCount, 4u);
}

TEST(SetupFields, StartWithTheLoadedValues) {
    TempDir dir;
    ServerSettings defaults(dir.file("none.reg"));
    SetupFields f = SetupFields::FromSettings(defaults);
    EXPECT_STREQ(f.documentRoot, "\\wwwroot");
    EXPECT_STREQ(f.extensionRoot, "\\wwwroot\\scripts");
    EXPECT_STREQ(f.port, "80");
    EXPECT_STREQ(f.servers, "8");
    // Stored paths are shown as stored, not with the record's separators.
    dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n"
                            "\"DocRoot\"=\"/srv/www\"\n\"Port\"=dword:00001f90\n");
    ServerSettings stored(dir.file("velnor.reg"));
    f = SetupFields::FromSettings(stored);
    EXPECT_STREQ(f.documentRoot, "/srv/www");
    EXPECT_STREQ(f.extensionRoot, "\\wwwroot\\scripts");
    EXPECT_STREQ(f.port, "8080");
}

} // namespace
} // namespace velnor
