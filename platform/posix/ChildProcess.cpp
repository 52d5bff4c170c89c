#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/ChildReaper.h"
#include "platform/FileSystem.h"
#include "platform/HeapBlock.h"

namespace velnor::platform {
namespace {

constexpr std::size_t kOsPathCapacity = 4096;
constexpr std::size_t kErrorScratch = 4096;
// Reads of standard error per readiness event: enough to empty a full pipe, few enough
// that a flood cannot keep the wait from its own work.
constexpr int kErrorReadsPerEvent = 16;

long monotonicMs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return long(now.tv_sec) * 1000L + long(now.tv_nsec / 1000000);
}

int pollTimeout(long ms) noexcept {
    if (ms <= 0)
        return 0;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

// The OS form of a program path, made absolute: the child changes its directory before
// the program is looked up, which would take a relative path along with it.
bool absoluteOsPath(const char* path, char* out, std::size_t capacity) noexcept {
    char converted[kOsPathCapacity];
    if (path == nullptr || path[0] == '\0' || !toOsPath(path, converted, sizeof converted))
        return false;
    int written;
    if (converted[0] == '/') {
        written = std::snprintf(out, capacity, "%s", converted);
    } else {
        char current[kOsPathCapacity];
        if (::getcwd(current, sizeof current) == nullptr)
            return false;
        written = std::snprintf(out, capacity, "%s/%s", current, converted);
    }
    return written > 0 && std::size_t(written) < capacity;
}

// Pointers to the entries of an environment block, ended by a null pointer; null when
// memory runs out. The entries stay in the block.
HeapPtr<char*> environmentPointers(const char* block) noexcept {
    std::size_t count = 0;
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1)
        ++count;
    HeapPtr<char*> list(static_cast<char**>(std::calloc(count + 1, sizeof(char*))));
    if (!list)
        return list;
    std::size_t index = 0;
    for (const char* entry = block; entry != nullptr && *entry != '\0';
         entry += std::strlen(entry) + 1)
        list.get()[index++] = const_cast<char*>(entry);
    return list;
}

bool makePipe(UniqueHandle& readEnd, UniqueHandle& writeEnd) noexcept {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return true;
}

// A child end that sits at 0-2 (the server started without standard streams) could be
// overwritten while the ends are placed there; above 2 the placing order cannot matter.
bool moveAboveStandard(UniqueHandle& fd) noexcept {
    if (fd.get() > 2)
        return true;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0)
        return false;
    fd.reset(moved);
    return true;
}

// Only the server's ends: the flag belongs to the shared open pipe, and the child's ends
// must stay blocking for the program.
bool makeNonBlocking(const UniqueHandle& fd) noexcept {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

struct SpawnActions {
    SpawnActions() noexcept : ready(::posix_spawn_file_actions_init(&value) == 0) {}
    ~SpawnActions() {
        if (ready)
            ::posix_spawn_file_actions_destroy(&value);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t value;
    bool ready;
};

struct SpawnAttributes {
    SpawnAttributes() noexcept : ready(::posix_spawnattr_init(&value) == 0) {}
    ~SpawnAttributes() {
        if (ready)
            ::posix_spawnattr_destroy(&value);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t value;
    bool ready;
};

} // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), input_(std::move(other.input_)),
      output_(std::move(other.output_)), error_(std::move(other.error_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        finish(0);
        pid_ = std::exchange(other.pid_, -1);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        error_ = std::move(other.error_);
    }
    return *this;
}

StartFailure ChildProcess::start(const char* programPath, const char* workingDirectory,
                                 const char* environment) noexcept {
    finish(0);

    UniqueHandle inputRead, inputWrite, outputRead, outputWrite, errorRead, errorWrite;
    if (!makePipe(inputRead, inputWrite))
        return StartFailure::InputPipe;
    if (!makePipe(outputRead, outputWrite))
        return StartFailure::OutputPipe;
    if (!makePipe(errorRead, errorWrite))
        return StartFailure::ErrorPipe;
    if (!moveAboveStandard(inputRead) || !moveAboveStandard(outputWrite) ||
        !moveAboveStandard(errorWrite) || !makeNonBlocking(inputWrite) ||
        !makeNonBlocking(outputRead) || !makeNonBlocking(errorRead))
        return StartFailure::Duplication;

    char program[kOsPathCapacity];
    if (!absoluteOsPath(programPath, program, sizeof program))
        return StartFailure::Start;
    char directory[kOsPathCapacity];
    const bool changeDirectory = workingDirectory != nullptr && workingDirectory[0] != '\0';
    if (changeDirectory && !toOsPath(workingDirectory, directory, sizeof directory))
        return StartFailure::Start;
    HeapPtr<char*> variables = environmentPointers(environment);
    if (!variables)
        return StartFailure::Start;

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ready || !attributes.ready)
        return StartFailure::Start;
    // Every signal a program can name starts at its default. glibc's own two (32 and 33,
    // below SIGRTMIN) it leaves ignored in the child; programs cannot name them.
    sigset_t everySignal, noSignal;
    ::sigfillset(&everySignal);
    ::sigemptyset(&noSignal);
    // Everything else the server holds is close-on-exec already; closing from 3 up also
    // covers a descriptor someone else opened without the flag.
    const bool prepared =
        ::posix_spawn_file_actions_adddup2(&actions.value, inputRead.get(), 0) == 0 &&
        ::posix_spawn_file_actions_adddup2(&actions.value, outputWrite.get(), 1) == 0 &&
        ::posix_spawn_file_actions_adddup2(&actions.value, errorWrite.get(), 2) == 0 &&
        ::posix_spawn_file_actions_addclosefrom_np(&actions.value, 3) == 0 &&
        (!changeDirectory ||
         ::posix_spawn_file_actions_addchdir_np(&actions.value, directory) == 0) &&
        ::posix_spawnattr_setflags(&attributes.value, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                                          POSIX_SPAWN_SETSIGMASK) == 0 &&
        ::posix_spawnattr_setsigdefault(&attributes.value, &everySignal) == 0 &&
        ::posix_spawnattr_setsigmask(&attributes.value, &noSignal) == 0;
    if (!prepared)
        return StartFailure::Start;

    char* arguments[] = {program, nullptr};
    pid_t child = -1;
    // glibc reports a failed exec (missing, not executable, unknown format) as the result
    // here and reaps the child itself.
    if (::posix_spawn(&child, program, &actions.value, &attributes.value, arguments,
                      variables.get()) != 0)
        return StartFailure::Start;

    pid_ = child;
    input_ = std::move(inputWrite);
    output_ = std::move(outputRead);
    error_ = std::move(errorRead);
    return StartFailure::None;
}

int ChildProcess::waitReady(bool wantInput, long timeoutMs) noexcept {
    const long deadline = monotonicMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        pollfd watched[3] = {
            {int(output_.get()), POLLIN, 0},
            {wantInput ? int(input_.get()) : -1, POLLOUT, 0},
            {int(error_.get()), POLLIN, 0},
        };
        if (watched[0].fd < 0 && watched[1].fd < 0)
            return -1;
        const int result = ::poll(watched, 3, pollTimeout(deadline - monotonicMs()));
        if (result < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (watched[2].revents != 0)
            drainErrors();
        int ready = 0;
        if (watched[0].revents != 0)
            ready |= kOutputReadable;
        if (watched[1].revents != 0)
            ready |= kInputWritable;
        if (ready != 0)
            return ready;
        if (monotonicMs() >= deadline)
            return 0;
    }
}

void ChildProcess::drainErrors() noexcept {
    char scratch[kErrorScratch];
    for (int reads = 0; reads < kErrorReadsPerEvent && error_; ++reads) {
        const ssize_t n = ::read(error_.get(), scratch, sizeof scratch);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // The end, or a failure: either way nothing more will come to drain.
        error_.reset();
    }
}

long ChildProcess::writeInput(const void* data, std::size_t size) noexcept {
    if (!input_)
        return -1;
    if (size == 0)
        return 0;
    // A pipe whose reader is gone raises SIGPIPE in the writing thread. Blocked here, it
    // is taken back below unless it was pending already, so the process's own handling
    // of SIGPIPE does not matter.
    sigset_t brokenPipe, previous, pending;
    ::sigemptyset(&brokenPipe);
    ::sigaddset(&brokenPipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
    ::sigpending(&pending);
    const bool alreadyPending = ::sigismember(&pending, SIGPIPE) == 1;
    ssize_t n;
    do {
        n = ::write(input_.get(), data, size);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (n < 0 && error == EPIPE && !alreadyPending) {
        const timespec noWait{};
        while (::sigtimedwait(&brokenPipe, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (n >= 0)
        return long(n);
    return (error == EAGAIN || error == EWOULDBLOCK) ? -2 : -1;
}

long ChildProcess::readOutput(void* buffer, std::size_t size) noexcept {
    if (!output_)
        return -1;
    ssize_t n;
    do {
        n = ::read(output_.get(), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n >= 0)
        return long(n);
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
}

bool ChildProcess::hasExited() noexcept {
    siginfo_t info{};
    int result;
    do {
        // WNOWAIT leaves it unreaped: until then its number, and so its process group's,
        // cannot be handed to another process.
        result = ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        // ECHILD: someone else has reaped it already (SIGCHLD set to be ignored).
        reapedElsewhere_ = errno == ECHILD;
        return reapedElsewhere_;
    }
    return info.si_pid == pid_;
}

bool ChildProcess::waitForExit(long timeoutMs) noexcept {
    UniqueHandle exitFd;
#ifdef SYS_pidfd_open
    exitFd.reset(int(::syscall(SYS_pidfd_open, pid_, 0)));
#endif
    const long deadline = monotonicMs() + timeoutMs;
    int pause = 1;
    for (;;) {
        if (hasExited())
            return true;
        const long remaining = deadline - monotonicMs();
        if (remaining <= 0)
            return false;
        if (exitFd) {
            pollfd watched{int(exitFd.get()), POLLIN, 0};
            ::poll(&watched, 1, pollTimeout(remaining));
        } else {
            // Without process descriptors (older kernels) the wait falls back to polling.
            ::poll(nullptr, 0, pollTimeout(remaining < pause ? remaining : pause));
            pause = pause < 32 ? pause * 2 : pause;
        }
    }
}

void ChildProcess::leaveRunning(std::uint32_t limitMs) noexcept {
    input_.reset();
    output_.reset();
    error_.reset();
    if (pid_ <= 0)
        return;
    reapedElsewhere_ = false;
    if (hasExited() || reapedElsewhere_) {
        // Ended by itself: reaped without touching what it left in the background.
        finish(1);
        return;
    }
    if (reapLater(pid_, limitMs)) {
        pid_ = -1;
        return;
    }
    finish(0);
}

bool ChildProcess::finish(long graceMs) noexcept {
    // Without its pipes a program that still reads or writes meets the end of its input
    // or a broken pipe, which ends most programs by themselves.
    input_.reset();
    output_.reset();
    error_.reset();
    if (pid_ <= 0)
        return true;
    reapedElsewhere_ = false;
    bool byItself = hasExited();
    if (!byItself && graceMs > 0)
        byItself = waitForExit(graceMs);
    if (!reapedElsewhere_) {
        if (!byItself || graceMs <= 0)
            ::kill(-pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    return byItself;
}

} // namespace velnor::platform
