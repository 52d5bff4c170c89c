#include "server/ServerThread.h"

#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "content/ErrorDocumentTable.h"
#include "content/MimeTable.h"
#include "core/ServerSettings.h"
#include "core/SocketConnection.h"
#include "platform/Clock.h"
#include "platform/ResourceLimits.h"
#include "platform/Utf.h"
#include "platform/WakeEvent.h"
#include "server/StatusBoard.h"
#include "server/WorkerSlot.h"

namespace velnor {
namespace {

// A listening socket that keeps failing its wait is retried at this pace, not in a spin.
constexpr std::uint32_t kFailedWaitPauseMs = 100;
// How long the listener rests after the system refused it a descriptor or memory.
constexpr long kShortagePauseMs = 100;
// A worker count from a damaged hive would otherwise have the slot table built (and
// every slot written) until the machine runs out of memory; far more workers than any
// host can run is treated as a table that cannot be had.
constexpr std::uint32_t kMostWorkers = 65536;
// Bounds of the number of connections that wait for a request at once.
constexpr std::uint64_t kMostWaiting = 16384;
constexpr std::uint64_t kFewestWaiting = 64;

// Connections that may wait for a request at once: half the descriptors the process may
// open, so that files, programs' pipes and new arrivals always find one, and never fewer
// than there are workers.
std::uint32_t parkCapacity(std::uint32_t workers) noexcept {
    const std::uint64_t limit = platform::raiseDescriptorLimit();
    std::uint64_t capacity = limit / 2;
    if (capacity > kMostWaiting)
        capacity = kMostWaiting;
    if (capacity < kFewestWaiting)
        capacity = kFewestWaiting;
    if (capacity < workers)
        capacity = workers;
    return std::uint32_t(capacity);
}

void show(ServerControl& control, const char* text) noexcept {
    if (control.board != nullptr)
        control.board->post(StatusBoard::kStatusLine, text);
}

void bindLogPlugin(ServerControl& control, WorkerPool& pool) noexcept {
    const char16_t* path = control.logPluginPath;
    char16_t defaultPath[kSettingTextCapacity + sizeof kLogPluginName / sizeof(char16_t)] = {};
    if (path == nullptr) {
        ProgramDirectory(defaultPath, kSettingTextCapacity);
        const std::size_t used = platform::wideLength(defaultPath);
        for (std::size_t i = 0; kLogPluginName[i] != 0; ++i)
            defaultPath[used + i] = kLogPluginName[i];
        path = defaultPath;
    }
    if (!pool.plugin.open(path)) {
        show(control, "Load log ext failed.");
        return;
    }
    show(control, "Load log dll.");
    void* entry = pool.plugin.symbol("fnVelnorLog");
    if (entry == nullptr) {
        // The library stays loaded; the server runs without logging.
        show(control, "Load log Addr failed.");
        return;
    }
    LogEntry logEntry = reinterpret_cast<LogEntry>(entry);
    for (std::uint32_t i = 0; i < pool.slotCount; ++i)
        pool.slots[i].logEntry = logEntry;
}

// Wakes the workers that were created and waits for them; used when start-up fails
// after some workers exist, and by the orderly stop. Workers that do not end within
// the wait are left running with their own hold on the pool.
void stopWorkers(ServerControl& control, WorkerPool& pool, std::thread* threads,
                 std::uint32_t created, std::uint32_t waitMs) noexcept {
    pool.stopping.store(1, std::memory_order_release);
    pool.serverBusy.store(1, std::memory_order_relaxed);
    pool.park.Stop();
    pool.idle.Stop();
    pool.WaitFinished(created, waitMs);
    pool.park.CloseAll();
    for (std::uint32_t i = 0; i < created; ++i) {
        if (!threads[i].joinable())
            continue;
        if (pool.HasFinished(pool.slots[i])) {
            threads[i].join();
        } else {
            threads[i].detach();
            control.abandonedWorkers.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

// After an accept failed for want of descriptors or memory. The connection it could not
// take stays queued and keeps the listener readable, so without this pause the loop
// would spin at full speed until something is freed; a stop still ends the pause.
void pauseAfterShortage(ServerControl& control) noexcept {
    if (platform::waitReadableOrWake(control.stopWake, platform::kNoSocket, kShortagePauseMs) < 0)
        platform::sleepMilliseconds(kShortagePauseMs);
}

void answerBusy(platform::SocketHandle handle) noexcept {
    SocketConnection refused(handle);
    refused.WaitSeconds = 5;
    refused.WaitMicroseconds = 0;
    // A failed send changes nothing: the connection is closed either way.
    refused.SendAll(kServerBusyAnswer, sizeof kServerBusyAnswer - 1, 0);
    refused.Close();
}

void runListener(ServerControl& control, WorkerPool& pool, SocketConnection& listener) noexcept {
    std::uint32_t requestCounter = 0;
    listener.WaitSeconds = std::int32_t(control.listenWaitMs / 1000);
    listener.WaitMicroseconds = std::int32_t(control.listenWaitMs % 1000) * 1000;
    while (control.runFlag.load(std::memory_order_acquire) != 0) {
        const int ready = platform::waitReadableOrWake(listener.handle, control.stopWake,
                                                       long(control.listenWaitMs));
        if (ready < 0)
            platform::sleepMilliseconds(kFailedWaitPauseMs);
        if (ready <= 0)
            continue;
        ++requestCounter;
        if (control.board != nullptr)
            control.board->postFrequent(StatusBoard::Frequent::RequestCount, requestCounter);
        // Readiness was just reported, so the accept is made without another wait; a
        // connection that vanished in between leaves nothing to hand over.
        platform::PeerAddress peer;
        bool shortOfResources = false;
        const platform::SocketHandle handle =
            platform::socketAccept(listener.handle, peer, &shortOfResources);
        if (handle == -1) {
            // A connection left idle gives its descriptor to the new arrival.
            if (shortOfResources && !pool.park.CloseOldest())
                pauseAfterShortage(control);
            continue;
        }
        // Busy only when every worker is inside a request: connections that merely wait
        // for their next request hold none.
        if (pool.inside.load(std::memory_order_acquire) >= pool.slotCount ||
            !pool.park.Admit(handle, peer)) {
            if (control.board != nullptr)
                control.board->postFrequent(StatusBoard::Frequent::ServerBusy, 0);
            answerBusy(handle);
            pool.serverBusy.store(1, std::memory_order_relaxed);
            continue;
        }
        pool.serverBusy.store(0, std::memory_order_relaxed);
    }
}

int runServer(ServerControl& control) noexcept {
    std::shared_ptr<WorkerPool> pool;
    try {
        pool = std::make_shared<WorkerPool>();
    } catch (...) {
        pool.reset();
    }
    const std::uint32_t count = control.settings->workerCount;
    std::unique_ptr<std::thread[]> threads;
    if (pool && count <= kMostWorkers)
        threads.reset(new (std::nothrow) std::thread[count]);
    if (!pool || !threads || !pool->AllocateSlots(count) || !pool->park.Open(parkCapacity(count))) {
        show(control, "Memory error.");
        return 0;
    }
    pool->config.fill(*control.settings);
    pool->config.mimeTable = control.mimeTable;
    pool->config.errorDocuments = control.errorDocuments;
    pool->keepAlive = control.settings->keepAlive;
    pool->gateways = control.gateways;
    // One watcher per processor: each can serve ready connections back to back.
    pool->idle.SetWatchers(std::thread::hardware_concurrency());
    for (std::uint32_t i = 0; i < count; ++i) {
        WorkerSlot& slot = pool->slots[i];
        slot.number = i;
        slot.logLock = &pool->logLock;
    }
    bindLogPlugin(control, *pool);

    SocketConnection listener;
    if (listener.Listen(control.settings->port, control.bindAddress) == -1) {
        show(control, "Listen Failed.");
        return 0;
    }

    for (std::uint32_t i = 0; i < count; ++i) {
        try {
            if (i == control.failWorkerAt)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            threads[i] = std::thread(WorkerMain, pool, &pool->slots[i]);
        } catch (...) {
            show(control, "Create thread failed.");
            stopWorkers(control, *pool, threads.get(), i, control.shutdownWaitMs);
            return 0;
        }
        if (control.board != nullptr)
            control.board->post(StatusBoard::kWorkerLineBase + int(i), "Ready.");
    }
    if (control.board != nullptr)
        control.board->setListeningPort(listener.LocalPort());

    runListener(control, *pool, listener);

    stopWorkers(control, *pool, threads.get(), count, control.shutdownWaitMs);
    listener.Close();
    return 1;
}

} // namespace

int ServerThreadMain(ServerControl* control) noexcept {
    if (control == nullptr)
        return 0;
    const int code = control->settings != nullptr ? runServer(*control) : 0;
    control->runFlag.store(0, std::memory_order_release);
    control->ended.store(1, std::memory_order_release);
    return code;
}

} // namespace velnor
