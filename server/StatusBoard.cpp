#include "server/StatusBoard.h"

#include <cstdio>
#include <cstring>

namespace velnor {
namespace {

void copyText(char* out, std::size_t capacity, const char* text) noexcept {
    if (capacity == 0)
        return;
    std::size_t length = text ? std::strlen(text) : 0;
    if (length >= capacity)
        length = capacity - 1;
    if (length)
        std::memcpy(out, text, length);
    out[length] = 0;
}

constexpr std::uint64_t pack(StatusBoard::Frequent kind, std::uint32_t value) noexcept {
    return std::uint64_t(kind) << 32 | value;
}

} // namespace

void StatusBoard::post(int control, const char* text) noexcept {
    if (control >= kWorkerLineBase && std::uint32_t(control - kWorkerLineBase) < kWorkerLines) {
        std::lock_guard<std::mutex> hold(mutex_);
        copyText(workers_[control - kWorkerLineBase], sizeof workers_[0], text);
        return;
    }
    if (control != kStatusLine)
        return;
    std::lock_guard<std::mutex> hold(mutex_);
    // Taken under the lock, so history entries are numbered in the order they are kept.
    newest_ = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
    Entry& entry = history_[newest_ % kHistoryLength];
    entry.sequence = newest_;
    copyText(entry.text, sizeof entry.text, text);
}

void StatusBoard::postFrequent(Frequent kind, std::uint32_t value) noexcept {
    const std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed) + 1;
    frequentWord_.store(pack(kind, value), std::memory_order_relaxed);
    frequentSequence_.store(sequence, std::memory_order_release);
}

void StatusBoard::setListeningPort(std::uint16_t port) noexcept {
    port_.store(port, std::memory_order_release);
}

std::uint16_t StatusBoard::listeningPort() const noexcept {
    return std::uint16_t(port_.load(std::memory_order_acquire));
}

std::size_t StatusBoard::textsAfter(std::uint64_t after, Entry* out,
                                    std::size_t capacity) const noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    std::uint64_t first = after + 1;
    if (newest_ >= kHistoryLength && first <= newest_ - kHistoryLength)
        first = newest_ - kHistoryLength + 1;
    std::size_t count = 0;
    for (std::uint64_t s = first; s <= newest_ && count < capacity; ++s) {
        const Entry& entry = history_[s % kHistoryLength];
        if (entry.sequence == s)
            out[count++] = entry;
    }
    return count;
}

StatusBoard::FrequentText StatusBoard::frequent() const noexcept {
    FrequentText result;
    // A post between the two loads pairs a newer text with an older number; the next
    // look sees the newer number with the same text, so nothing is lost.
    result.sequence = frequentSequence_.load(std::memory_order_acquire);
    const std::uint64_t word = frequentWord_.load(std::memory_order_relaxed);
    result.kind = Frequent(word >> 32);
    result.value = std::uint32_t(word);
    return result;
}

void StatusBoard::statusText(char* out, std::size_t capacity) const noexcept {
    const FrequentText latest = frequent();
    std::lock_guard<std::mutex> hold(mutex_);
    if (latest.kind != Frequent::None && latest.sequence > newest_)
        formatFrequent(latest, out, capacity);
    else
        copyText(out, capacity, newest_ ? history_[newest_ % kHistoryLength].text : "");
}

void StatusBoard::workerText(std::uint32_t worker, char* out, std::size_t capacity) const noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    copyText(out, capacity, worker < kWorkerLines ? workers_[worker] : "");
}

void StatusBoard::formatFrequent(const FrequentText& entry, char* out,
                                 std::size_t capacity) noexcept {
    if (capacity == 0)
        return;
    switch (entry.kind) {
    case Frequent::RequestCount:
        // The counter is 32-bit and shown as a signed number, as the window shows it.
        std::snprintf(out, capacity, "Reqest:%d", int(std::int32_t(entry.value)));
        return;
    case Frequent::ServerBusy:
        copyText(out, capacity, "Server busy...");
        return;
    case Frequent::Shutdown:
        std::snprintf(out, capacity, "Shutdown...%c", (entry.value & 1) ? '|' : '-');
        return;
    case Frequent::None:
        break;
    }
    out[0] = 0;
}

void StatusFeed::show(const char* text) noexcept {
    // The status line only changes when its text does.
    if (behind_ || std::strcmp(text, last_) == 0)
        return;
    char line[StatusBoard::kTextCapacity + 16];
    std::snprintf(line, sizeof line, "Status: %s", text);
    if (!sink_.line(line)) {
        behind_ = true;
        return;
    }
    copyText(last_, sizeof last_, text);
}

void StatusFeed::showPort() noexcept {
    const std::uint16_t port = board_.listeningPort();
    if (behind_ || shownPort_ || port == 0)
        return;
    char line[32];
    std::snprintf(line, sizeof line, "Port: %u", unsigned(port));
    if (sink_.line(line))
        shownPort_ = true;
    else
        behind_ = true;
}

void StatusFeed::catchUp(std::uint64_t nowMs) noexcept {
    // Everything posted so far is summed up by the state read after it.
    const StatusBoard::FrequentText latest = board_.frequent();
    StatusBoard::Entry entries[StatusBoard::kHistoryLength];
    const std::size_t count = board_.textsAfter(seenText_, entries, StatusBoard::kHistoryLength);
    if (count > 0)
        seenText_ = entries[count - 1].sequence;
    if (latest.sequence > seenFrequent_)
        seenFrequent_ = latest.sequence;
    char text[StatusBoard::kTextCapacity];
    board_.statusText(text, sizeof text);

    behind_ = false;
    showPort();
    if (text[0])
        show(text);
    if (!behind_) {
        lastFrequentMs_ = nowMs;
        shownFrequent_ = true;
    }
}

void StatusFeed::poll(std::uint64_t nowMs, bool final) noexcept {
    if (behind_) {
        catchUp(nowMs);
        return;
    }
    showPort();
    const StatusBoard::FrequentText latest = board_.frequent();
    StatusBoard::Entry entries[StatusBoard::kHistoryLength];
    const std::size_t count = board_.textsAfter(seenText_, entries, StatusBoard::kHistoryLength);
    for (std::size_t i = 0; i < count; ++i) {
        show(entries[i].text);
        seenText_ = entries[i].sequence;
    }
    // A frequent text older than the newest rare one has already been replaced on the
    // status line, so it is dropped rather than shown out of order.
    if (latest.kind == StatusBoard::Frequent::None || latest.sequence <= seenFrequent_)
        return;
    if (latest.sequence < seenText_) {
        seenFrequent_ = latest.sequence;
        return;
    }
    if (!final && shownFrequent_ && nowMs - lastFrequentMs_ < kFrequentIntervalMs)
        return;
    char text[StatusBoard::kTextCapacity];
    StatusBoard::formatFrequent(latest, text, sizeof text);
    show(text);
    seenFrequent_ = latest.sequence;
    lastFrequentMs_ = nowMs;
    shownFrequent_ = true;
}

} // namespace velnor
