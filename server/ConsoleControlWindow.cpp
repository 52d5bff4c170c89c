#include "server/ConsoleControlWindow.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "content/ErrorDocumentTable.h"
#include "content/MimeTable.h"
#include "gateway/GatewaySelection.h"
#include "platform/HostAddress.h"
#include "platform/Signals.h"
#include "platform/Terminal.h"
#include "platform/WakeEvent.h"
#include "server/ConsoleCommands.h"
#include "server/ConsoleDialogs.h"
#include "server/ConsoleDocumentRoot.h"
#include "server/ConsoleSetupDialog.h"
#include "server/ServerThread.h"
#include "server/StatusBoard.h"
#include "server/core/ServerSettings.h"
#include "server/core/SocketConnection.h"

namespace velnor {
namespace {

using Clock = std::chrono::steady_clock;

// The close sequence's tick counter starts here, as the window's does.
constexpr std::uint32_t kShutdownCounterStart = 45;
constexpr std::uint32_t kTickMs = 100;
// The server thread bounds its own stop at about 13 s (one 3-s listener wait and the
// 10-s wait for the workers); past this the process ends without it.
constexpr auto kForcedEndAfter = std::chrono::seconds(20);
// Lines are looked at twice a tick so that a text is never more than half a tick late;
// the panel is drawn at most once a tick.
constexpr std::uint32_t kLinePollMs = kTickMs / 2;
constexpr std::uint32_t kPanelPollMs = kTickMs;
constexpr std::size_t kHostTextCapacity = 64;

std::uint64_t nowMs() {
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

class StandardOutputLines : public LineSink {
public:
    void line(const char* text) noexcept override {
        char buffer[StatusBoard::kTextCapacity + 32];
        std::snprintf(buffer, sizeof buffer, "%s\n", text);
        platform::writeOutput(buffer);
    }
};

/// Shows the board from a thread of its own, so that a slow or stalled output never
/// holds up the server thread or a worker: they only write the board.
class StatusDisplay {
public:
    StatusDisplay(const StatusBoard& board, const char* hostText, bool panel) noexcept
        : board_(board), feed_(board, lines_), panel_(panel) {
        std::snprintf(host_, sizeof host_, "%s", hostText);
    }
    ~StatusDisplay() { Stop(); }
    StatusDisplay(const StatusDisplay&) = delete;
    StatusDisplay& operator=(const StatusDisplay&) = delete;

    bool Start() noexcept {
        try {
            thread_ = std::thread([this] { run(); });
            return true;
        } catch (...) {
            return false;
        }
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
        else if (!finished_)
            show(true); // the thread never ran: show the final state from here
    }

private:
    void run() noexcept {
        std::unique_lock<std::mutex> hold(mutex_);
        while (!stopping_) {
            hold.unlock();
            show(false);
            hold.lock();
            wake_.wait_for(hold, std::chrono::milliseconds(panel_ ? kPanelPollMs : kLinePollMs),
                           [this] { return stopping_; });
        }
        hold.unlock();
        show(true);
    }

    void show(bool final) noexcept {
        if (panel_)
            drawPanel();
        else
            writeLines(final);
        finished_ = final;
    }

    void writeLines(bool final) noexcept {
        if (!hostShown_) {
            char line[kHostTextCapacity + 16];
            std::snprintf(line, sizeof line, "IP Addr: %s", host_);
            lines_.line(line);
            hostShown_ = true;
        }
        feed_.poll(nowMs(), final);
    }

    void drawPanel() noexcept {
        char status[StatusBoard::kTextCapacity];
        board_.statusText(status, sizeof status);
        const std::uint16_t port = board_.listeningPort();
        if (drawnOnce_ && port == drawnPort_ && std::strcmp(status, drawnStatus_) == 0)
            return;
        char hostLine[kHostTextCapacity + 16];
        char statusLine[StatusBoard::kTextCapacity + 16];
        char portLine[32];
        std::snprintf(hostLine, sizeof hostLine, "IP Addr: %s", host_);
        // The window's status line reads "message..." until the server first writes it.
        std::snprintf(statusLine, sizeof statusLine, "Status: %s",
                      status[0] ? status : "message...");
        std::snprintf(portLine, sizeof portLine, "Port: %u", unsigned(port));
        const char* panelLines[] = {kWindowCaption, hostLine, statusLine, portLine};
        // The port line joins the panel once the listener is up.
        panel_writer_.draw(panelLines, port ? 4 : 3);
        std::memcpy(drawnStatus_, status, sizeof drawnStatus_);
        drawnPort_ = port;
        drawnOnce_ = true;
    }

    const StatusBoard& board_;
    StandardOutputLines lines_;
    StatusFeed feed_;
    platform::PanelWriter panel_writer_;
    const bool panel_;
    char host_[kHostTextCapacity] = {};
    bool hostShown_ = false;
    bool finished_ = false;
    bool drawnOnce_ = false;
    std::uint16_t drawnPort_ = 0;
    char drawnStatus_[StatusBoard::kTextCapacity] = {};

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

// Start-up steps 1 and 2: the document root, and the setup dialog when it is missing
// and not made. Returns the stop signal that ended a question, or 0.
int prepareDocumentRoot(ServerSettings& settings, ConsoleDialogs& dialogs) noexcept {
    if (EnsureDocumentRoot(settings, dialogs) == 0 && dialogs.stopSignal() == 0)
        RunSetupDialog(settings, SetupFields::FromSettings(settings), true, dialogs);
    return dialogs.stopSignal();
}

// The close sequence: clear the run flag, then tick every 100 ms with the shutdown texts
// until the server thread has ended; past the forced-end limit the process ends without
// it. Further stop signals are taken and change nothing.
void closeSequence(ServerControl& control, platform::WakeEvent& stopEvent, StatusBoard& board,
                   StatusDisplay& display) noexcept {
    control.runFlag.store(0, std::memory_order_release);
    stopEvent.signal();
    const auto started = Clock::now();
    std::uint32_t counter = kShutdownCounterStart;
    while (control.ended.load(std::memory_order_acquire) == 0) {
        if (Clock::now() - started >= kForcedEndAfter) {
            display.Stop();
            platform::exitImmediately(0);
        }
        board.postFrequent(StatusBoard::Frequent::Shutdown, ++counter);
        if (platform::waitStopSignal(kTickMs) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
    }
}

} // namespace

int RunControlWindow(ServerSettings& settings, const CommandLine& line) noexcept {
    char16_t programDirectory[kSettingTextCapacity] = {};
    ProgramDirectory(programDirectory, kSettingTextCapacity);
    MimeTable mimeTable;
    mimeTable.build(programDirectory);
    ErrorDocumentTable errorDocuments;
    errorDocuments.load(programDirectory);

    SocketConnection::StartSockets();
    StandardDialogs dialogs(platform::haveTerminal(), line.answerYes);
    if (const int signal = prepareDocumentRoot(settings, dialogs))
        return 128 + signal;

    char hostText[kHostTextCapacity];
    platform::hostAddressText(hostText, sizeof hostText);

    StatusBoard board;
    ServerControl control;
    control.board = &board;
    control.settings = &settings;
    control.mimeTable = &mimeTable;
    control.errorDocuments = &errorDocuments;
    Gateways gateways;
    control.gateways = &gateways;
    std::memcpy(control.bindAddress, line.bindAddress, sizeof control.bindAddress);
    platform::WakeEvent stopEvent;
    if (stopEvent.open())
        control.stopWakeFd = stopEvent.descriptor();

    StatusDisplay display(board, hostText, platform::standardOutputIsTerminal());
    display.Start();
    std::thread server;
    try {
        server = std::thread([&control] { ServerThreadMain(&control); });
    } catch (...) {
        board.post(StatusBoard::kStatusLine, "Create thread failed.");
        display.Stop();
        return kExitFailure;
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
        // The server thread ended by itself: it could not start, and its status line
        // says why.
        server.join();
        display.Stop();
        return kExitFailure;
    }
    closeSequence(control, stopEvent, board, display);
    server.join();
    display.Stop();
    // Workers left running still read the settings and tables: they must not be
    // destroyed under them.
    if (control.abandonedWorkers.load() != 0)
        platform::exitImmediately(kExitSuccess);
    return kExitSuccess;
}

} // namespace velnor
