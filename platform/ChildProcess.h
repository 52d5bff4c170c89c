// A program started as a child process that speaks over three pipes (standard input,
// output and error), the way CGI programs are run.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef _WIN32
#include <memory>
#endif

#include "platform/UniqueHandle.h"

namespace velnor::platform {

// The step at which starting a program failed.
enum class StartFailure {
    None,
    InputPipe,
    OutputPipe,
    ErrorPipe,
    // Preparing the pipe ends (moving them clear of 0-2, making the server's ends
    // non-blocking) failed.
    Duplication,
    // The program could not be started: missing, not executable, not a program the
    // system can run, its path or directory unusable, or no memory.
    Start,
};

/// One started program with the server's ends of its three pipes; it runs in a process
/// group of its own (a session here, a job object on Windows, which also holds whatever
/// it starts), and is always reaped (ended first when it will not end by itself).
class ChildProcess {
public:
    // Readiness bits of waitReady.
    static constexpr int kInputWritable = 1;
    static constexpr int kOutputReadable = 2; // bytes, the end or an error: a read won't block

    ChildProcess() = default;
    ~ChildProcess() { finish(0); }
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program at `programPath` (a server path, "\" or "/" separators; one
    // without a leading separator is relative to the server's working directory) with
    // argv[0] = its path. The child gets exactly its three pipe ends as descriptors 0-2,
    // `environment` ("NAME=value\0...\0"; null for none) as its whole environment,
    // `workingDirectory` (null or empty: the server's) as working directory, a session of
    // its own, default signal dispositions and an empty signal mask. Any program held
    // before is finished first. On Windows the pipe ends are its three standard handles,
    // the only handles it inherits; it gets a hidden console of its own, and only a name
    // ending in ".exe" is run.
    StartFailure start(const char* programPath, const char* workingDirectory,
                       const char* environment) noexcept;

    // Started and not yet reaped.
    bool running() const noexcept { return pid_ > 0; }
    int pid() const noexcept { return pid_; }

    // Waits up to `timeoutMs` until output can be read, or input written (asked for by
    // `wantInput` while the input is open). Standard error is read and dropped all the
    // while, so a program that floods it never stalls; that is no progress, though, and
    // does not end the wait. The ready bits, 0 when the time ran out, -1 on failure.
    int waitReady(bool wantInput, long timeoutMs) noexcept;

    // Never block. Bytes moved; 0 from readOutput at the end of the output; -2 when the
    // call would block; -1 on failure (for writeInput: the program no longer reads its
    // input, which raises no SIGPIPE).
    long writeInput(const void* data, std::size_t size) noexcept;
    long readOutput(void* buffer, std::size_t size) noexcept;

    // The program sees the end of its input.
    void closeInput() noexcept { input_.reset(); }

    // Closes the server's pipe ends and reaps the program. With `graceMs` > 0 it has
    // that long to end by itself, and when it does, whatever it left running in the
    // background is left alone; otherwise, and always with 0, its whole process group is
    // ended with SIGKILL first. True when the program had ended by itself (or nothing was
    // running).
    bool finish(long graceMs) noexcept;

    // Closes the server's pipe ends and lets the program finish its work without anyone
    // waiting on it: one that has exited is reaped now, any other goes to the reaper,
    // which ends its group once `limitMs` has passed. When the reaper cannot take it,
    // the group is ended and reaped now.
    void leaveRunning(std::uint32_t limitMs) noexcept;

private:
    // Ended, but left unreaped.
    bool hasExited() noexcept;
    bool waitForExit(long timeoutMs) noexcept;
    void drainErrors() noexcept;

    int pid_ = -1;
    bool reapedElsewhere_ = false;
#ifdef _WIN32
    // The server's pipe ends with their transfers in flight. The system writes into
    // them until a transfer completes, so they stay in one place on the heap, moves
    // included.
    struct Pipes;
    struct PipesDeleter {
        void operator()(Pipes* pipes) const noexcept;
    };
    // What closeInput() closes: a write still in flight is let through first, so the
    // program receives every byte it was handed before it sees the end.
    struct InputEnd {
        void reset() noexcept;
        Pipes* pipes = nullptr;
    };
    void closePipes() noexcept;
    void endAll() noexcept;

    std::unique_ptr<Pipes, PipesDeleter> pipes_;
    InputEnd input_;
    UniqueHandle process_;
    // Holds the program and every process it starts, so they can be ended as one.
    UniqueHandle job_;
#else
    UniqueHandle input_;
    UniqueHandle output_;
    UniqueHandle error_;
#endif
};

} // namespace velnor::platform
