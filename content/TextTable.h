#pragma once

#include <cstdint>

#include "content/ByteBuffer.h"

namespace velnor {

// Ordered name/value list of 8-bit strings kept as one entries block (name NUL value NUL
// ..., then a NUL) in an owned byte buffer, with a cursor for walks.
//
// Plug-ins and extensions read the table in place through its memory form (virtual
// table pointer, buffer, cursor), so the fields keep this order. Names are never empty:
// a NUL where a name begins ends the block. Pointers handed out point into the block and
// die with the next add or remove, which also rewind the cursor.
class TextTable {
public:
    TextTable() noexcept;
    virtual ~TextTable();

    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;

    // Sets an entry. A name already present (same case) is removed first, so the entry
    // moves to the end. Returns name length + value length + 2, or 0 for a null or empty
    // name, a null value, or exhausted memory; on 0 the table is as it was.
    std::uint32_t add(const char* name, const char* value) noexcept;
    // Deletes the first entry named exactly `name`; 1 when one was removed, else 0.
    int remove(const char* name) noexcept;

    // First entry with this name (exactly, or ignoring ASCII case), left at the cursor.
    char* find(const char* name) noexcept;
    char* findNoCase(const char* name) noexcept;
    // The value of find's / findNoCase's match, or null.
    char* value(const char* name) noexcept;
    char* valueNoCase(const char* name) noexcept;

    void rewind() noexcept;
    // Drops every entry and the block.
    void clear() noexcept;
    char* current() const noexcept { return cursor; }
    // Value of the entry at the cursor; null when the cursor is null, empty at the end.
    char* currentValue() const noexcept;
    // Moves to the next entry and returns it; null at the end of the table.
    char* next() noexcept;
    // The entries block (null when there is none); usedLength bytes plus the final NUL.
    char* entries() const noexcept;
    std::uint32_t usedLength() const noexcept;

    // The memory form; read them, but change the table only through its operations.
    ByteBuffer* buffer;
    char* cursor = nullptr;

private:
    char* walkFor(const char* name, bool ignoreCase) noexcept;
    // Fills `fresh` with the block minus the entry at `entry`; false when memory runs out.
    bool copyWithout(const char* entry, ByteBuffer& fresh) const noexcept;
    // Takes over the block built in `fresh`; fresh then owns (and frees) the old one.
    void adopt(ByteBuffer& fresh) noexcept;
};

} // namespace velnor
