// Names a file system may read as some other name than the one written: a stream of a
// file ("page.html::$DATA"), a generated short name ("PASSWO~1"), a name whose trailing
// dots or spaces the system drops ("access.cha."), a device ("nul.txt"), or a pattern
// ("pass*"). Every decision that is made by name (which password file governs a path,
// whether a path lies under the extension root) would be made on the name written while
// the file system opened another, so such names are refused on every system alike.
#pragma once

#include <cstddef>

namespace velnor {

// True when the `length` bytes at `name` (one name, no separator) are one of the forms
// above. "." and ".." are no such names: the normaliser has settled them already.
bool isReservedName(const char* name, std::size_t length) noexcept;

// True when any name of `path` ("\" and "/" both separate) is reserved. One pass over the
// text, nothing allocated: it is asked on every request.
bool hasReservedName(const char* path) noexcept;

} // namespace velnor
