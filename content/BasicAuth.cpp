#include "content/BasicAuth.h"

#include <cstring>

#include "content/Strings.h"

namespace velnor {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr std::size_t kSchemeLength = 5; // "basic"

bool isLineEnd(char c) noexcept {
    return c == '\r' || c == '\n';
}

} // namespace

int base64Value(char c) noexcept {
    if (c == '=')
        return 0;
    // The NUL would be "found" at the alphabet's terminator.
    if (c == '\0')
        return -1;
    const char* at = std::strchr(kAlphabet, c);
    return at ? static_cast<int>(at - kAlphabet) : -1;
}

bool isBase64Text(const char* text) noexcept {
    if (!text)
        return false;
    std::size_t n = 0;
    for (; text[n]; ++n) {
        if (base64Value(text[n]) < 0)
            return false;
    }
    return n % 4 == 0;
}

char* base64DecodeInPlace(char* text) noexcept {
    if (!text)
        return text;
    const std::size_t n = std::strlen(text);
    std::size_t out = 0;
    for (std::size_t start = 0; start < n; start += 4) {
        // All four characters are read before any byte is written: the first group's
        // bytes land on its own characters.
        unsigned s[4] = {0, 0, 0, 0};
        for (std::size_t k = 0; k < 4 && start + k < n; ++k) {
            const int v = base64Value(text[start + k]);
            s[k] = v < 0 ? 0u : static_cast<unsigned>(v);
        }
        const unsigned char bytes[3] = {
            static_cast<unsigned char>((s[0] * 4) | ((s[1] / 16) & 3)),
            static_cast<unsigned char>((s[1] * 16) | ((s[2] / 4) & 15)),
            static_cast<unsigned char>((s[2] * 64) | (s[3] & 63)),
        };
        // Three bytes per group outgrow a short last group of a very short text: what
        // would land on or past the terminator is dropped.
        for (unsigned char b : bytes) {
            if (out < n)
                text[out++] = static_cast<char>(b);
        }
    }
    text[out] = '\0';
    return text;
}

bool decodeBasicCredentials(const char* authorization,
                            char (&credentials)[kCredentialsCapacity]) noexcept {
    std::memset(credentials, 0, sizeof credentials);
    if (!authorization || compareNoCaseN(authorization, "basic", kSchemeLength) != 0)
        return false;
    const char* rest = authorization + kSchemeLength;
    while (*rest == ' ')
        ++rest;
    // Longer text is cut to 63 characters, which is never whole groups: credentials too
    // long for the area are refused, never compared by a prefix.
    copyBounded(credentials, rest, kCredentialsCapacity - 1);
    if (!isBase64Text(credentials)) {
        std::memset(credentials, 0, sizeof credentials);
        return false;
    }
    base64DecodeInPlace(credentials);
    return true;
}

bool matchPasswordLine(char* fileText, const char* credentials,
                       char (&user)[kUserCapacity]) noexcept {
    std::memset(user, 0, sizeof user);
    if (!fileText || !credentials)
        return false;
    char* p = fileText;
    for (;;) {
        while (isLineEnd(*p))
            ++p;
        if (*p == '\0')
            return false;
        char* line = p;
        while (*p != '\0' && !isLineEnd(*p))
            ++p;
        if (*p != '\0')
            *p++ = '\0';
        if (compareExact(line, credentials) != 0)
            continue;
        const std::size_t nameLength = std::strcspn(line, ":");
        std::memcpy(user, line, nameLength < kUserCapacity ? nameLength : kUserCapacity - 1);
        return true;
    }
}

} // namespace velnor
