// Files and directories, addressed by the server's own paths: 8-bit (UTF-8) or UTF-16
// text in which "\" and "/" both separate names. The OS path is made by turning every
// "\" into "/"; a path too long for the OS (or invalid UTF-16) fails like a missing file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeDirectory = 0x10;
constexpr std::uint32_t kAttributeNormal = 0x80;
constexpr std::uint32_t kInvalidAttributes = 0xFFFFFFFF;

// Whether the file system takes "CGI" and "cgi" for one name: so on Windows, not here.
#ifdef _WIN32
constexpr bool kNamesIgnoreCase = true;
#else
constexpr bool kNamesIgnoreCase = false;
#endif

// A time stamp of a file as the system keeps it, to the nanosecond.
struct FileStamp {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    bool operator==(const FileStamp&) const noexcept = default;
};

// What a lookup of one path tells: attribute bits, last-write time as a file time
// (100 ns units since 1601-01-01 UTC), 64-bit size, the last name of the path, and
// whether it is a regular file (not a directory, FIFO, socket or device), the only kind
// whose reading ends by itself. Device, inode and the two exact stamps identify one
// version of one file: any write, truncation, rename over, link, mode change or touch
// changes at least one of them (the change stamp cannot be set by anyone).
struct FileRecord {
    std::uint32_t attributes = 0;
    std::uint64_t lastWriteTime = 0;
    std::uint64_t size = 0;
    char name[256] = {};
    bool regular = false;
    // The path's last name is a symbolic link (the rest describes what it leads to).
    bool symbolicLink = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    FileStamp modified;
    FileStamp changed;
};

// True when both records describe the same version of the same file.
inline bool sameVersion(const FileRecord& a, const FileRecord& b) noexcept {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified == b.modified && a.changed == b.changed;
}

// Looks one path up. False when it does not exist or cannot be examined.
bool findFile(const char* path, FileRecord& record) noexcept;
bool findFile(const char16_t* path, FileRecord& record) noexcept;

// As findFile, with one call when the last name is no symbolic link: that case is told
// apart (record.symbolicLink), and only then is the link followed with a second call.
bool lookUpName(const char* path, FileRecord& record) noexcept;

// What a path names, in one call and without filling a record.
enum class PathKind { Missing, Directory, Other };
PathKind pathKind(const char* path) noexcept;

// Attribute bits of a path, or kInvalidAttributes.
std::uint32_t fileAttributes(const char* path) noexcept;
std::uint32_t fileAttributes(const char16_t* path) noexcept;

bool isExecutableFile(const char* path) noexcept;

// One open file. Every descriptor is opened close-on-exec.
class File {
public:
    enum class Mode {
        Read,         // must exist and be a regular file; the open itself never waits
        ReadWrite,    // opened or created, not truncated (the log's append cycle)
        WriteReplace, // created or truncated
    };

    File() = default;
    bool open(const char* path, Mode mode) noexcept;
    bool open(const char16_t* path, Mode mode) noexcept;
    // Opens a regular file for reading (Mode::Read) and describes the descriptor in
    // `record`. Without `followLinks` a path whose last name is a symbolic link fails.
    bool openRead(const char* path, bool followLinks, FileRecord& record) noexcept;
    bool isOpen() const noexcept { return fd_.valid(); }
    NativeHandle nativeHandle() const noexcept { return fd_.get(); }
    void close() noexcept { fd_.reset(); }

    // Bytes read (0 at the end), or -1. Interrupted calls are repeated.
    long read(void* buffer, std::size_t size) noexcept;
    // Writes everything; false on any failure.
    bool writeAll(const void* data, std::size_t size) noexcept;
    // Moves to the end; the new offset, or -1.
    std::int64_t seekEnd() noexcept;
    // Size in bytes, or -1.
    std::int64_t size() const noexcept;
    bool sync() noexcept;
    // The last name of the file actually open (links followed), in `out` of `capacity`
    // bytes; false when it cannot be learnt or does not fit.
    bool finalName(char* out, std::size_t capacity) const noexcept;

private:
    UniqueHandle fd_;
};

bool deleteFile(const char16_t* path) noexcept;
// Replaces `to` if it exists, atomically.
bool moveFile(const char16_t* from, const char16_t* to) noexcept;
bool moveFile(const char* from, const char* to) noexcept;
bool createDirectory(const char* path) noexcept;

// The file `path` names once symbolic links are followed to their end, as an OS path in
// `out` (a link to a missing file gives the missing file). False on a loop or error.
bool linkTarget(const char* path, char* out, std::size_t capacity) noexcept;

// Writes `data` to `path` through a temporary file in the same directory, synced and
// then renamed over the old file, so a reader sees the old or the new file, never a
// partial one. A link is written through: the file it names is replaced and the link
// stays. The temporary file has a fresh name and is created exclusively; it takes the
// old file's mode and owner (the owner as far as this process may give it). Fails, and
// changes nothing, when the old file is not a regular file or this process may not write
// it.
bool replaceFileAtomically(const char* path, const void* data, std::size_t size) noexcept;

// Turns a server path into an OS path in `out` (capacity bytes): "\" becomes "/".
// False when it does not fit.
bool toOsPath(const char* path, char* out, std::size_t capacity) noexcept;
bool toOsPath(const char16_t* path, char* out, std::size_t capacity) noexcept;

// The directory of the running executable (from /proc/self/exe), with "\" separators
// and no trailing separator, as UTF-16 in `out` of `capacity` units. Empty on failure
// or when it does not fit.
void programDirectory(char16_t* out, std::size_t capacity) noexcept;

} // namespace velnor::platform
