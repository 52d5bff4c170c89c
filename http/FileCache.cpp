#include "http/FileCache.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/TimeConversion.h"

namespace velnor {
namespace {

std::size_t slotOf(const char* path) noexcept {
    std::uint32_t hash = 2166136261u;
    for (const char* p = path; *p != '\0'; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return hash % FileCache::kSlots;
}

std::uint64_t fileTimeOf(const platform::FileStamp& stamp) noexcept {
    return platform::fileTimeFromUnix(stamp.seconds, stamp.nanoseconds);
}

} // namespace

bool FileCache::copyOut(const char* path, const platform::FileRecord& current, char* into,
                        std::size_t capacity) const noexcept {
    if (path == nullptr || current.size > capacity)
        return false;
    std::shared_lock<std::shared_mutex> reading(lock_, std::try_to_lock);
    if (!reading.owns_lock())
        return false;
    const Entry* entry = slots_[slotOf(path)].get();
    if (entry == nullptr || std::strcmp(entry->path, path) != 0 ||
        !platform::sameVersion(entry->version, current))
        return false;
    std::memcpy(into, entry->bytes.get(), std::size_t(current.size));
    return true;
}

bool FileCache::keep(const char* path, const platform::FileRecord& version, const char* bytes,
                     std::uint64_t now) noexcept {
    if (path == nullptr || version.size > kEntryLimit || !version.regular)
        return false;
    const std::size_t pathLength = std::strlen(path);
    if (pathLength >= kPathCapacity)
        return false;
    const std::uint64_t modified = fileTimeOf(version.modified);
    const std::uint64_t changed = fileTimeOf(version.changed);
    const std::uint64_t latest = modified > changed ? modified : changed;
    if (latest + kSettleTime > now)
        return false;

    const auto size = std::size_t(version.size);
    std::unique_ptr<Entry> made(new (std::nothrow) Entry);
    if (!made)
        return false;
    made->bytes.reset(new (std::nothrow) char[size > 0 ? size : 1]);
    if (!made->bytes)
        return false;
    std::memcpy(made->path, path, pathLength + 1);
    made->version = version;
    std::memcpy(made->bytes.get(), bytes, size);

    std::unique_lock<std::shared_mutex> writing(lock_, std::try_to_lock);
    if (!writing.owns_lock())
        return false;
    std::unique_ptr<Entry>& slot = slots_[slotOf(path)];
    const std::size_t replaced = slot ? std::size_t(slot->version.size) : 0;
    if (held_ - replaced + size > budget_)
        return false;
    held_ = held_ - replaced + size;
    // The entry it replaces is freed after the lock is let go, when `made` ends.
    slot.swap(made);
    writing.unlock();
    return true;
}

std::size_t FileCache::bytesHeld() const noexcept {
    std::shared_lock<std::shared_mutex> reading(lock_);
    return held_;
}

FileCache& sharedFileCache() noexcept {
    static FileCache cache;
    return cache;
}

} // namespace velnor
