#include "server/WorkerSlot.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "content/Strings.h"
#include "core/ClientPace.h"

namespace velnor {
namespace {

// "255.255.255.255" and its NUL.
constexpr std::size_t kDottedCapacity = 16;

// Made for every connection a worker takes, so without the formatted-output machinery.
void formatDotted(const platform::PeerAddress& peer, char (&out)[kDottedCapacity]) noexcept {
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        const unsigned part = peer.address[i];
        if (part >= 100)
            *p++ = char('0' + part / 100);
        if (part >= 10)
            *p++ = char('0' + part / 10 % 10);
        *p++ = char('0' + part % 10);
        *p++ = i < 3 ? '.' : '\0';
    }
}

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

// Says on standard error when the log starts failing and when it works again: once per
// change, never per request. Written outside the log lock, so a slow standard error
// holds up this worker alone.
void reportLogChange(bool failing, std::uint64_t lost) noexcept {
    if (failing) {
        std::fputs("velnor: the access log cannot be written; records are lost until it can\n",
                   stderr);
    } else {
        std::fprintf(stderr, "velnor: the access log is written again; %llu records were lost\n",
                     static_cast<unsigned long long>(lost));
    }
}

void logRequest(WorkerPool& pool, WorkerSlot& slot, RequestContext& context, int status,
                const char* dotted) noexcept {
    bool changed = false;
    bool failing = false;
    std::uint64_t lost = 0;
    // Everything the record needs is in the table before the lock, so workers wait on
    // each other for the plug-in's own work only.
    context.headerTable.add("remote_addr", dotted);
    {
        // One lock for every plug-in call: the plug-in is never entered twice at once.
        std::lock_guard<std::mutex> hold(*slot.logLock);
        const int written = slot.logEntry(pool.config.logPath.get(), pool.config.logSize,
                                          status == 999 ? 200 : status, &context.headerTable);
        failing = written == 0;
        changed = failing != pool.logFailing;
        lost = pool.logLost;
        pool.logFailing = failing;
        pool.logLost = failing ? pool.logLost + 1 : 0;
    }
    if (changed)
        reportLogChange(failing, lost);
}

} // namespace

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

HttpLevel httpLevelOf(const char* requestLine, const char* version) noexcept {
    if (requestLine != nullptr) {
        // Method, one separator, target: a line that ends there names no version.
        const char* p = requestLine;
        while (*p != 0 && !isBlank(*p))
            ++p;
        if (*p != 0)
            ++p;
        while (*p != 0 && !isBlank(*p))
            ++p;
        if (*p == 0)
            return HttpLevel::Http09;
    }
    if (version != nullptr && compareNoCase(version, "HTTP/1.1") == 0)
        return HttpLevel::Http11;
    if (version != nullptr && compareNoCase(version, "HTTP/1.0") == 0)
        return HttpLevel::Http10;
    return HttpLevel::Http09;
}

bool connectionHasToken(TextTable& headers, const char* token) noexcept {
    const std::size_t tokenLength = std::strlen(token);
    const char* entry = headers.entries();
    while (entry != nullptr && *entry != 0) {
        const char* value = entry + std::strlen(entry) + 1;
        if (compareNoCase(entry, "connection") == 0) {
            for (const char* p = value; *p != 0;) {
                while (isBlank(*p) || *p == ',')
                    ++p;
                const char* start = p;
                while (*p != 0 && *p != ',')
                    ++p;
                const char* end = p;
                while (end > start && isBlank(end[-1]))
                    --end;
                if (std::size_t(end - start) == tokenLength && tokenLength > 0 &&
                    compareNoCaseN(start, token, tokenLength) == 0)
                    return true;
            }
        }
        entry = value + std::strlen(value) + 1;
    }
    return false;
}

int decideCloseFlag(std::uint32_t keepAliveSetting, HttpLevel level, bool askedClose,
                    bool askedKeepAlive, std::uint32_t serverBusy, int status) noexcept {
    if (keepAliveSetting == 0 || askedClose)
        return 1;
    // HTTP/1.1 persists by default, HTTP/1.0 only on request, HTTP/0.9 never.
    if (level == HttpLevel::Http09 || (level == HttpLevel::Http10 && !askedKeepAlive))
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

bool ServeConnection(WorkerPool& pool, WorkerSlot& slot, RequestContext& context) noexcept {
    char dotted[kDottedCapacity];
    formatDotted(slot.peer, dotted);
    context.startConnection();
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
            const HttpLevel level =
                httpLevelOf(context.headerTable.value("request_line"), context.version);
            closeFlag = decideCloseFlag(pool.keepAlive, level,
                                        connectionHasToken(context.headerTable, "close"),
                                        connectionHasToken(context.headerTable, "keep-alive"),
                                        pool.serverBusy.load(std::memory_order_relaxed), status);
            status = context.dispatch(status, closeFlag);
        }
        if (slot.logEntry != nullptr && status != 0 && pool.config.logPath)
            logRequest(pool, slot, context, status, dotted);
        context.resetRequest();
        if (!keepsConnection(status, closeFlag) || context.SendCut())
            return false;
        // The request boundary: once the stop has begun the connection ends here, even
        // for a client that always has its next request ready.
        if (pool.stopping.load(std::memory_order_acquire) != 0)
            return false;
        // Bytes a pipelining client sent with this request start the next one here.
        if (context.pendingBuffer.length != 0)
            continue;
        // A busy client's next request is often here already; only an empty socket makes
        // the connection wait for it without holding this worker.
        char early[kReceiveBlock];
        const long received = platform::socketReceive(context.handle, early, sizeof early);
        if (received == -2)
            return true;
        if (received <= 0 || context.pendingBuffer.append(early, std::uint32_t(received)) == 0)
            return false;
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
        context.beforeWait = &IdleWorkers::CallWatcherOf;
        context.beforeWaitContext = &pool->idle;
        ConnectionPark& park = pool->park;
        IdleWorkers& idle = pool->idle;
        for (;;) {
            park.CloseExpired(context.readTimeout);
            ConnectionPark::Connection connection;
            ConnectionPark::Taken taken;
            if (idle.TryWatch()) {
                taken = park.Take(connection, long(ConnectionPark::kSweepMs));
                idle.EndWatch();
            } else {
                // Another worker watches: take what is ready now, else sleep until the
                // watch is free or called for.
                taken = park.Take(connection, 0);
                if (taken == ConnectionPark::Taken::Nothing) {
                    if (!idle.SleepUntilWatch())
                        break;
                    idle.EndWatch();
                    continue;
                }
            }
            if (taken == ConnectionPark::Taken::Stop)
                break;
            if (taken != ConnectionPark::Taken::Connection)
                continue;
            slot->busy.store(kWorkerInside, std::memory_order_release);
            pool->inside.fetch_add(1, std::memory_order_acq_rel);
            slot->peer = connection.peer;
            context.Adopt(connection.handle);
            const bool waitsAgain = ServeConnection(*pool, *slot, context);
            // The worker counts as free before the connection is closed: a client that
            // reconnects the moment it sees the end (every gateway answer ends its
            // connection) then finds room rather than a busy answer.
            pool->inside.fetch_sub(1, std::memory_order_acq_rel);
            slot->busy.store(kWorkerIdle, std::memory_order_release);
            const platform::SocketHandle handle =
                std::exchange(context.handle, platform::kNoSocket);
            if (waitsAgain && handle != -1 && park.Return(connection))
                continue;
            // A connection the worker closed itself is no longer in the park's set.
            connection.handle = handle;
            park.Release(connection);
            SocketConnection(handle).Close();
        }
    }
    slot->busy.store(kWorkerIdle, std::memory_order_release);
    pool->MarkFinished(*slot);
    return 1;
}

} // namespace velnor
