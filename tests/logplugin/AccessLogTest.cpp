// The record functions of the access-log plug-in, with the table and the clock in hand.
#include "logplugin/AccessLog.h"

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "content/TextTable.h"

namespace velnor {
namespace {

using Entries = std::vector<std::pair<const char*, const char*>>;

VelnorTextTable* memoryForm(TextTable& table) {
    return reinterpret_cast<VelnorTextTable*>(&table);
}

void fill(TextTable& table, const Entries& entries) {
    for (const auto& [name, value] : entries)
        ASSERT_NE(table.add(name, value), 0u) << name;
}

platform::SystemTime timeOf(int year, int month, int day, int hour, int minute, int second) {
    platform::SystemTime t;
    t.year = std::uint16_t(year);
    t.month = std::uint16_t(month);
    t.day = std::uint16_t(day);
    t.hour = std::uint16_t(hour);
    t.minute = std::uint16_t(minute);
    t.second = std::uint16_t(second);
    return t;
}

const platform::SystemTime kNewYear = timeOf(2027, 1, 1, 0, 0, 0);

std::string format(const LogFields& fields, int status, const platform::SystemTime& time,
                   int offset, std::size_t capacity = kRecordArea) {
    std::vector<char> area(capacity, 'Z');
    const std::size_t n = formatRecord(fields, status, time, offset, area.data(), capacity);
    EXPECT_EQ(n, std::strlen(area.data())) << "the length reported is the text's";
    return std::string(area.data(), n);
}

std::string escaped(const char* text, std::size_t limit = 4096) {
    char out[4096];
    const std::size_t n = writeEscaped(text, limit, out);
    EXPECT_LE(n, limit);
    if (limit >= 4096) {
        EXPECT_EQ(n, escapedLength(text));
    }
    return std::string(out, n);
}

// The plug-in's walk must end where the server's own findNoCase ends: same value, same
// cursor, for matches, misses and the table whose last value is empty.
TEST(AccessLogLookup, WalksLikeTheServersFindNoCase) {
    TextTable table;
    fill(table, {{"User-Agent", "first"},
                 {"user-agent", "second"},
                 {"remote_addr", "10.1.2.3"},
                 {"X-Empty", ""}});
    for (const char* name : {"USER-AGENT", "user-agent", "Remote_Addr", "x-empty", "missing",
                             "user-agen", "user-agent2", ""}) {
        SCOPED_TRACE(name);
        const char* value = lookupNoCase(memoryForm(table), name);
        const char* cursor = table.cursor;
        EXPECT_EQ(value, table.valueNoCase(name));
        EXPECT_EQ(cursor, table.cursor);
    }
    EXPECT_STREQ(lookupNoCase(memoryForm(table), "USER-AGENT"), "first");

    TextTable empty;
    EXPECT_EQ(lookupNoCase(memoryForm(empty), "remote_addr"), nullptr);
    EXPECT_EQ(empty.cursor, nullptr);
    EXPECT_EQ(lookupNoCase(nullptr, "remote_addr"), nullptr);
    VelnorTextTable noBuffer = {nullptr, nullptr, nullptr};
    EXPECT_EQ(lookupNoCase(&noBuffer, "remote_addr"), nullptr);
}

TEST(AccessLogRecord, CombinedFormatAtMidnightOfNewYear) {
    const LogFields all{"10.0.0.1", "alice", "GET /a.txt HTTP/1.1", "6", "http://r/", "agent/1.0"};
    EXPECT_EQ(format(all, 200, kNewYear, 0),
              "10.0.0.1 - alice [01/Jan/2027:00:00:00 +0000] \"GET /a.txt HTTP/1.1\" 200 6 "
              "\"http://r/\" \"agent/1.0\"\n");
    EXPECT_EQ(format(LogFields{}, 404, timeOf(2026, 12, 31, 23, 59, 59), 540),
              "- - - [31/Dec/2026:23:59:59 +0900] \"-\" 404 - \"-\" \"-\"\n");
    EXPECT_EQ(format(LogFields{}, -1, timeOf(999, 13, 5, 7, 8, 9), -210),
              "- - - [05/-/ 999:07:08:09 -0330] \"-\" -1 - \"-\" \"-\"\n");
}

TEST(AccessLogRecord, ZoneTextIsTheOffset) {
    const std::vector<std::pair<int, const char*>> cases = {
        {0, "+0000"},   {540, "+0900"},  {-210, "-0330"},
        {330, "+0530"}, {-720, "-1200"}, {845, "+1405"},
        {-1, "-0001"},  {6000, "+9959"}, {-2147483647 - 1, "-9959"},
    };
    for (const auto& [offset, text] : cases) {
        char zone[6];
        formatZone(offset, zone);
        EXPECT_STREQ(zone, text) << offset;
    }
    EXPECT_STREQ(monthName(0), "-");
    EXPECT_STREQ(monthName(12), "Dec");
    EXPECT_STREQ(monthName(13), "-");
}

TEST(AccessLogRecord, EscapesQuotesBackslashesAndControlBytes) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"plain text/1.0", "plain text/1.0"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\dir", "C:\\\\dir"},
        {"a\tb\r\nc", "a\\x09b\\x0D\\x0Ac"},
        {"\x1b[31m\x7f", "\\x1B[31m\\x7F"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\xff\x80", "\\xFF\\x80"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(escaped(text), expected) << text;
}

// Readers that split on Unicode line breaks, or choke on broken UTF-8, must see one record
// per line: those characters and every byte outside valid shortest-form UTF-8 are escaped.
TEST(AccessLogRecord, EscapesLineBreakingCharactersAndInvalidUtf8) {
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"a\xc2\x85-", "a\\xC2\\x85-"},                                   // NEL
        {"\xe2\x80\xa8x\xe2\x80\xa9", "\\xE2\\x80\\xA8x\\xE2\\x80\\xA9"}, // LS, PS
        {"\xe2\x80\xaa\xc2\x84", "\xe2\x80\xaa\xc2\x84"}, // their neighbours are plain
        {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"\xc0\xaf", "\\xC0\\xAF"}, // overlong "/"
        {"\xc1\xbf", "\\xC1\\xBF"},
        {"\xe0\x80\xaf", "\\xE0\\x80\\xAF"},                            // overlong, three bytes
        {"\xf0\x8f\xbf\xbf", "\\xF0\\x8F\\xBF\\xBF"},                   // overlong, four bytes
        {"\xed\xa0\x80\xed\xbf\xbf", "\\xED\\xA0\\x80\\xED\\xBF\\xBF"}, // surrogates
        {"\xed\x9f\xbf", "\xed\x9f\xbf"},                               // the last before them
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},                   // past U+10FFFF
        {"\xf5\x80\x80\x80", "\\xF5\\x80\\x80\\x80"},
        {"a\x80\xbf-", "a\\x80\\xBF-"}, // stray continuation bytes
        {"\xe2\x82", "\\xE2\\x82"},     // cut short by the end
        {"\xe2\x82x\xc3", "\\xE2\\x82x\\xC3"},
        {"\xe2\xc3\xa9", "\\xE2\xc3\xa9"}, // a new lead ends the cut one
        {"\xf8\x88\x80\x80\x80\xfe\xff", "\\xF8\\x88\\x80\\x80\\x80\\xFE\\xFF"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(escaped(text), expected) << testing::PrintToString(std::string(text));
}

TEST(AccessLogRecord, CutsNeverSplitAnEscapeOrACharacter) {
    const std::vector<std::tuple<const char*, std::size_t, std::string>> cases = {
        {"ab\"c", 3, "ab"},
        {"ab\"c", 4, "ab\\\""},
        {"\x01x", 3, ""},
        {"\x01x", 4, "\\x01"},
        {"\xc3\xa9x", 1, ""},
        {"a\xe2\x82\xac", 3, "a"},
        {"a\xe2\x82\xac", 4, "a\xe2\x82\xac"},
        {"abc", 0, ""},
        {"a\xe2\x80\xa8", 12, "a"},
        {"a\xe2\x80\xa8", 13, "a\\xE2\\x80\\xA8"},
        {"\xe2\x82"
         "b",
         4, "\\xE2"},
    };
    for (const auto& [text, limit, expected] : cases)
        EXPECT_EQ(escaped(text, limit), expected) << text << " within " << limit;
}

TEST(AccessLogRecord, SharesRoomByCuttingTheLongestFieldsRequestLineFirst) {
    using Lengths = std::size_t[6];
    struct Case {
        const char* what;
        Lengths lengths;
        std::size_t room;
        Lengths expected; // host, user, request, bytes, referer, agent
    };
    const Case cases[] = {
        {"all fit", {8, 1, 20, 2, 1, 1}, 100, {8, 1, 20, 2, 1, 1}},
        {"exactly fits", {8, 1, 20, 2, 1, 1}, 33, {8, 1, 20, 2, 1, 1}},
        {"one long field", {8, 1, 2000, 2, 1, 1}, 900, {8, 1, 887, 2, 1, 1}},
        {"two long fields share", {8, 1, 2000, 2, 600, 1}, 900, {8, 1, 444, 2, 444, 1}},
        {"the spare byte skips the request line",
         {8, 1, 2000, 2, 600, 1},
         901,
         {8, 1, 444, 2, 445, 1}},
        {"all long", {200, 200, 200, 200, 200, 200}, 1000, {167, 167, 166, 167, 167, 166}},
        {"the least room keeps a byte each", {50, 50, 50, 50, 50, 50}, 6, {1, 1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t limits[6];
        shareRoom(c.lengths, c.room, limits);
        EXPECT_EQ(std::vector<std::size_t>(limits, limits + 6),
                  std::vector<std::size_t>(c.expected, c.expected + 6));
    }
}

TEST(AccessLogRecord, OverlongFieldsAreShortenedAndTheLineEndKept) {
    const std::string longLine = "GET /" + std::string(2000, 'a') + " HTTP/1.0";
    const std::string quotes(1500, '"');
    const std::string controls(700, '\x01');
    const LogFields fields{"10.0.0.1",       "bob",         longLine.c_str(), "12",
                           controls.c_str(), quotes.c_str()};
    const std::string record = format(fields, 200, kNewYear, 0);
    // Cuts stop before an escape that would not fit whole, so a few bytes may stay free.
    ASSERT_LE(record.size(), kRecordArea - 1);
    EXPECT_GE(record.size(), kRecordArea - 4);
    EXPECT_EQ(record.back(), '\n');
    EXPECT_EQ(record.find('\n'), record.size() - 1);
    EXPECT_EQ(record.rfind("10.0.0.1 - bob [01/Jan/2027:00:00:00 +0000] \"GET /aaa", 0), 0u);
    EXPECT_NE(record.find("\" 200 12 \"\\x01"), std::string::npos);
    EXPECT_EQ(record.substr(record.size() - 6), "\\\"\\\"\"\n");

    // The smallest area that holds the fixed parts gets every field as "-".
    const std::string unprintable = "\x01";
    const LogFields tiny{unprintable.c_str(), unprintable.c_str(), unprintable.c_str(),
                         unprintable.c_str(), unprintable.c_str(), unprintable.c_str()};
    const std::string least = "- - - [01/Jan/2027:00:00:00 +0000] \"-\" 200 - \"-\" \"-\"\n";
    EXPECT_EQ(format(tiny, 200, kNewYear, 0, least.size() + 1), least);
    EXPECT_EQ(format(tiny, 200, kNewYear, 0, least.size()), "");
}

TEST(AccessLogPath, RotatedNameReplacesTheLastCharacter) {
    const std::u16string longest(kLogPathArea - 1, u'x');
    const std::u16string longestUnderscore = std::u16string(kLogPathArea - 2, u'x') + u"_";
    const std::vector<std::tuple<std::u16string, bool, std::u16string>> cases = {
        {u"\\access_log.txt", true, u"\\access_log.tx_"},
        {u"/var/log/x", true, u"/var/log/_"},
        {u"log_", true, u"log__"},
        {u"log\U0001F600", true, u"log_"},
        {u"\xDC00", true, u"_"},
        {u"", false, u""},
        {longest, true, longest.substr(0, longest.size() - 1) + u"_"},
        {longestUnderscore, false, u""},
    };
    for (const auto& [path, ok, expected] : cases) {
        char16_t out[kLogPathArea] = {};
        EXPECT_EQ(rotatedLogName(path.c_str(), out, kLogPathArea), ok) << path.size();
        if (ok) {
            EXPECT_EQ(std::u16string(out), expected);
        }
    }
    const std::u16string tooLong(kLogPathArea, u'x');
    EXPECT_EQ(logPathLength(tooLong.c_str()), 0u);
    EXPECT_EQ(logPathLength(longest.c_str()), kLogPathArea - 1);
    EXPECT_EQ(logPathLength(nullptr), 0u);
    char16_t out[kLogPathArea];
    EXPECT_FALSE(rotatedLogName(tooLong.c_str(), out, kLogPathArea));
    EXPECT_FALSE(rotatedLogName(u"abc", out, 3));
    EXPECT_TRUE(rotatedLogName(u"abc", out, 4));
}

} // namespace
} // namespace velnor
