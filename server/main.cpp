// The velnor program: a console stand-in for the control window. It loads the settings
// and tables, runs the server thread, shows its status lines, and stops the server on
// SIGINT or SIGTERM.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "content/ErrorDocumentTable.h"
#include "content/MimeTable.h"
#include "gateway/GatewaySelection.h"
#include "platform/Signals.h"
#include "platform/Socket.h"
#include "platform/WakeEvent.h"
#include "server/ServerThread.h"
#include "server/StatusBoard.h"
#include "server/core/ServerSettings.h"
#include "server/core/SocketConnection.h"

namespace {

using namespace velnor;
using Clock = std::chrono::steady_clock;

// The close sequence's tick counter starts here, as the window's does.
constexpr std::uint32_t kShutdownCounterStart = 45;
constexpr std::uint32_t kTickMs = 100;
// The server thread bounds its own stop at about 13 s (one 3-s listener wait and the
// 10-s wait for the workers); past this the process ends without it.
constexpr auto kForcedEndAfter = std::chrono::seconds(20);

struct Options {
    const char* registry = nullptr;
    std::uint8_t bindAddress[4] = {0, 0, 0, 0};
    bool help = false;
};

void usage(std::FILE* out) {
    std::fputs("usage: velnor [--registry FILE] [--bind ADDRESS]\n"
               "  --registry FILE  settings hive (default: $VELNOR_REGISTRY, else velnor.reg\n"
               "                   in the program directory)\n"
               "  --bind ADDRESS   listen on this IPv4 address only (default: every address)\n"
               "  --help           show this text\n",
               out);
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            options.help = true;
        } else if (std::strcmp(argv[i], "--registry") == 0 && i + 1 < argc) {
            options.registry = argv[++i];
        } else if (std::strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
            if (!platform::parseIpv4Address(argv[++i], options.bindAddress)) {
                std::fprintf(stderr, "velnor: not an IPv4 address: %s\n", argv[i]);
                return false;
            }
        } else {
            std::fprintf(stderr, "velnor: unknown or incomplete option: %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

class StandardOutput : public LineSink {
public:
    void line(const char* text) noexcept override {
        std::printf("%s\n", text);
        std::fflush(stdout);
    }
};

/// Shows the board's lines from a thread of its own, so that output never holds up the
/// server thread.
class Console {
public:
    explicit Console(const StatusBoard& board) : feed_(board, output_) {}
    ~Console() { Stop(); }

    void Start() {
        thread_ = std::thread([this] { run(); });
    }
    // Shows whatever is left, then ends the thread.
    void Stop() noexcept {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    static std::uint64_t nowMs() {
        return std::uint64_t(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
                .count());
    }

    void run() {
        std::unique_lock<std::mutex> hold(mutex_);
        while (!stopping_) {
            hold.unlock();
            feed_.poll(nowMs(), false);
            hold.lock();
            wake_.wait_for(hold, std::chrono::milliseconds(kTickMs / 2),
                           [this] { return stopping_; });
        }
        hold.unlock();
        feed_.poll(nowMs(), true);
    }

    StandardOutput output_;
    StatusFeed feed_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

int run(const Options& options) {
    ServerSettings settings(HivePath(options.registry));
    char16_t programDirectory[kSettingTextCapacity] = {};
    ProgramDirectory(programDirectory, kSettingTextCapacity);
    MimeTable mimeTable;
    mimeTable.build(programDirectory);
    ErrorDocumentTable errorDocuments;
    errorDocuments.load(programDirectory);
    SocketConnection::StartSockets();

    StatusBoard board;
    ServerControl control;
    control.board = &board;
    control.settings = &settings;
    control.mimeTable = &mimeTable;
    control.errorDocuments = &errorDocuments;
    Gateways gateways;
    control.gateways = &gateways;
    std::memcpy(control.bindAddress, options.bindAddress, sizeof control.bindAddress);
    platform::WakeEvent stopEvent;
    if (stopEvent.open())
        control.stopWakeFd = stopEvent.descriptor();

    Console console(board);
    console.Start();
    std::thread server;
    try {
        server = std::thread([&control] { ServerThreadMain(&control); });
    } catch (...) {
        board.post(StatusBoard::kStatusLine, "Create thread failed.");
        console.Stop();
        return 1;
    }

    bool stopAsked = false;
    while (!stopAsked && control.ended.load(std::memory_order_acquire) == 0) {
        const int signal = platform::waitStopSignal(kTickMs);
        if (signal > 0)
            stopAsked = true;
        else if (signal < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    if (!stopAsked) {
        // The server thread ended by itself: it could not start.
        server.join();
        console.Stop();
        return 1;
    }

    control.runFlag.store(0, std::memory_order_release);
    stopEvent.signal();
    const auto started = Clock::now();
    std::uint32_t counter = kShutdownCounterStart;
    while (control.ended.load(std::memory_order_acquire) == 0) {
        if (Clock::now() - started >= kForcedEndAfter) {
            console.Stop();
            platform::exitImmediately(0);
        }
        board.postFrequent(StatusBoard::Frequent::Shutdown, ++counter);
        // Further stop signals are taken here and change nothing.
        if (platform::waitStopSignal(kTickMs) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
    server.join();
    console.Stop();
    // Workers left running still read the settings and tables: they must not be
    // destroyed under them.
    if (control.abandonedWorkers.load() != 0)
        platform::exitImmediately(0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    if (options.help) {
        usage(stdout);
        return 0;
    }
    // Before any thread exists, so every thread inherits the block and the stop
    // signals reach only the waits below.
    if (!velnor::platform::blockStopSignals()) {
        std::fputs("velnor: cannot block the stop signals\n", stderr);
        return 1;
    }
    try {
        return run(options);
    } catch (...) {
        std::fputs("velnor: out of memory\n", stderr);
        return 1;
    }
}
