#include "platform/FileLock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/FileSystem.h"

namespace velnor::platform {
namespace {

// Never through a link and never waiting on the open itself: a FIFO or link planted
// under the lock's name makes the update fail instead of hang or write elsewhere.
int openLockFile(const char* name) noexcept {
    constexpr int kCommon = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(name, O_RDWR | O_CREAT | kCommon, 0644);
    // A lock on a read-only descriptor serves as well, for one who may not write it.
    if (fd < 0 && errno == EACCES)
        fd = ::open(name, O_RDONLY | kCommon);
    return fd;
}

} // namespace

bool FileLock::acquire(const char* path, int waitMs) noexcept {
    release();
    char target[PATH_MAX];
    char name[PATH_MAX];
    if (!path || !linkTarget(path, target, sizeof target))
        return false;
    const int n = std::snprintf(name, sizeof name, "%s.lock", target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name)
        return false;
    UniqueHandle fd(openLockFile(name));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Polled rather than blocking, so a holder that never lets go costs a bounded wait.
    constexpr long kStepNs = 2'000'000;
    for (long waited = 0;; waited += kStepNs) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            fd_ = std::move(fd);
            return true;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= waitMs * 1'000'000L)
            return false;
        struct timespec step = {0, kStepNs};
        ::nanosleep(&step, nullptr);
    }
}

} // namespace velnor::platform
