#pragma once

#include <cstdint>

#include "content/TextTable.h"

namespace velnor {

// Text table loaded from a file of "name value" lines, read once at start and then
// shared by every worker: its lookup therefore never touches the cursor.
class ConfigTable : public TextTable {
public:
    ConfigTable() noexcept = default;
    ~ConfigTable() override;

    // Adds the file's entries. Lines end at CR, LF or CR LF; blank lines and lines that
    // begin with '#' are skipped; the name runs to the first blank or tab, the run of
    // blanks and tabs after it is skipped, and the value is the rest of the line,
    // trailing blanks included. Lines with no blank or tab, or an empty name, are
    // skipped; a NUL byte ends the text. A missing, unreadable or empty file adds
    // nothing, and nothing is reported.
    void loadFile(const char16_t* path) noexcept;

    // The value of the first entry whose name matches ignoring ASCII case, or null.
    const char* lookupNoCase(const char* name) const noexcept;

    // One non-blank line of a table file as loadFile judges it. Numbers count from 1; CR,
    // LF and CR LF each end one line.
    enum class LineKind {
        Entry,   // name and value (the value may be empty)
        Comment, // begins with '#'
        NoValue, // no blank or tab
        NoName,  // begins with a blank or tab
    };
    struct Line {
        std::uint32_t number = 0;
        LineKind kind = LineKind::Entry;
        const char* text = nullptr;  // the line from its start (for an Entry: the name)
        const char* name = nullptr;  // Entry only
        const char* value = nullptr; // Entry only
    };
    // Called for each line in order; false stops the walk.
    using LineVisitor = bool (*)(const Line& line, void* context);

    // The whole file in `text`, as loadFile reads it: false when it is missing,
    // unreadable, or memory runs out.
    static bool readFile(const char16_t* path, ByteBuffer& text) noexcept;
    // Walks a NUL-terminated text with loadFile's line rules, cutting it in place.
    static void walkLines(char* text, LineVisitor visit, void* context) noexcept;

private:
    void addLines(char* text) noexcept;
};

} // namespace velnor
