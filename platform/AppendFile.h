// A file that several writers, threads or processes, extend at once: the access log. Every
// write lands at the end of the file as it is at that moment, a writer that holds the
// file's lock can tell whether the path still names the file it has open, and a write
// that stores only part of its bytes is taken back, so the file holds whole records only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UniqueFd.h"

namespace velnor::platform {

enum class AppendResult {
    Written, // every byte, in one write
    Undone,  // part was stored (a full disk, a file size limit) and cut off again
    Failed,  // nothing was stored, or a part could not be cut off
};

class AppendFile {
public:
    // Opens `path` (server path, "\" or "/") for appending, creating it with mode 0644;
    // close-on-exec. A FIFO named by the path never holds the open. False on failure.
    bool open(const char16_t* path) noexcept;
    bool isOpen() const noexcept { return fd_.valid(); }
    // Also gives up the lock.
    void close() noexcept { fd_.reset(); }

    // Takes the exclusive lock that every writer through this class takes, waiting at
    // most `limitMs`. The lock belongs to this open file, so two threads of one process
    // exclude each other as two processes do. Released by close().
    bool lock(std::uint32_t limitMs) noexcept;

    // True when `path` names the very file that is open (same device and inode): false
    // once it has been renamed away, removed, or replaced by a fresh file.
    bool isNamedBy(const char16_t* path) const noexcept;

    // Appends `size` bytes with one write. A partial write is undone by cutting the file
    // back to where the write began; with the lock held no other writer's bytes can lie
    // behind it.
    AppendResult append(const void* data, std::size_t size) noexcept;

    // Size in bytes, or -1.
    std::int64_t size() const noexcept;

private:
    UniqueFd fd_;
};

} // namespace velnor::platform
