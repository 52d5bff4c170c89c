#include "platform/ResourceLimits.h"

namespace velnor::platform {

// Windows has no per-process limit on open handles to raise; what bounds a process is
// the kernel's own ceiling of about sixteen million handles. Callers size their queues
// from the answer, so the ceiling is reported rather than "unknown".
std::uint64_t raiseDescriptorLimit() noexcept {
    return std::uint64_t(1) << 24;
}

} // namespace velnor::platform
