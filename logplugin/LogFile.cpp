#include "logplugin/LogFile.h"

#include <cstring>

#include "platform/FileSystem.h"

namespace velnor {
namespace {

// How long a rotation waits while another writer rotates or undoes a write; that takes
// far less, so only a stuck writer makes it give up.
constexpr std::uint32_t kLockLimitMs = 1000;

} // namespace

bool LogFile::usePath(const char16_t* path) noexcept {
    const std::size_t units = logPathLength(path);
    if (units == 0)
        return false;
    if (units == pathUnits_ && std::memcmp(path, path_, units * sizeof(char16_t)) == 0)
        return true;
    file_.close();
    pathUnits_ = 0;
    if (!platform::toOsPath(path, osPath_, sizeof osPath_))
        return false;
    std::memcpy(path_, path, (units + 1) * sizeof(char16_t));
    pathUnits_ = units;
    return true;
}

int LogFile::append(const char16_t* path, std::uint32_t sizeLimit, const char* record,
                    std::size_t length) noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!usePath(path))
        return 0;
    // A file moved away since the last record keeps every record written to it and the
    // path gets a new file; a removed one is not written again, so no record goes where
    // nobody can read it.
    std::int64_t size = 0;
    if (!file_.isNamedBy(osPath_, size)) {
        if (!file_.open(osPath_))
            return 0;
        size = file_.openedSize();
    }
    // A full disk stores part of a record at most, and that part is cut off again: the
    // next record starts on a line of its own.
    const bool written = file_.append(record, length) == platform::AppendResult::Written;
    if (written)
        size += static_cast<std::int64_t>(length);
    // The record that passes the limit stays in the file it was written to.
    if (size > static_cast<std::int64_t>(sizeLimit))
        rotate(sizeLimit);
    return written ? 1 : 0;
}

void LogFile::rotate(std::uint32_t sizeLimit) noexcept {
    if (!file_.lock(kLockLimitMs))
        return;
    // Every writer renames only under the file's lock and only the file the path still
    // names, past the limit still, so two writers past the limit at once never move the
    // fresh file of a third over the one just rotated.
    std::int64_t size = 0;
    char16_t rotated[kLogPathArea] = {};
    // The rename replaces an older rotated file in one step. When it fails the log stays
    // where it is and the next record tries again.
    if (file_.isNamedBy(osPath_, size) && size > static_cast<std::int64_t>(sizeLimit) &&
        rotatedLogName(path_, rotated, kLogPathArea) && platform::moveFile(path_, rotated)) {
        // The next record opens the file the path names then.
        file_.close();
        return;
    }
    file_.unlock();
}

} // namespace velnor
