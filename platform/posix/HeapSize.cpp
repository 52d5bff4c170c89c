#include "platform/HeapSize.h"

#include <cstdlib>
#include <malloc.h>

#include "platform/HeapBlock.h"

namespace velnor::platform {

std::size_t usableSize(const void* block) noexcept {
    if (block == nullptr)
        return 0;
    // The allocator's own record of the block; it reads it and never changes it.
    return malloc_usable_size(const_cast<void*>(block));
}

// On this system an extension and the server share one C library and so one heap.
void freeExtensionBlock(void* block) noexcept {
    std::free(block);
}

} // namespace velnor::platform
