#include "server/ConsoleCommands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/RegistryStore.h"
#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
#include "platform/HostAddress.h"
#include "platform/Terminal.h"
#include "server/ConsoleDialogs.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

using test::TempDir;

// What a command writes to a stream.
class Captured {
public:
    Captured() : file_(std::tmpfile()) {}
    ~Captured() {
        if (file_)
            std::fclose(file_);
    }
    std::FILE* get() const { return file_; }
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string all;
        char block[512];
        while (std::size_t got = std::fread(block, 1, sizeof block, file_))
            all.append(block, got);
        return all;
    }

private:
    std::FILE* file_;
};

TEST(ConsoleCommands, SettingNumbers) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},           {"8080", true, 8080},      {"0x1f90", true, 0x1f90},
        {"0XFF", true, 255},      {"4294967295", true, ~0u}, {"0xffffffff", true, ~0u},
        {"4294967296", false, 0}, {"0x100000000", false, 0}, {"", false, 0},
        {"0x", false, 0},         {"-1", false, 0},          {"12a", false, 0},
        {" 1", false, 0},         {"1.5", false, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t value = 7;
        EXPECT_EQ(ParseSettingNumber(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

std::string twoByte(int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "\xC3\xA9";
    return text;
}

class SetSettingTest : public ::testing::Test {
protected:
    int set(const char* name, const char* value) {
        ServerSettings settings(dir.file("velnor.reg"));
        return SetSetting(settings, name, value, out.get(), errors.get());
    }
    ServerSettings reloaded() const { return ServerSettings(dir.file("velnor.reg")); }
    std::string hive() const { return TempDir::read(dir.file("velnor.reg")); }

    TempDir dir;
    Captured out;
    Captured errors;
};

TEST_F(SetSettingTest, ValuesAreTypedByTheSettingsTable) {
    EXPECT_EQ(set("Port", "8080"), 0);
    EXPECT_EQ(set("logsize", "0x20000"), 0) << "names without case";
    EXPECT_EQ(set("DocRoot", "/srv/www"), 0);
    EXPECT_EQ(set("ServerSoftware", "12345"), 0) << "a number is a text here";
    const std::string stored = hive();
    EXPECT_NE(stored.find("\"Port\"=dword:00001f90"), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"LogSize\"=dword:00020000"), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"DocRoot\"=\"/srv/www\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"ServerSoftware\"=\"12345\""), std::string::npos) << stored;
    ServerSettings after(dir.file("velnor.reg"));
    EXPECT_EQ(after.port, 8080u);
    EXPECT_EQ(after.logSize, 0x20000u);
    EXPECT_STREQ(after.serverSoftware, "12345");
    EXPECT_EQ(errors.text(), "");
}

TEST_F(SetSettingTest, RefusalsLeaveTheHiveAlone) {
    ASSERT_EQ(set("Port", "81"), 0);
    const std::string before = hive();
    struct Case {
        const char* name;
        std::string value;
        const char* says;
    };
    const Case cases[] = {
        {"Colour", "blue", "unknown setting: Colour"},
        {"Port", "eighty", "Port takes a number"},
        {"StartServers", "-4", "StartServers takes a number"},
        {"DocRoot", std::string(259, 'x'), "DocRoot takes a text of at most 258"},
        {"DocRoot", "\xff\xfe", "DocRoot takes a text"},
        // 130 characters, but 260 bytes: more than the record's area holds.
        {"DocRoot", twoByte(130), "DocRoot takes a text of at most 258 characters and 259 bytes"},
        {"DefaultDoc", "a\nb", "DefaultDoc takes a text"},
    };
    for (const Case& c : cases) {
        Captured said;
        ServerSettings settings(dir.file("velnor.reg"));
        EXPECT_EQ(SetSetting(settings, c.name, c.value.c_str(), out.get(), said.get()), 1)
            << c.name;
        EXPECT_NE(said.text().find(c.says), std::string::npos) << said.text();
        EXPECT_EQ(hive(), before) << c.name;
    }
    // The longest texts that read back are taken.
    EXPECT_EQ(set("DocRoot", std::string(258, 'x').c_str()), 0);
    EXPECT_EQ(std::string(reloaded().documentRoot), std::string(258, 'x'));
    EXPECT_EQ(set("DocRoot", (twoByte(129) + "x").c_str()), 0);
    EXPECT_EQ(std::string(reloaded().documentRoot), twoByte(129) + "x");
}

TEST_F(SetSettingTest, AFileThatIsNoHiveIsLeftAlone) {
    dir.write("velnor.reg", "PATH=/bin\n");
    EXPECT_EQ(set("Port", "81"), 1);
    EXPECT_NE(errors.text().find("no hive header line"), std::string::npos) << errors.text();
    EXPECT_EQ(hive(), "PATH=/bin\n");
}

TEST_F(SetSettingTest, SettingsListsEveryValueAndMarksDefaults) {
    ASSERT_EQ(set("Port", "8080"), 0);
    // Hand-edited values the server cannot use: a text past its area, a long number.
    {
        SettingsHive hive(dir.file("velnor.reg"), kHiveKeyPath);
        const std::string longText(2 * 300, 'a');
        ASSERT_TRUE(hive.setValue("DocRoot", kHiveString, longText.data(), longText.size()));
        ASSERT_TRUE(hive.setValue("Timeout", kHiveDword, "12345678", 8));
    }
    ServerSettings settings(dir.file("velnor.reg"));
    Captured listed;
    PrintSettings(settings, listed.get());
    const std::string text = listed.text();
    EXPECT_EQ(text.rfind("Hive: " + dir.file("velnor.reg") + "\n", 0), 0u) << text;
    std::size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 14u) << text;
    EXPECT_NE(text.find("\nPort=8080\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nStartServers=8 (default)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nDocRoot=\\wwwroot (default: the stored value cannot be used)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nTimeout=3000 (default: the stored value cannot be used)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nCgiRoot=\\wwwroot\\scripts (default)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nMaxBodySize=16777216 (default)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nPort: "), std::string::npos) << "reserved for the listener";
}

TEST(ConsoleCommands, SettingsNameWhereTheyAreKept) {
    TempDir dir;
    const std::string file = dir.file("velnor.reg");
    // A host with a registry is tested on a key of the user's own, never the machine's.
    const std::string key = RegistryStore::available()
                                ? "HKEY_CURRENT_USER\\SOFTWARE\\BRELLAN\\VELNOR-test-console"
                                : kHiveKeyPath;
    struct Case {
        const char* label;
        std::function<std::unique_ptr<SettingsStore>()> open;
        std::string listed;   // the first line of `velnor settings`
        bool stored;          // whether `velnor set Port 8080` succeeds
        std::string reported; // what it says, on its output or its errors
    };
    const Case cases[] = {
        {"hive file", [&] { return std::make_unique<SettingsHive>(file, kHiveKeyPath); },
         "Hive: " + file + "\n", true,
         "Port=8080 stored in " + file + "; it takes effect at the next start.\n"},
        {"registry", [&] { return std::make_unique<RegistryStore>(key); },
         "Registry key: " + key + "\n", RegistryStore::available(),
         RegistryStore::available() ? "Port=8080 stored in the registry key " + key +
                                          "; it takes effect at the next start.\n"
                                    : "velnor: cannot store Port in the registry key " + key +
                                          ": this host has no registry\n"},
    };
    for (const Case& c : cases) {
        ServerSettings settings(c.open());
        Captured listed;
        PrintSettings(settings, listed.get());
        const std::string text = listed.text();
        EXPECT_EQ(text.substr(0, text.find('\n') + 1), c.listed) << c.label;
        Captured out;
        Captured errors;
        EXPECT_EQ(SetSetting(settings, "Port", "8080", out.get(), errors.get()) == 0, c.stored)
            << c.label;
        EXPECT_EQ((c.stored ? out : errors).text(), c.reported) << c.label;
        if (c.stored) {
            EXPECT_EQ(ServerSettings(c.open()).port, 8080u) << c.label;
        }
    }
    platform::RegistryKey(key).remove();
}

TEST(ConsoleCommands, AboutShowsTheServerSoftwareSetting) {
    TempDir dir;
    dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n"
                            "\"ServerSoftware\"=\"Custom/1.0\"\n");
    ServerSettings settings(dir.file("velnor.reg"));
    Captured shown;
    PrintAbout(settings, shown.get());
    const std::string text = shown.text();
    EXPECT_EQ(text.rfind("Custom/1.0\n", 0), 0u) << text;
    std::size_t lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 3u) << text;
}

// How the usage line shown for a help topic begins.
std::string usageStart(ConsoleCommand topic) {
    switch (topic) {
    case ConsoleCommand::Setup:
        return "usage: velnor setup ";
    case ConsoleCommand::About:
        return "usage: velnor about ";
    case ConsoleCommand::Settings:
        return "usage: velnor settings ";
    case ConsoleCommand::Set:
        return "usage: velnor set NAME VALUE";
    case ConsoleCommand::Check:
        return "usage: velnor check ";
    default:
        return "usage: velnor [COMMAND] ";
    }
}

TEST(ConsoleCommands, CommandLines) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
        ConsoleCommand command;
        // For Help: whose usage is shown.
        ConsoleCommand topic = ConsoleCommand::Help;
    };
    const Case cases[] = {
        {{}, true, ConsoleCommand::Run},
        {{"--registry", "a.reg", "--bind", "127.0.0.1", "--yes"}, true, ConsoleCommand::Run},
        {{"setup", "--docroot", "/w", "--port", "80"}, true, ConsoleCommand::Setup},
        {{"--registry", "a.reg", "setup", "--yes"}, true, ConsoleCommand::Setup},
        {{"about"}, true, ConsoleCommand::About},
        {{"--version"}, true, ConsoleCommand::About},
        {{"settings"}, true, ConsoleCommand::Settings},
        {{"set", "Port", "80"}, true, ConsoleCommand::Set},
        {{"--help"}, true, ConsoleCommand::Help},
        {{"set", "Port"}, false, ConsoleCommand::Set},
        {{"set", "Port", "80", "81"}, false, ConsoleCommand::Set},
        {{"--port", "80"}, false, ConsoleCommand::Run},
        {{"setup", "--port"}, false, ConsoleCommand::Setup},
        {{"--bind", "localhost"}, false, ConsoleCommand::Run},
        {{"--registry"}, false, ConsoleCommand::Run},
        {{"serve"}, false, ConsoleCommand::Run},
        {{"--frobnicate"}, false, ConsoleCommand::Run},
        {{"about", "extra"}, false, ConsoleCommand::About},
        {{"check"}, true, ConsoleCommand::Check},
        {{"--registry", "a.reg", "check", "--bind", "127.0.0.1"}, true, ConsoleCommand::Check},
        {{"check", "extra"}, false, ConsoleCommand::Check},
        {{"check", "--port", "80"}, false, ConsoleCommand::Check},
        {{"help"}, true, ConsoleCommand::Help},
        {{"help", "check"}, true, ConsoleCommand::Help, ConsoleCommand::Check},
        {{"help", "serve"}, false, ConsoleCommand::Help},
        {{"help", "set", "extra"}, false, ConsoleCommand::Help},
        {{"setup", "--help"}, true, ConsoleCommand::Help, ConsoleCommand::Setup},
        {{"--help", "about"}, true, ConsoleCommand::Help, ConsoleCommand::About},
        {{"settings", "-h"}, true, ConsoleCommand::Help, ConsoleCommand::Settings},
        // Help needs nothing else the command would: it is how one learns what that is.
        {{"set", "--help"}, true, ConsoleCommand::Help, ConsoleCommand::Set},
        {{"check", "--help"}, true, ConsoleCommand::Help, ConsoleCommand::Check},
        {{"check", "--help", "--frobnicate"}, false, ConsoleCommand::Help},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv{const_cast<char*>("velnor")};
        std::string label;
        for (const char* arg : c.args) {
            argv.push_back(const_cast<char*>(arg));
            label += std::string(arg) + " ";
        }
        argv.push_back(nullptr);
        CommandLine line;
        Captured errors;
        EXPECT_EQ(ParseCommandLine(int(argv.size() - 1), argv.data(), line, errors.get()), c.ok)
            << label;
        if (c.ok) {
            EXPECT_EQ(line.command, c.command) << label;
            if (c.command == ConsoleCommand::Help) {
                EXPECT_EQ(line.helpTopic, c.topic) << label;
                // The usage shown is the topic's own.
                Captured shown;
                PrintCommandHelp(line.helpTopic, shown.get());
                const std::string usage = shown.text().substr(0, shown.text().find('\n'));
                EXPECT_EQ(usage.rfind(usageStart(c.topic), 0), 0u) << label << usage;
            }
            EXPECT_EQ(errors.text(), "") << label;
        } else {
            EXPECT_NE(errors.text(), "") << label;
        }
    }
    char* argv[] = {const_cast<char*>("velnor"),
                    const_cast<char*>("setup"),
                    const_cast<char*>("--extroot"),
                    const_cast<char*>(""),
                    const_cast<char*>("--servers"),
                    const_cast<char*>("16"),
                    nullptr};
    CommandLine line;
    ASSERT_TRUE(ParseCommandLine(6, argv, line, stderr));
    EXPECT_STREQ(line.extensionRoot, "") << "an empty field is a value, not an omission";
    EXPECT_STREQ(line.servers, "16");
    EXPECT_EQ(line.documentRoot, nullptr);
}

TEST(ConsoleDialogs, YesNoAnswers) {
    using D = ConsoleDialogs::DefaultAnswer;
    struct Case {
        const char* typed;
        D preferred;
        int reads;
    };
    const Case cases[] = {
        {"", D::Yes, 1},   {"", D::No, 0},      {"  ", D::No, 0},  {"y", D::No, 1},
        {"YES", D::No, 1}, {" n ", D::Yes, 0},  {"No", D::Yes, 0}, {"maybe", D::Yes, -1},
        {"ye", D::No, -1}, {"yess", D::No, -1}, {"\t", D::Yes, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadYesNoAnswer(c.typed, c.preferred), c.reads) << "[" << c.typed << "]";
}

TEST(HostAddress, LineRules) {
    char text[32];
    platform::hostAddressTextFor(nullptr, text, sizeof text);
    EXPECT_STREQ(text, "unknown.");
    platform::hostAddressTextFor("", text, sizeof text);
    EXPECT_STREQ(text, "unknown.");
    platform::hostAddressTextFor("10.1.2.3", text, sizeof text);
    EXPECT_STREQ(text, "10.1.2.3");
    platform::hostAddressTextFor("10.1.2.3", text, 5);
    EXPECT_STREQ(text, "10.1") << "cut to its area";
    platform::hostAddressText(text, sizeof text);
    EXPECT_NE(text[0], 0);
}

TEST(PanelWriter, RedrawsInPlaceAndClearsWhatALongerDrawingLeft) {
    platform::PanelWriter panel;
    char bytes[1024];
    const char* four[] = {"VELNOR/2.34", "IP Addr: 1.2.3.4", "Status: Reqest:1", "Port: 80"};
    ASSERT_GT(panel.compose(four, 3, bytes, sizeof bytes), 0u);
    EXPECT_STREQ(bytes, "\r\033[2KVELNOR/2.34\n\r\033[2KIP Addr: 1.2.3.4\n"
                        "\r\033[2KStatus: Reqest:1\n");
    ASSERT_GT(panel.compose(four, 4, bytes, sizeof bytes), 0u);
    EXPECT_EQ(std::string(bytes).rfind("\033[3A\r\033[2KVELNOR/2.34\n", 0), 0u);
    const char* one[] = {"x"};
    ASSERT_GT(panel.compose(one, 1, bytes, sizeof bytes), 0u);
    EXPECT_STREQ(bytes, "\033[4A\r\033[2Kx\n\r\033[2K\n\r\033[2K\n\r\033[2K\n\033[3A");
    // Too small an area writes nothing and forgets nothing.
    EXPECT_EQ(panel.compose(four, 4, bytes, 8), 0u);
    ASSERT_GT(panel.compose(four, 1, bytes, sizeof bytes), 0u);
    EXPECT_EQ(std::string(bytes).rfind("\033[1A", 0), 0u);
    // A line longer than a terminal line area is cut.
    const std::string wide(500, 'w');
    const char* longLine[] = {wide.c_str()};
    const std::size_t size = panel.compose(longLine, 1, bytes, sizeof bytes);
    EXPECT_EQ(size, 4 + 5 + platform::PanelWriter::kLineCapacity - 1 + 1);
}

} // namespace
} // namespace velnor
