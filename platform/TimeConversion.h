// File times and broken-down times, as pure functions of their inputs.
#pragma once

#include <cstdint>

namespace velnor::platform {

// Broken-down UTC (or local) time: year, month 1-12, day of week 0 = Sunday, day,
// hour, minute, second, milliseconds.
struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// A file time counts 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
// Fails (false, `out` untouched) for times past year 30827.
bool fileTimeToSystemTime(std::uint64_t fileTime, SystemTime& out) noexcept;

// Fails (false, `out` untouched) when the fields name no valid date and time: year
// outside 1601-30827, month outside 1-12, day 0 or past the month's end (leap years
// counted), hour > 23, minute > 59, second > 59, milliseconds > 999. The day of week
// is not read.
bool systemTimeToFileTime(const SystemTime& in, std::uint64_t& out) noexcept;

// File time of a Unix time in seconds and nanoseconds.
std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept;

// The local time now, and the machine's offset from UTC in minutes at that moment
// (east positive).
void localTimeNow(SystemTime& out, int& utcOffsetMinutes) noexcept;

} // namespace velnor::platform
