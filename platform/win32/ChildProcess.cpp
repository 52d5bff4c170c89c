#include "platform/ChildProcess.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include "platform/win32/ChildLaunch.h"
#include "platform/win32/ReapJob.h"

namespace velnor::platform {
namespace {

// Each pipe's buffer in the system, and the server's own area for one transfer.
constexpr DWORD kPipeBuffer = 64 * 1024;
// Reads of standard error per wait round: enough to empty a full pipe, few enough that a
// flood cannot keep the wait from its own work.
constexpr int kErrorReadsPerRound = 16;
// How long an ended job is given to be gone before its handles are closed anyway.
constexpr DWORD kEndWaitMs = 5000;
constexpr UINT kEndedExitCode = 1;

HANDLE asHandle(const UniqueHandle& handle) noexcept {
    return reinterpret_cast<HANDLE>(handle.get());
}

NativeHandle asNative(HANDLE handle) noexcept {
    return reinterpret_cast<NativeHandle>(handle);
}

// One direction of a pipe, with the transfer in flight if there is one.
struct Transfer {
    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() { close(); }

    // Picks up a transfer that has completed; a read leaves its bytes held.
    void settle() noexcept {
        if (!pending)
            return;
        DWORD moved = 0;
        if (::GetOverlappedResult(asHandle(pipe), &overlapped, &moved, FALSE)) {
            pending = false;
            held = moved;
            offset = 0;
        } else if (::GetLastError() != ERROR_IO_INCOMPLETE) {
            pending = false;
            fail(::GetLastError());
        }
    }

    // Starts a read, or a write of `size` bytes from `data`; either may complete at once.
    void begin(const void* data, DWORD size) noexcept {
        ::ResetEvent(asHandle(event));
        overlapped = OVERLAPPED{};
        overlapped.hEvent = asHandle(event);
        BOOL started;
        if (data == nullptr) {
            started = ::ReadFile(asHandle(pipe), buffer, sizeof buffer, nullptr, &overlapped);
        } else {
            std::memcpy(buffer, data, size);
            started = ::WriteFile(asHandle(pipe), buffer, size, nullptr, &overlapped);
        }
        if (started || ::GetLastError() == ERROR_IO_PENDING) {
            pending = true;
            settle();
        } else {
            fail(::GetLastError());
        }
    }

    void fail(DWORD error) noexcept {
        ended = true;
        // The program's end closed: the end of its output, or input it no longer reads.
        failed = error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA;
    }

    // The system lets go of the buffer before the handle closes.
    void close() noexcept {
        if (pending) {
            DWORD moved = 0;
            ::CancelIoEx(asHandle(pipe), &overlapped);
            ::GetOverlappedResult(asHandle(pipe), &overlapped, &moved, TRUE);
            pending = false;
        }
        pipe.reset();
    }

    UniqueHandle pipe;
    UniqueHandle event; // manual reset: set while no transfer is in flight
    OVERLAPPED overlapped{};
    bool pending = false;
    bool ended = false;
    bool failed = false;
    DWORD held = 0; // reads only: bytes not yet handed out, from `offset`
    DWORD offset = 0;
    char buffer[kPipeBuffer];
};

// Names are unique within this process, and the process number makes them unique
// among processes.
void pipeName(wchar_t* out, std::size_t capacity) noexcept {
    static std::atomic<unsigned long long> counter{0};
    const unsigned long long numbers[] = {::GetCurrentProcessId(), ++counter};
    const wchar_t prefix[] = L"\\\\.\\pipe\\velnor-";
    std::size_t at = 0;
    for (const wchar_t* p = prefix; *p != L'\0' && at + 1 < capacity; ++p)
        out[at++] = *p;
    for (std::size_t i = 0; i < 2; ++i) {
        wchar_t digits[24];
        std::size_t count = 0;
        unsigned long long value = numbers[i];
        do {
            digits[count++] = wchar_t(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (i > 0 && at + 1 < capacity)
            out[at++] = L'-';
        while (count > 0 && at + 1 < capacity)
            out[at++] = digits[--count];
    }
    out[at] = L'\0';
}

// The server's end is overlapped and never inherited; the program's end is an ordinary
// blocking handle it can inherit. One instance only, made first by this call: a process
// that took the name earlier, or reached the pipe before the program's end, makes the
// start fail instead of sitting on the program's data.
bool makePipe(Transfer& server, UniqueHandle& child, bool serverWrites) noexcept {
    wchar_t name[64];
    pipeName(name, sizeof name / sizeof name[0]);
    const DWORD direction = serverWrites ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND;
    server.pipe.reset(asNative(::CreateNamedPipeW(
        name, direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        kPipeBuffer, kPipeBuffer, 0, nullptr)));
    if (!server.pipe)
        return false;
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const DWORD access =
        serverWrites ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    child.reset(asNative(::CreateFileW(name, access, 0, &inheritable, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr)));
    HANDLE event = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (event != nullptr)
        server.event.reset(asNative(event));
    return child.valid() && server.event.valid();
}

} // namespace

struct ChildProcess::Pipes {
    Transfer input;
    Transfer output;
    Transfer error;
    bool closeInputWhenWritten = false;
};

void ChildProcess::PipesDeleter::operator()(Pipes* pipes) const noexcept {
    delete pipes;
}

void ChildProcess::InputEnd::reset() noexcept {
    if (pipes == nullptr || !pipes->input.pipe)
        return;
    pipes->input.settle();
    if (pipes->input.pending)
        pipes->closeInputWhenWritten = true;
    else
        pipes->input.close();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pipes_(std::move(other.pipes_)),
      process_(std::move(other.process_)), job_(std::move(other.job_)) {
    input_.pipes = pipes_.get();
    other.input_.pipes = nullptr;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        finish(0);
        pid_ = std::exchange(other.pid_, -1);
        pipes_ = std::move(other.pipes_);
        process_ = std::move(other.process_);
        job_ = std::move(other.job_);
        input_.pipes = pipes_.get();
        other.input_.pipes = nullptr;
    }
    return *this;
}

StartFailure ChildProcess::start(const char* programPath, const char* workingDirectory,
                                 const char* environment) noexcept {
    finish(0);

    std::unique_ptr<Pipes, PipesDeleter> pipes(new (std::nothrow) Pipes);
    if (!pipes)
        return StartFailure::Start;
    UniqueHandle childInput, childOutput, childError;
    if (!makePipe(pipes->input, childInput, true))
        return StartFailure::InputPipe;
    if (!makePipe(pipes->output, childOutput, false))
        return StartFailure::OutputPipe;
    if (!makePipe(pipes->error, childError, false))
        return StartFailure::ErrorPipe;

    LaunchedProgram launched;
    const HANDLE inherited[] = {asHandle(childInput), asHandle(childOutput), asHandle(childError)};
    if (!launchInJob(programPath, workingDirectory, environment, inherited, launched))
        return StartFailure::Start;

    pid_ = launched.pid;
    process_ = std::move(launched.process);
    job_ = std::move(launched.job);
    pipes_ = std::move(pipes);
    input_.pipes = pipes_.get();
    return StartFailure::None;
}

int ChildProcess::waitReady(bool wantInput, long timeoutMs) noexcept {
    if (!pipes_)
        return -1;
    Pipes& pipes = *pipes_;
    Transfer& output = pipes.output;
    Transfer& input = pipes.input;
    const bool outputOpen = output.pipe.valid();
    const bool inputWanted = wantInput && input.pipe.valid() && !pipes.closeInputWhenWritten;
    if (!outputOpen && !inputWanted)
        return -1;
    const ULONGLONG deadline = ::GetTickCount64() + ULONGLONG(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        drainErrors();
        // Settled even when not asked about, so a finished write never keeps waking the wait.
        input.settle();
        if (pipes.closeInputWhenWritten) {
            input_.reset();
            if (!input.pending)
                pipes.closeInputWhenWritten = false;
        }
        int ready = 0;
        if (outputOpen) {
            output.settle();
            if (!output.pending && output.held == 0 && !output.ended)
                output.begin(nullptr, 0);
            if (output.held > 0 || output.ended)
                ready |= kOutputReadable;
        }
        if (inputWanted && !input.pending)
            ready |= kInputWritable;
        if (ready != 0)
            return ready;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return 0;
        HANDLE events[3];
        DWORD count = 0;
        for (Transfer* watched : {&output, &input, &pipes.error}) {
            if (watched->pending)
                events[count++] = asHandle(watched->event);
        }
        const ULONGLONG left = deadline - now;
        const DWORD wait = left < INFINITE ? DWORD(left) : INFINITE - 1;
        // Output still open has a read in flight, so there is always something to wait on.
        if (count == 0 || ::WaitForMultipleObjects(count, events, FALSE, wait) == WAIT_FAILED)
            return -1;
    }
}

void ChildProcess::drainErrors() noexcept {
    Transfer& error = pipes_->error;
    for (int reads = 0; reads < kErrorReadsPerRound && error.pipe; ++reads) {
        error.settle();
        if (error.pending)
            return;
        error.held = 0;
        if (error.ended) {
            // The end, or a failure: either way nothing more will come to drain.
            error.close();
            return;
        }
        error.begin(nullptr, 0);
    }
}

long ChildProcess::writeInput(const void* data, std::size_t size) noexcept {
    if (!pipes_ || !pipes_->input.pipe || pipes_->closeInputWhenWritten)
        return -1;
    Transfer& input = pipes_->input;
    input.settle();
    if (input.ended)
        return -1;
    if (input.pending)
        return -2;
    if (size == 0)
        return 0;
    // Handed to the system, the bytes are on their way even while the write is in flight:
    // the next call reports that one's end.
    const DWORD taken = size < kPipeBuffer ? DWORD(size) : kPipeBuffer;
    input.begin(data, taken);
    return input.ended ? -1 : long(taken);
}

long ChildProcess::readOutput(void* buffer, std::size_t size) noexcept {
    if (!pipes_ || !pipes_->output.pipe)
        return -1;
    Transfer& output = pipes_->output;
    // A read can complete at once with nothing: a program's empty write. Only a few are
    // taken here before the call reports that it would block.
    for (int tries = 0; tries < 4; ++tries) {
        output.settle();
        if (output.held > 0) {
            const DWORD given = size < output.held ? DWORD(size) : output.held;
            std::memcpy(buffer, output.buffer + output.offset, given);
            output.offset += given;
            output.held -= given;
            return long(given);
        }
        if (output.ended)
            return output.failed ? -1 : 0;
        if (output.pending)
            return -2;
        output.begin(nullptr, 0);
    }
    return -2;
}

void ChildProcess::closePipes() noexcept {
    pipes_.reset();
    input_.pipes = nullptr;
}

bool ChildProcess::hasExited() noexcept {
    return waitForExit(0);
}

bool ChildProcess::waitForExit(long timeoutMs) noexcept {
    // A long is 32 bits here, so any positive one is short of INFINITE.
    const DWORD wait = timeoutMs <= 0 ? 0 : DWORD(timeoutMs);
    return ::WaitForSingleObject(asHandle(process_), wait) == WAIT_OBJECT_0;
}

// Everything in the job ends together: the program and all it started.
void ChildProcess::endAll() noexcept {
    if (job_)
        ::TerminateJobObject(asHandle(job_), kEndedExitCode);
    else
        ::TerminateProcess(asHandle(process_), kEndedExitCode);
    ::WaitForSingleObject(asHandle(process_), kEndWaitMs);
}

void ChildProcess::leaveRunning(std::uint32_t limitMs) noexcept {
    closePipes();
    if (!process_)
        return;
    if (hasExited()) {
        // Ended by itself: what it left in its job goes on undisturbed.
        finish(1);
        return;
    }
    if (reapJobLater(process_.get(), job_.get(), limitMs)) {
        process_.release();
        job_.release();
        pid_ = -1;
        return;
    }
    finish(0);
}

bool ChildProcess::finish(long graceMs) noexcept {
    // Without its pipes a program that still reads or writes meets the end of its input
    // or a broken pipe, which ends most programs by themselves.
    closePipes();
    bool byItself = true;
    if (process_) {
        byItself = hasExited();
        if (!byItself && graceMs > 0)
            byItself = waitForExit(graceMs);
        if (!byItself || graceMs <= 0)
            endAll();
    }
    // Closing the job ends nothing: what a program that ended by itself left running
    // stays, as it would have without the server.
    process_.reset();
    job_.reset();
    pid_ = -1;
    return byItself;
}

} // namespace velnor::platform
