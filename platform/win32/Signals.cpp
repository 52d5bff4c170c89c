#include "platform/Signals.h"

#include <atomic>
#include <cstdlib>
#include <windows.h>

#include "platform/win32/ConsoleControl.h"

namespace velnor::platform {
namespace {

// Requests beyond this many untaken ones are dropped: the first already stops the server,
// and later ones change nothing.
constexpr unsigned kQueueCapacity = 8;

// Everything here outlives the C runtime's exit: the handler runs on a thread of the
// system's own, and may do so while static objects are destroyed. So there are no
// destructors, the lock needs none, and the event is never closed.
SRWLOCK queueLock = SRWLOCK_INIT;
StopRequest queue[kQueueCapacity];
unsigned queueHead = 0;
unsigned queueCount = 0;
std::atomic<bool> held{false};
std::atomic<int> watching{0};

// Manual-reset, signalled while a request waits in the queue.
HANDLE pendingEvent() noexcept {
    static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

void push(StopRequest request) noexcept {
    ::AcquireSRWLockExclusive(&queueLock);
    if (queueCount < kQueueCapacity) {
        queue[(queueHead + queueCount) % kQueueCapacity] = request;
        ++queueCount;
    }
    if (const HANDLE event = pendingEvent())
        ::SetEvent(event);
    ::ReleaseSRWLockExclusive(&queueLock);
}

StopRequest pop() noexcept {
    ::AcquireSRWLockExclusive(&queueLock);
    StopRequest taken = StopRequest::None;
    if (queueCount > 0) {
        taken = queue[queueHead];
        queueHead = (queueHead + 1) % kQueueCapacity;
        --queueCount;
    }
    if (queueCount == 0)
        if (const HANDLE event = pendingEvent())
            ::ResetEvent(event);
    ::ReleaseSRWLockExclusive(&queueLock);
    return taken;
}

StopRequest peek() noexcept {
    ::AcquireSRWLockShared(&queueLock);
    const StopRequest first = queueCount > 0 ? queue[queueHead] : StopRequest::None;
    ::ReleaseSRWLockShared(&queueLock);
    return first;
}

StopRequest requestFor(DWORD event) noexcept {
    switch (event) {
    case CTRL_C_EVENT:
        return StopRequest::Interrupt;
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return StopRequest::Terminate;
    default:
        return StopRequest::None;
    }
}

BOOL WINAPI onConsoleControl(DWORD event) {
    return win32::handleConsoleControl(event) ? TRUE : FALSE;
}

} // namespace

namespace win32 {

int handleConsoleControl(unsigned long event) noexcept {
    const StopRequest request = requestFor(DWORD(event));
    if (request == StopRequest::None)
        return 0;
    if (!held.load(std::memory_order_acquire) && watching.load(std::memory_order_acquire) == 0)
        exitImmediately(stopExitStatus(request));
    push(request);
    // The system ends the process as soon as this returns: the close sequence runs in
    // the meantime and ends the process itself, this thread with it.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(kCloseHoldMs);
    return 1;
}

unsigned queuedStopRequests() noexcept {
    ::AcquireSRWLockShared(&queueLock);
    const unsigned count = queueCount;
    ::ReleaseSRWLockShared(&queueLock);
    return count;
}

} // namespace win32

// The same figures as a shell reports for a signal on the other system, so that scripts
// read one exit status for an interrupted server wherever it ran.
int stopExitStatus(StopRequest request) noexcept {
    switch (request) {
    case StopRequest::Interrupt:
        return 128 + 2;
    case StopRequest::HangUp:
        return 128 + 1;
    default:
        return 128 + 15;
    }
}

bool endOnStopSignals() noexcept {
    if (!pendingEvent())
        return false;
    // A parent that started this process in a group of its own turned Ctrl-C off for it;
    // the server answers it all the same, as it does a signal the parent ignored.
    ::SetConsoleCtrlHandler(nullptr, FALSE);
    return ::SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
}

bool blockStopSignals() noexcept {
    held.store(true, std::memory_order_release);
    return pendingEvent() != nullptr;
}

StopRequest waitStopSignal(long timeoutMs) noexcept {
    const HANDLE event = pendingEvent();
    if (!event)
        return StopRequest::Failed;
    const DWORD waited = ::WaitForSingleObject(event, timeoutMs > 0 ? DWORD(timeoutMs) : 0);
    if (waited == WAIT_TIMEOUT)
        return StopRequest::None;
    if (waited != WAIT_OBJECT_0)
        return StopRequest::Failed;
    // Another waiter may have taken it since.
    return pop();
}

StopSignalWatch::StopSignalWatch() noexcept {
    watching.fetch_add(1, std::memory_order_acq_rel);
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (const HANDLE event = pendingEvent();
        event && ::DuplicateHandle(self, event, self, &copy, SYNCHRONIZE, FALSE, 0))
        fd_.reset(reinterpret_cast<NativeHandle>(copy));
}

StopSignalWatch::~StopSignalWatch() {
    // A request still queued when the last watch ends is handled as it would have been
    // without one: before the server holds the requests, it ends the process.
    if (watching.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        !held.load(std::memory_order_acquire))
        if (const StopRequest left = peek(); left != StopRequest::None)
            exitImmediately(stopExitStatus(left));
}

StopRequest StopSignalWatch::take() noexcept {
    return fd_.valid() ? pop() : StopRequest::None;
}

// Not ExitProcess: that detaches every loaded library while workers may still run in
// them. Ending the process outright is what the other system's _exit does.
void exitImmediately(int status) noexcept {
    ::TerminateProcess(::GetCurrentProcess(), UINT(status));
    // Termination of the own process does not return; should it ever, end without it.
    std::_Exit(status);
}

} // namespace velnor::platform
