#include "platform/StandardDescriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace velnor::platform {

bool fillStandardDescriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // Those below are open by now, so the lowest free number is this one. The
        // descriptor stays inheritable, as a standard descriptor is.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0)
            return false;
        if (opened != fd) {
            const int moved = ::dup2(opened, fd);
            ::close(opened);
            if (moved != fd)
                return false;
        }
    }
    return true;
}

} // namespace velnor::platform
