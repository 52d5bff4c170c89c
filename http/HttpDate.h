// A file time and the HTTP date text that names it: reads all three date forms clients
// send and writes the RFC 1123 form.
#pragma once

#include <cstdint>

#include "platform/TimeConversion.h"

namespace velnor {

class HttpDate {
public:
    HttpDate() = default;

    // Stores a file time cut down to the whole second, as HTTP dates carry no fraction.
    void fromFileTime(std::uint64_t fileTime) noexcept;

    // Reads an RFC 1123, RFC 850 or asctime date. False when the text names no valid
    // date; the stored time is then 0, the earliest file time (see the source).
    bool parseHttpDate(const char* text) noexcept;

    // The stored time as "Sun, 06 Nov 1994 08:49:37 GMT"; points into this object and
    // stays valid until the next call.
    const char* formatHttpDate() noexcept;

    // True when this time is the same as or later than `other`'s.
    bool isNotOlderThan(const HttpDate& other) const noexcept { return time_ >= other.time_; }

    std::uint64_t fileTime() const noexcept { return time_; }

private:
    char text_[32] = {};
    platform::SystemTime fields_;
    std::uint64_t time_ = 0;
};

} // namespace velnor
