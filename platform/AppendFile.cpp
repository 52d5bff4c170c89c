#include "platform/AppendFile.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileSystem.h"

namespace velnor::platform {
namespace {

// Between two tries for a lock held by another writer; a record takes far less.
constexpr long kLockPauseNs = 2'000'000;

} // namespace

bool AppendFile::open(const char16_t* path) noexcept {
    char os[PATH_MAX];
    fd_.reset();
    if (!toOsPath(path, os, sizeof os))
        return false;
    int fd;
    do {
        // Without O_NONBLOCK a FIFO would hold the open until a reader came; a regular
        // file ignores the flag.
        fd = ::open(os, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    fd_.reset(fd);
    return fd_.valid();
}

bool AppendFile::lock(std::uint32_t limitMs) noexcept {
    const long tries = long(limitMs) * 1'000'000 / kLockPauseNs + 1;
    for (long n = 0; n < tries; ++n) {
        if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const timespec pause{0, kLockPauseNs};
        ::nanosleep(&pause, nullptr);
    }
    return false;
}

bool AppendFile::isNamedBy(const char16_t* path) const noexcept {
    char os[PATH_MAX];
    struct stat named, opened;
    return toOsPath(path, os, sizeof os) && ::stat(os, &named) == 0 &&
           ::fstat(fd_.get(), &opened) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

AppendResult AppendFile::append(const void* data, std::size_t size) noexcept {
    ssize_t n;
    do {
        n = ::write(fd_.get(), data, size);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && std::size_t(n) == size)
        return AppendResult::Written;
    if (n <= 0)
        return AppendResult::Failed;
    // In append mode the offset now stands right after the bytes that were stored.
    const off_t end = ::lseek(fd_.get(), 0, SEEK_CUR);
    if (end < n || ::ftruncate(fd_.get(), end - n) != 0)
        return AppendResult::Failed;
    return AppendResult::Undone;
}

std::int64_t AppendFile::size() const noexcept {
    struct stat st;
    return ::fstat(fd_.get(), &st) == 0 ? std::int64_t(st.st_size) : -1;
}

} // namespace velnor::platform
