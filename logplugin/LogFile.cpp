#include "logplugin/LogFile.h"

#include <cstring>

#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace velnor {
namespace {

// How long a rotation waits while another writer rotates or undoes a write; that takes
// far less, so only a stuck writer makes it give up.
constexpr std::uint32_t kLockLimitMs = 1000;

static_assert(kRecordArea <= LogFile::kKeptArea, "every record fits the kept copy");

} // namespace

LogFile::~LogFile() {
    settle();
}

bool LogFile::usePath(const char16_t* path) noexcept {
    const std::size_t units = logPathLength(path);
    if (units == 0)
        return false;
    if (units == pathUnits_ && std::memcmp(path, path_, units * sizeof(char16_t)) == 0)
        return true;
    if (pathUnits_ != 0)
        settle();
    file_.close();
    keptLength_ = 0;
    keptOrphaned_ = false;
    pathUnits_ = 0;
    if (!platform::toOsPath(path, osPath_, sizeof osPath_))
        return false;
    std::memcpy(path_, path, (units + 1) * sizeof(char16_t));
    pathUnits_ = units;
    return true;
}

bool LogFile::check(std::uint32_t now) noexcept {
    if (file_.isOpen()) {
        std::int64_t size = 0;
        if (file_.isNamedBy(osPath_, size)) {
            trackedSize_ = size;
            keptLength_ = 0;
            checkedAt_ = now;
            return true;
        }
        // A file moved away still shows every record written to it; one without a name
        // shows none, so the kept copy is all that is left of the latest.
        keptOrphaned_ = keptOrphaned_ || !file_.hasName();
        if (!keptOrphaned_)
            keptLength_ = 0;
        file_.close();
    }
    if (!file_.open(osPath_))
        return false;
    trackedSize_ = file_.openedSize();
    if (keptOrphaned_ && keptLength_ > 0 &&
        file_.append(kept_, keptLength_) == platform::AppendResult::Written)
        trackedSize_ += static_cast<std::int64_t>(keptLength_);
    keptOrphaned_ = false;
    keptLength_ = 0;
    checkedAt_ = now;
    return true;
}

void LogFile::settle() noexcept {
    if (keptLength_ > 0 && (file_.isOpen() || keptOrphaned_))
        (void)check(platform::coarseTickCount());
}

int LogFile::append(const char16_t* path, std::uint32_t sizeLimit, const char* record,
                    std::size_t length) noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!usePath(path))
        return 0;
    const std::uint32_t now = platform::coarseTickCount();
    const bool due =
        !file_.isOpen() || now - checkedAt_ >= checkIntervalMs_ || length > kKeptArea - keptLength_;
    if (due && !check(now))
        return 0;
    // A full disk stores part of a record at most, and that part is cut off again: the
    // next record starts on a line of its own.
    const bool written = file_.append(record, length) == platform::AppendResult::Written;
    if (written) {
        trackedSize_ += static_cast<std::int64_t>(length);
        if (length <= kKeptArea - keptLength_) {
            std::memcpy(kept_ + keptLength_, record, length);
            keptLength_ += length;
        }
    }
    // The record that passes the limit stays in the file it was written to; the check
    // tells whether the file the path names is past it too, other writers' records
    // included.
    const auto limit = static_cast<std::int64_t>(sizeLimit);
    if (trackedSize_ > limit && check(now) && trackedSize_ > limit)
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
        // The next record opens the file the path names then; the records kept since the
        // check are in the rotated file.
        file_.close();
        keptLength_ = 0;
        return;
    }
    file_.unlock();
}

} // namespace velnor
