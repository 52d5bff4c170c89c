// The installed layout puts only a symbolic link to the program on the PATH
// (bin/velnor -> ../lib/velnor/velnor). Started through such a link, the server must still
// read its own files from the directory the program really lives in: the hive, the
// content types of AddType.txt and the log plug-in.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/ServerProcess.h"

extern char** environ;

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;

// The program started by a path of the test's choosing, with the caller's environment
// minus VELNOR_REGISTRY, so that the hive can only be found beside the real program.
class LinkedServer {
public:
    explicit LinkedServer(const fs::path& command) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return;
        std::string path = command.string();
        std::string bind = "--bind", address = "127.0.0.1";
        char* argv[] = {path.data(), bind.data(), address.data(), nullptr};
        std::vector<char*> envp;
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (std::strncmp(*entry, "VELNOR_REGISTRY=", 16) != 0)
                envp.push_back(*entry);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 2);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        output_ = ends[0];
    }

    ~LinkedServer() {
        stop();
        if (output_ >= 0)
            ::close(output_);
    }

    LinkedServer(const LinkedServer&) = delete;
    LinkedServer& operator=(const LinkedServer&) = delete;

    // The port of the first "Port: N" line, 0 when the output ends without one.
    int waitForPort() {
        char block[512];
        for (;;) {
            const std::size_t line = text_.find("Port: ");
            if (line != std::string::npos && text_.find('\n', line) != std::string::npos)
                return std::atoi(text_.c_str() + line + 6);
            const ssize_t got = ::read(output_, block, sizeof block);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return 0;
            text_.append(block, static_cast<std::size_t>(got));
        }
    }

    // SIGTERM and the exit status; the orderly stop also ends every log call.
    int stop() {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& output() const noexcept { return text_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string text_;
};

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct LinkCase {
    const char* name;
    const char* linkDirectory; // below the test's root, away from the program directory
    bool relative;             // the link's target written relative to the link
    bool chained;              // a link to a link to the program
};

TEST(InstallLayoutTest, ServerStartedThroughALinkUsesTheRealProgramDirectory) {
    const LinkCase cases[] = {
        {"absolute link", "usr/bin", false, false},
        {"relative link, as installed", "usr/bin", true, false},
        {"link to a link", "usr/local/bin", true, true},
    };
    for (const LinkCase& item : cases) {
        SCOPED_TRACE(item.name);
        ServerProcess server;
        server.writeDocument("page.vtx", "typed\n");
        server.writeProgramFile("AddType.txt", ".vtx application/x-velnor-test\n");
        ASSERT_TRUE(server.installLogPlugin());
        server.writeHive(server.programDirectory() / "velnor.reg");

        const fs::path real = server.programDirectory() / "velnor";
        const fs::path linkDir = server.root() / item.linkDirectory;
        fs::create_directories(linkDir);
        fs::path link = linkDir / "velnor";
        fs::create_symlink(item.relative ? fs::relative(real, linkDir) : real, link);
        if (item.chained) {
            const fs::path outer = server.root() / "opt" / "velnor";
            fs::create_directories(outer.parent_path());
            fs::create_symlink(link, outer);
            link = outer;
        }

        LinkedServer linked(link);
        const int port = linked.waitForPort();
        ASSERT_GT(port, 0) << linked.output();
        const std::string answer =
            roundTrip(port, "GET /page.vtx HTTP/1.0\r\nConnection: close\r\n\r\n");
        EXPECT_NE(answer.find("HTTP/1.0 200 OK\r\n"), std::string::npos) << answer;
        EXPECT_NE(answer.find("Content-Type: application/x-velnor-test\r\n"), std::string::npos)
            << answer;
        EXPECT_EQ(linked.stop(), 0) << linked.output();

        const std::string log = fileText(server.root() / "access_log.txt");
        EXPECT_NE(log.find("\"GET /page.vtx HTTP/1.0\" 200 6"), std::string::npos) << log;
    }
}

} // namespace
} // namespace velnor::e2e
