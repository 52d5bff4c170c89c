// The real server binary, run in a private program directory for one test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velnor::e2e {

using namespace std::chrono_literals;

// Every served file gets this modification time, so "Last-Modified" is known in advance.
constexpr std::int64_t kFixedMtime = 784111777;
constexpr const char* kFixedDate = "Sun, 06 Nov 1994 08:49:37 GMT";
constexpr const char* kDefaultSoftware = "VELNOR/2.34";

// How a stopped server ended.
struct ExitReport {
    int exitCode = -1; // the exit status, or -1 when a signal ended the process
    int signal = 0;    // the signal that ended it, 0 when it exited
    bool inTime = false;
    std::chrono::milliseconds elapsed{0};
};

/// One server process with its own program directory, document root and settings hive.
///
/// The binary is copied into the program directory because the server reads its own
/// files (AddType.txt, ErrorDocument.txt, the hive) from the directory of the
/// executable. The hive starts with a loopback-friendly configuration: an OS-picked
/// port and every path inside the temporary directory.
class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Hive values, written when the server starts.
    void setString(const std::string& name, const std::string& value);
    void setDword(const std::string& name, std::uint32_t value);

    // A file below the document root (parents created) with the fixed modification time.
    std::string writeDocument(const std::string& relative, const std::string& bytes);
    std::string makeDirectory(const std::string& relative);
    // A file next to the executable (AddType.txt, ErrorDocument.txt).
    void writeProgramFile(const std::string& name, const std::string& bytes);
    // Copies the built access-log plug-in next to the executable, where the server looks
    // for it. False when this build has none.
    bool installLogPlugin();

    const std::filesystem::path& root() const noexcept { return root_; }
    const std::filesystem::path& programDirectory() const noexcept { return programDir_; }
    const std::filesystem::path& documentRoot() const noexcept { return docRoot_; }

    // Writes the hive, starts the binary and waits up to `limit` for its "Port:" line.
    // `--bind 127.0.0.1` is always passed so no test listens beyond loopback.
    bool start(const std::vector<std::string>& extraArgs = {},
               std::chrono::milliseconds limit = 10s);
    // Starts the binary and waits for it to end by itself (a start-up failure).
    ExitReport runToExit(const std::vector<std::string>& extraArgs,
                         std::chrono::milliseconds limit = 10s);
    // SIGTERM (or `signal`), then SIGKILL once `limit` has passed. Safe to call twice.
    ExitReport stop(std::chrono::milliseconds limit = 15s, int signal = 15);

    int port() const noexcept { return port_; }
    // The server's process id while it runs (its descriptors and memory are in /proc).
    int pid() const noexcept { return pid_; }
    bool running() const noexcept { return pid_ > 0; }
    std::string output() const;

    // Writes the settings as a hive file; start() writes velnor.reg beside the binary.
    void writeHive(const std::filesystem::path& file) const;

private:
    bool spawn(const std::vector<std::string>& extraArgs);
    void drainOutput(int fd);
    ExitReport waitForExit(std::chrono::milliseconds limit);

    std::filesystem::path root_;
    std::filesystem::path programDir_;
    std::filesystem::path docRoot_;
    std::filesystem::path binary_;
    std::map<std::string, std::string> hiveLines_;

    int pid_ = -1;
    int port_ = 0;
    ExitReport lastExit_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool outputClosed_ = false;
};

/// Base fixture: a fresh server per test; its output is printed when the test fails, and
/// the orderly stop at the end must succeed.
class ServerTest : public ::testing::Test {
protected:
    void TearDown() override;
    // Starts the server and fails the test when it does not come up.
    void startServer(const std::vector<std::string>& extraArgs = {});

    ServerProcess server;
};

/// A loopback port held by a listener of the test's own, so that a server told to use it
/// cannot listen there.
class HeldPort {
public:
    HeldPort();
    ~HeldPort();
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    int port() const noexcept { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port that was free a moment ago.
int freePort();

// A deterministic byte pattern of `size` bytes (large-file and random-input tests).
std::string patternBytes(std::size_t size, std::uint32_t seed);

// Makes a directory entry that exists and is not a directory, but that no process can
// open for reading, root included (a bound Unix-domain socket). True on success.
bool makeUnopenableFile(const std::filesystem::path& path);

} // namespace velnor::e2e
