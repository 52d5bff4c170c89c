// Owners for malloc-family blocks: memory that crosses to plug-ins and extensions
// comes from calloc/realloc and goes back with free.
#pragma once

#include <cstdlib>
#include <memory>

namespace velnor::platform {

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

} // namespace velnor::platform
