// String helpers on NUL-terminated 8-bit text. Case-insensitive work folds the ASCII
// letters only: bytes 0x80-0xFF are part of multi-byte characters and stay as they are.
// A null string argument is taken as empty (or ignored) rather than read.
#pragma once

#include <cstddef>

namespace velnor {

// 'A'..'Z' to 'a'..'z'; every other byte unchanged.
inline unsigned char foldAscii(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Bytes before the NUL.
std::size_t stringLength(const char* text) noexcept;

// Unbounded copy and concatenation; the caller guarantees the room.
char* stringCopy(char* destination, const char* source) noexcept;
char* stringConcatenate(char* destination, const char* source) noexcept;

// Writes exactly n bytes: the source up to its NUL, then NULs. No terminator is left
// when the source holds n bytes or more.
char* copyBounded(char* destination, const char* source, std::size_t n) noexcept;

// Appends at most n bytes of the source at the destination's NUL and always terminates,
// so the destination needs room for n + 1 more bytes.
char* appendBounded(char* destination, const char* source, std::size_t n) noexcept;

// Difference of the first differing bytes taken as signed values (whatever the
// platform's char signedness); 0 when equal.
int compareExact(const char* a, const char* b) noexcept;

// Difference of the first differing folded bytes taken as unsigned values; 0 when the
// strings are equal ignoring ASCII case.
int compareNoCase(const char* a, const char* b) noexcept;

// As compareNoCase over at most n bytes; n == 0 gives 0.
int compareNoCaseN(const char* a, const char* b, std::size_t n) noexcept;

// First case-sensitive occurrence of needle; an empty needle gives the haystack itself.
const char* findSubstring(const char* haystack, const char* needle) noexcept;
inline char* findSubstring(char* haystack, const char* needle) noexcept {
    return const_cast<char*>(findSubstring(static_cast<const char*>(haystack), needle));
}

// A zero-filled calloc copy (the caller frees it with free), or null.
char* duplicateOnHeap(const char* text) noexcept;

// In place; returns the same string.
char* toUpperAscii(char* text) noexcept;

// In place: the server writes paths with '\', the OS and URLs use '/'.
void slashesToBackslashes(char* text) noexcept;
void backslashesToSlashes(char* text) noexcept;

} // namespace velnor
