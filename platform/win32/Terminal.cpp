#include "platform/Terminal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <windows.h>

#include "platform/Signals.h"
#include "platform/Utf.h"
#include "platform/win32/ConsoleOutput.h"

namespace velnor::platform {
namespace {

// How long an emptied console read waits for the stop request that emptied it.
constexpr DWORD kInterruptedReadMs = 500;

HANDLE standardHandle(DWORD which) noexcept {
    const HANDLE handle = ::GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool isConsole(HANDLE handle) noexcept {
    DWORD mode = 0;
    return handle && ::GetConsoleMode(handle, &mode) != 0;
}

// A line as it is read: cut once the area is full, the rest read and dropped.
struct LineArea {
    char* out;
    std::size_t capacity;
    std::size_t length = 0;
    bool full = false;

    void add(const char* bytes, std::size_t size) noexcept {
        if (full || length + size >= capacity) {
            full = true;
            return;
        }
        std::memcpy(out + length, bytes, size);
        length += size;
    }
    LineRead finish() noexcept {
        if (length > 0 && out[length - 1] == '\r')
            --length;
        out[length] = 0;
        return LineRead::Line;
    }
};

HANDLE eventOf(const StopSignalWatch& stops) noexcept {
    return stops.handle() == kNoHandle ? nullptr : reinterpret_cast<HANDLE>(stops.handle());
}

// True when a stop request was pending, and takes it.
bool takeStop(StopSignalWatch& stops, DWORD waitMs, StopRequest* stop) noexcept {
    const HANDLE event = eventOf(stops);
    if (!event || ::WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0)
        return false;
    const StopRequest taken = stops.take();
    if (taken == StopRequest::None)
        return false;
    if (stop)
        *stop = taken;
    return true;
}

// Input that is no console is read a byte at a time by a thread of its own: neither a
// pipe nor a file can be waited on together with the stop event (a pipe under some
// hosts cannot even be peeked). A byte asked for and not yet come when a stop request
// ends the wait stays asked for, and is the first the next line read gets.
// Lives until the process ends, with its thread: nothing is destroyed.
struct ByteReader {
    SRWLOCK callers = SRWLOCK_INIT;
    HANDLE wanted = nullptr; // auto-reset: read one byte
    HANDLE ready = nullptr;  // auto-reset: the byte (or the end) is there
    HANDLE from = nullptr;
    char byte = 0;
    bool got = false;
    bool asked = false;
};
ByteReader reader;

DWORD WINAPI readLoop(void*) {
    for (;;) {
        if (::WaitForSingleObject(reader.wanted, INFINITE) != WAIT_OBJECT_0)
            return 1;
        DWORD got = 0;
        reader.got = ::ReadFile(reader.from, &reader.byte, 1, &got, nullptr) && got == 1;
        ::SetEvent(reader.ready);
    }
}

bool startReader() noexcept {
    reader.wanted = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    reader.ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!reader.wanted || !reader.ready)
        return false;
    const HANDLE thread = ::CreateThread(nullptr, 64 * 1024, readLoop, nullptr,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread)
        return false;
    ::CloseHandle(thread);
    return true;
}

bool readerRunning() noexcept {
    static const bool running = startReader();
    return running;
}

// 1: a byte in `c`, 0: a stop request (kept in `stop`), -1: end of input or failure.
int readByte(HANDLE in, char& c, StopSignalWatch& stops, StopRequest* stop) noexcept {
    if (takeStop(stops, 0, stop))
        return 0;
    if (!readerRunning()) {
        DWORD got = 0;
        return ::ReadFile(in, &c, 1, &got, nullptr) && got == 1 ? 1 : -1;
    }
    if (!reader.asked) {
        reader.from = in;
        reader.asked = true;
        ::SetEvent(reader.wanted);
    }
    for (;;) {
        const HANDLE event = eventOf(stops);
        const HANDLE handles[2] = {reader.ready, event};
        const DWORD waited = ::WaitForMultipleObjects(event ? 2 : 1, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0) {
            reader.asked = false;
            c = reader.byte;
            return reader.got ? 1 : -1;
        }
        if (waited != WAIT_OBJECT_0 + 1)
            return -1;
        if (takeStop(stops, 0, stop))
            return 0;
    }
}

LineRead readByteLine(HANDLE in, LineArea& line, StopSignalWatch& stops,
                      StopRequest* stop) noexcept {
    bool readAny = false;
    ::AcquireSRWLockExclusive(&reader.callers);
    LineRead result = LineRead::Line;
    for (;;) {
        char c = 0;
        const int read = readByte(in, c, stops, stop);
        if (read <= 0) {
            line.out[line.length] = 0;
            result =
                read == 0 ? LineRead::Stopped : (readAny ? LineRead::Line : LineRead::EndOfInput);
            break;
        }
        readAny = true;
        if (c == '\n') {
            result = line.finish();
            break;
        }
        line.add(&c, 1);
    }
    ::ReleaseSRWLockExclusive(&reader.callers);
    return result;
}

// Waits until a key that starts or edits a line is in the console's input (1), or a stop
// request comes (0); -1 on failure. The console handle is signalled for every input
// event, key releases, focus and mouse included: those are taken and dropped here, or
// the line read below would wait with the stop request unseen.
int waitConsoleKey(HANDLE in, StopSignalWatch& stops, StopRequest* stop) noexcept {
    for (;;) {
        const HANDLE event = eventOf(stops);
        const HANDLE handles[2] = {event, in};
        const DWORD waited = event ? ::WaitForMultipleObjects(2, handles, FALSE, INFINITE)
                                   : ::WaitForSingleObject(in, INFINITE) + 1;
        if (waited == WAIT_OBJECT_0) {
            if (takeStop(stops, 0, stop))
                return 0;
            continue;
        }
        if (waited != WAIT_OBJECT_0 + 1)
            return -1;
        INPUT_RECORD records[16];
        DWORD seen = 0;
        if (!::PeekConsoleInputW(in, records, 16, &seen))
            return -1;
        DWORD first = 0;
        while (first < seen &&
               !(records[first].EventType == KEY_EVENT && records[first].Event.KeyEvent.bKeyDown &&
                 records[first].Event.KeyEvent.uChar.UnicodeChar != 0))
            ++first;
        if (first == 0 && seen > 0)
            return 1;
        DWORD dropped = 0;
        if (first > 0 && !::ReadConsoleInputW(in, records, first, &dropped))
            return -1;
    }
}

// A console line read does not end for a stop request by itself under every host
// (Ctrl-Break, a closing console, an interrupt the host delivers as a signal): while the
// read runs, a thread of its own waits for the stop event and ends the read with an
// Enter key put into the console's input. The line it ends is dropped.
class ReadCutter {
public:
    ReadCutter(HANDLE in, HANDLE stopEvent) noexcept : in_(in), stopEvent_(stopEvent) {
        if (!stopEvent_ || !(done_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr)))
            return;
        thread_ = ::CreateThread(nullptr, 64 * 1024, run, this, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    }
    ~ReadCutter() {
        end();
        if (done_)
            ::CloseHandle(done_);
    }
    ReadCutter(const ReadCutter&) = delete;
    ReadCutter& operator=(const ReadCutter&) = delete;

    // Ends the thread; true when it cut the read.
    bool end() noexcept {
        if (thread_) {
            ::SetEvent(done_);
            ::WaitForSingleObject(thread_, INFINITE);
            ::CloseHandle(thread_);
            thread_ = nullptr;
        }
        return cut_;
    }

private:
    static DWORD WINAPI run(void* self) {
        auto& cutter = *static_cast<ReadCutter*>(self);
        const HANDLE handles[2] = {cutter.done_, cutter.stopEvent_};
        if (::WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
        INPUT_RECORD enter[2] = {};
        for (int i = 0; i < 2; ++i) {
            enter[i].EventType = KEY_EVENT;
            enter[i].Event.KeyEvent.bKeyDown = i == 0;
            enter[i].Event.KeyEvent.wRepeatCount = 1;
            enter[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
            enter[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
        }
        DWORD written = 0;
        cutter.cut_ = ::WriteConsoleInputW(cutter.in_, enter, 2, &written) != 0;
        return 0;
    }

    HANDLE in_;
    HANDLE stopEvent_;
    HANDLE done_ = nullptr;
    HANDLE thread_ = nullptr;
    bool cut_ = false; // written by the thread, read after it has ended
};

LineRead readConsoleText(HANDLE in, LineArea& line, StopSignalWatch& stops,
                         StopRequest* stop) noexcept {
    wchar_t chunk[256];
    char16_t high = 0; // the first half of a pair cut between two reads
    for (bool first = true;; first = false) {
        DWORD got = 0;
        const bool read = ::ReadConsoleW(in, chunk, 256, &got, nullptr) && got > 0;
        // Ctrl-C ends a read before the handler, on a thread of its own, has queued the
        // request: an empty read waits a little for it.
        if (takeStop(stops, read ? 0 : kInterruptedReadMs, stop)) {
            line.out[0] = 0;
            return LineRead::Stopped;
        }
        if (!read) {
            line.out[line.length] = 0;
            return LineRead::EndOfInput;
        }
        // Ctrl-Z at the start of a line is the console's end of input.
        if (first && chunk[0] == 0x1a)
            return LineRead::EndOfInput;
        for (DWORD i = 0; i < got; ++i) {
            const char16_t unit = char16_t(chunk[i]);
            if (unit == u'\n')
                return line.finish();
            if (unit >= 0xd800 && unit < 0xdc00) {
                high = unit;
                continue;
            }
            const char16_t pair[2] = {high, unit};
            const bool paired = high != 0 && unit >= 0xdc00 && unit < 0xe000;
            high = 0;
            char bytes[8];
            const long size =
                utf16ToUtf8(paired ? pair : pair + 1, paired ? 2 : 1, bytes, sizeof bytes);
            if (size > 0)
                line.add(bytes, std::size_t(size));
        }
    }
}

LineRead readConsoleLine(HANDLE in, LineArea& line, StopSignalWatch& stops,
                         StopRequest* stop) noexcept {
    const int waited = waitConsoleKey(in, stops, stop);
    if (waited <= 0) {
        line.out[line.length] = 0;
        return waited == 0 ? LineRead::Stopped : LineRead::EndOfInput;
    }
    ReadCutter cutter(in, eventOf(stops));
    const LineRead result = readConsoleText(in, line, stops, stop);
    // What the cut left in the console's input, an Enter not yet read included, goes.
    if (cutter.end() && result == LineRead::Stopped)
        ::FlushConsoleInputBuffer(in);
    return result;
}

} // namespace

bool haveTerminal() noexcept {
    return isConsole(standardHandle(STD_INPUT_HANDLE)) &&
           isConsole(standardHandle(STD_OUTPUT_HANDLE));
}

bool standardOutputIsTerminal() noexcept {
    return isConsole(standardHandle(STD_OUTPUT_HANDLE));
}

LineRead readLine(char* out, std::size_t capacity, StopRequest* stop) noexcept {
    if (!out || capacity == 0)
        return LineRead::EndOfInput;
    out[0] = 0;
    const HANDLE in = standardHandle(STD_INPUT_HANDLE);
    if (!in)
        return LineRead::EndOfInput;
    // The stop requests are queued for the wait and taken here, so that Ctrl-C at a
    // question unwinds the dialog instead of ending the process under it.
    StopSignalWatch stops;
    LineArea line{out, capacity};
    return isConsole(in) ? readConsoleLine(in, line, stops, stop)
                         : readByteLine(in, line, stops, stop);
}

bool writeOutput(const char* data, std::size_t size) noexcept {
    return size == 0 || (data && win32::writeStandardOutput(data, size));
}

bool writeOutput(const char* text) noexcept {
    return text ? writeOutput(text, std::strlen(text)) : true;
}

} // namespace velnor::platform
