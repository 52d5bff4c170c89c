// The Windows server run under wine from this system: started with its output collected,
// stopped the way a console user stops it (Ctrl-C), its exit status read back.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velnor::wine {

using namespace std::chrono_literals;

// Runs a program to its end, its output and errors collected in `output`; its exit
// status, or -1.
int runToEnd(const std::vector<std::string>& args, std::chrono::milliseconds limit,
             std::string& output);

class WineServer {
public:
    WineServer() = default;
    ~WineServer();
    WineServer(const WineServer&) = delete;
    WineServer& operator=(const WineServer&) = delete;

    // Starts `wine program args...` and waits up to `limit` for the "Port: N" line.
    // The port it announced, or 0.
    int start(const std::vector<std::string>& args, std::chrono::milliseconds limit);
    // SIGINT, which wine hands to the console program as CTRL_C_EVENT; then waits up to
    // `limit`. The exit status, or -1 when the program did not end by itself in time
    // (it is killed then).
    int interrupt(std::chrono::milliseconds limit);
    std::string output() const;

private:
    int waitForExit(std::chrono::milliseconds limit);

    int pid_ = -1;
    std::atomic<bool> stopReading_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::string output_;
};

// A path of this system in the form the Windows program sees it through wine's Z: drive.
std::string windowsPath(const std::string& path);

// A TCP port on 127.0.0.1 that was free a moment ago (bound to 0 and read back).
int freePort();

} // namespace velnor::wine
