// Owners for malloc-family blocks: memory that crosses to plug-ins and extensions
// comes from calloc/realloc and goes back with free.
//
// A block an extension library hands back is the exception: it comes from the heap
// velnor.h names for each system (the C library's on Linux, the process heap on Windows,
// where every DLL may carry a C runtime of its own) and goes back there.
#pragma once

#include <cstdlib>
#include <memory>

namespace velnor::platform {

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <class T> using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// Gives back a block an extension returned; null is ignored.
void freeExtensionBlock(void* block) noexcept;

struct ExtensionBlockDeleter {
    void operator()(void* block) const noexcept { freeExtensionBlock(block); }
};

template <class T> using ExtensionBlockPtr = std::unique_ptr<T, ExtensionBlockDeleter>;

} // namespace velnor::platform
