#include "platform/UniqueHandle.h"

#include <windows.h>

namespace velnor::platform {

void closeHandle(NativeHandle handle) noexcept {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

} // namespace velnor::platform
