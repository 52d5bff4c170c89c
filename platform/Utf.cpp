#include "platform/Utf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace velnor::platform {
namespace {

// Decodes one code point from UTF-8 at s[i..len); returns the sequence length or 0
// when the sequence is invalid (truncated, overlong, surrogate, beyond U+10FFFF).
std::size_t decodeUtf8(const unsigned char* s, std::size_t i, std::size_t len,
                       std::uint32_t& cp) noexcept {
    unsigned char b0 = s[i];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t n;
    std::uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        n = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (len - i < n)
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        unsigned char b = s[i + k];
        if ((b & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

std::size_t wideLength(const char16_t* src) noexcept {
    std::size_t n = 0;
    if (src)
        while (src[n])
            ++n;
    return n;
}

long utf8ToUtf16(const char* src, std::size_t srcLen, char16_t* dst, std::size_t dstCap) noexcept {
    const bool measure = dst == nullptr && dstCap == 0;
    if (!src || (!measure && (!dst || dstCap == 0)))
        return -1;
    auto* s = reinterpret_cast<const unsigned char*>(src);
    std::size_t out = 0;
    for (std::size_t i = 0; i < srcLen;) {
        std::uint32_t cp;
        std::size_t n = decodeUtf8(s, i, srcLen, cp);
        if (n == 0)
            return -1;
        i += n;
        std::size_t units = cp >= 0x10000 ? 2 : 1;
        if (!measure) {
            if (out + units + 1 > dstCap)
                return -1;
            if (units == 2) {
                cp -= 0x10000;
                dst[out] = static_cast<char16_t>(0xD800 + (cp >> 10));
                dst[out + 1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            } else {
                dst[out] = static_cast<char16_t>(cp);
            }
        }
        out += units;
    }
    if (!measure)
        dst[out] = 0;
    return static_cast<long>(out);
}

long utf16ToUtf8(const char16_t* src, std::size_t srcLen, char* dst, std::size_t dstCap) noexcept {
    const bool measure = dst == nullptr && dstCap == 0;
    if (!src || (!measure && (!dst || dstCap == 0)))
        return -1;
    std::size_t out = 0;
    for (std::size_t i = 0; i < srcLen; ++i) {
        std::uint32_t cp = src[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= srcLen || src[i + 1] < 0xDC00 || src[i + 1] > 0xDFFF)
                return -1;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return -1;
        }
        unsigned char bytes[4];
        std::size_t n;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp), n = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F)), n = 4;
        }
        if (!measure) {
            if (out + n + 1 > dstCap)
                return -1;
            std::memcpy(dst + out, bytes, n);
        }
        out += n;
    }
    if (!measure)
        dst[out] = 0;
    return static_cast<long>(out);
}

HeapPtr<char16_t> wideFromUtf8(const char* text) noexcept {
    if (!text)
        return nullptr;
    std::size_t len = std::strlen(text);
    long units = utf8ToUtf16(text, len, nullptr, 0);
    if (units < 0)
        return nullptr;
    HeapPtr<char16_t> out(static_cast<char16_t*>(std::calloc(units + 1, sizeof(char16_t))));
    if (!out || utf8ToUtf16(text, len, out.get(), units + 1) < 0)
        return nullptr;
    return out;
}

HeapPtr<char> utf8FromWide(const char16_t* text) noexcept {
    if (!text)
        return nullptr;
    std::size_t len = wideLength(text);
    long bytes = utf16ToUtf8(text, len, nullptr, 0);
    if (bytes < 0)
        return nullptr;
    HeapPtr<char> out(static_cast<char*>(std::calloc(bytes + 1, 1)));
    if (!out || utf16ToUtf8(text, len, out.get(), bytes + 1) < 0)
        return nullptr;
    return out;
}

} // namespace velnor::platform
