#include "tests/wine/WineServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velnor::wine {

namespace {

using Clock = std::chrono::steady_clock;

// Starts `args` with standard input from /dev/null and output to `outputFd` (-1: to
// /dev/null). The process id, or -1.
pid_t spawn(const std::vector<std::string>& args, int outputFd) {
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (auto& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
        posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t child = -1;
    const int failed = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? child : -1;
}

// The exit status of `pid` once it ends within `limit`; -1 when it does not (or was
// ended by a signal). `pid` is set to -1 once the process is gone.
int reap(pid_t& pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (pid > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            pid = -1;
            return -1;
        }
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

} // namespace

int runToEnd(const std::vector<std::string>& args, std::chrono::milliseconds limit,
             std::string& output) {
    output.clear();
    std::FILE* collected = std::tmpfile();
    pid_t pid = spawn(args, collected != nullptr ? ::fileno(collected) : -1);
    if (pid < 0)
        output = "could not start " + args.front() + ": " + std::strerror(errno) + "\n";
    const int status = reap(pid, limit);
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        reap(pid, 5s);
    }
    if (collected != nullptr) {
        std::rewind(collected);
        char block[4096];
        for (std::size_t got; (got = std::fread(block, 1, sizeof block, collected)) > 0;)
            output.append(block, got);
        std::fclose(collected);
    }
    return status;
}

WineServer::~WineServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, 5s);
    }
    stopReading_ = true;
    if (reader_.joinable())
        reader_.join();
}

int WineServer::start(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return 0;
    pid_ = spawn(args, ends[1]);
    ::close(ends[1]);
    if (pid_ < 0) {
        ::close(ends[0]);
        return 0;
    }
    // wine's own helper processes may keep the pipe open after the program ends, so the
    // reader polls and stops when told, not at the end of the pipe.
    reader_ = std::thread([this, fd = ends[0]] {
        char block[4096];
        while (!stopReading_) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0)
                continue;
            const ssize_t got = ::read(fd, block, sizeof block);
            if (got <= 0)
                break;
            std::lock_guard lock(mutex_);
            output_.append(block, static_cast<std::size_t>(got));
        }
        ::close(fd);
    });
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && pid_ > 0) {
        const std::string text = output();
        const std::size_t at = text.find("Port: ");
        if (at != std::string::npos && (at == 0 || text[at - 1] == '\n') &&
            text.find('\n', at) != std::string::npos)
            return std::atoi(text.c_str() + at + 6);
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1;
        std::this_thread::sleep_for(50ms);
    }
    return 0;
}

int WineServer::interrupt(std::chrono::milliseconds limit) {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGINT);
    const int status = reap(pid_, limit);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, 5s);
    }
    return status;
}

std::string WineServer::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::string windowsPath(const std::string& path) {
    std::string text = "Z:" + path;
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

} // namespace velnor::wine
