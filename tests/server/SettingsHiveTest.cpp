#include <gtest/gtest.h>

#include <string>

#include "server/core/ServerSettings.h"
#include "server/core/SettingsHive.h"
#include "tests/support/TempDir.h"

using namespace velnor;
using velnor::test::TempDir;

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
const char kKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n";

std::string hive(const std::string& values) {
    return kHeader + std::string(kKey) + values;
}

} // namespace

TEST(SettingsHive, ReadsEachValueFormAsRawRegistryData) {
    TempDir dir;
    std::string path = dir.write("velnor.reg", hive("\"Port\"=dword:00001f90\n"
                                                    "\"DocRoot\"=\"\\\\srv\\\\\\\"www\\\"\"\n"
                                                    "\"Blob\"=hex:01,02,\\\n  03\n"
                                                    "\"Multi\"=hex(7):41,00,00,00\n"));
    SettingsHive h(path, kHiveKeyPath);
    HiveValue v;
    ASSERT_TRUE(h.query("port", v)); // value names ignore case
    EXPECT_EQ(v.type, kHiveDword);
    EXPECT_EQ(v.data, (std::vector<unsigned char>{0x90, 0x1f, 0, 0}));
    ASSERT_TRUE(h.query("DocRoot", v));
    EXPECT_EQ(v.type, kHiveString);
    std::string expected = "\\srv\\\"www\"";
    ASSERT_EQ(v.data.size(), 2 * (expected.size() + 1));
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(v.data[2 * i], static_cast<unsigned char>(expected[i]));
    ASSERT_TRUE(h.query("Blob", v));
    EXPECT_EQ(v.data, (std::vector<unsigned char>{1, 2, 3}));
    ASSERT_TRUE(h.query("Multi", v));
    EXPECT_EQ(v.type, 7u);
}

TEST(SettingsHive, MissingFileKeyOrValueAndMalformedLinesAreNotFound) {
    TempDir dir;
    HiveValue v;
    EXPECT_FALSE(SettingsHive(dir.file("none.reg"), kHiveKeyPath).query("Port", v));
    std::string other =
        dir.write("other.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER]\n"
                                                      "\"Port\"=dword:00000001\n");
    EXPECT_FALSE(SettingsHive(other, kHiveKeyPath).query("Port", v));
    std::string bad = dir.write("bad.reg", hive("\"Port\"=dword:xyz\n"
                                                "\"A\"=dword:123456789\n"
                                                "\"B\"=\"unterminated\n"
                                                "\"C\"=\"bad \\q escape\"\n"
                                                "\"D\"=\"ok\" trailing\n"
                                                "garbage line\n"
                                                "\"E\" = dword:1\n"
                                                "; \"F\"=dword:00000001\n"));
    SettingsHive h(bad, kHiveKeyPath);
    for (const char* name : {"Port", "A", "B", "C", "D", "E", "F"})
        EXPECT_FALSE(h.query(name, v)) << name;
}

TEST(SettingsHive, WritesReplaceAtomicallyAndPreserveEverythingElse) {
    TempDir dir;
    std::string original = std::string(kHeader) +
                           "[HKEY_CURRENT_USER\\Other]\n\"Keep\"=\"me\"\n\n" + kKey +
                           "; operator's note\n\"Port\"=dword:00000050\n\"Unknown\"=hex:00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Next]\n\"X\"=dword:00000002\n";
    std::string path = dir.write("velnor.reg", original);
    SettingsHive h(path, kHiveKeyPath);
    unsigned char port[4] = {0x90, 0x1f, 0, 0};
    ASSERT_TRUE(h.setValue("PORT", kHiveDword, port, 4));
    const unsigned char text[] = {'a', 0, 0, 0};
    ASSERT_TRUE(h.setValue("DocRoot", kHiveString, text, 4));
    std::string now = TempDir::read(path);
    EXPECT_EQ(now, std::string(kHeader) + "[HKEY_CURRENT_USER\\Other]\n\"Keep\"=\"me\"\n\n" + kKey +
                       "; operator's note\n\"PORT\"=dword:00001f90\n\"Unknown\"=hex:00\n"
                       "\"DocRoot\"=\"a\"\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Next]\n\"X\"=dword:00000002\n");
}

TEST(SettingsHive, CreatesTheFileAndKeyWhenMissing) {
    TempDir dir;
    SettingsHive h(dir.file("new.reg"), kHiveKeyPath);
    unsigned char one[4] = {1, 0, 0, 0};
    ASSERT_TRUE(h.setValue("KeepAlive", kHiveDword, one, 4));
    EXPECT_EQ(TempDir::read(dir.file("new.reg")), hive("\"KeepAlive\"=dword:00000001\n"));
    SettingsHive nowhere(dir.file("no/dir/x.reg"), kHiveKeyPath);
    EXPECT_FALSE(nowhere.setValue("KeepAlive", kHiveDword, one, 4));
}

TEST(SettingsHive, ReadsAndRewritesUtf16ExportsInTheirOwnForm) {
    TempDir dir;
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n"
                       "\"Port\"=dword:00000051\r\n";
    std::string raw = "\xFF\xFE";
    for (char c : text)
        raw += c, raw += '\0';
    std::string path = dir.write("wide.reg", raw);
    SettingsHive h(path, kHiveKeyPath);
    HiveValue v;
    ASSERT_TRUE(h.query("Port", v));
    EXPECT_EQ(v.data[0], 0x51);
    unsigned char two[4] = {2, 0, 0, 0};
    ASSERT_TRUE(h.setValue("StartServers", kHiveDword, two, 4));
    std::string after = TempDir::read(path);
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after.substr(0, 2), "\xFF\xFE");
    EXPECT_TRUE(h.query("StartServers", v));
    EXPECT_TRUE(h.query("Port", v));
}
