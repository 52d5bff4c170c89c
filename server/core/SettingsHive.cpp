#include "server/core/SettingsHive.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "content/Strings.h"
#include "platform/FileSystem.h"
#include "platform/Utf.h"

namespace velnor {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxHiveBytes = 16u << 20; // far beyond any settings file

// The file as UTF-8 text, and how it was stored so a rewrite keeps its form.
struct HiveFile {
    std::string text;
    bool exists = false;
    bool utf16 = false;
    bool crlf = false;
};

bool readHiveFile(const std::string& path, HiveFile& hive) {
    platform::File file;
    if (!file.open(path.c_str(), platform::File::Mode::Read))
        return false;
    std::string raw;
    char chunk[4096];
    for (;;) {
        long n = file.read(chunk, sizeof chunk);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        raw.append(chunk, static_cast<std::size_t>(n));
        if (raw.size() > kMaxHiveBytes)
            return false;
    }
    hive.exists = true;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        // The registry editor's own exports are UTF-16LE with a byte-order mark.
        std::u16string units((raw.size() - 2) / 2, u'\0');
        for (std::size_t i = 0; i < units.size(); ++i)
            units[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 + 2 * i]) |
                                             static_cast<unsigned char>(raw[3 + 2 * i]) << 8);
        long bytes = platform::utf16ToUtf8(units.data(), units.size(), nullptr, 0);
        if (bytes < 0)
            return false;
        hive.text.assign(static_cast<std::size_t>(bytes) + 1, '\0');
        platform::utf16ToUtf8(units.data(), units.size(), hive.text.data(), hive.text.size());
        hive.text.pop_back();
        hive.utf16 = true;
    } else {
        if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
            raw.erase(0, 3);
        hive.text = std::move(raw);
    }
    hive.crlf = hive.text.find("\r\n") != std::string::npos;
    return true;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r')
            --stop;
        lines.emplace_back(text, start, stop - start);
        start = end + 1;
    }
    return lines;
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

// One value entry of the hive: physical lines [first, last] joined where a hex list
// goes on after a trailing backslash.
std::string joinEntry(const std::vector<std::string>& lines, std::size_t first, std::size_t& last) {
    std::string joined = lines[first];
    last = first;
    while (!joined.empty() && joined.back() == '\\' && last + 1 < lines.size()) {
        joined.pop_back();
        joined += trim(lines[++last]);
    }
    return joined;
}

// Walks the lines of our key, calling fn(name, rest, first, last) for each value entry.
// Returns the index one past the key's last line, or npos when the key is absent.
template <class Fn>
std::size_t walkKey(const std::vector<std::string>& lines, std::string_view keyPath,
                    std::size_t& keyLine, Fn fn) {
    bool inKey = false;
    std::size_t end = std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view key;
        if (keyOfLine(lines[i], key)) {
            if (inKey)
                return i;
            inKey = equalNoCase(key, keyPath);
            if (inKey)
                keyLine = i, end = lines.size();
            continue;
        }
        if (!inKey)
            continue;
        std::size_t last;
        std::string joined = joinEntry(lines, i, last);
        std::string name;
        std::string_view rest;
        if (splitValueLine(joined, name, rest) && !fn(name, rest, i, last))
            return end;
        i = last;
    }
    return end;
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

bool SettingsHive::query(const char* name, HiveValue& value) const noexcept {
    try {
        HiveFile hive;
        if (!name || !readHiveFile(filePath_, hive))
            return false;
        std::vector<std::string> lines = splitLines(hive.text);
        bool found = false;
        std::size_t keyLine = 0;
        // A later line for the same name wins, as an import of the file would do.
        walkKey(lines, keyPath_, keyLine,
                [&](const std::string& n, std::string_view rest, std::size_t, std::size_t) {
                    HiveValue parsed;
                    if (equalNoCase(n, name) && parseData(rest, parsed)) {
                        value = std::move(parsed);
                        found = true;
                    }
                    return true;
                });
        return found;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool SettingsHive::setValue(const char* name, std::uint32_t type, const void* data,
                            std::size_t size) noexcept {
    try {
        if (!name || (!data && size))
            return false;
        std::string line;
        if (!formatValueLine(name, type, static_cast<const unsigned char*>(data), size, line))
            return false;
        HiveFile hive;
        if (!readHiveFile(filePath_, hive)) {
            // A hive that exists but cannot be read is never overwritten.
            platform::FileRecord record;
            if (platform::findFile(filePath_.c_str(), record))
                return false;
            hive = HiveFile{};
        }
        std::vector<std::string> lines = splitLines(hive.text);
        if (lines.empty())
            lines = {std::string(kHeader), std::string()};
        std::size_t keyLine = 0;
        bool replaced = false;
        std::size_t keyEnd = walkKey(
            lines, keyPath_, keyLine,
            [&](const std::string& n, std::string_view, std::size_t first, std::size_t last) {
                if (!equalNoCase(n, name))
                    return true;
                lines.erase(lines.begin() + static_cast<long>(first) + 1,
                            lines.begin() + static_cast<long>(last) + 1);
                lines[first] = line;
                replaced = true;
                return false;
            });
        if (!replaced) {
            if (keyEnd == std::string::npos) {
                if (!lines.back().empty())
                    lines.emplace_back();
                lines.push_back("[" + keyPath_ + "]");
                lines.push_back(line);
            } else {
                std::size_t at = keyEnd;
                while (at > keyLine + 1 && trim(lines[at - 1]).empty())
                    --at;
                // A last entry cut off after a continuation backslash would swallow a
                // line put after it: the new line goes before that entry instead, which
                // then reads as it did.
                while (at > keyLine + 1 && !lines[at - 1].empty() && lines[at - 1].back() == '\\')
                    --at;
                lines.insert(lines.begin() + static_cast<long>(at), line);
            }
        }
        std::string text;
        const char* eol = hive.crlf ? "\r\n" : "\n";
        for (const std::string& l : lines)
            text += l, text += eol;
        if (!hive.utf16)
            return platform::replaceFileAtomically(filePath_.c_str(), text.data(), text.size());
        long units = platform::utf8ToUtf16(text.data(), text.size(), nullptr, 0);
        if (units < 0)
            return false;
        std::u16string wide(static_cast<std::size_t>(units) + 1, u'\0');
        platform::utf8ToUtf16(text.data(), text.size(), wide.data(), wide.size());
        wide.pop_back();
        std::string raw = "\xFF\xFE";
        for (char16_t u : wide)
            raw += static_cast<char>(u & 0xFF), raw += static_cast<char>(u >> 8);
        return platform::replaceFileAtomically(filePath_.c_str(), raw.data(), raw.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace velnor
