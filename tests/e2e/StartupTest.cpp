// Starting the binary: where its settings come from, and how a failed start ends.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

class StartupTest : public ServerTest {};

TEST_F(StartupTest, PortThatCannotBeHadEndsTheProgramWithOne) {
    HeldPort held;
    ASSERT_GT(held.port(), 0);
    server.setDword("Port", static_cast<std::uint32_t>(held.port()));
    ExitReport report = server.runToExit({});
    EXPECT_TRUE(report.inTime) << "still running with its port taken";
    EXPECT_EQ(report.exitCode, 1);
    EXPECT_NE(server.output().find("Listen Failed."), std::string::npos);
}

TEST_F(StartupTest, ConfiguredPortIsUsed) {
    writeSampleTree(server);
    int port = freePort();
    ASSERT_GT(port, 0);
    server.setDword("Port", static_cast<std::uint32_t>(port));
    startServer();
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(roundTrip(port, get("/a.txt", "HTTP/1.0", "Connection: close\r\n")),
              fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText);
}

TEST_F(StartupTest, RegistryOptionNamesTheHive) {
    // The named hive serves another tree than the one beside the binary.
    server.writeDocument("a.txt", "from the program directory\n");
    std::filesystem::path other = server.root() / "other";
    std::filesystem::create_directories(other);
    std::ofstream(other / "a.txt") << "from the named hive\n";
    server.setString("DocRoot", other.string());
    std::filesystem::path hive = server.root() / "named.reg";
    server.writeHive(hive);
    server.setString("DocRoot", server.documentRoot().string());

    startServer({"--registry", hive.string()});
    std::string answer =
        roundTrip(server.port(), get("/a.txt", "HTTP/1.0", "Connection: close\r\n"));
    EXPECT_NE(answer.find("from the named hive"), std::string::npos) << answer;
}

TEST_F(StartupTest, DocumentSettingsAreHonoured) {
    writeSampleTree(server);
    server.writeDocument("start.htm", "start\n");
    server.writeDocument("locked/users.pw", "u:p\n");
    server.writeDocument("locked/page.txt", "locked\n");
    server.writeDocument("locked/access.cha", "not a password file any more\n");
    server.setString("DefaultDoc", "start.htm");
    server.setString("BasicAuthFile", "users.pw");
    server.setDword("DNSLookup", 1);
    startServer();
    auto closing = [](const std::string& target, const std::string& extra = "") {
        return get(target, "HTTP/1.0", "Connection: close\r\n" + extra);
    };
    EXPECT_EQ(roundTrip(server.port(), closing("/")),
              fileHead("HTTP/1.0", "200 OK", true, 6, "text/html") + "start\n");
    EXPECT_EQ(roundTrip(server.port(), closing("/locked/page.txt")),
              challenge("HTTP/1.0", "localhost/locked/page.txt"));
    EXPECT_EQ(
        roundTrip(server.port(), closing("/locked/page.txt", "Authorization: Basic dTpw\r\n")),
        fileHead("HTTP/1.0", "200 OK", true, 7, "text/plain") + "locked\n");
    EXPECT_EQ(roundTrip(server.port(), closing("/locked/users.pw")),
              bareStatus("HTTP/1.0", "404 Object Not Found", 358));
}

TEST_F(StartupTest, MissingDocumentRootWithoutTerminal) {
    // Nobody can answer the question, so nothing is created and the server still runs.
    std::filesystem::path absent = server.root() / "absent";
    server.setString("DocRoot", absent.string());
    startServer();
    EXPECT_EQ(roundTrip(server.port(), get("/")),
              bareStatus("HTTP/1.0", "404 Object Not Found", 358));
    EXPECT_FALSE(std::filesystem::exists(absent));
}

} // namespace
} // namespace velnor::e2e
