// Listing the files of one directory, addressed by the server's own paths.
#pragma once

namespace velnor::platform {

// Receives one file name (8-bit, exactly as the file system stores it); returning false
// ends the listing early.
using FileNameVisitor = bool (*)(const char* name, void* context);

// Calls `visit` for every regular file (or link to one) in `directory` whose name ends
// with `suffix`, in the order the file system returns them. The suffix is matched
// ignoring ASCII case, as a wildcard such as "*.mod" matches on the server's original
// home. False when the directory cannot be opened; an empty listing is true.
bool listFiles(const char* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept;
bool listFiles(const char16_t* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept;

} // namespace velnor::platform
