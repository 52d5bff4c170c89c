// How many bytes a block an extension returned can hold, as its allocator knows it.
#pragma once

#include <cstddef>

namespace velnor::platform {

// The bytes usable in `block`, a block of an extension's heap (malloc, calloc or realloc
// on Linux, the process heap on Windows; see velnor.h): at least what was asked for,
// often a little more; 0 for null. A pointer the allocator did not hand out cannot be
// asked about: the answer is only as good as the caller's promise.
std::size_t usableSize(const void* block) noexcept;

} // namespace velnor::platform
