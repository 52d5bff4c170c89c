#include "platform/UniqueHandle.h"

#include <unistd.h>

namespace velnor::platform {

// close() is never repeated on EINTR: on Linux the descriptor is gone either way, and a
// retry could close a descriptor another thread has just been given.
void closeHandle(NativeHandle handle) noexcept {
    ::close(static_cast<int>(handle));
}

} // namespace velnor::platform
