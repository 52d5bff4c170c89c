#include "content/Strings.h"

#include <cstdlib>
#include <cstring>

namespace velnor {

std::size_t stringLength(const char* text) noexcept {
    return text ? std::strlen(text) : 0;
}

char* stringCopy(char* destination, const char* source) noexcept {
    if (!destination)
        return destination;
    if (!source) {
        *destination = '\0';
        return destination;
    }
    std::memcpy(destination, source, std::strlen(source) + 1);
    return destination;
}

char* stringConcatenate(char* destination, const char* source) noexcept {
    if (!destination || !source)
        return destination;
    std::memcpy(destination + std::strlen(destination), source, std::strlen(source) + 1);
    return destination;
}

char* copyBounded(char* destination, const char* source, std::size_t n) noexcept {
    if (!destination)
        return destination;
    std::size_t i = 0;
    if (source) {
        for (; i < n && source[i] != '\0'; ++i)
            destination[i] = source[i];
    }
    if (i < n)
        std::memset(destination + i, 0, n - i);
    return destination;
}

char* appendBounded(char* destination, const char* source, std::size_t n) noexcept {
    if (!destination || !source)
        return destination;
    char* end = destination + std::strlen(destination);
    std::size_t i = 0;
    for (; i < n && source[i] != '\0'; ++i)
        end[i] = source[i];
    end[i] = '\0';
    return destination;
}

int compareExact(const char* a, const char* b) noexcept {
    if (!a)
        a = "";
    if (!b)
        b = "";
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<signed char>(*a) - static_cast<signed char>(*b);
}

int compareNoCase(const char* a, const char* b) noexcept {
    if (!a)
        a = "";
    if (!b)
        b = "";
    for (;; ++a, ++b) {
        const int fa = foldAscii(static_cast<unsigned char>(*a));
        const int fb = foldAscii(static_cast<unsigned char>(*b));
        if (fa == 0 || fa != fb)
            return fa - fb;
    }
}

int compareNoCaseN(const char* a, const char* b, std::size_t n) noexcept {
    if (!a)
        a = "";
    if (!b)
        b = "";
    for (std::size_t i = 0; i < n; ++i) {
        const int fa = foldAscii(static_cast<unsigned char>(a[i]));
        const int fb = foldAscii(static_cast<unsigned char>(b[i]));
        if (fa == 0 || fa != fb)
            return fa - fb;
    }
    return 0;
}

const char* findSubstring(const char* haystack, const char* needle) noexcept {
    if (!haystack || !needle)
        return nullptr;
    return std::strstr(haystack, needle);
}

char* duplicateOnHeap(const char* text) noexcept {
    if (!text)
        return nullptr;
    const std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::calloc(length + 1, 1));
    if (copy)
        std::memcpy(copy, text, length);
    return copy;
}

char* toUpperAscii(char* text) noexcept {
    if (!text)
        return text;
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - ('a' - 'A'));
    }
    return text;
}

namespace {

void replaceByte(char* text, char from, char to) noexcept {
    if (!text)
        return;
    for (; *text != '\0'; ++text) {
        if (*text == from)
            *text = to;
    }
}

} // namespace

void slashesToBackslashes(char* text) noexcept {
    replaceByte(text, '/', '\\');
}

void backslashesToSlashes(char* text) noexcept {
    replaceByte(text, '\\', '/');
}

} // namespace velnor
