// Suffix to content type, with handler modules taking over whole suffixes.
#pragma once

#include "content/ConfigTable.h"

namespace velnor {

/// The process's one content-type table: built-ins, then AddType.txt, then the "*.mod"
/// handler modules of the program directory. A value beginning with '\' names a
/// handler module instead of a content type.
class MimeTable : public ConfigTable {
public:
    static constexpr const char* kDefaultType = "application/octet-stream";

    // Only the built-in list.
    MimeTable() noexcept;
    ~MimeTable() override;

    // Adds AddType.txt and the handler modules of `programDirectory` (UTF-16, "\"
    // separators, no trailing separator).
    void build(const char16_t* programDirectory) noexcept;
    // Adds one entry per "*.mod" file in `directory` (ending in "\"): the suffix "." and
    // the name up to its first '.', the value the directory and the name with "\"
    // separators. Names with an empty stem or a "\", names that are not valid text, and
    // paths past 259 bytes are left out.
    void registerModules(const char16_t* directory) noexcept;

    // The type for a suffix key such as ".html" (ASCII case ignored); never null.
    const char* contentType(const char* key) const noexcept;
};

// The key of a resolved path: its tail from the last '.' or the last '\', whichever is
// later (so a name without a dot gives a key that matches nothing).
const char* suffixKey(const char* path) noexcept;

} // namespace velnor
