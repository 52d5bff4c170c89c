// The settings hive as the velnor program writes it: updates from processes that run at
// once, and the hives and texts it refuses.
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/ServerSettings.h"
#include "core/SettingsHive.h"
#include "tests/e2e/PtyProcess.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;
using Input = PtyProcess::Input;

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class HiveTest : public ::testing::Test {
protected:
    fs::path hivePath() const { return sandbox.programDirectory() / "velnor.reg"; }

    bool start(PtyProcess& run, std::initializer_list<std::string> rest) const {
        std::vector<std::string> args = {(sandbox.programDirectory() / "velnor").string(),
                                         "--registry", hivePath().string()};
        args.insert(args.end(), rest.begin(), rest.end());
        if (!run.start(Input::Pipes, args, sandbox.root()))
            return false;
        run.closeInput();
        return true;
    }

    std::uint32_t storedDword(const char* name) const {
        HiveValue value;
        if (!SettingsHive(hivePath().string(), kHiveKeyPath).query(name, value) ||
            value.data.size() != 4)
            return 0;
        return value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
               std::uint32_t(value.data[3]) << 24;
    }

    ServerProcess sandbox; // never started: it provides the directories and the binary
};

// Two updates at once each read the hive and write it back; without the lock the later
// rename drops the other's change.
TEST_F(HiveTest, SetsRunAtOnceLoseNoUpdate) {
    sandbox.writeHive(hivePath());
    int lost = 0;
    for (std::uint32_t round = 1; round <= 20; ++round) {
        PtyProcess port;
        PtyProcess logSize;
        ASSERT_TRUE(start(port, {"set", "Port", std::to_string(1000 + round)}));
        ASSERT_TRUE(start(logSize, {"set", "LogSize", std::to_string(5000 + round)}));
        EXPECT_EQ(port.waitExit(10s).exitCode, 0) << port.errors();
        EXPECT_EQ(logSize.waitExit(10s).exitCode, 0) << logSize.errors();
        lost += (storedDword("Port") != 1000 + round) + (storedDword("LogSize") != 5000 + round);
    }
    EXPECT_EQ(lost, 0);
}

// A refused command exits 1, says why on standard error, and leaves the hive as it was.
TEST_F(HiveTest, RefusalsLeaveTheHiveAsItWas) {
    std::string twoByte;
    for (int i = 0; i < 130; ++i)
        twoByte += "\xC3\xA9"; // 130 characters, 260 bytes
    const std::string root = (sandbox.root() / "site").string();
    struct Case {
        const char* what;
        bool fifo; // the hive is a FIFO instead of the sandbox's hive file
        std::initializer_list<std::string> args;
        int exitCode;
        const char* says; // on standard output or error
    };
    const Case cases[] = {
        {"set into a FIFO", true, {"set", "Port", "81"}, 1, "not a regular file"},
        {"settings from a FIFO", true, {"settings"}, 0, "not a regular file; the defaults"},
        {"a text over the record's bytes", false, {"set", "DocRoot", twoByte}, 1, "259 bytes"},
        {"setup with a line break in a root",
         false,
         {"setup", "--docroot", root, "--extroot", root + "/a\nb", "--port", "8080", "--servers",
          "4", "--yes"},
         1,
         "Extension root must be"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(hivePath());
        if (c.fifo)
            ASSERT_EQ(::mkfifo(hivePath().c_str(), 0600), 0);
        else
            sandbox.writeHive(hivePath());
        const std::string before = c.fifo ? "" : fileBytes(hivePath());
        PtyProcess run;
        ASSERT_TRUE(start(run, c.args));
        const ExitReport report = run.waitExit(10s);
        EXPECT_TRUE(report.inTime);
        EXPECT_EQ(report.exitCode, c.exitCode) << run.output() << run.errors();
        const std::string said = run.output() + run.errors();
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        if (c.fifo)
            EXPECT_TRUE(fs::is_fifo(hivePath()));
        else
            EXPECT_EQ(fileBytes(hivePath()), before);
    }
}

} // namespace
} // namespace velnor::e2e
