// A text built piece by piece in a fixed area: the per-request heads and log records,
// written without the formatted-output machinery. A piece that does not fit marks the
// whole text as cut; nothing is ever written past the area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velnor {

class BoundedText {
public:
    // `capacity` counts the terminating NUL.
    BoundedText(char* area, std::size_t capacity) noexcept
        : area_(area), capacity_(capacity), cut_(area == nullptr || capacity == 0) {}

    BoundedText& text(const char* piece, std::size_t length) noexcept {
        if (cut_ || length >= capacity_ - used_) {
            cut_ = true;
            return *this;
        }
        std::memcpy(area_ + used_, piece, length);
        used_ += length;
        return *this;
    }
    BoundedText& text(const char* piece) noexcept {
        return text(piece == nullptr ? "" : piece, piece == nullptr ? 0 : std::strlen(piece));
    }
    // In decimal, filled on the left with `fill` up to `digits`.
    BoundedText& decimal(std::uint64_t value, unsigned digits = 1, char fill = '0') noexcept {
        char reversed[20];
        unsigned count = 0;
        do {
            reversed[count++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count < digits && count < sizeof reversed)
            reversed[count++] = fill;
        char forward[20];
        for (unsigned i = 0; i < count; ++i)
            forward[i] = reversed[count - 1 - i];
        return text(forward, count);
    }
    // "hh:mm:ss", as dates in heads and log records write the time of day.
    BoundedText& timeOfDay(unsigned hour, unsigned minute, unsigned second) noexcept {
        return decimal(hour, 2).text(":", 1).decimal(minute, 2).text(":", 1).decimal(second, 2);
    }
    BoundedText& signedDecimal(std::int64_t value) noexcept {
        if (value < 0) {
            text("-", 1);
            return decimal(std::uint64_t(0) - std::uint64_t(value));
        }
        return decimal(std::uint64_t(value));
    }

    // The length of the text, now terminated; 0 when a piece did not fit (the area then
    // holds an empty text).
    std::size_t finish() noexcept {
        if (cut_) {
            if (area_ != nullptr && capacity_ > 0)
                area_[0] = '\0';
            return 0;
        }
        area_[used_] = '\0';
        return used_;
    }

private:
    char* area_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    bool cut_;
};

} // namespace velnor
