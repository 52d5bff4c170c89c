// The small-file cache serves a file's bytes only for the version they were read from.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "http/FileCache.h"
#include "platform/FileSystem.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Far past any stamp a test file can carry, so only the version decides.
constexpr std::uint64_t kLater = ~std::uint64_t(0) / 2;

platform::FileRecord recordOf(const std::string& path) {
    platform::FileRecord record;
    EXPECT_TRUE(platform::lookUpName(path.c_str(), record)) << path;
    return record;
}

TEST(FileCache, ServesOnlyTheVersionItWasReadFrom) {
    struct Case {
        const char* what;
        std::function<void(const TempDir&, const std::string&)> change;
        bool served;
    };
    const std::vector<Case> cases = {
        {"unchanged", [](const TempDir&, const std::string&) {}, true},
        {"same size, new bytes",
         [](const TempDir& dir, const std::string&) { dir.write("page.txt", "TWO!"); }, false},
        {"renamed over",
         [](const TempDir& dir, const std::string& path) {
             fs::rename(dir.write("next.txt", "one!"), path);
         },
         false},
        {"touched",
         [](const TempDir&, const std::string& path) {
             fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(7));
         },
         false},
        {"mode changed",
         [](const TempDir&, const std::string& path) {
             fs::permissions(path, fs::perms::owner_read);
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.write("page.txt", "one!");
        // An old modification time: a rewrite within the same clock tick still differs.
        fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(48));
        FileCache cache;
        ASSERT_TRUE(cache.keep(path.c_str(), recordOf(path), "one!", kLater));
        c.change(dir, path);
        char out[16] = {};
        EXPECT_EQ(cache.copyOut(path.c_str(), recordOf(path), out, sizeof out), c.served);
        if (c.served) {
            EXPECT_EQ(std::string(out, 4), "one!");
        }
    }
}

TEST(FileCache, KeepsOnlySettledSmallFilesWithinItsBudget) {
    TempDir dir;
    const std::string path = dir.write("page.txt", "bytes");
    const platform::FileRecord record = recordOf(path);
    const std::string big(FileCache::kEntryLimit + 1, 'x');
    platform::FileRecord bigRecord = record;
    bigRecord.size = big.size();
    const std::uint64_t stamp =
        record.lastWriteTime > 0 ? record.lastWriteTime : FileCache::kSettleTime;

    struct Case {
        const char* what;
        std::size_t budget;
        const platform::FileRecord* version;
        std::uint64_t now;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"settled", 1024, &record, kLater, true},
        {"changed a moment ago", 1024, &record, stamp, false},
        {"past the budget", 4, &record, kLater, false},
        {"larger than an entry", 1u << 20, &bigRecord, kLater, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FileCache cache(c.budget);
        EXPECT_EQ(cache.keep(path.c_str(), *c.version, big.data(), c.now), c.kept);
        EXPECT_EQ(cache.bytesHeld(), c.kept ? std::size_t(c.version->size) : 0u);
    }
}

} // namespace
} // namespace velnor
