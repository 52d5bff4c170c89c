// Limits the operating system places on the server process.
#pragma once

#include <cstdint>

namespace velnor::platform {

// Raises the process's soft limit on open descriptors to its hard limit, so that a busy
// pool is not refused connections by a default far below what the host allows. The
// soft limit in force afterwards (0 when it cannot be read).
std::uint64_t raiseDescriptorLimit() noexcept;

} // namespace velnor::platform
