// The log file the plug-in keeps open from one record to the next. Each record costs one
// stat of the log's path and one write: the stat tells whether the path still names the
// open file (another program may have moved, removed or replaced it since the last
// record) and gives its size for rotation. The file's lock is taken only to rotate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "logplugin/AccessLog.h"
#include "platform/AppendFile.h"

namespace velnor {

class LogFile {
public:
    // Appends one record to the file `path` names now; once the file has grown past
    // `sizeLimit` it is moved to its rotated name and the next record starts a new file.
    // 1 when the whole record is in the log, 0 when nothing of it is. Safe to call from
    // several threads at once.
    int append(const char16_t* path, std::uint32_t sizeLimit, const char* record,
               std::size_t length) noexcept;

private:
    // Takes `path` as the log's path, unless it already is; false when it is unusable.
    bool usePath(const char16_t* path) noexcept;
    void rotate(std::uint32_t sizeLimit) noexcept;

    std::mutex mutex_;
    platform::AppendFile file_;
    char16_t path_[kLogPathArea] = {};
    std::size_t pathUnits_ = 0; // 0 while no path is taken
    // The path as the OS takes it: at most three bytes a unit, and its NUL.
    char osPath_[3 * kLogPathArea] = {};
};

} // namespace velnor
