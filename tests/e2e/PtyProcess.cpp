#include "tests/e2e/PtyProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace velnor::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// Runs in the child between fork and exec: async-signal-safe calls only. The test
// program's signal mask and dispositions must not leak into the console under test.
[[noreturn]] void execChild(const char* directory, char* const* argv, char* const* envp) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
        sigaction(number, &standard, nullptr);
    if (chdir(directory) == 0)
        execve(argv[0], argv, envp);
    _exit(127);
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

std::string stripTerminalControls(const std::string& raw) {
    std::string plain;
    plain.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == 0x1b && i + 1 < raw.size()) {
            char kind = raw[++i];
            if (kind == '[') { // CSI: parameters, then one final byte 0x40-0x7e
                while (i + 1 < raw.size() && !(raw[i + 1] >= 0x40 && raw[i + 1] <= 0x7e))
                    ++i;
                ++i;
            } else if (kind == ']') { // OSC: up to BEL or ESC backslash
                while (i + 1 < raw.size() && raw[i + 1] != '\a' && raw[i + 1] != 0x1b)
                    ++i;
                ++i;
                if (i < raw.size() && raw[i] == 0x1b)
                    ++i;
            }
            // Any other ESC form is two bytes long and already consumed.
            continue;
        }
        if (c >= 0x20 || c == '\n' || c == '\t')
            plain += static_cast<char>(c);
    }
    return plain;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

PtyProcess::~PtyProcess() {
    if (running())
        waitExit(0ms);
    if (wakeFd_[1] >= 0) {
        char wake = 1;
        (void)!::write(wakeFd_[1], &wake, 1);
    }
    if (reader_.joinable())
        reader_.join();
    for (int fd : {inputFd_, wakeFd_[0], wakeFd_[1]})
        if (fd >= 0)
            ::close(fd);
}

bool PtyProcess::start(Input input, const std::vector<std::string>& args,
                       const std::filesystem::path& workingDirectory) {
    if (running() || args.empty())
        return false;
    // Everything the child needs is built before the fork.
    std::vector<std::string> argText = args;
    std::vector<char*> argv;
    for (auto& arg : argText)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "VELNOR_REGISTRY=", 16) != 0)
            envp.push_back(*entry);
    envp.push_back(nullptr);
    std::string directory = workingDirectory.string();
    if (wakeFd_[0] < 0 && ::pipe2(wakeFd_, O_CLOEXEC) != 0)
        return false;
    input_ = input;
    {
        std::lock_guard lock(mutex_);
        output_.clear();
        errors_.clear();
        closed_ = false;
    }

    if (input == Input::Terminal) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        int master = -1;
        pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
        if (child < 0)
            return false;
        if (child == 0)
            execChild(directory.c_str(), argv.data(), envp.data());
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        pid_ = child;
        inputFd_ = ::dup(master);
        reader_ = std::thread([this, master] { collect(master, -1); });
        return true;
    }

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {in[0], in[1], out[0], out[1]})
            ::close(fd);
        return false;
    }
    pid_t child = ::fork();
    if (child == 0) {
        // dup2 clears close-on-exec on the copies, so only 0, 1 and 2 reach the program.
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::setsid(); // no controlling terminal, whatever the test runner has
        execChild(directory.c_str(), argv.data(), envp.data());
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (child < 0) {
        for (int fd : {in[1], out[0], err[0]})
            ::close(fd);
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN); // a child that stops reading must not end the test
    pid_ = child;
    inputFd_ = in[1];
    reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { collect(outFd, errFd); });
    return true;
}

void PtyProcess::collect(int outFd, int errFd) {
    // Slot 2 is the wake-up from the destructor: a grandchild that keeps the far end
    // open must not keep this thread (and the test) alive.
    pollfd watched[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    int open = errFd >= 0 ? 2 : 1;
    char block[4096];
    while (open > 0) {
        if (::poll(watched, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watched[2].revents != 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0)
                continue;
            ssize_t got = ::read(watched[i].fd, block, sizeof block);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) { // end of a pipe, or EIO once the terminal's far side is gone
                ::close(watched[i].fd);
                watched[i].fd = -1;
                --open;
                continue;
            }
            std::lock_guard lock(mutex_);
            (i == 0 ? output_ : errors_).append(block, static_cast<std::size_t>(got));
            changed_.notify_all();
        }
    }
    for (int i = 0; i < 2; ++i)
        if (watched[i].fd >= 0)
            ::close(watched[i].fd);
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool PtyProcess::type(const std::string& bytes) {
    std::size_t done = 0;
    while (inputFd_ >= 0 && done < bytes.size()) {
        ssize_t put = ::write(inputFd_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return done == bytes.size();
}

void PtyProcess::closeInput() {
    if (input_ == Input::Pipes && inputFd_ >= 0) {
        ::close(inputFd_);
        inputFd_ = -1;
    }
}

void PtyProcess::signal(int number) {
    if (pid_ > 0)
        ::kill(pid_, number);
}

std::size_t PtyProcess::waitFor(const std::string& text, std::chrono::milliseconds limit,
                                std::size_t from) {
    std::size_t found = std::string::npos;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] {
        std::string screen = stripTerminalControls(output_);
        std::size_t at = from < screen.size() ? screen.find(text, from) : std::string::npos;
        if (at != std::string::npos)
            found = at + text.size();
        return found != std::string::npos || closed_;
    });
    return found;
}

ExitReport PtyProcess::waitExit(std::chrono::milliseconds limit) {
    ExitReport report;
    auto begin = Clock::now();
    auto deadline = begin + limit;
    while (pid_ > 0) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            if (WIFEXITED(status))
                report.exitCode = WEXITSTATUS(status);
            if (WIFSIGNALED(status))
                report.signal = WTERMSIG(status);
            report.inTime = true;
            pid_ = -1;
            break;
        }
        if (done < 0 && errno != EINTR) {
            pid_ = -1;
            break;
        }
        if (remainingMs(deadline) == 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            report.signal = SIGKILL;
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    // The last output arrives after the exit; a grandchild that kept the far end open
    // must not hold the test, so the wait for the end of output is bounded.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 2s, [this] { return closed_; });
    return report;
}

std::string PtyProcess::output() const {
    std::lock_guard lock(mutex_);
    return output_;
}

std::string PtyProcess::screenText() const {
    return stripTerminalControls(output());
}

std::string PtyProcess::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

} // namespace velnor::e2e
