// The exclusive right to update one file that others may read at any time.
//
// Updates read the file, change it and put a new file in its place; two of them at once
// would both start from the same old content and one change would be lost. Each holds
// this lock from its read to its rename. The lock is a lock on a companion file,
// "<file>.lock" beside the file that the path's links lead to, because the file itself
// is replaced by every update and a lock on it would guard an inode nobody reads any
// more. Readers never take it: they see the old file or the new one.
#pragma once

#include "platform/UniqueHandle.h"

namespace velnor::platform {

class FileLock {
public:
    FileLock() = default;

    // Takes the lock for `path` (a server path; "\" separates names), creating the lock
    // file when missing. Waits up to `waitMs` for another holder. False when the lock file
    // cannot be made or opened (or is not a regular file), or the wait runs out.
    bool acquire(const char* path, int waitMs = 10000) noexcept;
    bool held() const noexcept { return fd_.valid(); }
    // Closing the descriptor is what gives the lock up, so a holder that dies frees it too.
    void release() noexcept { fd_.reset(); }

private:
    UniqueHandle fd_;
};

} // namespace velnor::platform
