// Walking steps over a text table's entries block: name, NUL, value, NUL, entry after
// entry, ended by a NUL where the next name would begin. The log plug-in walks the
// server's tables with this very code and must reach the same entries, so it is
// header-only and needs nothing of the server linked (Strings.h gives the inline folding).
#pragma once

#include <cstring>

#include "content/Strings.h"

namespace velnor {

// The first entry of a block, or null when the block is missing or holds no entry.
inline const char* firstEntry(const char* block) noexcept {
    return (block && *block != '\0') ? block : nullptr;
}

// The value of the entry at `entry`. At the end of the block (a NUL where a name would
// begin) there is no entry; the end itself is returned, an empty string that lies inside
// the block, where the byte after it might already be past the block.
inline const char* entryValue(const char* entry) noexcept {
    if (*entry == '\0')
        return entry;
    return entry + std::strlen(entry) + 1;
}

// Where a walk standing at `entry` moves to: the position after the entry, which is the
// block's end when a NUL stands there. Null when the walk stays where it is: at the end
// already, or at a last entry whose value is empty.
inline const char* stepFrom(const char* entry) noexcept {
    if (*entry == '\0')
        return nullptr;
    const char* value = entryValue(entry);
    if (value[0] == '\0' && value[1] == '\0')
        return nullptr;
    return value + std::strlen(value) + 1;
}

// The entry after `entry`, or null at the end of the block.
inline const char* nextEntry(const char* entry) noexcept {
    const char* position = stepFrom(entry);
    return (position && *position != '\0') ? position : nullptr;
}

inline bool sameName(const char* a, const char* b) noexcept {
    return std::strcmp(a, b) == 0;
}

// Equal after folding the ASCII letters only (bytes 0x80-0xFF compare unchanged).
inline bool sameNameNoCase(const char* a, const char* b) noexcept {
    for (;; ++a, ++b) {
        const unsigned char ca = foldAscii(static_cast<unsigned char>(*a));
        if (ca != foldAscii(static_cast<unsigned char>(*b)))
            return false;
        if (ca == '\0')
            return true;
    }
}

// The first entry named `name` exactly, or null; walks a local position only.
inline const char* findEntry(const char* block, const char* name) noexcept {
    if (!name)
        return nullptr;
    for (const char* e = firstEntry(block); e; e = nextEntry(e)) {
        if (sameName(e, name))
            return e;
    }
    return nullptr;
}

// The first entry named `name` ignoring ASCII case, or null; walks a local position only.
inline const char* findEntryNoCase(const char* block, const char* name) noexcept {
    if (!name)
        return nullptr;
    for (const char* e = firstEntry(block); e; e = nextEntry(e)) {
        if (sameNameNoCase(e, name))
            return e;
    }
    return nullptr;
}

} // namespace velnor
