#include "content/TextTable.h"

#include <cstring>
#include <new>
#include <utility>

#include "content/TableWalk.h"

namespace velnor {

namespace {

char* writable(const char* p) noexcept {
    return const_cast<char*>(p);
}

} // namespace

TextTable::TextTable() noexcept : buffer(new (std::nothrow) ByteBuffer) {}

TextTable::~TextTable() {
    delete buffer;
}

std::uint32_t TextTable::add(const char* name, const char* value) noexcept {
    // An empty name would read as the end of the block and hide every later entry.
    if (!name || !value || *name == '\0' || !buffer)
        return 0;
    const std::size_t nameLength = std::strlen(name);
    const std::size_t valueLength = std::strlen(value);
    if (nameLength > 0xFFFFFFFFu || valueLength > 0xFFFFFFFFu)
        return 0;
    const auto n1 = static_cast<std::uint32_t>(nameLength);
    const auto n2 = static_cast<std::uint32_t>(valueLength);

    std::uint32_t added = 0;
    if (const char* old = find(name)) {
        // The rest of the block and the new entry are built together before the old block
        // is let go: name and value may point into it, and a failure leaves the old entry.
        ByteBuffer fresh;
        fresh.blockSize = buffer->blockSize;
        if (copyWithout(old, fresh)) {
            added = fresh.appendPair(name, n1, value, n2);
            if (added != 0)
                adopt(fresh);
        }
    } else {
        added = buffer->appendPair(name, n1, value, n2);
    }
    // The block may have moved; a cursor left in the old one must not be walked from.
    rewind();
    return added;
}

int TextTable::remove(const char* name) noexcept {
    const char* entry = find(name);
    if (!entry)
        return 0;
    ByteBuffer fresh;
    fresh.blockSize = buffer->blockSize;
    if (!copyWithout(entry, fresh)) {
        rewind();
        return 0;
    }
    adopt(fresh);
    rewind();
    return 1;
}

bool TextTable::copyWithout(const char* entry, ByteBuffer& fresh) const noexcept {
    const char* block = buffer->data;
    const char* end = block + buffer->length;
    const char* following = nextEntry(entry);
    if (entry != block && fresh.append(block, static_cast<std::uint32_t>(entry - block)) == 0)
        return false;
    if (following && following < end &&
        fresh.append(following, static_cast<std::uint32_t>(end - following)) == 0)
        return false;
    return true;
}

void TextTable::adopt(ByteBuffer& fresh) noexcept {
    std::swap(buffer->data, fresh.data);
    std::swap(buffer->length, fresh.length);
}

char* TextTable::walkFor(const char* name, bool ignoreCase) noexcept {
    rewind();
    if (!name)
        return nullptr;
    for (char* e = writable(firstEntry(cursor)); e; e = next()) {
        if (ignoreCase ? sameNameNoCase(e, name) : sameName(e, name)) {
            cursor = e;
            return e;
        }
    }
    return nullptr;
}

char* TextTable::find(const char* name) noexcept {
    return walkFor(name, false);
}

char* TextTable::findNoCase(const char* name) noexcept {
    return walkFor(name, true);
}

char* TextTable::value(const char* name) noexcept {
    const char* entry = find(name);
    return entry ? writable(entryValue(entry)) : nullptr;
}

char* TextTable::valueNoCase(const char* name) noexcept {
    const char* entry = findNoCase(name);
    return entry ? writable(entryValue(entry)) : nullptr;
}

void TextTable::rewind() noexcept {
    cursor = buffer ? buffer->data : nullptr;
}

void TextTable::clear() noexcept {
    if (buffer)
        buffer->reset();
    cursor = nullptr;
}

char* TextTable::currentValue() const noexcept {
    return cursor ? writable(entryValue(cursor)) : nullptr;
}

char* TextTable::next() noexcept {
    if (!cursor)
        return nullptr;
    const char* position = stepFrom(cursor);
    if (!position)
        return nullptr;
    cursor = writable(position);
    return *cursor != '\0' ? cursor : nullptr;
}

char* TextTable::entries() const noexcept {
    return buffer ? buffer->data : nullptr;
}

std::uint32_t TextTable::usedLength() const noexcept {
    return buffer ? buffer->length : 0;
}

} // namespace velnor
