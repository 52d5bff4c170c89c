#include "tests/e2e/ServerProcess.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/RegText.h"

extern char** environ;

namespace velnor::e2e {

namespace fs = std::filesystem;

namespace {

void setFixedMtime(const fs::path& path) {
    timespec times[2] = {};
    times[0].tv_sec = kFixedMtime;
    times[1].tv_sec = kFixedMtime;
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// The port from a "Port: N" line of the output, or 0 while there is none.
int portFromOutput(const std::string& text) {
    std::size_t at = 0;
    while ((at = text.find("Port: ", at)) != std::string::npos) {
        bool lineStart = at == 0 || text[at - 1] == '\n';
        std::size_t end = text.find('\n', at);
        if (lineStart && end != std::string::npos)
            return std::atoi(text.c_str() + at + 6);
        at += 6;
    }
    return 0;
}

} // namespace

ServerProcess::ServerProcess() {
    std::string pattern = (fs::temp_directory_path() / "velnor-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return;
    root_ = pattern;
    programDir_ = root_ / "bin";
    docRoot_ = root_ / "www";
    fs::create_directories(programDir_);
    fs::create_directories(docRoot_);
    binary_ = programDir_ / "velnor";
    std::error_code failed;
    fs::copy_file(VELNOR_BINARY, binary_, failed);

    setDword("Port", 0);
    setString("DocRoot", docRoot_.string());
    setString("CgiRoot", (docRoot_ / "scripts").string());
    setString("LogFile", (root_ / "access_log.txt").string());
    setDword("StartServers", 4);
    setDword("KeepAlive", 1);
    setDword("DNSLookup", 0);
}

ServerProcess::~ServerProcess() {
    stop(5s);
    std::error_code ignored;
    if (!root_.empty())
        fs::remove_all(root_, ignored);
}

void ServerProcess::setString(const std::string& name, const std::string& value) {
    hiveLines_[name] = test::regString(value);
}

void ServerProcess::setDword(const std::string& name, std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    hiveLines_[name] = text;
}

std::string ServerProcess::writeDocument(const std::string& relative, const std::string& bytes) {
    fs::path path = docRoot_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    setFixedMtime(path);
    return path.string();
}

std::string ServerProcess::makeDirectory(const std::string& relative) {
    fs::path path = docRoot_ / relative;
    fs::create_directories(path);
    return path.string();
}

void ServerProcess::writeProgramFile(const std::string& name, const std::string& bytes) {
    std::ofstream(programDir_ / name, std::ios::binary) << bytes;
}

bool ServerProcess::installLogPlugin() {
#ifdef DUNMARK_PATH
    std::error_code failed;
    fs::copy_file(DUNMARK_PATH, programDir_ / "dunmark.so", fs::copy_options::overwrite_existing,
                  failed);
    return !failed;
#else
    return false;
#endif
}

void ServerProcess::writeHive(const fs::path& file) const {
    std::ofstream hive(file, std::ios::binary);
    hive << "Windows Registry Editor Version 5.00\r\n\r\n"
         << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\r\n";
    for (const auto& [name, value] : hiveLines_)
        hive << test::regString(name) << "=" << value << "\r\n";
}

bool ServerProcess::spawn(const std::vector<std::string>& extraArgs) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;

    std::vector<std::string> args = {binary_.string(), "--bind", "127.0.0.1"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The hive must be the one in the program directory, whatever the caller's shell says.
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "VELNOR_REGISTRY=", 16) != 0)
            envp.push_back(*entry);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    pid_t child = -1;
    int failed = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    if (failed != 0) {
        ::close(pipeEnds[0]);
        return false;
    }
    pid_ = child;
    {
        std::lock_guard lock(mutex_);
        output_.clear();
        outputClosed_ = false;
    }
    int readEnd = pipeEnds[0];
    reader_ = std::thread([this, readEnd] { drainOutput(readEnd); });
    return true;
}

void ServerProcess::drainOutput(int fd) {
    char block[4096];
    for (;;) {
        ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        std::lock_guard lock(mutex_);
        if (got <= 0) {
            outputClosed_ = true;
            changed_.notify_all();
            break;
        }
        output_.append(block, static_cast<std::size_t>(got));
        changed_.notify_all();
    }
    ::close(fd);
}

bool ServerProcess::start(const std::vector<std::string>& extraArgs,
                          std::chrono::milliseconds limit) {
    if (root_.empty() || running())
        return false;
    writeHive(programDir_ / "velnor.reg");
    if (!spawn(extraArgs))
        return false;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [this] {
        port_ = portFromOutput(output_);
        return port_ > 0 || outputClosed_;
    });
    return port_ > 0;
}

ExitReport ServerProcess::runToExit(const std::vector<std::string>& extraArgs,
                                    std::chrono::milliseconds limit) {
    if (root_.empty() || running())
        return {};
    writeHive(programDir_ / "velnor.reg");
    if (!spawn(extraArgs))
        return {};
    ExitReport report = waitForExit(limit);
    if (!report.inTime)
        stop(1s, SIGKILL);
    return report;
}

ExitReport ServerProcess::waitForExit(std::chrono::milliseconds limit) {
    auto begin = std::chrono::steady_clock::now();
    ExitReport report;
    while (pid_ > 0) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            if (done == pid_ && WIFEXITED(status))
                report.exitCode = WEXITSTATUS(status);
            if (done == pid_ && WIFSIGNALED(status))
                report.signal = WTERMSIG(status);
            report.inTime = true;
            pid_ = -1;
            break;
        }
        if (std::chrono::steady_clock::now() - begin >= limit)
            break;
        std::this_thread::sleep_for(10ms);
    }
    report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begin);
    if (pid_ < 0 && reader_.joinable())
        reader_.join();
    return report;
}

ExitReport ServerProcess::stop(std::chrono::milliseconds limit, int signal) {
    if (pid_ <= 0)
        return lastExit_;
    ::kill(pid_, signal);
    ExitReport report = waitForExit(limit);
    if (!report.inTime) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        report.signal = SIGKILL;
        pid_ = -1;
        if (reader_.joinable())
            reader_.join();
    }
    lastExit_ = report;
    return report;
}

std::string ServerProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

void ServerTest::startServer(const std::vector<std::string>& extraArgs) {
    ASSERT_TRUE(server.start(extraArgs)) << "the server did not report its port";
}

void ServerTest::TearDown() {
    if (server.running()) {
        ExitReport report = server.stop();
        EXPECT_TRUE(report.inTime) << "no orderly stop within 15 s";
        EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;
    }
    if (HasFailure())
        std::cerr << "---- server output ----\n" << server.output() << "---- end ----\n";
}

std::string patternBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xff);
    }
    return bytes;
}

HeldPort::HeldPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::listen(fd, 4) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        fd_ = fd;
        port_ = ntohs(address.sin_port);
    } else if (fd >= 0) {
        ::close(fd);
    }
}

HeldPort::~HeldPort() {
    if (fd_ >= 0)
        ::close(fd_);
}

int freePort() {
    HeldPort held;
    return held.port();
}

bool makeUnopenableFile(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string text = path.string();
    if (text.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (bound)
        setFixedMtime(path);
    return bound;
}

} // namespace velnor::e2e
