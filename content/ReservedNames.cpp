#include "content/ReservedNames.h"

#include "content/Strings.h"

namespace velnor {
namespace {

// A short name's base holds at most eight characters, its extension at most three.
constexpr std::size_t kShortBaseLimit = 8;
constexpr std::size_t kShortExtensionLimit = 3;

// Devices named alone; "COM" and "LPT" are devices only with a port number after them.
constexpr const char* kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};

bool isSeparator(char c) noexcept {
    return c == '\\' || c == '/';
}

bool isDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// ':' opens a stream of the file named before it; the others are the patterns a
// find-first lookup matches against every name of a directory.
bool isAliasCharacter(char c) noexcept {
    return c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '"';
}

// `text` (`length` bytes) equals the upper-case `word`, ASCII case ignored.
bool sameWord(const char* text, std::size_t length, const char* word) noexcept {
    std::size_t i = 0;
    for (; i < length && word[i] != '\0'; ++i) {
        if (foldAscii(static_cast<unsigned char>(text[i])) !=
            foldAscii(static_cast<unsigned char>(word[i])))
            return false;
    }
    return i == length && word[i] == '\0';
}

// The port number after "COM" or "LPT": one digit, or a superscript one, two or three,
// written in UTF-8 (two bytes) or in the 8-bit Latin form (one byte).
bool isPortNumber(const char* text, std::size_t length) noexcept {
    const auto superscript = [](unsigned char c) { return c == 0xB9 || c == 0xB2 || c == 0xB3; };
    if (length == 1)
        return isDigit(text[0]) || superscript(static_cast<unsigned char>(text[0]));
    return length == 2 && static_cast<unsigned char>(text[0]) == 0xC2 &&
           superscript(static_cast<unsigned char>(text[1]));
}

// A device answers to its name whatever extension follows and with blanks before it:
// "nul.txt" and "Con .x" are the devices themselves.
bool isDeviceName(const char* name, std::size_t length) noexcept {
    std::size_t base = 0;
    while (base < length && name[base] != '.')
        ++base;
    while (base > 0 && name[base - 1] == ' ')
        --base;
    for (const char* device : kDevices) {
        if (sameWord(name, base, device))
            return true;
    }
    return base > 3 && (sameWord(name, 3, "COM") || sameWord(name, 3, "LPT")) &&
           isPortNumber(name + 3, base - 3);
}

// The shape of a generated short name: a base of at most eight characters ending in "~"
// and digits, then at most one extension of at most three. A lookup matches a short name
// whole, so a name of any other shape can name no file but its own.
bool isShortName(const char* name, std::size_t length) noexcept {
    std::size_t dot = 0;
    while (dot < length && name[dot] != '.')
        ++dot;
    if (dot > kShortBaseLimit)
        return false;
    if (dot < length) {
        const std::size_t extension = length - dot - 1;
        if (extension > kShortExtensionLimit)
            return false;
        for (std::size_t i = dot + 1; i < length; ++i) {
            if (name[i] == '.')
                return false;
        }
    }
    std::size_t digits = dot;
    while (digits > 0 && isDigit(name[digits - 1]))
        --digits;
    return digits < dot && digits > 0 && name[digits - 1] == '~';
}

} // namespace

bool isReservedName(const char* name, std::size_t length) noexcept {
    if (length == 0 || (length == 1 && name[0] == '.') ||
        (length == 2 && name[0] == '.' && name[1] == '.'))
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (isAliasCharacter(name[i]))
            return true;
    }
    const char last = name[length - 1];
    if (last == '.' || last == ' ')
        return true;
    return isDeviceName(name, length) || isShortName(name, length);
}

bool hasReservedName(const char* path) noexcept {
    if (path == nullptr)
        return false;
    const char* name = path;
    for (const char* p = path;; ++p) {
        if (*p == '\0' || isSeparator(*p)) {
            if (isReservedName(name, static_cast<std::size_t>(p - name)))
                return true;
            if (*p == '\0')
                return false;
            name = p + 1;
        }
    }
}

} // namespace velnor
