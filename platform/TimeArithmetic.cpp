// The calendar arithmetic of file times: no clock and no zone, so both systems share it.
#include "platform/TimeConversion.h"

#include <cstdint>

namespace velnor::platform {

namespace {

constexpr std::uint64_t kTicksPerMillisecond = 10'000;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
constexpr std::uint64_t kSecondsPerDay = 86'400;
constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600; // 1601-01-01 to 1970-01-01
constexpr std::int64_t kUnixEpochDays = 134'774;
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

constexpr bool isLeapYear(std::int64_t year) noexcept {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned daysInMonth(std::int64_t year, unsigned month) noexcept {
    constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && isLeapYear(year))
        return 29;
    return kDays[month - 1];
}

// Days since 1601-01-01 of a proleptic Gregorian date. Counting in 400-year eras that
// start on 1 March keeps the leap day at the end of the year, so no month table is needed.
constexpr std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) noexcept {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146'097 + static_cast<std::int64_t>(dayOfEra) - 719'468 + kUnixEpochDays;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// Inverse of daysFromCivil.
constexpr CivilDate civilFromDays(std::int64_t days) noexcept {
    days += 719'468 - kUnixEpochDays;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146'097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
    return {year, month, day};
}

// The first file time that no SystemTime can hold (year 30828 begins).
constexpr std::uint64_t kFileTimeLimit =
    static_cast<std::uint64_t>(daysFromCivil(kLastYear + 1, 1, 1)) * kSecondsPerDay *
    kTicksPerSecond;

void fillFromDays(std::int64_t days, SystemTime& out) noexcept {
    const CivilDate date = civilFromDays(days);
    out.year = static_cast<std::uint16_t>(date.year);
    out.month = static_cast<std::uint16_t>(date.month);
    out.day = static_cast<std::uint16_t>(date.day);
    // 1601-01-01 was a Monday.
    out.dayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);
}

} // namespace

bool fileTimeToSystemTime(std::uint64_t fileTime, SystemTime& out) noexcept {
    if (fileTime >= kFileTimeLimit)
        return false;
    const std::uint64_t totalSeconds = fileTime / kTicksPerSecond;
    const auto days = static_cast<std::int64_t>(totalSeconds / kSecondsPerDay);
    const std::uint64_t secondOfDay = totalSeconds % kSecondsPerDay;
    SystemTime result;
    fillFromDays(days, result);
    result.hour = static_cast<std::uint16_t>(secondOfDay / 3600);
    result.minute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
    result.second = static_cast<std::uint16_t>(secondOfDay % 60);
    result.milliseconds =
        static_cast<std::uint16_t>(fileTime % kTicksPerSecond / kTicksPerMillisecond);
    out = result;
    return true;
}

bool systemTimeToFileTime(const SystemTime& in, std::uint64_t& out) noexcept {
    if (in.year < kFirstYear || in.year > kLastYear || in.month < 1 || in.month > 12)
        return false;
    if (in.day < 1 || in.day > daysInMonth(in.year, in.month))
        return false;
    if (in.hour > 23 || in.minute > 59 || in.second > 59 || in.milliseconds > 999)
        return false;
    const auto days = static_cast<std::uint64_t>(daysFromCivil(in.year, in.month, in.day));
    const std::uint64_t seconds =
        days * kSecondsPerDay + in.hour * 3600u + in.minute * 60u + in.second;
    out = seconds * kTicksPerSecond + in.milliseconds * kTicksPerMillisecond;
    return true;
}

std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds) noexcept {
    // Times before 1601 have no file time; the earliest one stands in for them. Times
    // past what 64 bits hold stop at the largest value.
    if (seconds < -kUnixEpochSeconds)
        return 0;
    // Unsigned, so the largest Unix times do not overflow on the way.
    const std::uint64_t sinceEpoch =
        static_cast<std::uint64_t>(seconds) + static_cast<std::uint64_t>(kUnixEpochSeconds);
    const std::uint64_t fraction = (nanoseconds > 999'999'999u ? 999'999'999u : nanoseconds) / 100;
    if (sinceEpoch > (UINT64_MAX - fraction) / kTicksPerSecond)
        return UINT64_MAX;
    return sinceEpoch * kTicksPerSecond + fraction;
}

} // namespace velnor::platform
