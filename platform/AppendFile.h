// A file that several writers, threads or processes, extend at once: the access log. It
// stays open between records; every write lands at the end of the file as it is at that
// moment, a writer can tell whether a path still names the file it has open, and a write
// that stores only part of its bytes is taken back, so the file holds whole records only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

enum class AppendResult {
    Written, // every byte, in one write
    Undone,  // part was stored (a full disk, a file size limit) and cut off again
    Failed,  // nothing was stored, or a part could not be cut off
};

class AppendFile {
public:
    // Opens the OS path `path` for appending, creating it with mode 0644; close-on-exec.
    // A FIFO named by the path never holds the open. Closes the file open before, if
    // any. Notes which file was opened and its size then. False on failure.
    bool open(const char* path) noexcept;
    bool isOpen() const noexcept { return fd_.valid(); }
    // Also gives up the lock.
    void close() noexcept { fd_.reset(); }

    // The size when open() succeeded.
    std::int64_t openedSize() const noexcept { return openedSize_; }

    // True when the OS path `path` names the very file that is open (same device and
    // inode), with that file's size in `size`: false once it has been renamed away,
    // removed, or replaced by a fresh file. One stat of the path.
    bool isNamedBy(const char* path, std::int64_t& size) const noexcept;

    // False once the open file has no name left anywhere: removed, or replaced by another
    // file renamed over it. What is written to it then nobody can read. One fstat.
    bool hasName() const noexcept;

    // Takes the exclusive lock that every writer through this class takes to rotate the
    // file or to undo a write, waiting at most `limitMs`. The lock belongs to this open
    // file, so two threads of one process exclude each other as two processes do.
    bool lock(std::uint32_t limitMs) noexcept;
    void unlock() noexcept;

    // Appends `size` bytes with one write, without the lock. A partial write is undone
    // under the lock by cutting the file back to where the write began, but only while
    // the file still ends with those bytes: another writer's record behind them is never
    // cut away.
    AppendResult append(const void* data, std::size_t size) noexcept;

private:
    UniqueHandle fd_;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    std::int64_t openedSize_ = 0;
};

} // namespace velnor::platform
