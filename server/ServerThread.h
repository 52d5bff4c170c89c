// The server thread: the listener and the fixed worker pool it feeds.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/SharedLibrary.h"
#include "platform/UniqueHandle.h"

namespace velnor {

// The access-log plug-in, in the program directory: dunmark.so here, dunmark.dll on Windows.
#define VELNOR_LOG_PLUGIN "dunmark" VELNOR_LIBRARY_SUFFIX
constexpr char16_t kLogPluginName[] = u"\\" VELNOR_LOG_PLUGIN;

class StatusBoard;
class ServerSettings;
class MimeTable;
class ErrorDocumentTable;
class GatewayRunner;

/// What the control window and the server thread share.
///
/// The run flag starts raised, so a stop asked for before the server thread has even
/// begun is never overwritten by the thread's start.
struct ServerControl {
    // Cleared to ask the server thread to stop.
    std::atomic<std::uint32_t> runFlag{1};
    // Set by the server thread as its very last act.
    std::atomic<std::uint32_t> ended{0};
    // Workers that had not ended within the shutdown wait and were left running; the
    // objects they read (settings, tables, gateways) must then outlive the process's
    // orderly end, so the program leaves without destroying them.
    std::atomic<std::uint32_t> abandonedWorkers{0};

    StatusBoard* board = nullptr;
    const ServerSettings* settings = nullptr;
    const MimeTable* mimeTable = nullptr;
    const ErrorDocumentTable* errorDocuments = nullptr;
    GatewayRunner* gateways = nullptr;
    // The local address to listen on, network order; 0.0.0.0 is every address.
    std::uint8_t bindAddress[4] = {0, 0, 0, 0};
    // Signalled with the run flag's clearing so the listener notices a stop at once
    // rather than at the end of its readiness wait; -1 when there is none.
    platform::SocketHandle stopWake = platform::kNoSocket;
    // The log plug-in's file; null means kLogPluginName in the program directory.
    const char16_t* logPluginPath = nullptr;

    // The listener's readiness wait, which bounds how long a stop goes unnoticed.
    std::uint32_t listenWaitMs = 3000;
    // How long the stop waits for the workers before leaving them behind.
    std::uint32_t shutdownWaitMs = 10000;
    // Rehearses a failed thread creation: creating worker number `failWorkerAt` fails.
    // Out of range (the default) means no failure.
    std::uint32_t failWorkerAt = 0xFFFFFFFF;
};

// The server thread's entry: start-up, the listener loop while the run flag is up, then
// the orderly stop. Returns 1 after an orderly stop and 0 after a start-up failure
// ("Memory error.", "Listen Failed.", "Create thread failed." on the status line).
int ServerThreadMain(ServerControl* control) noexcept;

// The answer of a listener whose every worker is busy.
inline constexpr char kServerBusyAnswer[] = "HTTP/1.0 503 Server busy\r\n\r\n";

} // namespace velnor
