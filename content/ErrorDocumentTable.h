// Status code to the operator's error document, from ErrorDocument.txt.
#pragma once

#include "content/ConfigTable.h"

namespace velnor {

/// Error documents by status: "404 /errors/missing.html" lines, read once at start.
class ErrorDocumentTable : public ConfigTable {
public:
    ErrorDocumentTable() noexcept = default;
    ~ErrorDocumentTable() override;

    // Loads ErrorDocument.txt from `programDirectory` (UTF-16, no trailing separator).
    void load(const char16_t* programDirectory) noexcept;

    // The request target configured for this status, or null: also when the configured
    // document is empty or longer than the 259 bytes a request target may hold.
    const char* documentFor(int code) const noexcept;
};

} // namespace velnor
