#include "content/ConfigTable.h"

#include "content/TableWalk.h"
#include "platform/FileSystem.h"

namespace velnor {

namespace {

constexpr unsigned kReadChunk = 500;

bool isLineEnd(char c) noexcept {
    return c == '\r' || c == '\n';
}

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

} // namespace

ConfigTable::~ConfigTable() = default;

void ConfigTable::loadFile(const char16_t* path) noexcept {
    if (!path)
        return;
    platform::File file;
    if (!file.open(path, platform::File::Mode::Read))
        return;
    ByteBuffer text;
    char chunk[kReadChunk];
    for (;;) {
        const long got = file.read(chunk, sizeof chunk);
        if (got < 0)
            return;
        if (got == 0)
            break;
        if (text.append(chunk, static_cast<std::uint32_t>(got)) == 0)
            return;
    }
    file.close();
    if (text.isEmpty())
        return;
    addLines(text.data);
}

void ConfigTable::addLines(char* text) noexcept {
    char* p = text;
    for (;;) {
        while (isLineEnd(*p))
            ++p;
        if (*p == '\0')
            return;
        char* line = p;
        while (*p != '\0' && !isLineEnd(*p))
            ++p;
        if (*p != '\0')
            *p++ = '\0';
        if (line[0] == '#')
            continue;
        char* separator = line;
        while (*separator != '\0' && !isBlank(*separator))
            ++separator;
        // No blank or tab: no value. A blank first: no name, and an empty name would
        // end the entries block, hiding every later line.
        if (*separator == '\0' || separator == line)
            continue;
        *separator = '\0';
        char* value = separator + 1;
        while (isBlank(*value))
            ++value;
        // add fails here only when memory has run out; the rest would fail as well.
        if (add(line, value) == 0)
            return;
    }
}

const char* ConfigTable::lookupNoCase(const char* name) const noexcept {
    const char* entry = findEntryNoCase(entries(), name);
    return entry ? entryValue(entry) : nullptr;
}

} // namespace velnor
