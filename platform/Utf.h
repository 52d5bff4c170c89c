// Strict, bounded conversions between the server's 8-bit text (UTF-8) and UTF-16.
// Invalid input (bad sequences, overlongs, surrogates in UTF-8, unpaired surrogates in
// UTF-16) fails, and so does a result that does not fit its area with its NUL.
#pragma once

#include <cstddef>

#include "platform/HeapBlock.h"

namespace velnor::platform {

// Units of `src` before its NUL.
std::size_t wideLength(const char16_t* src) noexcept;

// Converts `srcLen` bytes (no NUL needed) into `dst`, which holds `dstCap` units, and
// writes a NUL after the result. Returns the units written before the NUL, or -1.
// With dst null and dstCap 0 it only measures: the result is the units needed
// without the NUL.
long utf8ToUtf16(const char* src, std::size_t srcLen, char16_t* dst, std::size_t dstCap) noexcept;

// The reverse: `srcLen` units into `dst` of `dstCap` bytes, NUL written; bytes before
// the NUL, or -1. dst null with dstCap 0 measures.
long utf16ToUtf8(const char16_t* src, std::size_t srcLen, char* dst, std::size_t dstCap) noexcept;

// A new zero-filled UTF-16 copy of NUL-terminated UTF-8 text, or null.
HeapPtr<char16_t> wideFromUtf8(const char* text) noexcept;

// A new UTF-8 copy of NUL-terminated UTF-16 text, or null.
HeapPtr<char> utf8FromWide(const char16_t* text) noexcept;

} // namespace velnor::platform
