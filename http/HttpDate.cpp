#include "http/HttpDate.h"

#include "content/BoundedText.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velnor {

namespace {

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

constexpr std::size_t kWorkSize = 32;
constexpr std::uint64_t kTicksPerSecond = 10'000'000;

// Where each field of one date form starts in the work area, and where the NULs that end
// the fields go.
struct DateLayout {
    std::size_t day;
    std::size_t month;
    std::size_t year;
    std::size_t hour;
    std::size_t minute;
    std::size_t second;
    std::size_t cuts[6];
};

constexpr DateLayout kRfc1123 = {5, 8, 12, 17, 20, 23, {7, 11, 16, 19, 22, 25}};
constexpr DateLayout kAsctime = {8, 4, 20, 11, 14, 17, {7, 10, 13, 16, 19, 24}};

// RFC 850 fields sit at fixed distances from the comma after the weekday name.
DateLayout rfc850Layout(std::size_t comma) noexcept {
    return {comma + 2,
            comma + 5,
            comma + 9,
            comma + 12,
            comma + 15,
            comma + 18,
            {comma + 4, comma + 8, comma + 11, comma + 14, comma + 17, comma + 20}};
}

std::uint16_t monthNumber(const char* field) noexcept {
    for (std::uint16_t i = 0; i < 12; ++i) {
        if (std::strcmp(field, kMonthNames[i]) == 0)
            return static_cast<std::uint16_t>(i + 1);
    }
    return 12;
}

// Every field is short and NUL-terminated inside the work area, so the conversion cannot
// overflow; a negative value wraps to a large one that no valid date has.
std::uint16_t decimalField(const char* field) noexcept {
    return static_cast<std::uint16_t>(std::strtol(field, nullptr, 10));
}

} // namespace

void HttpDate::fromFileTime(std::uint64_t fileTime) noexcept {
    time_ = fileTime;
    if (platform::fileTimeToSystemTime(fileTime, fields_)) {
        fields_.milliseconds = 0;
        platform::systemTimeToFileTime(fields_, time_);
    } else {
        // Past the last date the fields can hold; still drop the fraction of a second.
        time_ = fileTime - fileTime % kTicksPerSecond;
    }
}

// A text that names no valid date stores time 0, the earliest file time. Target resolution
// asks whether the client's date is not older than the file's; every real file is newer
// than 0, so an unusable If-Modified-Since makes the file count as modified and it is sent.
bool HttpDate::parseHttpDate(const char* text) noexcept {
    // A shorter text is padded with NULs, so every position below is inside the copy.
    char work[kWorkSize] = {};
    if (text != nullptr) {
        for (std::size_t i = 0; i < kWorkSize && text[i] != '\0'; ++i)
            work[i] = text[i];
    }

    DateLayout layout{};
    bool rfc850 = false;
    if (work[3] == ',') {
        layout = kRfc1123;
    } else if (work[3] == ' ') {
        layout = kAsctime;
    } else {
        const auto* comma = static_cast<const char*>(std::memchr(work, ',', kWorkSize));
        const std::size_t k = comma != nullptr ? static_cast<std::size_t>(comma - work) : kWorkSize;
        // A comma so far right that the last field would end past the copy names no date.
        if (k + 20 >= kWorkSize) {
            fields_ = platform::SystemTime{};
            time_ = 0;
            return false;
        }
        layout = rfc850Layout(k);
        rfc850 = true;
    }

    for (std::size_t cut : layout.cuts)
        work[cut] = '\0';

    platform::SystemTime fields;
    fields.month = monthNumber(work + layout.month);
    fields.day = decimalField(work + layout.day);
    fields.year = decimalField(work + layout.year);
    fields.hour = decimalField(work + layout.hour);
    fields.minute = decimalField(work + layout.minute);
    fields.second = decimalField(work + layout.second);
    if (rfc850) {
        // Two digits name 1981-2080; a wrapped negative lands past the last valid year.
        const unsigned year = fields.year + (fields.year <= 80 ? 2000u : 1900u);
        fields.year = static_cast<std::uint16_t>(year > 0xFFFFu ? 0xFFFFu : year);
    }
    fields.milliseconds = 0;
    fields_ = fields;

    if (!platform::systemTimeToFileTime(fields_, time_)) {
        time_ = 0;
        return false;
    }
    return true;
}

const char* HttpDate::formatHttpDate() noexcept {
    if (!platform::fileTimeToSystemTime(time_, fields_)) {
        // A time past the last date the fields can hold is written as that last second.
        platform::SystemTime last;
        last.year = 30827;
        last.month = 12;
        last.day = 31;
        last.hour = 23;
        last.minute = 59;
        last.second = 59;
        std::uint64_t lastTime = 0;
        platform::systemTimeToFileTime(last, lastTime);
        platform::fileTimeToSystemTime(lastTime, fields_);
    }
    // Converted fields always fit (30 characters at most); a cut date is worse than none,
    // and a cut text is left empty.
    BoundedText(text_, sizeof text_)
        .text(kDayNames[fields_.dayOfWeek % 7])
        .text(", ", 2)
        .decimal(fields_.day, 2)
        .text(" ", 1)
        .text(kMonthNames[(fields_.month + 11u) % 12u])
        .text(" ", 1)
        .decimal(fields_.year, 4)
        .text(" ", 1)
        .timeOfDay(fields_.hour, fields_.minute, fields_.second)
        .text(" GMT", 4)
        .finish();
    return text_;
}

} // namespace velnor
