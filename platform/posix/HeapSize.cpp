#include "platform/HeapSize.h"

#include <malloc.h>

namespace velnor::platform {

std::size_t usableSize(const void* block) noexcept {
    if (block == nullptr)
        return 0;
    // The allocator's own record of the block; it reads it and never changes it.
    return malloc_usable_size(const_cast<void*>(block));
}

} // namespace velnor::platform
