#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
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

namespace {

// A UTF-16LE hive with its byte-order mark; `text` is ASCII, and each '~' stands for one
// lone surrogate unit (not text).
std::string utf16Hive(const std::string& text) {
    std::string raw = "\xFF\xFE";
    for (char c : text)
        raw += c == '~' ? std::string("\x00\xD8", 2) : std::string(1, c) + '\0';
    return raw;
}

// A string value as text, a number as "#n", a missing value as "-".
std::string readBack(const SettingsHive& h, const char* name) {
    HiveValue v;
    if (!h.query(name, v))
        return "-";
    if (v.type == kHiveDword)
        return "#" + std::to_string(v.data[0] | v.data[1] << 8);
    std::string text;
    for (std::size_t i = 0; i + 1 < v.data.size() && (v.data[i] || v.data[i + 1]); i += 2)
        text += static_cast<char>(v.data[i]);
    return text;
}

} // namespace

// What an import would read, and what a write leaves: one line per value that reads back
// as set, everything else as it was.
TEST(SettingsHive, WritesLeaveOneLineThatReadsBackAsSet) {
    const std::string k = kKey;
    const std::string other = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n";
    struct Case {
        const char* what;
        std::string before;
        const char* name; // read before the write and set to "new"
        std::string readsBefore;
        bool stored;
        std::string after; // the whole file after the write
    };
    const Case cases[] = {
        {"duplicate lines: the last is read, replaced, and the others go",
         hive("\"Port\"=\"a\"\n\"X\"=\"x\"\n\"port\"=\"b\"\n"), "Port", "b", true,
         hive("\"X\"=\"x\"\n\"Port\"=\"new\"\n")},
        {"a repeated key is one key: its values are read and replaced where they are",
         hive("\"A\"=\"1\"\n") + other + "\"Port\"=\"o\"\n" + k + "\"Port\"=\"p\"\n", "Port", "p",
         true, hive("\"A\"=\"1\"\n") + other + "\"Port\"=\"o\"\n" + k + "\"Port\"=\"new\"\n"},
        {"a new value goes into the key's last section",
         hive("\"A\"=\"1\"\n") + other + k + "\"B\"=\"2\"\n\n", "Port", "-", true,
         hive("\"A\"=\"1\"\n") + other + k + "\"B\"=\"2\"\n\"Port\"=\"new\"\n\n"},
        {"a comment ending in a backslash does not swallow the next line",
         hive("; c:\\\n\"Port\"=\"p\"\n"), "Port", "p", true, hive("; c:\\\n\"Port\"=\"new\"\n")},
        {"a string ending in a backslash does not either", hive("\"A\"=\"x\\\n\"Port\"=\"p\"\n"),
         "Port", "p", true, hive("\"A\"=\"x\\\n\"Port\"=\"new\"\n")},
        {"a hex list still goes on over lines", hive("\"B\"=hex:01,\\\n\"Port\"=\"p\"\n"), "Port",
         "-", true, hive("\"B\"=hex:01,\\\n\"Port\"=\"p\"\n\"Port\"=\"new\"\n")},
        {"a file with content but no header is not rewritten", "PATH=/bin\n", "Port", "-", false,
         "PATH=/bin\n"},
        {"a file of blank lines becomes a hive", "\n \n", "Port", "-", true,
         hive("\"Port\"=\"new\"\n")},
        {"a UTF-16 line that is not text is ignored and kept",
         utf16Hive("Windows Registry Editor Version 5.00\r\n\r\n" + k.substr(0, k.size() - 1) +
                   "\r\n\"Bad\"=\"~\"\r\n\"Port\"=dword:00000051\r\n"),
         "Port", "#81", true,
         utf16Hive("Windows Registry Editor Version 5.00\r\n\r\n" + k.substr(0, k.size() - 1) +
                   "\r\n\"Bad\"=\"~\"\r\n\"Port\"=\"new\"\r\n")},
    };
    const unsigned char text[] = {'n', 0, 'e', 0, 'w', 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.write("velnor.reg", c.before);
        SettingsHive h(path, kHiveKeyPath);
        EXPECT_EQ(readBack(h, c.name), c.readsBefore);
        EXPECT_EQ(h.setValue(c.name, kHiveString, text, sizeof text), c.stored);
        EXPECT_EQ(TempDir::read(path), c.after);
        EXPECT_EQ(readBack(h, c.name), c.stored ? "new" : c.readsBefore);
        EXPECT_EQ(readBack(h, "A"),
                  readBack(SettingsHive(dir.write("x", c.before), kHiveKeyPath), "A"));
    }
}

#ifndef _WIN32
// File modes, owners and symbolic links are this system's.
TEST(SettingsHive, WritesKeepTheFilesModeOwnerAndLink) {
    TempDir dir;
    const std::string target = dir.write("real.reg", hive("\"Port\"=dword:00000050\n"));
    const std::string link = dir.file("velnor.reg");
    ASSERT_EQ(::symlink("real.reg", link.c_str()), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0; // only root may give a file away
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
    }
    unsigned char port[4] = {0x51, 0, 0, 0};
    ASSERT_TRUE(SettingsHive(link, kHiveKeyPath).setValue("Port", kHiveDword, port, 4));
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(TempDir::read(target), hive("\"Port\"=dword:00000051\n"));
    // Nothing is left beside it but the lock file.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"real.reg", "real.reg.lock", "velnor.reg"}));
}
#endif

#ifndef _WIN32
// Nothing but a regular file is read or written, and nothing waits on what the path names.
// Made with a FIFO, which Windows lacks.
TEST(SettingsHive, APathThatIsNoRegularFileIsRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("fifo.reg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    unsigned char one[4] = {1, 0, 0, 0};
    for (const std::string& path : {fifo, dir.path().string()}) {
        SCOPED_TRACE(path);
        SettingsHive h(path, kHiveKeyPath);
        auto attempt = std::async(std::launch::async, [&] {
            HiveValue v;
            return h.query("Port", v) || h.setValue("Port", kHiveDword, one, 4);
        });
        if (attempt.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Lets a reader that waits on the FIFO go, so the test can end.
            ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
            ADD_FAILURE() << "waited on the path";
        }
        EXPECT_FALSE(attempt.get());
        EXPECT_EQ(h.state(), HiveState::NotRegular);
        EXPECT_STREQ(h.writeRefusal(), "it is not a regular file");
    }
}
#endif

TEST(SettingsHive, SeveralValuesLandTogetherOrNotAtAll) {
    TempDir dir;
    const std::string path = dir.write("velnor.reg", hive("\"Port\"=dword:00000050\n"));
    SettingsHive h(path, kHiveKeyPath);
    const unsigned char port[4] = {0x90, 0x1f, 0, 0};
    const char text[] = {'x', 0, 0, 0};
    // A name that no line can hold spoils the whole write.
    const HiveWrite spoiled[] = {{"Port", kHiveDword, port, 4},
                                 {"Bad\nName", kHiveString, text, sizeof text}};
    EXPECT_FALSE(h.setValues(spoiled, 2));
    HiveValue v;
    ASSERT_TRUE(h.query("Port", v));
    EXPECT_EQ(v.data, (std::vector<unsigned char>{0x50, 0, 0, 0}));

    const HiveWrite both[] = {{"Port", kHiveDword, port, 4},
                              {"DocRoot", kHiveString, text, sizeof text}};
    ASSERT_TRUE(h.setValues(both, 2));
    ASSERT_TRUE(h.query("Port", v));
    EXPECT_EQ(v.data, (std::vector<unsigned char>{0x90, 0x1f, 0, 0}));
    ASSERT_TRUE(h.query("DocRoot", v));
    EXPECT_EQ(v.type, kHiveString);
}
