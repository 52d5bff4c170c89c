// The worker pool: one slot per worker, the state the workers share, and the worker's
// request loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "content/TextTable.h"
#include "core/ServerSettings.h"
#include "http/RequestContext.h"
#include "platform/SharedLibrary.h"
#include "platform/Socket.h"
#include "server/ConnectionPark.h"
#include "server/IdleWorkers.h"

namespace velnor {

// The access-log plug-in's entry: log path, size limit, status (999 given as 200) and
// the request's header table, read in place during the call.
using LogEntry = int (*)(const char16_t* logPath, std::uint32_t sizeLimit, std::int32_t status,
                         const TextTable* headerTable);

/// One worker's place in the pool.
class WorkerSlot {
public:
    // A WorkerState: idle while the worker waits for a connection with input, inside
    // while it serves one.
    std::atomic<std::uint32_t> busy{0};
    std::uint32_t number = 0;
    LogEntry logEntry = nullptr;
    std::mutex* logLock = nullptr;
    // The peer of the connection being served.
    platform::PeerAddress peer;

private:
    friend class WorkerPool;
    bool finished_ = false; // guarded by the pool's completion lock
};

/// What the server thread shares with its workers. Every worker holds it, so a worker
/// that outlives the shutdown wait still finds its slot, the log lock and the plug-in
/// intact; the last holder releases them.
class WorkerPool {
public:
    WorkerPool() noexcept = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The zero-filled slot table; false when memory runs out.
    bool AllocateSlots(std::uint32_t count) noexcept;

    // Called by a worker as its last act.
    void MarkFinished(WorkerSlot& slot) noexcept;
    // Waits until `expected` workers have finished or `timeoutMs` has passed; true when
    // all have.
    bool WaitFinished(std::uint32_t expected, std::uint32_t timeoutMs) noexcept;
    bool HasFinished(const WorkerSlot& slot) noexcept;

    std::unique_ptr<WorkerSlot[]> slots;
    std::uint32_t slotCount = 0;
    // Where connections wait for their requests, and how many workers are inside one.
    ConnectionPark park;
    IdleWorkers idle;
    std::atomic<std::uint32_t> inside{0};
    // 1 once the stop has begun: every connection ends at its next request boundary.
    std::atomic<std::uint32_t> stopping{0};
    // 1 when the latest arrival found every worker inside a request, or the server is
    // stopping.
    std::atomic<std::uint32_t> serverBusy{0};
    std::mutex logLock;
    // Guarded by logLock: whether the latest record failed, and how many have failed
    // since the latest one that was written.
    bool logFailing = false;
    std::uint64_t logLost = 0;
    platform::SharedLibrary plugin;
    ServerConfig config;
    std::uint32_t keepAlive = 1;
    GatewayRunner* gateways = nullptr;

private:
    std::mutex doneMutex_;
    std::condition_variable doneSignal_;
    std::uint32_t finished_ = 0;
};

// The protocol level of a request line as persistence knows it: the version it names,
// HTTP/0.9 for a line without one (the parser answers such a line as HTTP/1.0).
enum class HttpLevel { Http09, Http10, Http11 };
HttpLevel httpLevelOf(const char* requestLine, const char* version) noexcept;

// Whether the "connection" entries of the header table (every one, any letter case) hold
// `token` in their comma lists, ASCII case ignored.
bool connectionHasToken(TextTable& headers, const char* token) noexcept;

// The keep-alive decision: 1 (close after this answer) when keep-alive is off, the
// client sent "close", an HTTP/1.0 client did not send "keep-alive", the request is
// HTTP/0.9 or has no version, the pool was full at the latest arrival, or the status is
// 400 or more (999, a gateway target, included).
int decideCloseFlag(std::uint32_t keepAliveSetting, HttpLevel level, bool askedClose,
                    bool askedKeepAlive, std::uint32_t serverBusy, int status) noexcept;

// Whether another request is read on the same connection after this final status.
bool keepsConnection(int finalStatus, int closeFlag) noexcept;

// The worker's thread: takes whichever waiting connection has input, serves its requests
// until it has nothing more to read, then puts it back to wait or ends it; ends at the
// stop. Returns 1.
int WorkerMain(std::shared_ptr<WorkerPool> pool, WorkerSlot* slot) noexcept;

// Serves requests on the connection the context holds: true when it is to wait for its
// next request, false when it is to be closed.
bool ServeConnection(WorkerPool& pool, WorkerSlot& slot, RequestContext& context) noexcept;

} // namespace velnor
