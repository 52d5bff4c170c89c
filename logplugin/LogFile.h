// The log file the plug-in keeps open from one record to the next. A record costs one
// system call, its write; yet other programs may move, remove or replace the log between
// requests, and no record may end up only in a file nobody can see.
//
// - Whether the path still names the open file is checked (one stat) at most every
//   kPathCheckMs, on a coarse monotonic clock read without a system call; at once when the
//   size tracked since the last check (the size seen then plus what this writer wrote
//   since) passes the limit, which the check confirms before the log is rotated; and at
//   once when the kept copy below would overflow, so a burst costs one stat per kKeptArea
//   bytes of records.
// - Every record written since the last check is also kept in a fixed area. A check that
//   finds the open file without any name left (removed, or replaced by a rename over it)
//   appends the kept records to the file the path names now, before the next record: they
//   are then readable exactly once. A file moved away keeps its records, and nothing is
//   copied. Every check empties the area.
// - When the path's new file cannot be opened (directory gone, no permission), the record
//   gives 0, the kept copy waits, and the next record tries again.
// - The log's lock is taken only to rotate or to undo a partial write, so several
//   processes may share one log; a writer sees the others' records at its checks, so a
//   shared log may pass its limit by what they write between two of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "logplugin/AccessLog.h"
#include "platform/AppendFile.h"

namespace velnor {

class LogFile {
public:
    // Longest time between two checks of the path.
    static constexpr std::uint32_t kPathCheckMs = 200;
    // Records written since the last check, kept in memory.
    static constexpr std::size_t kKeptArea = 64 * 1024;

    // `checkIntervalMs` 0 checks the path before every record.
    explicit LogFile(std::uint32_t checkIntervalMs = kPathCheckMs) noexcept
        : checkIntervalMs_(checkIntervalMs) {}
    // Records that still live only in the kept copy go to the file the path names.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends one record to the log `path` names; once the file has grown past
    // `sizeLimit` it is moved to its rotated name and the next record starts a new file.
    // 1 when the whole record is in the log, 0 when nothing of it is. Safe to call from
    // several threads at once.
    int append(const char16_t* path, std::uint32_t sizeLimit, const char* record,
               std::size_t length) noexcept;

private:
    // Takes `path` as the log's path, unless it already is; false when it is unusable.
    bool usePath(const char16_t* path) noexcept;
    // Makes the open file the one the path names, with the kept records where they can be
    // read. False when no file could be opened.
    bool check(std::uint32_t now) noexcept;
    // Checks once more while kept records may have no readable home.
    void settle() noexcept;
    void rotate(std::uint32_t sizeLimit) noexcept;

    std::mutex mutex_;
    platform::AppendFile file_;
    char16_t path_[kLogPathArea] = {};
    std::size_t pathUnits_ = 0; // 0 while no path is taken
    // The path as the OS takes it: at most three bytes a unit, and its NUL.
    char osPath_[3 * kLogPathArea] = {};

    const std::uint32_t checkIntervalMs_;
    std::uint32_t checkedAt_ = 0;
    std::int64_t trackedSize_ = 0;
    // The kept records were in a file that lost its name; they go to the next file opened.
    bool keptOrphaned_ = false;
    std::size_t keptLength_ = 0;
    char kept_[kKeptArea];
};

} // namespace velnor
