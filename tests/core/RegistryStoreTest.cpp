// The settings in the host's registry read exactly as the same values in a hive file,
// wrong types included; a host without a registry refuses every read and write.
#include "core/RegistryStore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
#include "tests/support/TempDir.h"

using namespace velnor;
using velnor::test::TempDir;

namespace {

// A key of the user's own, so the test needs no administrator and leaves the machine's
// settings alone; deleted at the end.
class ScratchKey {
public:
    ScratchKey() {
        char name[96];
        std::snprintf(name, sizeof name, "HKEY_CURRENT_USER\\SOFTWARE\\BRELLAN\\VELNOR-test-%08x",
                      static_cast<unsigned>(std::random_device{}()));
        path_ = name;
    }
    ~ScratchKey() { platform::RegistryKey(path_).remove(); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::vector<unsigned char> dword(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

std::vector<unsigned char> text(const char* ascii) {
    std::vector<unsigned char> data;
    for (const char* c = ascii;; ++c) {
        data.push_back(static_cast<unsigned char>(*c));
        data.push_back(0);
        if (!*c)
            return data;
    }
}

void expectSameSettings(const ServerSettings& a, const ServerSettings& b) {
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.timeout, b.timeout);
    EXPECT_EQ(a.keepAlive, b.keepAlive);
    EXPECT_EQ(a.workerCount, b.workerCount);
    EXPECT_EQ(a.logSize, b.logSize);
    EXPECT_EQ(a.reverseLookup, b.reverseLookup);
    EXPECT_EQ(a.maxBodySize, b.maxBodySize);
    EXPECT_STREQ(a.serverSoftware, b.serverSoftware);
    EXPECT_STREQ(a.documentRoot, b.documentRoot);
    EXPECT_STREQ(a.extensionRoot, b.extensionRoot);
    EXPECT_STREQ(a.defaultDocument, b.defaultDocument);
    EXPECT_STREQ(a.passwordFileName, b.passwordFileName);
    EXPECT_STREQ(a.logFilePath, b.logFilePath);
}

} // namespace

TEST(RegistryStore, AHostWithoutARegistryRefusesEveryReadAndWrite) {
    if (RegistryStore::available())
        GTEST_SKIP() << "this host has a registry";
    RegistryStore store(kHiveKeyPath);
    EXPECT_EQ(store.state(), HiveState::Unreadable);
    EXPECT_STREQ(store.writeRefusal(), "this host has no registry");
    HiveValue value;
    EXPECT_FALSE(store.query("Port", value));
    const std::vector<unsigned char> port = dword(8080);
    const HiveWrite write{"Port", kHiveDword, port.data(), port.size()};
    EXPECT_FALSE(store.setValues(&write, 1));
    EXPECT_EQ(ServerSettings(std::make_unique<RegistryStore>(kHiveKeyPath)).port, 80u);
}

TEST(RegistryStore, ValuesReadBackAndCountAsInAHiveFile) {
    if (!RegistryStore::available())
        GTEST_SKIP() << "this host has no registry";
    struct Case {
        const char* name;
        std::uint32_t type;
        std::vector<unsigned char> data;
    };
    const Case cases[] = {
        {"Port", kHiveDword, dword(8080)},
        {"DocRoot", kHiveString, text("\\srv\\www")},
        {"StartServers", kHiveDword, dword(0)},
        // Of the wrong type: a text too long for a number leaves the default, a short binary
        // fills the number's low end, a number read as text is its bytes as UTF-16.
        {"Timeout", kHiveString, text("12345")},
        {"KeepAlive", kHiveBinary, {0}},
        {"LogSize", kHiveBinary, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"DefaultDoc", kHiveDword, {'h', 0, 'i', 0}},
        {"LogFile", kHiveExpandString, text("\\logs\\a.txt")},
    };
    ScratchKey key;
    RegistryStore store(key.path());
    EXPECT_EQ(store.state(), HiveState::Missing);
    EXPECT_EQ(store.writeRefusal(), nullptr);
    TempDir dir;
    SettingsHive hive(dir.file("velnor.reg"), kHiveKeyPath);
    std::vector<HiveWrite> writes;
    for (const Case& c : cases)
        writes.push_back(HiveWrite{c.name, c.type, c.data.data(), c.data.size()});
    ASSERT_TRUE(store.setValues(writes.data(), writes.size()));
    ASSERT_TRUE(hive.setValues(writes.data(), writes.size()));
    EXPECT_EQ(store.state(), HiveState::Readable);
    for (const Case& c : cases) {
        HiveValue value;
        ASSERT_TRUE(store.query(c.name, value)) << c.name;
        EXPECT_EQ(value.type, c.type) << c.name;
        EXPECT_EQ(value.data, c.data) << c.name;
    }
    HiveValue missing;
    EXPECT_FALSE(store.query("CgiRoot", missing));
    const ServerSettings fromRegistry(std::make_unique<RegistryStore>(key.path()));
    const ServerSettings fromFile(dir.file("velnor.reg"));
    expectSameSettings(fromRegistry, fromFile);
    EXPECT_EQ(fromRegistry.port, 8080u);
    EXPECT_EQ(fromRegistry.timeout, 3000u);
    EXPECT_STREQ(fromRegistry.documentRoot, "\\srv\\www");
}

TEST(RegistryStore, AFailedWritePutsBackWhatItChanged) {
    if (!RegistryStore::available())
        GTEST_SKIP() << "this host has no registry";
    ScratchKey key;
    RegistryStore store(key.path());
    const std::vector<unsigned char> before = dword(1);
    const std::vector<unsigned char> after = dword(2);
    const HiveWrite first{"Port", kHiveDword, before.data(), before.size()};
    ASSERT_TRUE(store.setValues(&first, 1));
    // The registry refuses a name this long, after the two values before it were written.
    const std::string tooLong(20000, 'x');
    const HiveWrite writes[] = {{"Port", kHiveDword, after.data(), after.size()},
                                {"Timeout", kHiveDword, after.data(), after.size()},
                                {tooLong.c_str(), kHiveDword, after.data(), after.size()}};
    EXPECT_FALSE(store.setValues(writes, 3));
    HiveValue value;
    ASSERT_TRUE(store.query("Port", value));
    EXPECT_EQ(value.data, before);
    EXPECT_FALSE(store.query("Timeout", value)) << "a value that was not there is taken out";
}
