// Output that must not hold its writer up, and the panel drawn in place.
#include "platform/Terminal.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <windows.h>

#include "platform/Utf.h"
#include "platform/win32/ConsoleOutput.h"

namespace velnor::platform {
namespace {

// Text for the console goes through UTF-16 in pieces of this many bytes.
constexpr std::size_t kConsolePiece = 1024;

bool writeAllBytes(HANDLE out, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const DWORD piece = DWORD(std::min<std::size_t>(size, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(out, data, piece, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// The console shows UTF-16; the bytes are the server's UTF-8, cut between characters.
// Bytes that are no UTF-8 go as they are, in the console's own code page.
bool writeConsoleText(HANDLE out, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        std::size_t piece = std::min(size, kConsolePiece);
        while (piece < size && piece > 0 &&
               (static_cast<unsigned char>(data[piece]) & 0xc0) == 0x80)
            --piece;
        if (piece == 0)
            piece = std::min(size, kConsolePiece);
        char16_t wide[kConsolePiece + 1];
        const long units = utf8ToUtf16(data, piece, wide, kConsolePiece + 1);
        if (units < 0) {
            if (!writeAllBytes(out, data, piece))
                return false;
        } else {
            for (long done = 0; done < units;) {
                DWORD written = 0;
                if (!::WriteConsoleW(out, wide + done, DWORD(units - done), &written, nullptr) ||
                    written == 0)
                    return false;
                done += long(written);
            }
        }
        data += piece;
        size -= piece;
    }
    return true;
}

} // namespace

namespace win32 {

bool writeStandardOutput(const char* data, std::size_t size) noexcept {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0;
    return ::GetConsoleMode(out, &mode) ? writeConsoleText(out, data, size)
                                        : writeAllBytes(out, data, size);
}

} // namespace win32

namespace {

// A pipe here cannot say whether it has room, and a console held in selection mode
// blocks its writer: the bytes are handed to a writer thread of the output's own in
// pieces of this size, and the caller waits for each piece only as long as it may.
// A piece the output has not taken by then stays with that thread and is written once
// the output drains; the rest of that call's bytes are not written.
constexpr std::size_t kPieceCapacity = 4096;

// Lives until the process ends, with the thread that uses it: nothing is destroyed.
struct Writer {
    SRWLOCK callers = SRWLOCK_INIT;
    HANDLE ready = nullptr; // auto-reset: a piece is waiting
    HANDLE idle = nullptr;  // manual-reset: the thread has no piece
    char piece[kPieceCapacity];
    std::size_t size = 0;
    bool written = true;
};
Writer writer;

DWORD WINAPI writeLoop(void*) {
    for (;;) {
        if (::WaitForSingleObject(writer.ready, INFINITE) != WAIT_OBJECT_0)
            return 1;
        writer.written = win32::writeStandardOutput(writer.piece, writer.size);
        ::SetEvent(writer.idle);
    }
}

bool startWriter() noexcept {
    writer.ready = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writer.idle = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (!writer.ready || !writer.idle)
        return false;
    const HANDLE thread = ::CreateThread(nullptr, 64 * 1024, writeLoop, nullptr,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread)
        return false;
    ::CloseHandle(thread);
    return true;
}

bool writerRunning() noexcept {
    static const bool running = startWriter();
    return running;
}

DWORD msLeft(ULONGLONG deadline) noexcept {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : DWORD(deadline - now);
}

bool writePieces(const char* data, std::size_t size, ULONGLONG deadline) noexcept {
    while (size > 0) {
        if (::WaitForSingleObject(writer.idle, msLeft(deadline)) != WAIT_OBJECT_0)
            return false;
        const std::size_t piece = std::min(size, kPieceCapacity);
        std::memcpy(writer.piece, data, piece);
        writer.size = piece;
        ::ResetEvent(writer.idle);
        ::SetEvent(writer.ready);
        if (::WaitForSingleObject(writer.idle, msLeft(deadline)) != WAIT_OBJECT_0 ||
            !writer.written)
            return false;
        data += piece;
        size -= piece;
    }
    return true;
}

HANDLE consoleOutput() noexcept {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !out || !::GetConsoleMode(out, &mode))
        return nullptr;
    return out;
}

// Whether the console reads the escape sequences the panel is drawn with, turning them
// on where the console has them. Asked once: the console stays the same.
bool consoleReadsSequences(HANDLE out) noexcept {
    static const bool reads = [out] {
        DWORD mode = 0;
        if (!::GetConsoleMode(out, &mode))
            return false;
        return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
               ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }();
    return reads;
}

bool clearRow(HANDLE out, SHORT row, SHORT width) noexcept {
    DWORD filled = 0;
    return ::FillConsoleOutputCharacterW(out, L' ', DWORD(width), COORD{0, row}, &filled) != 0;
}

} // namespace

bool writeOutputWithin(const char* data, std::size_t size, long waitMs) noexcept {
    if (size == 0)
        return true;
    if (!data)
        return false;
    const ULONGLONG deadline = ::GetTickCount64() + ULONGLONG(waitMs > 0 ? waitMs : 0);
    // Without its thread the output is written directly, as it would be without a wait.
    if (!writerRunning())
        return win32::writeStandardOutput(data, size);
    ::AcquireSRWLockExclusive(&writer.callers);
    const bool written = writePieces(data, size, deadline);
    ::ReleaseSRWLockExclusive(&writer.callers);
    return written;
}

bool PanelWriter::draw(const char* const* lines, std::size_t count, long waitMs) noexcept {
    const HANDLE out = consoleOutput();
    if (!out || consoleReadsSequences(out)) {
        char bytes[kMaxLines * (kLineCapacity + 16) + 64];
        const std::size_t shown = drawn_;
        const std::size_t size = compose(lines, count, bytes, sizeof bytes);
        if (size > 0 && writeOutputWithin(bytes, size, waitMs))
            return true;
        drawn_ = shown;
        return false;
    }
    // An older console: the cursor is moved and the rows are cleared by the console's
    // own calls, which answer at once.
    count = std::min(count, kMaxLines);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(out, &info))
        return false;
    const SHORT width = info.dwSize.X;
    const SHORT top = SHORT(std::max<long>(0, long(info.dwCursorPosition.Y) - long(drawn_)));
    if (!::SetConsoleCursorPosition(out, COORD{0, top}))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = lines[i] ? lines[i] : "";
        // Cut to the row, so that it never wraps, and between characters.
        std::size_t length = std::min(
            {std::strlen(text), kLineCapacity - 1, std::size_t(width > 1 ? width - 1 : 1)});
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
            --length;
        if (!::GetConsoleScreenBufferInfo(out, &info) ||
            !clearRow(out, info.dwCursorPosition.Y, width) ||
            !win32::writeStandardOutput(text, length) || !win32::writeStandardOutput("\n", 1)) {
            drawn_ = i; // the rows written so far are where the next drawing starts
            return false;
        }
    }
    // Rows of a taller earlier drawing are cleared; the cursor stays just below this one.
    if (::GetConsoleScreenBufferInfo(out, &info))
        for (std::size_t i = count; i < drawn_; ++i)
            clearRow(out, SHORT(info.dwCursorPosition.Y + SHORT(i - count)), width);
    drawn_ = count;
    return true;
}

} // namespace velnor::platform
