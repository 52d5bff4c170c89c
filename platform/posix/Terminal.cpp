#include "platform/Terminal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include "platform/Signals.h"

namespace velnor::platform {
namespace {

// The most a pipe takes whole once poll says it has room: one page.
constexpr std::size_t kWholePiece = PIPE_BUF;

std::int64_t monotonicMs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until standard input has something to read or a stop signal is pending.
// 1: input ready, 0: a stop signal (kept in `stop`), -1: failure.
int waitInput(StopSignalWatch& stops, StopRequest* stop) noexcept {
    const int signalFd = int(stops.handle());
    for (;;) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
        const nfds_t count = signalFd >= 0 ? 2 : 1;
        const int ready = ::poll(watched, count, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (count == 2 && (watched[1].revents & POLLIN)) {
            if (const StopRequest taken = stops.take(); taken != StopRequest::None) {
                if (stop)
                    *stop = taken;
                return 0;
            }
        }
        if (watched[0].revents)
            return 1;
    }
}

} // namespace

bool haveTerminal() noexcept {
    return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1;
}

bool standardOutputIsTerminal() noexcept {
    return ::isatty(STDOUT_FILENO) == 1;
}

LineRead readLine(char* out, std::size_t capacity, StopRequest* stop) noexcept {
    if (!out || capacity == 0)
        return LineRead::EndOfInput;
    out[0] = 0;
    // The stop signals are held for the wait and taken here, so that Ctrl-C at a question
    // unwinds the dialog instead of ending the process under it.
    StopSignalWatch stops;
    std::size_t length = 0;
    bool readAny = false;
    for (;;) {
        const int waited = waitInput(stops, stop);
        if (waited == 0) {
            out[length] = 0;
            return LineRead::Stopped;
        }
        if (waited < 0)
            return LineRead::EndOfInput;
        // One byte at a time, so nothing after the line end is taken from a later reader.
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            out[length] = 0;
            return readAny ? LineRead::Line : LineRead::EndOfInput;
        }
        readAny = true;
        if (c == '\n')
            break;
        if (length + 1 < capacity)
            out[length++] = c;
    }
    if (length > 0 && out[length - 1] == '\r')
        --length;
    out[length] = 0;
    return LineRead::Line;
}

bool writeOutput(const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool writeOutput(const char* text) noexcept {
    return text ? writeOutput(text, std::strlen(text)) : true;
}

bool writeOutputWithin(const char* data, std::size_t size, long waitMs) noexcept {
    const std::int64_t deadline = monotonicMs() + (waitMs > 0 ? waitMs : 0);
    while (size > 0) {
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        const std::int64_t left = deadline - monotonicMs();
        const int ready = ::poll(&output, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (output.revents & POLLOUT) == 0)
            return false;
        const ssize_t written = ::write(STDOUT_FILENO, data, std::min(size, kWholePiece));
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

std::size_t PanelWriter::compose(const char* const* lines, std::size_t count, char* out,
                                 std::size_t capacity) noexcept {
    if (count > kMaxLines)
        count = kMaxLines;
    std::size_t used = 0;
    auto append = [&](const char* bytes, std::size_t size) {
        if (used + size >= capacity)
            return false;
        std::memcpy(out + used, bytes, size);
        used += size;
        return true;
    };
    if (drawn_ > 0) {
        // Cursor up over the previous drawing, to the start of its first line.
        char up[16];
        const int n = std::snprintf(up, sizeof up, "\033[%zuA", drawn_);
        if (n <= 0 || !append(up, static_cast<std::size_t>(n)))
            return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = lines[i] ? lines[i] : "";
        std::size_t length = std::strlen(text);
        if (length >= kLineCapacity)
            length = kLineCapacity - 1;
        if (!append("\r\033[2K", 5) || !append(text, length) || !append("\n", 1))
            return 0;
    }
    // Lines of a taller earlier drawing are cleared, and the cursor comes back to just
    // below this one.
    for (std::size_t i = count; i < drawn_; ++i)
        if (!append("\r\033[2K\n", 6))
            return 0;
    if (drawn_ > count) {
        char up[16];
        const int n = std::snprintf(up, sizeof up, "\033[%zuA", drawn_ - count);
        if (n <= 0 || !append(up, static_cast<std::size_t>(n)))
            return 0;
    }
    out[used] = 0;
    drawn_ = count;
    return used;
}

bool PanelWriter::draw(const char* const* lines, std::size_t count, long waitMs) noexcept {
    char bytes[kMaxLines * (kLineCapacity + 16) + 64];
    const std::size_t shown = drawn_;
    const std::size_t size = compose(lines, count, bytes, sizeof bytes);
    if (size > 0 && writeOutputWithin(bytes, size, waitMs))
        return true;
    drawn_ = shown;
    return false;
}

} // namespace velnor::platform
