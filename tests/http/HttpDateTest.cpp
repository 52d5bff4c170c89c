#include "http/HttpDate.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace velnor {
namespace {

constexpr std::uint64_t kExampleTime = 124285853770000000; // 1994-11-06 08:49:37 UTC
constexpr const char* kExampleText = "Sun, 06 Nov 1994 08:49:37 GMT";

std::string parsedAndFormatted(const char* text) {
    HttpDate date;
    if (!date.parseHttpDate(text))
        return "invalid";
    return date.formatHttpDate();
}

TEST(HttpDate, ReadsEveryFormAndWritesRfc1123) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        // The three forms clients send.
        {"Sun, 06 Nov 1994 08:49:37 GMT", kExampleText},
        {"Sunday, 06-Nov-94 08:49:37 GMT", kExampleText},
        {"Sun Nov  6 08:49:37 1994", kExampleText},
        // Weekday names of every length move the RFC 850 fields with the comma.
        {"Tuesday, 08-Nov-94 08:49:37 GMT", "Tue, 08 Nov 1994 08:49:37 GMT"},
        {"Wednesday, 09-Nov-94 08:49:37 GMT", "Wed, 09 Nov 1994 08:49:37 GMT"},
        {"Thursday, 10-Nov-94 08:49:37 GMT", "Thu, 10 Nov 1994 08:49:37 GMT"},
        // The weekday of the text is not read; the one written is computed.
        {"Mon, 06 Nov 1994 08:49:37 GMT", kExampleText},
        {"Xyzzyday, 06-Nov-94 08:49:37 GMT", kExampleText},
        // December in all three forms.
        {"Sat, 31 Dec 1994 23:59:59 GMT", "Sat, 31 Dec 1994 23:59:59 GMT"},
        {"Saturday, 31-Dec-94 23:59:59 GMT", "Sat, 31 Dec 1994 23:59:59 GMT"},
        {"Sat Dec 31 23:59:59 1994", "Sat, 31 Dec 1994 23:59:59 GMT"},
        // A month name that matches nothing (names are case-sensitive) is December.
        {"Sun, 06 Xyz 1994 08:49:37 GMT", "Tue, 06 Dec 1994 08:49:37 GMT"},
        {"Sun, 06 nov 1994 08:49:37 GMT", "Tue, 06 Dec 1994 08:49:37 GMT"},
        {"Sunday, 06-NOV-94 08:49:37 GMT", "Tue, 06 Dec 1994 08:49:37 GMT"},
        {"Sun Nox  6 08:49:37 1994", "Tue, 06 Dec 1994 08:49:37 GMT"},
        // Two-digit years: 80 and below are this century.
        {"Friday, 01-Jan-80 00:00:00 GMT", "Mon, 01 Jan 2080 00:00:00 GMT"},
        {"Friday, 01-Jan-81 00:00:00 GMT", "Thu, 01 Jan 1981 00:00:00 GMT"},
        {"Friday, 01-Jan-00 00:00:00 GMT", "Sat, 01 Jan 2000 00:00:00 GMT"},
        {"Friday, 31-Dec-99 23:59:59 GMT", "Fri, 31 Dec 1999 23:59:59 GMT"},
        // Leap days.
        {"Tue, 29 Feb 2000 12:00:00 GMT", "Tue, 29 Feb 2000 12:00:00 GMT"},
        {"Sun, 29 Feb 2004 00:00:00 GMT", "Sun, 29 Feb 2004 00:00:00 GMT"},
        // No validation beyond the fields: missing time, "GMT" or trailing text pass.
        {"Sun, 06 Nov 1994", "Sun, 06 Nov 1994 00:00:00 GMT"},
        {"Sun, 06 Nov 1994 08:49:37 UTC", kExampleText},
        {"Sun, 06 Nov 1994 08:49:37 GMT and a great deal more text", kExampleText},
        {"Sun,  6 Nov 1994 08:49:37 GMT", kExampleText},
        {"Sun, +6 Nov 1994 08:49:37 GMT", kExampleText},
        {"Sun, 06 Nov 1994 -0:49:37 GMT", "Sun, 06 Nov 1994 00:49:37 GMT"},
        // The comma may sit as far right as the last field still ends inside 32 bytes.
        {"Wednesdayxx, 09-Nov-94 08:49:37 GMT", "Wed, 09 Nov 1994 08:49:37 GMT"},
        {"A, 06-Nov-94 08:49:37", kExampleText},
        // Extremes of the four-digit year.
        {"Mon, 01 Jan 1601 00:00:00 GMT", "Mon, 01 Jan 1601 00:00:00 GMT"},
        {"Fri, 31 Dec 9999 23:59:59 GMT", "Fri, 31 Dec 9999 23:59:59 GMT"},
        {"Mon, 01 Mar 2100 00:00:00 GMT", "Mon, 01 Mar 2100 00:00:00 GMT"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsedAndFormatted(c.text), c.expected) << c.text;
}

TEST(HttpDate, DatesThatNameNoTimeStoreTheEarliestTime) {
    const char* const texts[] = {
        "Sun, 00 Nov 1994 08:49:37 GMT",    // day 0
        "Sun, 06 Nov 1994 25:49:37 GMT",    // hour 25
        "Sun, 06 Nov 1994 08:60:37 GMT",    // minute 60
        "Sun, 06 Nov 1994 08:49:60 GMT",    // second 60
        "Thu, 31 Nov 1994 08:49:37 GMT",    // 31 November
        "Wed, 30 Feb 2000 08:49:37 GMT",    // 30 February
        "Wed, 29 Feb 1995 08:49:37 GMT",    // not a leap year
        "Thu, 29 Feb 1900 08:49:37 GMT",    // a century that is not a leap year
        "Sun, 06 Nov 1600 08:49:37 GMT",    // before the first file time
        "Sun, 06 Nov 0094 08:49:37 GMT",    // a two-digit year in the four-digit form
        "Sun, -6 Nov 1994 08:49:37 GMT",    // negative day
        "Sun, 06 Nov -994 08:49:37 GMT",    // negative year
        "Sun, xx Nov 1994 08:49:37 GMT",    // no digits: day 0
        "Sunday, 06-Nov--1 08:49:37 GMT",   // negative two-digit year
        "Sunday 06-Nov-94 08:49:37 GMT",    // RFC 850 without a comma
        "Wednesdayxxx, 09-Nov-94 08:49:37", // comma too far right for the fields
        "Sun Nov  0 08:49:37 1994",         // asctime day 0
        "Sun Nov  6 08:49:37",              // asctime without a year
    };
    for (const char* text : texts) {
        HttpDate date;
        date.parseHttpDate(kExampleText);
        EXPECT_FALSE(date.parseHttpDate(text)) << text;
        // The earlier value is not kept: an unusable date is always the earliest time.
        EXPECT_EQ(date.fileTime(), 0u) << text;

        HttpDate file;
        file.fromFileTime(kExampleTime);
        EXPECT_FALSE(date.isNotOlderThan(file)) << text << ": the file must count as modified";
    }
}

TEST(HttpDate, ShortAndOddTextsAreSafe) {
    const std::string longText(300, '7');
    const std::string commas(64, ',');
    const std::string spaces(64, ' ');
    const char* const texts[] = {
        nullptr,
        "",
        "S",
        "Sun",
        "Sun,",
        "Sun ",
        ",",
        "Sunday,",
        "Sunday, ",
        "\x80\xff,",
        "1234",
        "Sun, 06 Nov",
        "a,b,c,d",
        longText.c_str(),
        commas.c_str(),
        spaces.c_str(),
    };
    for (const char* text : texts) {
        HttpDate date;
        EXPECT_FALSE(date.parseHttpDate(text)) << (text ? text : "(null)");
        EXPECT_EQ(date.fileTime(), 0u);
        EXPECT_STREQ(date.formatHttpDate(), "Mon, 01 Jan 1601 00:00:00 GMT");
    }
}

TEST(HttpDate, AnyAcceptedTextFormatsToTheSameTime) {
    // A small deterministic search over texts built from date-like pieces: whatever the
    // parser accepts must format and read back to the same time, and nothing overruns.
    const char* const pieces[] = {"Sun",  ",", " ",  "-",  "06",  "6",   "Nov", "Dec", "94",
                                  "1994", ":", "08", "49", "GMT", "day", "x",   "00",  "99"};
    constexpr std::size_t kPieces = sizeof pieces / sizeof pieces[0];
    std::uint32_t state = 12345;
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int count = static_cast<int>(state % 14);
        for (int i = 0; i < count; ++i) {
            state = state * 1103515245u + 12345u;
            text += pieces[(state >> 16) % kPieces];
        }
        state = state * 1103515245u + 12345u;
        HttpDate date;
        if (!date.parseHttpDate(text.c_str())) {
            ASSERT_EQ(date.fileTime(), 0u) << text;
            continue;
        }
        ++accepted;
        HttpDate again;
        ASSERT_TRUE(again.parseHttpDate(date.formatHttpDate())) << text;
        ASSERT_EQ(again.fileTime(), date.fileTime()) << text;
    }
    EXPECT_GT(accepted, 100);
}

TEST(HttpDate, FromFileTimeDropsTheFractionOfASecond) {
    HttpDate file;
    file.fromFileTime(kExampleTime + 9'999'999);
    EXPECT_EQ(file.fileTime(), kExampleTime);

    HttpDate header;
    ASSERT_TRUE(header.parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"));
    EXPECT_TRUE(header.isNotOlderThan(file));
    EXPECT_TRUE(file.isNotOlderThan(header));
    EXPECT_STREQ(file.formatHttpDate(), kExampleText);

    HttpDate later;
    later.fromFileTime(kExampleTime + 10'000'000);
    EXPECT_FALSE(header.isNotOlderThan(later));
    EXPECT_TRUE(later.isNotOlderThan(header));
}

TEST(HttpDate, FormatsTheWholeRangeWithinItsArea) {
    const struct {
        std::uint64_t fileTime;
        const char* expected;
    } cases[] = {
        {0, "Mon, 01 Jan 1601 00:00:00 GMT"},
        {kExampleTime, kExampleText},
        {9223149887999999999u, "Fri, 31 Dec 30827 23:59:59 GMT"},
        // Past the last date the fields hold, the last second stands in.
        {9223149888000000000u, "Fri, 31 Dec 30827 23:59:59 GMT"},
        {UINT64_MAX, "Fri, 31 Dec 30827 23:59:59 GMT"},
    };
    for (const auto& c : cases) {
        HttpDate date;
        date.fromFileTime(c.fileTime);
        EXPECT_EQ(date.fileTime() % 10'000'000, 0u) << c.fileTime;
        const char* text = date.formatHttpDate();
        EXPECT_STREQ(text, c.expected);
        EXPECT_LT(std::strlen(text), 32u);
    }
    HttpDate example;
    example.fromFileTime(kExampleTime);
    EXPECT_EQ(std::strlen(example.formatHttpDate()), 29u);
}

} // namespace
} // namespace velnor
