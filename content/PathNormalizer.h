// The canonical form of a path: the one text every decision about a request is made on,
// so that no spelling of a place ("a/./b", "a//b", "a/x/../b") can be judged as another.
#pragma once

#include <cstddef>

namespace velnor {

// Writes the canonical form of `path` into `out` (`capacity` bytes, NUL included): "/"
// and "\" both separate names, "\" is written; repeated separators become one, "."
// names are dropped and ".." removes the name before it. A leading separator is kept,
// and so is a trailing one, which also follows a final "." or ".." (the path names a
// directory: "/docs/" and "/docs/." both give "\docs\"). Returns the length written,
// or -1 when a ".." would climb above the start or the result does not fit; `out` then
// holds an empty text whenever it has room for one.
long normalizePath(const char* path, char* out, std::size_t capacity) noexcept;

// A root setting (document or extension root) in canonical form, as it is loaded and
// stored: as normalizePath, less a trailing separator, except that the root of the file
// system stays a lone separator. A text without any "\\" keeps "/" as its separator, so
// a setting keeps the form its operator wrote. Returns the length, or -1 when the text
// cannot be normalised (it climbs above its start, or does not fit).
long normalizeRootSetting(const char* text, char* out, std::size_t capacity) noexcept;

} // namespace velnor
