// Where the server thread's status texts go, and how the console turns them into lines.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace velnor {

/// The numbered status lines of the control window, kept in memory so that posting a
/// text never waits for the console to show it.
///
/// Texts of rare events (start-up, failures) go into a short history so that quick
/// successions are not lost. Texts that come at request rate ("Reqest:%d",
/// "Server busy...", the shutdown ticks) only replace one latest-value word: posting
/// them takes no lock, no allocation and no system call.
class StatusBoard {
public:
    static constexpr int kStatusLine = 1002;
    static constexpr int kWorkerLineBase = 2000;
    static constexpr std::uint32_t kWorkerLines = 64;
    static constexpr std::size_t kTextCapacity = 64;
    static constexpr std::size_t kHistoryLength = 16;

    // The texts that change at request rate, formatted only when they are read.
    enum class Frequent : std::uint32_t {
        None = 0,
        RequestCount = 1, // "Reqest:%d"
        ServerBusy = 2,   // "Server busy..."
        Shutdown = 3,     // "Shutdown...|" or "Shutdown...-" by the tick count
    };

    struct Entry {
        std::uint64_t sequence = 0;
        char text[kTextCapacity] = {};
    };

    struct FrequentText {
        std::uint64_t sequence = 0;
        Frequent kind = Frequent::None;
        std::uint32_t value = 0;
    };

    // Writes `text` to line `control` (cut to kTextCapacity - 1 bytes). Line 1002 keeps
    // a history; the worker lines keep their latest text; other lines are ignored.
    void post(int control, const char* text) noexcept;
    // Replaces the status line with a frequent text.
    void postFrequent(Frequent kind, std::uint32_t value) noexcept;
    void setListeningPort(std::uint16_t port) noexcept;

    std::uint16_t listeningPort() const noexcept;
    // Copies the history entries newer than `after`, oldest first, into `out`; returns
    // how many. Entries pushed out of the history by newer ones are skipped.
    std::size_t textsAfter(std::uint64_t after, Entry* out, std::size_t capacity) const noexcept;
    FrequentText frequent() const noexcept;
    // The status line as the window would show it now: the latest text of either kind.
    void statusText(char* out, std::size_t capacity) const noexcept;
    // Worker i's line; empty when nothing was posted there.
    void workerText(std::uint32_t worker, char* out, std::size_t capacity) const noexcept;

    // The text of a frequent entry.
    static void formatFrequent(const FrequentText& entry, char* out, std::size_t capacity) noexcept;

private:
    mutable std::mutex mutex_;
    Entry history_[kHistoryLength];
    std::uint64_t newest_ = 0; // sequence of the newest history entry
    char workers_[kWorkerLines][16] = {};
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<std::uint64_t> frequentWord_{0};
    std::atomic<std::uint64_t> frequentSequence_{0};
    std::atomic<std::uint32_t> port_{0};
};

/// Receives the console's finished lines (without line ends).
class LineSink {
public:
    virtual ~LineSink() = default;
    // False when the line could not be written in time and was dropped.
    virtual bool line(const char* text) noexcept = 0;
};

/// Turns the board into "Status: TEXT" lines for a console without a panel: every text
/// of a rare event in order, frequent texts at most about once a second (the latest one
/// always shown in the end), and one "Port: N" line once the listener is up.
///
/// Output that stalls never holds the feed up: once the sink drops a line, later texts
/// are dropped without being offered, and each look offers only the current state (the
/// port line if still unshown, then the status line as it reads now) until the sink
/// takes it. So a reader that comes back sees where things stand, not a backlog.
class StatusFeed {
public:
    static constexpr std::uint64_t kFrequentIntervalMs = 1000;

    StatusFeed(const StatusBoard& board, LineSink& sink) noexcept : board_(board), sink_(sink) {}

    // One look at the board at `nowMs` (any monotonic clock). `final` shows a waiting
    // frequent text at once.
    void poll(std::uint64_t nowMs, bool final) noexcept;

private:
    void show(const char* text) noexcept;
    void showPort() noexcept;
    void catchUp(std::uint64_t nowMs) noexcept;

    const StatusBoard& board_;
    LineSink& sink_;
    bool behind_ = false; // a line was dropped; only the current state is offered
    std::uint64_t seenText_ = 0;
    std::uint64_t seenFrequent_ = 0;
    std::uint64_t lastFrequentMs_ = 0;
    bool shownFrequent_ = false;
    bool shownPort_ = false;
    char last_[StatusBoard::kTextCapacity] = {};
};

} // namespace velnor
