// The access-log record, built from the request's header table as the server left it:
// field lookup on the table's memory form, escaping, shortening, the time-zone text and
// the rotated file name. None of them reads the clock or touches a file; the entry adds
// both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/TimeConversion.h"
#include "velnor/velnor.h"

namespace velnor {

// One record: at most kRecordArea - 1 bytes, then its NUL.
constexpr std::size_t kRecordArea = 1024;
// Units of a log path with its NUL; the rotated name gets an area of the same size.
constexpr std::size_t kLogPathArea = 260;

// The text of a missing field, and of a month number outside 1-12.
inline constexpr char kMissingField[] = "-";

/// The six texts of one record, each pointing into the header table or at "-".
struct LogFields {
    const char* host = kMissingField;
    const char* user = kMissingField;
    const char* requestLine = kMissingField;
    const char* byteCount = kMissingField;
    const char* referer = kMissingField;
    const char* userAgent = kMissingField;
};

// The value of the first entry in table order whose name equals `name` ignoring ASCII
// case, or null. Walks the table through its own cursor as the server's findNoCase does:
// the cursor is left at the match, or where the walk ended.
const char* lookupNoCase(VelnorTextTable* table, const char* name) noexcept;

// Looks the fields up in the order host ("REMOTE_HOST", then "remote_addr"), request
// line, byte count, referer, user agent, user. A null table gives every field as "-".
LogFields gatherFields(VelnorTextTable* table) noexcept;

// Bytes of `text` once quote and backslash are escaped (\" \\) and control bytes, the
// line-breaking characters U+0085, U+2028 and U+2029, and every byte that is not part of
// valid, shortest-form UTF-8 are escaped per byte (\xHH). Other UTF-8 passes unchanged,
// so a record is valid UTF-8 with no line end but its last byte.
std::size_t escapedLength(const char* text) noexcept;

// Writes the escaped `text` to `out`, at most `limit` bytes and no NUL, stopping before
// the first escape or character that would not fit whole (the escapes of one
// line-breaking character count as one). Returns the bytes written.
std::size_t writeEscaped(const char* text, std::size_t limit, char* out) noexcept;

// How many bytes each of the six fields (in record order: host, user, request line,
// byte count, referer, user agent) may take so that together they take at most `room`.
// Fields that fit keep their length; otherwise the longest are cut to a common length,
// the request line first among equals. Every field keeps at least one byte while
// `room` is at least six.
void shareRoom(const std::size_t (&lengths)[6], std::size_t room,
               std::size_t (&limits)[6]) noexcept;

// "Jan".."Dec" for 1-12, "-" for anything else.
const char* monthName(unsigned month) noexcept;

// The UTC offset as "+HHMM" or "-HHMM" (east positive), hours capped at 99.
void formatZone(int utcOffsetMinutes, char (&out)[6]) noexcept;

// Formats one record in the combined format into `record` and returns its length. The
// record always ends with its line end and its NUL within `capacity` bytes: over-long
// fields are shortened and every field keeps at least "-". Returns 0 (an empty record)
// only when `capacity` cannot hold even the fixed parts.
std::size_t formatRecord(const LogFields& fields, std::int32_t status,
                         const platform::SystemTime& time, int utcOffsetMinutes, char* record,
                         std::size_t capacity) noexcept;

// Units of a usable log path before its NUL; 0 when the path is null, empty, or has no
// NUL within kLogPathArea units.
std::size_t logPathLength(const char16_t* path) noexcept;

// The name the log is moved to: the path with its last character (a surrogate pair
// counts as one) replaced by "_". A path that already ends in "_" gets one more "_"
// instead, so the log is never moved onto itself. False when the path is unusable or
// the name does not fit `capacity` units with its NUL.
bool rotatedLogName(const char16_t* path, char16_t* out, std::size_t capacity) noexcept;

} // namespace velnor
