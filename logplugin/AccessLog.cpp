#include "logplugin/AccessLog.h"

#include "content/BoundedText.h"

#include <cstdio>
#include <cstring>

#include "content/TableWalk.h"

namespace velnor {
namespace {

constexpr const char* kMonthNames[13] = {kMissingField, "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul",         "Aug", "Sep", "Oct", "Nov", "Dec"};

// Field positions in record order.
enum Field : int { Host, User, RequestLine, ByteCount, Referer, UserAgent, kFieldCount };

// Which field gives way first when several are cut to the same length: the request line,
// then the client's free texts, and the short server-made texts last.
constexpr int kCutOrder[kFieldCount] = {RequestLine, UserAgent, Referer, User, Host, ByteCount};

// Bytes one byte takes in the record when it is a unit of its own; a byte of 0x80 or
// more stands alone only when it starts no valid character.
std::size_t escapedByteLength(unsigned char c) noexcept {
    if (c == '"' || c == '\\')
        return 2;
    if (c < 0x20 || c == 0x7F || c >= 0x80)
        return 4;
    return 1;
}

// Bytes of the valid, shortest-form UTF-8 sequence that starts at `p` (2 to 4), or 0 when
// its lead byte starts none: overlong forms, surrogates, code points past U+10FFFF, stray
// continuation bytes and sequences cut short (by the text's NUL too) all count as invalid.
std::size_t sequenceBytes(const unsigned char* p) noexcept {
    const unsigned char lead = p[0];
    std::size_t length = 0;
    // The second byte's range is narrower than 80..BF where it must rule out the
    // overlong forms (E0, F0), the surrogates (ED) and the code points past U+10FFFF (F4).
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (p[1] < low || p[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

// Characters that some readers take for a line end although they are not ASCII: NEL
// (U+0085), LINE SEPARATOR (U+2028) and PARAGRAPH SEPARATOR (U+2029). Left raw they
// would let a client forge a record for such a reader.
bool breaksLines(const unsigned char* p, std::size_t length) noexcept {
    if (length == 2)
        return p[0] == 0xC2 && p[1] == 0x85;
    return length == 3 && p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9);
}

// The unit that starts at `p`: a valid character (copied whole), a line-breaking
// character (each byte escaped) or one byte. A unit is written whole or not at all, so a
// cut never leaves half a character or half an escape.
struct Unit {
    std::size_t inputBytes;
    std::size_t outputBytes;
    bool copied; // the input bytes are written as they are
};

Unit unitAt(const unsigned char* p) noexcept {
    if (*p >= 0x80) {
        const std::size_t n = sequenceBytes(p);
        if (n != 0)
            return breaksLines(p, n) ? Unit{n, 4 * n, false} : Unit{n, n, true};
    }
    const std::size_t out = escapedByteLength(*p);
    return Unit{1, out, out == 1};
}

// Bounded appends into the record area; everything past the room is dropped, though
// formatRecord sizes the pieces so that nothing is.
class RecordWriter {
public:
    RecordWriter(char* area, std::size_t capacity) noexcept : area_(area), room_(capacity - 1) {}

    void put(const char* text, std::size_t length) noexcept {
        const std::size_t n = length < room_ - used_ ? length : room_ - used_;
        std::memcpy(area_ + used_, text, n);
        used_ += n;
    }
    void put(const char* text) noexcept { put(text, std::strlen(text)); }

    void putField(const char* text, std::size_t limit) noexcept {
        if (limit > room_ - used_)
            limit = room_ - used_;
        std::size_t written = writeEscaped(text, limit, area_ + used_);
        // A field cut down to nothing still shows that it was there.
        if (written == 0 && *text != '\0' && limit > 0) {
            area_[used_] = '-';
            written = 1;
        }
        used_ += written;
    }

    std::size_t finish() noexcept {
        area_[used_] = '\0';
        return used_;
    }

private:
    char* area_;
    std::size_t room_;
    std::size_t used_ = 0;
};

// The next step of a walk on the table's own cursor, as the server's next does: null at
// the end, where the cursor stays on the last entry whose value is empty.
const char* stepCursor(VelnorTextTable& table) noexcept {
    if (table.cursor == nullptr)
        return nullptr;
    const char* position = stepFrom(table.cursor);
    if (position == nullptr)
        return nullptr;
    table.cursor = const_cast<char*>(position);
    return *position != '\0' ? position : nullptr;
}

const char* orMissing(const char* value) noexcept {
    return value != nullptr ? value : kMissingField;
}

} // namespace

const char* lookupNoCase(VelnorTextTable* table, const char* name) noexcept {
    if (table == nullptr || name == nullptr)
        return nullptr;
    table->cursor = table->buffer != nullptr ? table->buffer->data : nullptr;
    for (const char* entry = firstEntry(table->cursor); entry != nullptr;
         entry = stepCursor(*table)) {
        if (sameNameNoCase(entry, name)) {
            table->cursor = const_cast<char*>(entry);
            return entryValue(entry);
        }
    }
    return nullptr;
}

LogFields gatherFields(VelnorTextTable* table) noexcept {
    LogFields fields;
    const char* host = lookupNoCase(table, "REMOTE_HOST");
    if (host == nullptr)
        host = lookupNoCase(table, "remote_addr");
    fields.host = orMissing(host);
    fields.requestLine = orMissing(lookupNoCase(table, "request_line"));
    fields.byteCount = orMissing(lookupNoCase(table, "send_bytes"));
    fields.referer = orMissing(lookupNoCase(table, "referer"));
    fields.userAgent = orMissing(lookupNoCase(table, "user-agent"));
    fields.user = orMissing(lookupNoCase(table, "authentication_user"));
    return fields;
}

std::size_t escapedLength(const char* text) noexcept {
    std::size_t length = 0;
    for (auto* p = reinterpret_cast<const unsigned char*>(text); *p != '\0';) {
        const Unit unit = unitAt(p);
        length += unit.outputBytes;
        p += unit.inputBytes;
    }
    return length;
}

std::size_t writeEscaped(const char* text, std::size_t limit, char* out) noexcept {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t written = 0;
    auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != '\0') {
        const Unit unit = unitAt(p);
        if (unit.outputBytes > limit - written)
            break;
        char* at = out + written;
        if (unit.copied) {
            std::memcpy(at, p, unit.inputBytes);
        } else if (unit.outputBytes == 2) {
            at[0] = '\\';
            at[1] = static_cast<char>(*p);
        } else {
            for (std::size_t i = 0; i < unit.inputBytes; ++i, at += 4) {
                at[0] = '\\';
                at[1] = 'x';
                at[2] = kHex[p[i] >> 4];
                at[3] = kHex[p[i] & 0x0F];
            }
        }
        written += unit.outputBytes;
        p += unit.inputBytes;
    }
    return written;
}

void shareRoom(const std::size_t (&lengths)[6], std::size_t room,
               std::size_t (&limits)[6]) noexcept {
    auto takenAt = [&lengths](std::size_t cap) {
        std::size_t sum = 0;
        for (std::size_t length : lengths)
            sum += length < cap ? length : cap;
        return sum;
    };
    std::size_t longest = 0;
    for (std::size_t length : lengths)
        longest = length > longest ? length : longest;
    // The largest common cap that fits; fields at or under it keep their length.
    std::size_t low = 0, high = longest;
    while (low < high) {
        const std::size_t middle = low + (high - low + 1) / 2;
        if (takenAt(middle) <= room)
            low = middle;
        else
            high = middle - 1;
    }
    for (int i = 0; i < kFieldCount; ++i)
        limits[i] = lengths[i] < low ? lengths[i] : low;
    // What is left over is less than one byte per cut field (else a larger cap would
    // fit); it goes to the fields that give way last.
    std::size_t spare = room > takenAt(low) ? room - takenAt(low) : 0;
    for (int i = kFieldCount - 1; i >= 0 && spare > 0; --i) {
        const int field = kCutOrder[i];
        if (lengths[field] > limits[field]) {
            ++limits[field];
            --spare;
        }
    }
}

const char* monthName(unsigned month) noexcept {
    return month < 13 ? kMonthNames[month] : kMissingField;
}

void formatZone(int utcOffsetMinutes, char (&out)[6]) noexcept {
    const long long offset = utcOffsetMinutes;
    const long long magnitude = offset < 0 ? -offset : offset;
    long long hours = magnitude / 60;
    long long minutes = magnitude % 60;
    if (hours > 99) {
        hours = 99;
        minutes = 59;
    }
    out[0] = offset < 0 ? '-' : '+';
    out[1] = static_cast<char>('0' + hours / 10);
    out[2] = static_cast<char>('0' + hours % 10);
    out[3] = static_cast<char>('0' + minutes / 10);
    out[4] = static_cast<char>('0' + minutes % 10);
    out[5] = '\0';
}

std::size_t formatRecord(const LogFields& fields, std::int32_t status,
                         const platform::SystemTime& time, int utcOffsetMinutes, char* record,
                         std::size_t capacity) noexcept {
    if (record == nullptr || capacity == 0)
        return 0;
    record[0] = '\0';

    char zone[6];
    formatZone(utcOffsetMinutes, zone);
    char date[48];
    const std::size_t dateLength = BoundedText(date, sizeof date)
                                       .decimal(time.day, 2)
                                       .text("/", 1)
                                       .text(monthName(time.month))
                                       .text("/", 1)
                                       .decimal(time.year, 4, ' ')
                                       .text(":", 1)
                                       .timeOfDay(time.hour, time.minute, time.second)
                                       .text(" ", 1)
                                       .text(zone)
                                       .finish();
    char statusText[16];
    const std::size_t statusLength =
        BoundedText(statusText, sizeof statusText).signedDecimal(status).finish();
    if (dateLength == 0 || statusLength == 0)
        return 0;

    const char* texts[kFieldCount] = {fields.host,      fields.user,    fields.requestLine,
                                      fields.byteCount, fields.referer, fields.userAgent};
    std::size_t lengths[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        if (texts[i] == nullptr)
            texts[i] = kMissingField;
        lengths[i] = escapedLength(texts[i]);
    }

    // Everything but the six fields: the separators, the bracketed date and the status.
    const std::size_t fixed = std::strlen(" - ") + std::strlen(" [") + std::size_t(dateLength) +
                              std::strlen("] \"") + std::strlen("\" ") + std::size_t(statusLength) +
                              std::strlen(" ") + std::strlen(" \"") + std::strlen("\" \"") +
                              std::strlen("\"\n");
    if (capacity < fixed + kFieldCount + 1)
        return 0;
    std::size_t limits[kFieldCount];
    shareRoom(lengths, capacity - 1 - fixed, limits);

    RecordWriter out(record, capacity);
    out.putField(texts[Host], limits[Host]);
    out.put(" - ");
    out.putField(texts[User], limits[User]);
    out.put(" [");
    out.put(date, std::size_t(dateLength));
    out.put("] \"");
    out.putField(texts[RequestLine], limits[RequestLine]);
    out.put("\" ");
    out.put(statusText, std::size_t(statusLength));
    out.put(" ");
    out.putField(texts[ByteCount], limits[ByteCount]);
    out.put(" \"");
    out.putField(texts[Referer], limits[Referer]);
    out.put("\" \"");
    out.putField(texts[UserAgent], limits[UserAgent]);
    out.put("\"\n");
    return out.finish();
}

std::size_t logPathLength(const char16_t* path) noexcept {
    if (path == nullptr)
        return 0;
    for (std::size_t i = 0; i < kLogPathArea; ++i) {
        if (path[i] == u'\0')
            return i;
    }
    return 0;
}

bool rotatedLogName(const char16_t* path, char16_t* out, std::size_t capacity) noexcept {
    const std::size_t length = logPathLength(path);
    if (length == 0 || out == nullptr)
        return false;
    std::size_t kept = length - 1;
    if (path[length - 1] == u'_') {
        kept = length;
    } else if (length >= 2 && path[length - 1] >= 0xDC00 && path[length - 1] <= 0xDFFF &&
               path[length - 2] >= 0xD800 && path[length - 2] <= 0xDBFF) {
        kept = length - 2;
    }
    if (kept + 2 > capacity)
        return false;
    std::memcpy(out, path, kept * sizeof(char16_t));
    out[kept] = u'_';
    out[kept + 1] = u'\0';
    return true;
}

} // namespace velnor
