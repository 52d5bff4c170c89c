#pragma once

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

private:
    void addLines(char* text) noexcept;
};

} // namespace velnor
