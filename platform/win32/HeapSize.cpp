#include "platform/HeapSize.h"

#include <windows.h>

#include "platform/HeapBlock.h"

namespace velnor::platform {

// An extension's block comes from the process heap (see velnor.h), whichever C runtime
// the extension was built with, so the heap that made it measures and frees it.
std::size_t usableSize(const void* block) noexcept {
    if (block == nullptr)
        return 0;
    const SIZE_T size = ::HeapSize(::GetProcessHeap(), 0, block);
    return size == static_cast<SIZE_T>(-1) ? 0 : static_cast<std::size_t>(size);
}

void freeExtensionBlock(void* block) noexcept {
    if (block != nullptr)
        ::HeapFree(::GetProcessHeap(), 0, block);
}

} // namespace velnor::platform
