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
    ByteBuffer text;
    if (!readFile(path, text) || text.isEmpty())
        return;
    addLines(text.data);
}

bool ConfigTable::readFile(const char16_t* path, ByteBuffer& text) noexcept {
    if (!path)
        return false;
    platform::File file;
    if (!file.open(path, platform::File::Mode::Read))
        return false;
    char chunk[kReadChunk];
    for (;;) {
        const long got = file.read(chunk, sizeof chunk);
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (text.append(chunk, static_cast<std::uint32_t>(got)) == 0)
            return false;
    }
}

void ConfigTable::walkLines(char* text, LineVisitor visit, void* context) noexcept {
    if (!text || !visit)
        return;
    std::uint32_t number = 1;
    char* p = text;
    for (;;) {
        while (isLineEnd(*p)) {
            p += (p[0] == '\r' && p[1] == '\n') ? 2 : 1;
            ++number;
        }
        if (*p == '\0')
            return;
        Line line;
        line.number = number;
        char* start = p;
        line.text = start;
        while (*p != '\0' && !isLineEnd(*p))
            ++p;
        if (*p != '\0') {
            const bool pair = p[0] == '\r' && p[1] == '\n';
            *p = '\0';
            p += pair ? 2 : 1;
            ++number;
        }
        char* separator = start;
        while (*separator != '\0' && !isBlank(*separator))
            ++separator;
        if (start[0] == '#') {
            line.kind = LineKind::Comment;
        } else if (separator == start) {
            // An empty name would end the entries block, hiding every later line.
            line.kind = LineKind::NoName;
        } else if (*separator == '\0') {
            line.kind = LineKind::NoValue;
        } else {
            *separator = '\0';
            char* value = separator + 1;
            while (isBlank(*value))
                ++value;
            line.name = start;
            line.value = value;
        }
        if (!visit(line, context))
            return;
    }
}

void ConfigTable::addLines(char* text) noexcept {
    walkLines(
        text,
        [](const Line& line, void* table) {
            if (line.kind != LineKind::Entry)
                return true;
            // add fails here only when memory has run out; the rest would fail as well.
            return static_cast<ConfigTable*>(table)->add(line.name, line.value) != 0;
        },
        this);
}

const char* ConfigTable::lookupNoCase(const char* name) const noexcept {
    const char* entry = findEntryNoCase(entries(), name);
    return entry ? entryValue(entry) : nullptr;
}

} // namespace velnor
