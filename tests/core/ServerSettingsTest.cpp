#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "core/RegistryStore.h"
#include "core/ServerSettings.h"
#include "platform/Utf.h"
#include "tests/support/TempDir.h"

using namespace velnor;
using velnor::test::TempDir;

namespace {

std::string hive(const std::string& values) {
    return "Windows Registry Editor Version 5.00\n\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n" +
           values;
}

#ifndef _WIN32
void expectDefaults(const ServerSettings& s) {
    EXPECT_STREQ(s.serverSoftware, "VELNOR/2.34");
    EXPECT_STREQ(s.documentRoot, "\\wwwroot");
    EXPECT_STREQ(s.extensionRoot, "\\wwwroot\\scripts");
    EXPECT_STREQ(s.defaultDocument, "index.html");
    EXPECT_STREQ(s.passwordFileName, "access.cha");
    EXPECT_STREQ(s.logFilePath, "\\access_log.txt");
    EXPECT_EQ(s.logSize, 102400u);
    EXPECT_EQ(s.port, 80u);
    EXPECT_EQ(s.workerCount, 8u);
    EXPECT_EQ(s.timeout, 3000u);
    EXPECT_EQ(s.keepAlive, 1u);
    EXPECT_EQ(s.reverseLookup, 0u);
}
#endif

} // namespace

#ifndef _WIN32
// File modes and the superuser are this system's.
TEST(ServerSettings, MissingOrUnreadableHiveGivesEveryDefault) {
    TempDir dir;
    expectDefaults(ServerSettings(dir.file("none.reg")));
    expectDefaults(ServerSettings(dir.write("empty.reg", "")));
    expectDefaults(ServerSettings(dir.write("junk.reg", std::string("\0\xff\x01garbage\n[", 12))));
    std::string locked = dir.write("locked.reg", hive("\"Port\"=dword:00000001\n"));
    ::chmod(locked.c_str(), 0);
    if (::geteuid() != 0) // root reads anything
        expectDefaults(ServerSettings(locked));
    expectDefaults(ServerSettings(dir.path().string())); // a directory, not a file
}
#endif

TEST(ServerSettings, LoadsStoredValuesAndNormalizesPathSeparators) {
    TempDir dir;
    std::string path = dir.write("v.reg", hive("\"Port\"=dword:00001f90\n"
                                               "\"StartServers\"=dword:00000000\n"
                                               "\"DocRoot\"=\"/srv/www\"\n"
                                               "\"CgiRoot\"=\"/srv/www/scripts\"\n"
                                               "\"LogFile\"=\"/var/log/v.txt\"\n"
                                               "\"DefaultDoc\"=\"home.htm\"\n"));
    ServerSettings s(path);
    EXPECT_EQ(s.port, 8080u);
    EXPECT_EQ(s.workerCount, 0u); // used as stored
    EXPECT_STREQ(s.documentRoot, "\\srv\\www");
    EXPECT_STREQ(s.extensionRoot, "\\srv\\www\\scripts");
    EXPECT_STREQ(s.logFilePath, "\\var\\log\\v.txt");
    EXPECT_STREQ(s.defaultDocument, "home.htm");
    EXPECT_STREQ(s.serverSoftware, "VELNOR/2.34");
}

TEST(ServerSettings, EveryTypeRoundTripsThroughTheHive) {
    TempDir dir;
    std::string path = dir.file("v.reg");
    {
        ServerSettings writer(path);
        EXPECT_EQ(writer.WriteString("DocRoot", "\\web \"quoted\" \xC3\xA9t\xC3\xA9"), 1);
        EXPECT_EQ(writer.WriteString("DefaultDoc", ""), 1);
        EXPECT_EQ(writer.WriteDword("Port", 0xFFFFFFFFu), 1);
        EXPECT_EQ(writer.WriteDword("LogSize", 0), 1);
        EXPECT_STREQ(writer.documentRoot, "\\wwwroot"); // writes leave the record alone
    }
    ServerSettings reader(path);
    EXPECT_STREQ(reader.documentRoot, "\\web \"quoted\" \xC3\xA9t\xC3\xA9");
    EXPECT_STREQ(reader.defaultDocument, "");
    EXPECT_EQ(reader.port, 0xFFFFFFFFu);
    EXPECT_EQ(reader.logSize, 0u);
}

TEST(ServerSettings, StringLimitIs258CharactersWithTerminator) {
    TempDir dir;
    std::string path = dir.file("v.reg");
    ServerSettings s(path);
    char out[kSettingTextCapacity];
    ASSERT_EQ(s.WriteString("DefaultDoc", std::string(258, 'a').c_str()), 1);
    EXPECT_EQ(s.ReadString("DefaultDoc", out, sizeof out, "dflt"), 258u);
    ASSERT_EQ(s.WriteString("DefaultDoc", std::string(259, 'a').c_str()), 1);
    EXPECT_EQ(s.ReadString("DefaultDoc", out, sizeof out, "dflt"), 4u);
    EXPECT_STREQ(out, "dflt");
    // 200 two-byte characters fit the UTF-16 limit but not the 260-byte area.
    std::string wide;
    for (int i = 0; i < 200; ++i)
        wide += "\xC3\xA9";
    ASSERT_EQ(s.WriteString("DefaultDoc", wide.c_str()), 1);
    EXPECT_EQ(s.ReadString("DefaultDoc", out, sizeof out, nullptr), 0u);
    EXPECT_STREQ(out, "");
}

TEST(ServerSettings, ReadsIgnoreTheStoredTypeLikeARegistryQuery) {
    TempDir dir;
    std::string path = dir.write("v.reg", hive("\"Port\"=\"A\"\n"       // 4 bytes of UTF-16
                                               "\"KeepAlive\"=\"80\"\n" // 6 bytes: too long
                                               "\"DNSLookup\"=hex:07\n"
                                               "\"DocRoot\"=dword:00000050\n"));
    ServerSettings s(path);
    EXPECT_EQ(s.port, 0x41u);
    EXPECT_EQ(s.keepAlive, 1u);
    EXPECT_EQ(s.reverseLookup, 7u); // one byte over the default's low byte
    EXPECT_STREQ(s.documentRoot, "P");
}

TEST(ServerSettings, ConfigSnapshotSharesTextsAndOwnsTheWideLogPath) {
    TempDir dir;
    ServerSettings s(dir.file("none.reg"));
    ServerConfig config;
    config.fill(s);
    EXPECT_EQ(config.documentRoot, s.documentRoot);
    EXPECT_EQ(config.port, 80u);
    ASSERT_TRUE(config.logPath);
    EXPECT_EQ(std::u16string(config.logPath.get()), u"\\access_log.txt");
}

#ifndef _WIN32
// Sets the environment through setenv, which the Windows C runtime lacks.
TEST(ServerSettings, HivePathPrefersCommandLineThenEnvironment) {
    EXPECT_EQ(HivePath("/tmp/a.reg"), "/tmp/a.reg");
    ::setenv("VELNOR_REGISTRY", "/tmp/env.reg", 1);
    EXPECT_EQ(HivePath(nullptr), "/tmp/env.reg");
    ::unsetenv("VELNOR_REGISTRY");
    std::string fallback = HivePath("");
    EXPECT_EQ(fallback.substr(fallback.size() - 11), "/velnor.reg");
    EXPECT_EQ(fallback[0], '/');
}
#endif

#ifndef _WIN32
// Sets the environment through setenv, which the Windows C runtime lacks.
TEST(ServerSettings, ANamedFileIsUsedElseTheRegistryWhereTheHostHasOne) {
    const std::string programHive = HivePath(""); // $VELNOR_REGISTRY is unset here
    struct Case {
        const char* label;
        const char* commandLine;
        const char* environment;
        bool hostHasRegistry;
        bool registry;
        std::string hivePath;
    };
    const Case cases[] = {
        {"command line", "/tmp/a.reg", nullptr, false, false, "/tmp/a.reg"},
        {"command line, registry", "/tmp/a.reg", nullptr, true, false, "/tmp/a.reg"},
        {"both named", "/tmp/a.reg", "/tmp/env.reg", true, false, "/tmp/a.reg"},
        {"environment", nullptr, "/tmp/env.reg", false, false, "/tmp/env.reg"},
        {"environment, registry", "", "/tmp/env.reg", true, false, "/tmp/env.reg"},
        {"none, registry", nullptr, nullptr, true, true, ""},
        {"empty names, registry", "", "", true, true, ""},
        {"none, no registry", nullptr, nullptr, false, false, programHive},
        {"empty names, no registry", "", "", false, false, programHive},
    };
    for (const Case& c : cases) {
        if (c.environment)
            ::setenv("VELNOR_REGISTRY", c.environment, 1);
        const SettingsSource source = ChooseSettingsSource(c.commandLine, c.hostHasRegistry);
        EXPECT_EQ(source.registry, c.registry) << c.label;
        EXPECT_EQ(source.hivePath, c.hivePath) << c.label;
        // What this host opens for the same names.
        if (c.hostHasRegistry == RegistryStore::available()) {
            const std::unique_ptr<SettingsStore> store = OpenSettingsStore(c.commandLine);
            EXPECT_STREQ(store->label(), c.registry ? "Registry key" : "Hive") << c.label;
            EXPECT_EQ(store->location(), c.registry ? kHiveKeyPath : c.hivePath) << c.label;
        }
        ::unsetenv("VELNOR_REGISTRY");
    }
}
#endif

TEST(ServerSettings, FileLookupsRefusePathsBeyondTheirArea) {
    TempDir dir;
    platform::FileRecord record;
    EXPECT_TRUE(FindFirstFileAnsi(dir.path().string().c_str(), record));
    std::string longPath = dir.path().string() + "/" + std::string(300, 'x');
    EXPECT_FALSE(FindFirstFileAnsi(longPath.c_str(), record));
    EXPECT_EQ(GetFileAttributesAnsi(longPath.c_str()), platform::kInvalidAttributes);
    EXPECT_EQ(GetFileAttributesAnsi("\xFF"), platform::kInvalidAttributes);
}
