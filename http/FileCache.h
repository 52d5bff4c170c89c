// The bytes of small, settled files, kept between requests so that a hot page is neither
// opened nor read again. Every use is checked against the file record the request's own
// lookup just took: an entry serves only the version of the file it was read from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <shared_mutex>

#include "platform/FileSystem.h"

namespace velnor {

class FileCache {
public:
    static constexpr std::size_t kEntryLimit = 16 * 1024;   // bytes of one file
    static constexpr std::size_t kDefaultBudget = 4u << 20; // bytes of all files
    static constexpr std::size_t kSlots = 1024;
    static constexpr std::size_t kPathCapacity = 260;
    // A version is kept only once both its stamps are this old (file-time units, 100 ns):
    // a write after that always gets a newer stamp, even on a clock that ticks coarsely.
    static constexpr std::uint64_t kSettleTime = 2'000'000; // 200 ms

    explicit FileCache(std::size_t budget = kDefaultBudget) noexcept : budget_(budget) {}
    FileCache(const FileCache&) = delete;
    FileCache& operator=(const FileCache&) = delete;

    // Copies the kept bytes of `path` into `into` (`capacity` bytes) when they were read
    // from the very version `current` describes. False on a miss, and while another
    // worker is changing the cache: nobody ever waits for it.
    bool copyOut(const char* path, const platform::FileRecord& current, char* into,
                 std::size_t capacity) const noexcept;

    // Keeps `version.size` bytes as the content of `path` at `version`. Skipped (false)
    // for a file too large, too freshly changed at `now` (a file time), past the
    // budget, or while the cache is in use by another worker.
    bool keep(const char* path, const platform::FileRecord& version, const char* bytes,
              std::uint64_t now) noexcept;

    std::size_t bytesHeld() const noexcept;

private:
    struct Entry {
        char path[kPathCapacity];
        platform::FileRecord version;
        std::unique_ptr<char[]> bytes;
    };

    const std::size_t budget_;
    mutable std::shared_mutex lock_;
    std::unique_ptr<Entry> slots_[kSlots];
    std::size_t held_ = 0;
};

// The cache every worker of the process shares.
FileCache& sharedFileCache() noexcept;

} // namespace velnor
