#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/TimeConversion.h"
#include "platform/Utf.h"

namespace velnor::platform {
namespace {

constexpr std::size_t kOsPathCapacity = PATH_MAX;

void fillRecord(const char* osPath, const struct stat& st, FileRecord& record) noexcept {
    record.attributes = S_ISDIR(st.st_mode) ? kAttributeDirectory : kAttributeNormal;
    if (!S_ISDIR(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        record.attributes |= kAttributeReadOnly;
    record.lastWriteTime =
        fileTimeFromUnix(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec));
    record.size = static_cast<std::uint64_t>(st.st_size);
    record.regular = S_ISREG(st.st_mode);
    record.symbolicLink = false;
    record.device = static_cast<std::uint64_t>(st.st_dev);
    record.inode = static_cast<std::uint64_t>(st.st_ino);
    record.modified = {static_cast<std::int64_t>(st.st_mtim.tv_sec),
                       static_cast<std::uint32_t>(st.st_mtim.tv_nsec)};
    record.changed = {static_cast<std::int64_t>(st.st_ctim.tv_sec),
                      static_cast<std::uint32_t>(st.st_ctim.tv_nsec)};
    const char* slash = std::strrchr(osPath, '/');
    const char* name = slash ? slash + 1 : osPath;
    const std::size_t length = std::min(std::strlen(name), sizeof record.name - 1);
    std::memcpy(record.name, name, length);
    record.name[length] = 0;
}

bool statOsPath(const char* osPath, FileRecord& record) noexcept {
    struct stat st;
    if (::stat(osPath, &st) != 0)
        return false;
    fillRecord(osPath, st, record);
    return true;
}

int openFlags(File::Mode mode) noexcept {
    switch (mode) {
    case File::Mode::Read:
        // A FIFO put where a file was looked up would hold the open until a writer came.
        return O_RDONLY | O_NONBLOCK | O_NOCTTY;
    case File::Mode::ReadWrite:
        return O_RDWR | O_CREAT;
    case File::Mode::WriteReplace:
        return O_WRONLY | O_CREAT | O_TRUNC;
    }
    return O_RDONLY;
}

int openOsPath(const char* osPath, File::Mode mode, int extraFlags = 0,
               struct stat* described = nullptr) noexcept {
    int fd;
    do {
        fd = ::open(osPath, openFlags(mode) | O_CLOEXEC | extraFlags, 0644);
    } while (fd < 0 && errno == EINTR);
    UniqueHandle opened(fd);
    // Only a regular file's reads end by themselves; the descriptor is judged, not the
    // name, so nothing swapped in after a lookup gets through.
    struct stat st;
    struct stat* into = described ? described : &st;
    if (opened && mode == File::Mode::Read &&
        (::fstat(opened.get(), into) != 0 || !S_ISREG(into->st_mode)))
        return -1;
    return opened.release();
}

} // namespace

bool toOsPath(const char* path, char* out, std::size_t capacity) noexcept {
    if (!path || !out || capacity == 0)
        return false;
    std::size_t i = 0;
    for (; path[i]; ++i) {
        if (i + 1 >= capacity) {
            out[0] = 0;
            return false;
        }
        out[i] = path[i] == '\\' ? '/' : path[i];
    }
    out[i] = 0;
    return true;
}

bool toOsPath(const char16_t* path, char* out, std::size_t capacity) noexcept {
    if (!path || !out || capacity == 0)
        return false;
    if (utf16ToUtf8(path, wideLength(path), out, capacity) < 0) {
        out[0] = 0;
        return false;
    }
    for (char* p = out; *p; ++p)
        if (*p == '\\')
            *p = '/';
    return true;
}

bool findFile(const char* path, FileRecord& record) noexcept {
    char os[kOsPathCapacity];
    return toOsPath(path, os, sizeof os) && statOsPath(os, record);
}

bool findFile(const char16_t* path, FileRecord& record) noexcept {
    char os[kOsPathCapacity];
    return toOsPath(path, os, sizeof os) && statOsPath(os, record);
}

bool lookUpName(const char* path, FileRecord& record) noexcept {
    char os[kOsPathCapacity];
    if (!toOsPath(path, os, sizeof os))
        return false;
    struct stat st;
    if (::lstat(os, &st) != 0)
        return false;
    if (!S_ISLNK(st.st_mode)) {
        fillRecord(os, st, record);
        return true;
    }
    if (::stat(os, &st) != 0)
        return false;
    fillRecord(os, st, record);
    record.symbolicLink = true;
    return true;
}

PathKind pathKind(const char* path) noexcept {
    char os[kOsPathCapacity];
    struct stat st;
    if (!toOsPath(path, os, sizeof os) || ::stat(os, &st) != 0)
        return PathKind::Missing;
    return S_ISDIR(st.st_mode) ? PathKind::Directory : PathKind::Other;
}

bool isExecutableFile(const char* path) noexcept {
    char os[kOsPathCapacity];
    struct stat st;
    return toOsPath(path, os, sizeof os) && ::stat(os, &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(os, X_OK) == 0;
}

bool File::open(const char* path, Mode mode) noexcept {
    char os[kOsPathCapacity];
    fd_.reset(toOsPath(path, os, sizeof os) ? openOsPath(os, mode) : -1);
    return fd_.valid();
}

bool File::open(const char16_t* path, Mode mode) noexcept {
    char os[kOsPathCapacity];
    fd_.reset(toOsPath(path, os, sizeof os) ? openOsPath(os, mode) : -1);
    return fd_.valid();
}

bool File::openRead(const char* path, bool followLinks, FileRecord& record) noexcept {
    char os[kOsPathCapacity];
    struct stat st;
    fd_.reset(toOsPath(path, os, sizeof os)
                  ? openOsPath(os, Mode::Read, followLinks ? 0 : O_NOFOLLOW, &st)
                  : -1);
    if (fd_.valid())
        fillRecord(os, st, record);
    return fd_.valid();
}

long File::read(void* buffer, std::size_t size) noexcept {
    ssize_t n;
    do {
        n = ::read(fd_.get(), buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool File::writeAll(const void* data, std::size_t size) noexcept {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_.get(), p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t File::seekEnd() noexcept {
    return ::lseek(fd_.get(), 0, SEEK_END);
}

std::int64_t File::size() const noexcept {
    struct stat st;
    return ::fstat(fd_.get(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool File::sync() noexcept {
    return ::fsync(fd_.get()) == 0;
}

bool File::finalName(char* out, std::size_t capacity) const noexcept {
    if (out == nullptr || capacity == 0 || !fd_.valid())
        return false;
    out[0] = 0;
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", int(fd_.get()));
    char target[kOsPathCapacity];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = 0;
    const char* slash = std::strrchr(target, '/');
    const char* name = slash ? slash + 1 : target;
    const std::size_t length = std::strlen(name);
    if (length >= capacity)
        return false;
    std::memcpy(out, name, length + 1);
    return true;
}

bool deleteFile(const char16_t* path) noexcept {
    char os[kOsPathCapacity];
    return toOsPath(path, os, sizeof os) && ::unlink(os) == 0;
}

bool moveFile(const char16_t* from, const char16_t* to) noexcept {
    char a[kOsPathCapacity], b[kOsPathCapacity];
    return toOsPath(from, a, sizeof a) && toOsPath(to, b, sizeof b) && ::rename(a, b) == 0;
}

bool moveFile(const char* from, const char* to) noexcept {
    char a[kOsPathCapacity], b[kOsPathCapacity];
    return toOsPath(from, a, sizeof a) && toOsPath(to, b, sizeof b) && ::rename(a, b) == 0;
}

bool createDirectory(const char* path) noexcept {
    char os[kOsPathCapacity];
    return toOsPath(path, os, sizeof os) && ::mkdir(os, 0755) == 0;
}

bool linkTarget(const char* path, char* out, std::size_t capacity) noexcept {
    char current[kOsPathCapacity];
    if (!out || capacity == 0 || !toOsPath(path, current, sizeof current))
        return false;
    // As many links as the system itself follows before it reports a loop.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        const bool found = ::lstat(current, &st) == 0;
        // A missing end is where a first write creates the file.
        if (!found && errno != ENOENT)
            return false;
        if (!found || !S_ISLNK(st.st_mode)) {
            const std::size_t length = std::strlen(current);
            if (length >= capacity)
                return false;
            std::memcpy(out, current, length + 1);
            return true;
        }
        char link[kOsPathCapacity];
        const ssize_t n = ::readlink(current, link, sizeof link - 1);
        if (n <= 0)
            return false;
        link[n] = 0;
        if (link[0] == '/') {
            std::memcpy(current, link, static_cast<std::size_t>(n) + 1);
            continue;
        }
        // A relative link is read from the directory that holds it.
        char* slash = std::strrchr(current, '/');
        const std::size_t keep = slash ? static_cast<std::size_t>(slash - current) + 1 : 0;
        if (keep + static_cast<std::size_t>(n) >= sizeof current)
            return false;
        std::memcpy(current + keep, link, static_cast<std::size_t>(n) + 1);
    }
    return false;
}

namespace {

// A new file beside `target` under a name nobody can have planted: created exclusively,
// never through a link.
UniqueHandle createTemporary(const char* target, mode_t mode,
                             char (&name)[kOsPathCapacity]) noexcept {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        struct timespec now;
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const unsigned long salt =
            static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(++counter) << 20);
        const int n = std::snprintf(name, sizeof name, "%s.%ld-%lx~", target,
                                    static_cast<long>(::getpid()), salt);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof name)
            return UniqueHandle();
        UniqueHandle fd(::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd || errno != EEXIST)
            return fd;
    }
    return UniqueHandle();
}

bool writeEverything(int fd, const void* data, std::size_t size) noexcept {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        size -= static_cast<std::size_t>(w);
    }
    return true;
}

// Makes the rename itself durable: the directory entry is on disk, not only the data.
void syncDirectoryOf(const char* path) noexcept {
    char dir[kOsPathCapacity];
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        std::memcpy(dir, ".", 2);
    } else {
        const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
        std::memcpy(dir, path, length);
        dir[length] = 0;
    }
    UniqueHandle fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

} // namespace

bool replaceFileAtomically(const char* path, const void* data, std::size_t size) noexcept {
    char target[kOsPathCapacity];
    if (!linkTarget(path, target, sizeof target))
        return false;
    // The old file, if any, is judged through a descriptor: it must be a regular file
    // this process may write, and it lends the new one its mode and owner.
    struct stat old;
    bool exists = false;
    // Nothing but a regular file is even opened: opening a device can act on it.
    if (::stat(target, &old) == 0 && !S_ISREG(old.st_mode))
        return false;
    {
        UniqueHandle current(
            ::open(target, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (current) {
            if (::fstat(current.get(), &old) != 0 || !S_ISREG(old.st_mode))
                return false;
            exists = true;
        } else if (errno != ENOENT) {
            return false;
        }
    }
    char temp[kOsPathCapacity];
    UniqueHandle fd = createTemporary(target, exists ? 0600 : 0644, temp);
    if (!fd)
        return false;
    bool ok = true;
    if (exists) {
        // The owner first: a change of owner may clear mode bits that are then set again.
        // Only a privileged process may give a file away; others keep what they can.
        struct stat made;
        if (::fstat(fd.get(), &made) == 0 &&
            (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
            ::fchown(fd.get(), old.st_uid, old.st_gid) != 0)
            ::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid);
        ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    }
    ok = ok && writeEverything(fd.get(), data, size) && ::fsync(fd.get()) == 0;
    fd.reset();
    if (!ok || ::rename(temp, target) != 0) {
        ::unlink(temp);
        return false;
    }
    syncDirectoryOf(target);
    return true;
}

void programDirectory(char16_t* out, std::size_t capacity) noexcept {
    if (!out || capacity == 0)
        return;
    out[0] = 0;
    char exe[kOsPathCapacity];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return;
    exe[n] = 0;
    char* slash = std::strrchr(exe, '/');
    if (!slash)
        return;
    *slash = 0;
    for (char* p = exe; *p; ++p)
        if (*p == '/')
            *p = '\\';
    if (utf8ToUtf16(exe, std::strlen(exe), out, capacity) < 0)
        out[0] = 0;
}

} // namespace velnor::platform
