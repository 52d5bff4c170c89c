// The operator's terminal: whether there is one, line input that a stop signal can cut
// short, and a few lines of output redrawn in place.
#pragma once

#include <cstddef>

#include "platform/Signals.h"

namespace velnor::platform {

// True when both standard input and standard output are a terminal, so that a question
// can be both seen and answered.
bool haveTerminal() noexcept;
bool standardOutputIsTerminal() noexcept;

enum class LineRead {
    Line,       // a line was read (its line end removed)
    EndOfInput, // end of input or a read error: nobody will answer
    Stopped,    // a stop signal (SIGINT, SIGTERM, SIGHUP) came first
};

// Reads one line from standard input into `out` (capacity bytes with its NUL), waiting as
// long as it takes. The terminal keeps its own echo and line editing. A line longer than
// the area is cut, and the rest of it is read and dropped. A stop signal arriving while
// it waits ends the wait: `stop` says which, and the signal is consumed.
LineRead readLine(char* out, std::size_t capacity, StopRequest* stop) noexcept;

// Writes all of `size` bytes to standard output; false on failure.
bool writeOutput(const char* data, std::size_t size) noexcept;
bool writeOutput(const char* text) noexcept;

// The same for output that must never hold its writer up (the status display): false
// when standard output could not take the bytes within `waitMs` (a full pipe, a stalled
// reader, a terminal paused with Ctrl-S) or failed. The bytes go in pieces no larger than
// a pipe takes whole once it has room, so a write that follows a ready answer does not
// wait on a pipe either.
bool writeOutputWithin(const char* data, std::size_t size, long waitMs) noexcept;

/// A block of lines at the bottom of the terminal, drawn again in place: the cursor
/// goes back up over the previous drawing and every line is cleared before it is
/// written, so a shorter text leaves nothing of a longer one behind.
class PanelWriter {
public:
    static constexpr std::size_t kMaxLines = 8;
    static constexpr std::size_t kLineCapacity = 128;

    // Draws `count` lines (at most kMaxLines, each cut to fit a terminal line area),
    // waiting at most `waitMs` for the terminal. Returns false when the output failed or
    // did not take the drawing in time; the next drawing then starts from the last one
    // that was shown.
    bool draw(const char* const* lines, std::size_t count, long waitMs) noexcept;

    // The bytes one draw writes, for a caller that wants them elsewhere; the length, or
    // 0 when `capacity` is too small.
    std::size_t compose(const char* const* lines, std::size_t count, char* out,
                        std::size_t capacity) noexcept;

private:
    std::size_t drawn_ = 0;
};

} // namespace velnor::platform
