#include "server/ConsoleControlWindow.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "content/ErrorDocumentTable.h"
#include "content/MimeTable.h"
#include "core/ServerSettings.h"
#include "core/SocketConnection.h"
#include "gateway/GatewaySelection.h"
#include "platform/HostAddress.h"
#include "platform/Signals.h"
#include "platform/Terminal.h"
#include "platform/WakeEvent.h"
#include "server/ConfigCheck.h"
#include "server/ConsoleCommands.h"
#include "server/ConsoleDialogs.h"
#include "server/ConsoleDocumentRoot.h"
#include "server/ConsoleSetupDialog.h"
#include "server/ServerThread.h"
#include "server/StatusBoard.h"

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
// Standard output that cannot take a line within a tick (a full pipe, a stalled reader,
// a terminal paused with Ctrl-S) loses that line; the display shows the state it finds
// once the output drains. So the display's last look at a stop takes a tick or two.
constexpr long kWriteWaitMs = kTickMs;
// A write can still hang after the output looked ready (a terminal paused between the
// two); the stop waits this long for the display, then ends the process without it.
constexpr auto kDisplayStopLimit = std::chrono::seconds(2);
constexpr std::size_t kHostTextCapacity = 64;

std::uint64_t nowMs() {
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

class StandardOutputLines : public LineSink {
public:
    bool line(const char* text) noexcept override {
        char buffer[StatusBoard::kTextCapacity + 32];
        const int length = std::snprintf(buffer, sizeof buffer, "%s\n", text);
        if (length <= 0)
            return true;
        const std::size_t size = std::min(std::size_t(length), sizeof buffer - 1);
        return platform::writeOutputWithin(buffer, size, kWriteWaitMs);
    }
};

/// Shows the board from a thread of its own, so that a slow or stalled output never
/// holds up the server thread or a worker: they only write the board. The stop does not
/// wait on it for long either.
class StatusDisplay {
public:
    StatusDisplay(const StatusBoard& board, const char* hostText, bool panel) noexcept
        : board_(board), feed_(board, lines_), panel_(panel) {
        std::snprintf(host_, sizeof host_, "%s", hostText);
    }
    ~StatusDisplay() {
        // Reached after a successful Stop; the thread must not outlive what it reads.
        if (!Stop())
            platform::exitImmediately(kExitFailure);
    }
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
    // Shows whatever is left, then ends the thread. False when the thread is still
    // held up by the output after kDisplayStopLimit: the caller must then end the
    // process rather than destroy what the thread reads.
    bool Stop() noexcept {
        std::unique_lock<std::mutex> hold(mutex_);
        stopping_ = true;
        wake_.notify_all();
        if (!thread_.joinable()) {
            if (!finished_) {
                hold.unlock();
                show(true); // the thread never ran: show the final state from here
                finished_ = true;
            }
            return true;
        }
        if (!wake_.wait_for(hold, kDisplayStopLimit, [this] { return finished_; }))
            return false;
        hold.unlock();
        thread_.join();
        return true;
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
        hold.lock();
        finished_ = true;
        wake_.notify_all();
    }

    void show(bool final) noexcept {
        if (panel_)
            drawPanel();
        else
            writeLines(final);
    }

    void writeLines(bool final) noexcept {
        if (!hostShown_) {
            char line[kHostTextCapacity + 16];
            std::snprintf(line, sizeof line, "IP Addr: %s", host_);
            // The address line comes first; until the output takes it, nothing else.
            if (!lines_.line(line))
                return;
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
        // The port line joins the panel once the listener is up. A drawing the terminal
        // did not take is made again at the next look, with the state of that moment.
        if (!panel_writer_.draw(panelLines, port ? 4 : 3, kWriteWaitMs))
            return;
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
// and not made. Returns the stop request that ended a question, or None.
platform::StopRequest prepareDocumentRoot(ServerSettings& settings,
                                          ConsoleDialogs& dialogs) noexcept {
    if (EnsureDocumentRoot(settings, dialogs) == 0 &&
        dialogs.stopRequest() == platform::StopRequest::None)
        RunSetupDialog(settings, SetupFields::FromSettings(settings), true, dialogs);
    return dialogs.stopRequest();
}

// Ends the display and returns `status`; a display still held up by its output is not
// waited for: the process ends with `status` at once.
int finish(StatusDisplay& display, int status) noexcept {
    if (!display.Stop())
        platform::exitImmediately(status);
    return status;
}

// The close sequence: clear the run flag, then tick every 100 ms with the shutdown texts
// until the server thread has ended; past the forced-end limit the process ends without
// it, and without the display. Further stop signals are taken and change nothing.
void closeSequence(ServerControl& control, platform::WakeEvent& stopEvent,
                   StatusBoard& board) noexcept {
    control.runFlag.store(0, std::memory_order_release);
    stopEvent.signal();
    const auto started = Clock::now();
    std::uint32_t counter = kShutdownCounterStart;
    while (control.ended.load(std::memory_order_acquire) == 0) {
        if (Clock::now() - started >= kForcedEndAfter)
            platform::exitImmediately(kExitSuccess);
        board.postFrequent(StatusBoard::Frequent::Shutdown, ++counter);
        if (platform::waitStopSignal(kTickMs) == platform::StopRequest::Failed)
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
    if (const auto stop = prepareDocumentRoot(settings, dialogs);
        stop != platform::StopRequest::None)
        return platform::stopExitStatus(stop);
    // Once the document root is settled, so that one just made is no warning. The server
    // starts whatever is found: the operator learns why it will not serve as hoped.
    WarnAboutConfiguration(settings, line.bindAddress, stderr);

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
        control.stopWake = stopEvent.handle();

    // From here on threads run: each inherits the block, and the stop signals are taken
    // only by the waits below. Before, a stop signal simply ended the program, as it
    // still does should the block fail (without the close sequence, then).
    platform::blockStopSignals();
    StatusDisplay display(board, hostText, platform::standardOutputIsTerminal());
    display.Start();
    std::thread server;
    try {
        server = std::thread([&control] { ServerThreadMain(&control); });
    } catch (...) {
        board.post(StatusBoard::kStatusLine, "Create thread failed.");
        return finish(display, kExitFailure);
    }

    bool stopAsked = false;
    while (!stopAsked && control.ended.load(std::memory_order_acquire) == 0) {
        const platform::StopRequest stop = platform::waitStopSignal(kTickMs);
        if (stop == platform::StopRequest::Failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        else if (stop != platform::StopRequest::None)
            stopAsked = true;
    }
    if (!stopAsked) {
        // The server thread ended by itself: it could not start, and its status line
        // says why.
        server.join();
        return finish(display, kExitFailure);
    }
    closeSequence(control, stopEvent, board);
    server.join();
    finish(display, kExitSuccess);
    // Workers left running still read the settings and tables: they must not be
    // destroyed under them.
    if (control.abandonedWorkers.load() != 0)
        platform::exitImmediately(kExitSuccess);
    return kExitSuccess;
}

} // namespace velnor
