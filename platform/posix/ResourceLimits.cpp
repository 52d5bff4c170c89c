#include "platform/ResourceLimits.h"

#include <sys/resource.h>

namespace velnor::platform {

std::uint64_t raiseDescriptorLimit() noexcept {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // A refusal keeps the limit the process started with, which still works.
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return std::uint64_t(limit.rlim_cur);
}

} // namespace velnor::platform
