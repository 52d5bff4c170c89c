#include "platform/TimeConversion.h"

#include <windows.h>

namespace velnor::platform {

void localTimeNow(SystemTime& out, int& utcOffsetMinutes) noexcept {
    // One reading of the clock gives both the UTC and the local form, so the offset is
    // the one in force at that very moment, daylight saving included.
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    ::FileTimeToSystemTime(&now, &utc);
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        // Without a zone the machine's time is UTC; still report a real moment.
        local = utc;
    }
    out.year = local.wYear;
    out.month = local.wMonth;
    out.dayOfWeek = local.wDayOfWeek;
    out.day = local.wDay;
    out.hour = local.wHour;
    out.minute = local.wMinute;
    out.second = local.wSecond;
    out.milliseconds = local.wMilliseconds;
    // Both readings name the same instant, so their difference is the offset (east
    // positive, as the zone's bias is west positive).
    FILETIME localAsFile{};
    ::SystemTimeToFileTime(&local, &localAsFile);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                         t.dwLowDateTime);
    };
    const std::int64_t difference = ticks(localAsFile) - ticks(now);
    // The milliseconds kept by SYSTEMTIME drop the sub-millisecond part; rounding to the
    // nearest minute removes it.
    constexpr std::int64_t kTicksPerMinute = 600'000'000;
    utcOffsetMinutes = static_cast<int>(
        (difference + (difference >= 0 ? kTicksPerMinute / 2 : -kTicksPerMinute / 2)) /
        kTicksPerMinute);
}

} // namespace velnor::platform
