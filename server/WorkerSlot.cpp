#include "server/WorkerSlot.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <utility>

#include "content/Strings.h"
#include "server/core/ClientPace.h"

namespace velnor {
namespace {

// "255.255.255.255" and its NUL.
constexpr std::size_t kDottedCapacity = 16;

void formatDotted(const platform::PeerAddress& peer, char (&out)[kDottedCapacity]) noexcept {
    std::snprintf(out, sizeof out, "%u.%u.%u.%u", unsigned(peer.address[0]),
                  unsigned(peer.address[1]), unsigned(peer.address[2]), unsigned(peer.address[3]));
}

void logRequest(WorkerPool& pool, WorkerSlot& slot, RequestContext& context, int status,
                const char* dotted) noexcept {
    // One lock for every plug-in call: the plug-in is never entered twice at once.
    std::lock_guard<std::mutex> hold(*slot.logLock);
    context.headerTable.add("remote_addr", dotted);
    slot.logEntry(pool.config.logPath.get(), pool.config.logSize, status == 999 ? 200 : status,
                  &context.headerTable);
}

} // namespace

void WorkerSlot::HandOver(int handle, const platform::PeerAddress& from) noexcept {
    socketHandle = handle;
    peer = from;
    busy.store(1, std::memory_order_release);
    Wake();
}

void WorkerSlot::Wake() noexcept {
    {
        std::lock_guard<std::mutex> hold(parkMutex_);
        wakePending_ = true;
    }
    parkSignal_.notify_one();
}

void WorkerSlot::Park() noexcept {
    std::unique_lock<std::mutex> hold(parkMutex_);
    parkSignal_.wait(hold, [this] { return wakePending_; });
    wakePending_ = false;
}

bool WorkerPool::AllocateSlots(std::uint32_t count) noexcept {
    slots.reset(new (std::nothrow) WorkerSlot[count]);
    slotCount = slots ? count : 0;
    return slots != nullptr;
}

void WorkerPool::MarkFinished(WorkerSlot& slot) noexcept {
    {
        std::lock_guard<std::mutex> hold(doneMutex_);
        slot.finished_ = true;
        ++finished_;
    }
    doneSignal_.notify_all();
}

bool WorkerPool::WaitFinished(std::uint32_t expected, std::uint32_t timeoutMs) noexcept {
    std::unique_lock<std::mutex> hold(doneMutex_);
    return doneSignal_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [&] { return finished_ >= expected; });
}

bool WorkerPool::HasFinished(const WorkerSlot& slot) noexcept {
    std::lock_guard<std::mutex> hold(doneMutex_);
    return slot.finished_;
}

int decideCloseFlag(std::uint32_t keepAliveSetting, const char* connectionValue,
                    std::uint32_t serverBusy, int status) noexcept {
    if (keepAliveSetting == 0)
        return 1;
    if (connectionValue != nullptr && compareNoCase(connectionValue, "close") == 0)
        return 1;
    if (serverBusy != 0)
        return 1;
    if (status >= 400)
        return 1;
    return 0;
}

bool keepsConnection(int finalStatus, int closeFlag) noexcept {
    return finalStatus >= 200 && finalStatus <= 399 && closeFlag == 0;
}

void ServeConnection(WorkerPool& pool, WorkerSlot& slot, RequestContext& context) noexcept {
    char dotted[kDottedCapacity];
    formatDotted(slot.peer, dotted);
    context.startConnection();
    context.handle = slot.socketHandle;
    context.pressure = &pool.serverBusy;
    for (;;) {
        context.WaitSeconds = 1;
        context.WaitMicroseconds = 0;
        int status = context.readRequest(&pool.serverBusy);
        int closeFlag = 0;
        if (status != 0) {
            context.WaitSeconds = std::int32_t(kSendStallMs / 1000);
            context.WaitMicroseconds = std::int32_t(kSendStallMs % 1000) * 1000;
            context.BeginResponse();
            const char* connection = context.headerTable.valueNoCase("connection");
            closeFlag = decideCloseFlag(pool.keepAlive, connection ? connection : "keep-alive",
                                        pool.serverBusy.load(std::memory_order_relaxed), status);
            status = context.dispatch(status, closeFlag);
        }
        if (slot.logEntry != nullptr && status != 0 && pool.config.logPath)
            logRequest(pool, slot, context, status, dotted);
        context.resetRequest();
        if (!keepsConnection(status, closeFlag) || context.SendCut())
            break;
        // The request boundary: once the stop has begun the connection ends here, even
        // for a client that always has its next request ready.
        if (slot.busy.load(std::memory_order_acquire) == 0)
            break;
    }
}

int WorkerMain(std::shared_ptr<WorkerPool> pool, WorkerSlot* slot) noexcept {
    {
        // Made once per worker on its own stack, so there is no allocation that could
        // fail: a worker always has its context.
        RequestContext context;
        context.settings = &pool->config;
        context.peer = &slot->peer;
        context.gateways = pool->gateways;
        for (;;) {
            slot->Park();
            // Woken with the flag clear: the server is stopping.
            if (slot->busy.load(std::memory_order_acquire) == 0)
                break;
            ServeConnection(*pool, *slot, context);
            // Shutdown cleared the flag while the connection was being served.
            if (slot->busy.load(std::memory_order_acquire) == 0) {
                context.Close();
                break;
            }
            // The slot is handed back before the connection is closed: a client that
            // reconnects the moment it sees the end (every gateway answer ends its
            // connection) then finds this worker idle rather than a busy answer. A
            // hand-over that comes meanwhile waits in the slot for the park below.
            SocketConnection ending(std::exchange(context.handle, -1));
            slot->busy.store(0, std::memory_order_release);
            ending.Close();
        }
    }
    slot->busy.store(0, std::memory_order_release);
    pool->MarkFinished(*slot);
    return 1;
}

} // namespace velnor
