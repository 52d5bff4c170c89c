#include "core/SettingsHive.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "content/Strings.h"
#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/Utf.h"

namespace velnor {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxHiveBytes = 16u << 20; // far beyond any settings file

// One physical line. A line of a UTF-16 hive that is not valid text keeps its units so a
// rewrite puts it back as it was; it means nothing to the parser, like a malformed line.
struct HiveLine {
    std::string text; // UTF-8, without its line end
    std::u16string units;
    bool bad = false;
};

// The file's lines, and how it was stored so a rewrite keeps its form.
struct HiveFile {
    std::vector<HiveLine> lines;
    bool utf16 = false;
    bool utf8Mark = false;
    bool crlf = false;
};

enum class ReadResult { Read, Missing, Refused };

void splitUtf8(const std::string& text, HiveFile& hive) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r')
            --stop, hive.crlf = true;
        hive.lines.push_back(HiveLine{text.substr(start, stop - start), {}, false});
        start = end + 1;
    }
}

// The registry editor's own exports are UTF-16LE with a byte-order mark. Each line is
// decoded on its own, so one unit that is not text spoils its line and no other.
void splitUtf16(const std::string& raw, HiveFile& hive) {
    std::u16string line;
    auto finish = [&] {
        if (!line.empty() && line.back() == u'\r')
            line.pop_back(), hive.crlf = true;
        HiveLine out;
        const long bytes = platform::utf16ToUtf8(line.data(), line.size(), nullptr, 0);
        if (bytes < 0) {
            out.units = line;
            out.bad = true;
        } else {
            out.text.assign(static_cast<std::size_t>(bytes) + 1, '\0');
            platform::utf16ToUtf8(line.data(), line.size(), out.text.data(), out.text.size());
            out.text.pop_back();
        }
        hive.lines.push_back(std::move(out));
        line.clear();
    };
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
        const auto unit = static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                                static_cast<unsigned char>(raw[i + 1]) << 8);
        if (unit == u'\n')
            finish();
        else
            line.push_back(unit);
    }
    if (!line.empty())
        finish();
    hive.utf16 = true;
}

// Reads the hive. A path that names something other than a regular file, or a file
// that cannot be read, is refused without waiting on it; only a missing file is Missing.
ReadResult readHiveFile(const std::string& path, HiveFile& hive) {
    platform::File file;
    if (!file.open(path.c_str(), platform::File::Mode::Read)) {
        platform::FileRecord record;
        return platform::findFile(path.c_str(), record) ? ReadResult::Refused : ReadResult::Missing;
    }
    std::string raw;
    char chunk[4096];
    for (;;) {
        const long n = file.read(chunk, sizeof chunk);
        if (n < 0)
            return ReadResult::Refused;
        if (n == 0)
            break;
        raw.append(chunk, static_cast<std::size_t>(n));
        if (raw.size() > kMaxHiveBytes)
            return ReadResult::Refused;
    }
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        splitUtf16(raw, hive);
    } else {
        hive.utf8Mark = raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0;
        splitUtf8(hive.utf8Mark ? raw.substr(3) : raw, hive);
    }
    return ReadResult::Read;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    return true;
}

// A key line "[...]": its path, or false.
bool keyOfLine(std::string_view line, std::string_view& key) {
    line = trim(line);
    if (line.size() < 2 || line.front() != '[' || line.back() != ']')
        return false;
    key = trim(line.substr(1, line.size() - 2));
    return true;
}

// Reads a quoted text with \\ and \" escapes starting at s[pos] == '"'; pos ends after
// the closing quote.
bool readQuoted(std::string_view s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"')
        return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= s.size() || (s[pos] != '\\' && s[pos] != '"'))
                return false;
            c = s[pos];
        }
        out.push_back(c);
    }
    return false;
}

// The name of a value line ("Name"=... or @=...) and the text after the '='.
bool splitValueLine(std::string_view line, std::string& name, std::string_view& rest) {
    std::size_t pos = 0;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
    if (pos < line.size() && line[pos] == '@') {
        name.clear();
        ++pos;
    } else if (!readQuoted(line, pos, name)) {
        return false;
    }
    if (pos >= line.size() || line[pos] != '=')
        return false;
    rest = line.substr(pos + 1);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHexList(std::string_view s, std::vector<unsigned char>& out) {
    out.clear();
    s = trim(s);
    while (!s.empty()) {
        if (s.size() < 2 || hexDigit(s[0]) < 0 || hexDigit(s[1]) < 0)
            return false;
        out.push_back(static_cast<unsigned char>(hexDigit(s[0]) << 4 | hexDigit(s[1])));
        s = trim(s.substr(2));
        if (!s.empty()) {
            if (s.front() != ',')
                return false;
            s = trim(s.substr(1));
        }
    }
    return true;
}

bool parseData(std::string_view rest, HiveValue& value) {
    rest = trim(rest);
    if (!rest.empty() && rest.front() == '"') {
        std::size_t pos = 0;
        std::string text;
        if (!readQuoted(rest, pos, text) || !trim(rest.substr(pos)).empty())
            return false;
        long units = platform::utf8ToUtf16(text.data(), text.size(), nullptr, 0);
        if (units < 0)
            return false;
        std::u16string wide(static_cast<std::size_t>(units) + 1, u'\0');
        platform::utf8ToUtf16(text.data(), text.size(), wide.data(), wide.size());
        value.type = kHiveString;
        value.data.resize(wide.size() * 2);
        for (std::size_t i = 0; i < wide.size(); ++i) {
            value.data[2 * i] = static_cast<unsigned char>(wide[i] & 0xFF);
            value.data[2 * i + 1] = static_cast<unsigned char>(wide[i] >> 8);
        }
        return true;
    }
    if (rest.substr(0, 6) == "dword:") {
        std::string_view digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8)
            return false;
        std::uint32_t v = 0;
        for (char c : digits) {
            int d = hexDigit(c);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<std::uint32_t>(d);
        }
        value.type = kHiveDword;
        value.data = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
        return true;
    }
    if (rest.substr(0, 4) == "hex:") {
        value.type = kHiveBinary;
        return parseHexList(rest.substr(4), value.data);
    }
    if (rest.substr(0, 4) == "hex(") {
        std::size_t close = rest.find("):");
        if (close == std::string_view::npos || close == 4 || close > 12)
            return false;
        std::uint32_t type = 0;
        for (char c : rest.substr(4, close - 4)) {
            int d = hexDigit(c);
            if (d < 0)
                return false;
            type = type << 4 | static_cast<std::uint32_t>(d);
        }
        value.type = type;
        return parseHexList(rest.substr(close + 2), value.data);
    }
    return false;
}

bool isBlank(const HiveLine& line) {
    return !line.bad && trim(line.text).empty();
}

// Whether the lines begin (after blank lines) with the hive's header line. Only such a
// file is rewritten: anything else with content is not ours to change.
bool hasHeader(const std::vector<HiveLine>& lines) {
    for (const HiveLine& line : lines)
        if (!isBlank(line))
            return !line.bad && equalNoCase(trim(line.text), kHeader);
    return false;
}

enum class EntryKind { Other, Key, Value };

// One logical entry: physical lines [first, last].
struct Entry {
    std::size_t first = 0;
    std::size_t last = 0;
    EntryKind kind = EntryKind::Other;
    bool ours = false;  // inside a section of our key (the key may have several)
    bool intact = true; // false when a continuation took in a line that is not text
    bool open = false;  // a hex list whose last line still asks for a continuation
    std::string name;   // of a value
    std::string data;   // of a value: the text after "=", continuation lines joined
};

bool isHexData(std::string_view rest) {
    rest = trim(rest);
    return rest.substr(0, 4) == "hex:" || rest.substr(0, 4) == "hex(";
}

// Splits the lines into entries, as an import reads them. Only a hex list goes on after
// a trailing backslash; a comment or a string that ends in one is whole, so it never
// swallows the line below it.
std::vector<Entry> entriesOf(const std::vector<HiveLine>& lines, std::string_view keyPath) {
    std::vector<Entry> entries;
    bool ours = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Entry entry;
        entry.first = entry.last = i;
        std::string_view key;
        std::string_view rest;
        if (lines[i].bad) {
            // nothing to read in it
        } else if (keyOfLine(lines[i].text, key)) {
            entry.kind = EntryKind::Key;
            ours = equalNoCase(key, keyPath);
        } else if (splitValueLine(lines[i].text, entry.name, rest)) {
            entry.kind = EntryKind::Value;
            entry.data = rest;
            if (isHexData(rest)) {
                while (!entry.data.empty() && entry.data.back() == '\\' &&
                       entry.last + 1 < lines.size()) {
                    entry.data.pop_back();
                    const HiveLine& next = lines[++entry.last];
                    entry.intact = entry.intact && !next.bad;
                    entry.data += trim(next.text);
                }
                entry.open = !entry.data.empty() && entry.data.back() == '\\';
            }
        }
        entry.ours = ours;
        i = entry.last;
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool formatValueLine(const char* name, std::uint32_t type, const unsigned char* data,
                     std::size_t size, std::string& line) {
    auto quote = [](std::string_view text, std::string& out) {
        out += '"';
        for (char c : text) {
            if (c == '\r' || c == '\n')
                return false;
            if (c == '\\' || c == '"')
                out += '\\';
            out += c;
        }
        out += '"';
        return true;
    };
    line.clear();
    if (!quote(name, line))
        return false;
    line += '=';
    if (type == kHiveString) {
        std::u16string wide;
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            char16_t u = static_cast<char16_t>(data[i] | data[i + 1] << 8);
            if (u == 0)
                break;
            wide.push_back(u);
        }
        long bytes = platform::utf16ToUtf8(wide.data(), wide.size(), nullptr, 0);
        if (bytes < 0)
            return false;
        std::string text(static_cast<std::size_t>(bytes) + 1, '\0');
        platform::utf16ToUtf8(wide.data(), wide.size(), text.data(), text.size());
        text.pop_back();
        return quote(text, line);
    }
    if (type == kHiveDword && size == 4) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x",
                      static_cast<unsigned>(data[0] | data[1] << 8 | data[2] << 16 |
                                            static_cast<std::uint32_t>(data[3]) << 24));
        line += digits;
        return true;
    }
    char prefix[24];
    if (type == kHiveBinary)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
    line += prefix;
    for (std::size_t i = 0; i < size; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? ",%02x" : "%02x", data[i]);
        line += byte;
    }
    return true;
}

} // namespace

SettingsHive::SettingsHive(std::string filePath, std::string keyPath)
    : filePath_(std::move(filePath)), keyPath_(std::move(keyPath)) {}

HiveState SettingsHive::state() const noexcept {
    platform::File file;
    if (file.open(filePath_.c_str(), platform::File::Mode::Read))
        return HiveState::Readable;
    platform::FileRecord record;
    if (!platform::findFile(filePath_.c_str(), record))
        return HiveState::Missing;
    return record.regular ? HiveState::Unreadable : HiveState::NotRegular;
}

const char* SettingsHive::writeRefusal() const noexcept {
    switch (state()) {
    case HiveState::NotRegular:
        return "it is not a regular file";
    case HiveState::Unreadable:
        return "it cannot be read";
    case HiveState::Missing:
        return nullptr;
    case HiveState::Readable:
        break;
    }
    try {
        HiveFile hive;
        if (readHiveFile(filePath_, hive) != ReadResult::Read)
            return "it cannot be read";
        for (const HiveLine& line : hive.lines)
            if (!isBlank(line))
                return hasHeader(hive.lines) ? nullptr : "it has content but no hive header line";
        return nullptr;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }
}

bool SettingsHive::query(const char* name, HiveValue& value) const noexcept {
    try {
        HiveFile hive;
        if (!name || readHiveFile(filePath_, hive) != ReadResult::Read)
            return false;
        bool found = false;
        // A later line for the same name wins, as an import of the file would do, and every
        // section of the key counts.
        for (const Entry& entry : entriesOf(hive.lines, keyPath_)) {
            HiveValue parsed;
            if (entry.kind == EntryKind::Value && entry.ours && entry.intact &&
                equalNoCase(entry.name, name) && parseData(entry.data, parsed)) {
                value = std::move(parsed);
                found = true;
            }
        }
        return found;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// Puts `line` in as the one entry for `name`: the last entry of that name is replaced
// (the one reads take) and earlier ones go, so what was set is what is read.
void placeValue(std::vector<HiveLine>& lines, std::string_view keyPath, const char* name,
                const std::string& line) {
    const std::vector<Entry> entries = entriesOf(lines, keyPath);
    std::vector<const Entry*> named;
    const Entry* lastKey = nullptr;
    for (const Entry& entry : entries) {
        if (entry.kind == EntryKind::Key && entry.ours)
            lastKey = &entry;
        if (entry.kind == EntryKind::Value && entry.ours && equalNoCase(entry.name, name))
            named.push_back(&entry);
    }
    auto erase = [&](std::size_t from, std::size_t to) {
        lines.erase(lines.begin() + static_cast<long>(from), lines.begin() + static_cast<long>(to));
    };
    if (!named.empty()) {
        // From the back, so the line numbers of the entries still to handle stay true.
        const Entry& kept = *named.back();
        erase(kept.first + 1, kept.last + 1);
        lines[kept.first] = HiveLine{line, {}, false};
        for (std::size_t i = named.size() - 1; i-- > 0;)
            erase(named[i]->first, named[i]->last + 1);
        return;
    }
    if (!lastKey) {
        // The blank line also ends a hex list left open on the file's last line.
        if (!lines.empty() && !isBlank(lines.back()))
            lines.emplace_back();
        lines.push_back(HiveLine{"[" + std::string(keyPath) + "]", {}, false});
        lines.push_back(HiveLine{line, {}, false});
        return;
    }
    // After the section's last entry that is not blank. A hex list cut off after its
    // continuation backslash would swallow a line put after it: the new line goes before
    // that entry instead, which then reads as it did.
    std::size_t at = lastKey->last + 1;
    for (const Entry* entry = lastKey + 1;
         entry != entries.data() + entries.size() && entry->kind != EntryKind::Key; ++entry) {
        if (entry->open)
            break;
        if (entry->first != entry->last || !isBlank(lines[entry->first]))
            at = entry->last + 1;
    }
    lines.insert(lines.begin() + static_cast<long>(at), HiveLine{line, {}, false});
}

bool encodeHive(const HiveFile& hive, std::string& raw) {
    const char* eol = hive.crlf ? "\r\n" : "\n";
    if (!hive.utf16) {
        raw = hive.utf8Mark ? "\xEF\xBB\xBF" : "";
        for (const HiveLine& line : hive.lines)
            raw += line.text, raw += eol;
        return true;
    }
    raw = "\xFF\xFE";
    auto put = [&raw](const char16_t* units, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i)
            raw += static_cast<char>(units[i] & 0xFF), raw += static_cast<char>(units[i] >> 8);
    };
    const std::u16string end = hive.crlf ? u"\r\n" : u"\n";
    std::u16string wide;
    for (const HiveLine& line : hive.lines) {
        if (line.bad) {
            put(line.units.data(), line.units.size());
        } else {
            const long units =
                platform::utf8ToUtf16(line.text.data(), line.text.size(), nullptr, 0);
            if (units < 0)
                return false;
            wide.assign(static_cast<std::size_t>(units) + 1, u'\0');
            platform::utf8ToUtf16(line.text.data(), line.text.size(), wide.data(), wide.size());
            put(wide.data(), static_cast<std::size_t>(units));
        }
        put(end.data(), end.size());
    }
    return true;
}

} // namespace

bool SettingsHive::setValue(const char* name, std::uint32_t type, const void* data,
                            std::size_t size) noexcept {
    const HiveWrite one{name, type, data, size};
    return setValues(&one, 1);
}

bool SettingsHive::setValues(const HiveWrite* values, std::size_t count) noexcept {
    try {
        if (!values || count == 0)
            return false;
        std::vector<std::string> lines(count);
        for (std::size_t i = 0; i < count; ++i) {
            const HiveWrite& value = values[i];
            if (!value.name || (!value.data && value.size) ||
                !formatValueLine(value.name, value.type,
                                 static_cast<const unsigned char*>(value.data), value.size,
                                 lines[i]))
                return false;
        }
        // Held from the read to the rename: another writer's change is read, not lost.
        platform::FileLock lock;
        if (!lock.acquire(filePath_.c_str()))
            return false;
        HiveFile hive;
        const ReadResult read = readHiveFile(filePath_, hive);
        if (read == ReadResult::Refused)
            return false;
        if (!hasHeader(hive.lines)) {
            for (const HiveLine& l : hive.lines)
                if (!isBlank(l))
                    return false;
            hive.lines = {HiveLine{std::string(kHeader), {}, false}, HiveLine{}};
        }
        for (std::size_t i = 0; i < count; ++i)
            placeValue(hive.lines, keyPath_, values[i].name, lines[i]);
        std::string raw;
        return encodeHive(hive, raw) &&
               platform::replaceFileAtomically(filePath_.c_str(), raw.data(), raw.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace velnor
