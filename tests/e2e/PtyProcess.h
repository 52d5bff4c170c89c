// A child program run the way an operator runs it: on a pseudo-terminal, or with pipes
// and no terminal at all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {

/// One child process whose output is collected by a thread of its own.
///
/// On a terminal the child is the session leader of a fresh pseudo-terminal (80 x 24),
/// so Ctrl-C typed there reaches it as a terminal would send it, and its standard
/// output and error arrive mixed as the screen shows them. Without a terminal its
/// standard input is a pipe the test writes to (or closes), and standard output and
/// error are kept apart. $VELNOR_REGISTRY is removed from the child's environment so
/// that the hive is always the one the test names.
class PtyProcess {
public:
    enum class Input { Terminal, Pipes };

    PtyProcess() = default;
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    // Starts `args` (args[0] is the program's path) in `workingDirectory`.
    bool start(Input input, const std::vector<std::string>& args,
               const std::filesystem::path& workingDirectory);

    // Bytes for the child's input: typed on the terminal, or written to its stdin pipe.
    bool type(const std::string& bytes);
    // Ends the child's input (the stdin pipe only; a terminal has no end of input).
    void closeInput();
    void signal(int number);

    // Waits until the screen text (escape sequences removed) holds `text` at or after
    // byte `from`, and returns the offset just past it, or npos after `limit`.
    std::size_t waitFor(const std::string& text, std::chrono::milliseconds limit = 10s,
                        std::size_t from = 0);
    // Waits for the child to end; SIGKILL when it is still there after `limit`.
    ExitReport waitExit(std::chrono::milliseconds limit = 10s);
    bool running() const noexcept { return pid_ > 0; }

    // Everything written to the terminal or to standard output, as received.
    std::string output() const;
    // The same with terminal control sequences and carriage returns removed.
    std::string screenText() const;
    // Standard error (without a terminal only).
    std::string errors() const;

private:
    void collect(int outFd, int errFd);

    int pid_ = -1;
    int inputFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    Input input_ = Input::Pipes;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::string errors_;
    bool closed_ = false;
};

// `raw` without ESC sequences (CSI, OSC and two-byte forms), carriage returns and
// other control bytes except line feeds and tabs.
std::string stripTerminalControls(const std::string& raw);

// Every line of `text` that begins with `prefix`.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix);

} // namespace velnor::e2e
