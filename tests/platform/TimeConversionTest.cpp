#include "platform/TimeConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "platform/Clock.h"

namespace velnor::platform {
namespace {

SystemTime makeTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                    int milliseconds = 0) {
    SystemTime t;
    t.year = static_cast<std::uint16_t>(year);
    t.month = static_cast<std::uint16_t>(month);
    t.day = static_cast<std::uint16_t>(day);
    t.hour = static_cast<std::uint16_t>(hour);
    t.minute = static_cast<std::uint16_t>(minute);
    t.second = static_cast<std::uint16_t>(second);
    t.milliseconds = static_cast<std::uint16_t>(milliseconds);
    return t;
}

struct KnownTime {
    SystemTime fields;
    int dayOfWeek;
    std::uint64_t fileTime;
};

const KnownTime kKnownTimes[] = {
    {makeTime(1601, 1, 1), 1, 0},
    {makeTime(1601, 12, 31, 23, 59, 59, 999), 1, 315359999990000},
    {makeTime(1970, 1, 1), 4, 116444736000000000},
    {makeTime(1900, 2, 28, 23, 59, 59), 3, 94405823990000000},
    {makeTime(1900, 3, 1), 4, 94405824000000000},
    {makeTime(1994, 11, 6, 8, 49, 37), 0, 124285853770000000},
    {makeTime(2000, 2, 29, 12), 2, 125962992000000000},
    {makeTime(2100, 2, 28), 0, 157519296000000000},
    {makeTime(2100, 3, 1), 1, 157520160000000000},
    {makeTime(2400, 2, 29), 2, 252190368000000000},
    {makeTime(9999, 12, 31, 23, 59, 59), 5, 2650467743990000000},
    {makeTime(30827, 12, 31, 23, 59, 59, 999), 5, 9223149887999990000},
};

void expectSameFields(const SystemTime& actual, const SystemTime& expected) {
    EXPECT_EQ(actual.year, expected.year);
    EXPECT_EQ(actual.month, expected.month);
    EXPECT_EQ(actual.day, expected.day);
    EXPECT_EQ(actual.hour, expected.hour);
    EXPECT_EQ(actual.minute, expected.minute);
    EXPECT_EQ(actual.second, expected.second);
    EXPECT_EQ(actual.milliseconds, expected.milliseconds);
}

TEST(TimeConversion, KnownDatesConvertBothWays) {
    for (const KnownTime& known : kKnownTimes) {
        SCOPED_TRACE(known.fileTime);
        std::uint64_t fileTime = 1;
        ASSERT_TRUE(systemTimeToFileTime(known.fields, fileTime));
        EXPECT_EQ(fileTime, known.fileTime);

        SystemTime fields;
        ASSERT_TRUE(fileTimeToSystemTime(known.fileTime, fields));
        expectSameFields(fields, known.fields);
        EXPECT_EQ(fields.dayOfWeek, known.dayOfWeek);
    }
}

TEST(TimeConversion, EveryDayFollowsTheLastOne) {
    // Walks 1200 years day by day: a fault in the leap rule or the month arithmetic
    // breaks the chain somewhere.
    constexpr std::uint64_t kDay = 864'000'000'000;
    SystemTime previous;
    ASSERT_TRUE(fileTimeToSystemTime(0, previous));
    for (std::uint64_t fileTime = kDay; fileTime < 438'291 * kDay; fileTime += kDay) {
        SystemTime fields;
        ASSERT_TRUE(fileTimeToSystemTime(fileTime + kDay - 1, fields));
        ASSERT_EQ(fields.hour, 23);
        ASSERT_EQ(fields.dayOfWeek, (previous.dayOfWeek + 1) % 7);
        if (fields.day == 1) {
            ASSERT_EQ(fields.month, previous.month % 12 + 1) << fields.year;
            ASSERT_EQ(fields.year, previous.year + (fields.month == 1 ? 1 : 0));
        } else {
            ASSERT_EQ(fields.day, previous.day + 1);
            ASSERT_EQ(fields.month, previous.month);
        }
        fields.hour = fields.minute = fields.second = 0;
        fields.milliseconds = 0;
        std::uint64_t back = 0;
        ASSERT_TRUE(systemTimeToFileTime(fields, back));
        ASSERT_EQ(back, fileTime);
        previous = fields;
    }
    EXPECT_EQ(previous.year, 2800);
    EXPECT_EQ(previous.month, 12);
    EXPECT_EQ(previous.day, 31);
}

TEST(TimeConversion, FieldsThatNameNoDateFailAndLeaveTheResult) {
    const struct {
        const char* name;
        SystemTime fields;
    } cases[] = {
        {"day 0", makeTime(1994, 11, 0)},
        {"day 32", makeTime(1994, 1, 32)},
        {"April 31", makeTime(1994, 4, 31)},
        {"hour 24", makeTime(1994, 11, 6, 24)},
        {"hour 25", makeTime(1994, 11, 6, 25)},
        {"minute 60", makeTime(1994, 11, 6, 8, 60)},
        {"second 60", makeTime(1994, 11, 6, 8, 49, 60)},
        {"milliseconds 1000", makeTime(1994, 11, 6, 8, 49, 37, 1000)},
        {"month 0", makeTime(1994, 0, 6)},
        {"month 13", makeTime(1994, 13, 6)},
        {"February 30", makeTime(2000, 2, 30)},
        {"February 29, 2001", makeTime(2001, 2, 29)},
        {"February 29, 1900", makeTime(1900, 2, 29)},
        {"February 29, 2100", makeTime(2100, 2, 29)},
        {"year 0", makeTime(0, 1, 1)},
        {"year 1600", makeTime(1600, 12, 31, 23, 59, 59, 999)},
        {"year 30828", makeTime(30828, 1, 1)},
        {"year 65535", makeTime(65535, 1, 1)},
    };
    for (const auto& c : cases) {
        std::uint64_t fileTime = 42;
        EXPECT_FALSE(systemTimeToFileTime(c.fields, fileTime)) << c.name;
        EXPECT_EQ(fileTime, 42u) << c.name;
    }
}

TEST(TimeConversion, DayOfWeekIsNotReadOnInput) {
    SystemTime fields = makeTime(1994, 11, 6, 8, 49, 37);
    fields.dayOfWeek = 9;
    std::uint64_t fileTime = 0;
    ASSERT_TRUE(systemTimeToFileTime(fields, fileTime));
    EXPECT_EQ(fileTime, 124285853770000000u);
}

TEST(TimeConversion, FileTimePastTheLastYearFails) {
    SystemTime fields = makeTime(1234, 5, 6);
    EXPECT_FALSE(fileTimeToSystemTime(9223149888000000000u, fields));
    EXPECT_FALSE(fileTimeToSystemTime(UINT64_MAX, fields));
    EXPECT_EQ(fields.year, 1234);
    EXPECT_TRUE(fileTimeToSystemTime(9223149887999999999u, fields));
    EXPECT_EQ(fields.year, 30827);
}

TEST(TimeConversion, UnixTimes) {
    const struct {
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        std::uint64_t fileTime;
    } cases[] = {
        {0, 0, 116444736000000000},
        {1, 500, 116444736010000005},
        {0, 999'999'999, 116444736009999999},
        {0, 4'000'000'000u, 116444736009999999}, // an impossible fraction stays below 1 s
        {-1, 0, 116444735990000000},
        {-11'644'473'600, 0, 0},
        {-11'644'473'601, 999'999'999, 0}, // before 1601
        {INT64_MIN, 0, 0},
        {INT64_MAX, 0, UINT64_MAX},
        {784'111'777, 0, 124285853770000000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileTimeFromUnix(c.seconds, c.nanoseconds), c.fileTime) << c.seconds;
}

TEST(TimeConversion, LocalTimeAgreesWithTheWallClock) {
    const std::uint64_t before = currentFileTime();
    SystemTime local;
    int offsetMinutes = 9999;
    localTimeNow(local, offsetMinutes);
    const std::uint64_t after = currentFileTime();

    EXPECT_LE(std::abs(offsetMinutes), 18 * 60);
    std::uint64_t localFileTime = 0;
    ASSERT_TRUE(systemTimeToFileTime(local, localFileTime));
    const std::int64_t offsetTicks = std::int64_t{offsetMinutes} * 60 * 10'000'000;
    const auto utc =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(localFileTime) - offsetTicks);
    // The fields hold whole milliseconds, so allow the cut of the 'before' reading.
    EXPECT_GE(utc + 10'000, before);
    EXPECT_LE(utc, after);

    SystemTime check;
    ASSERT_TRUE(fileTimeToSystemTime(localFileTime, check));
    EXPECT_EQ(check.dayOfWeek, local.dayOfWeek);
}

TEST(Clock, TicksAdvanceAcrossASleep) {
    const std::uint32_t start = tickCount();
    sleepMilliseconds(30);
    const std::uint32_t elapsed = tickCount() - start;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
}

} // namespace
} // namespace velnor::platform
