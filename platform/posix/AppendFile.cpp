#include "platform/AppendFile.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velnor::platform {
namespace {

// Between two tries for a lock held by another writer; a rotation or an undo takes far
// less.
constexpr long kLockPauseNs = 2'000'000;
// How long the undo of a partial write waits for another writer's rotation or undo.
constexpr std::uint32_t kUndoLockMs = 1000;

} // namespace

bool AppendFile::open(const char* path) noexcept {
    fd_.reset();
    if (path == nullptr)
        return false;
    int fd;
    do {
        // Without O_NONBLOCK a FIFO would hold the open until a reader came; a regular
        // file ignores the flag.
        fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    UniqueHandle opened(fd);
    struct stat st;
    if (!opened.valid() || ::fstat(opened.get(), &st) != 0)
        return false;
    device_ = std::uint64_t(st.st_dev);
    inode_ = std::uint64_t(st.st_ino);
    openedSize_ = std::int64_t(st.st_size);
    fd_ = std::move(opened);
    return true;
}

bool AppendFile::isNamedBy(const char* path, std::int64_t& size) const noexcept {
    struct stat named;
    if (!fd_.valid() || path == nullptr || ::stat(path, &named) != 0)
        return false;
    // While this file is open its inode cannot be handed to a new file, so an equal pair
    // is the same file.
    if (std::uint64_t(named.st_dev) != device_ || std::uint64_t(named.st_ino) != inode_)
        return false;
    size = std::int64_t(named.st_size);
    return true;
}

bool AppendFile::hasName() const noexcept {
    struct stat st;
    return fd_.valid() && ::fstat(fd_.get(), &st) == 0 && st.st_nlink > 0;
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

void AppendFile::unlock() noexcept {
    if (fd_.valid())
        (void)::flock(fd_.get(), LOCK_UN);
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
    if (end < n || !lock(kUndoLockMs))
        return AppendResult::Failed;
    // Records are written without the lock, so the cut is safe only while nothing has
    // been appended behind the part; on a full disk the other writers store nothing.
    struct stat st;
    const bool cut =
        ::fstat(fd_.get(), &st) == 0 && st.st_size == end && ::ftruncate(fd_.get(), end - n) == 0;
    unlock();
    return cut ? AppendResult::Undone : AppendResult::Failed;
}

} // namespace velnor::platform
