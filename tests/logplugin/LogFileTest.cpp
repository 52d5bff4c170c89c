// The log file itself, with the interval between two checks of its path in hand: none,
// or longer than any test, so what happens within the interval is certain.
#include "logplugin/LogFile.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kAtOnce = 0;
constexpr std::uint32_t kNotWithinTheTest = 3'600'000;
constexpr std::uint32_t kNoLimit = 0xFFFFFFFF;
constexpr std::size_t kRecordLength = 100;

// Record `n`: "r<n>" padded to a fixed length, one line.
std::string record(int n) {
    std::string text = "r" + std::to_string(n);
    text.resize(kRecordLength - 1, '.');
    return text + "\n";
}

// The record numbers in a file, in file order; none when it does not exist.
std::vector<int> recordsIn(const std::string& path) {
    std::vector<int> numbers;
    const std::string text = test::TempDir::read(path);
    for (std::size_t at = 0; at + kRecordLength <= text.size(); at += kRecordLength)
        numbers.push_back(std::stoi(text.substr(at + 1)));
    EXPECT_EQ(text.size() % kRecordLength, 0u) << path;
    return numbers;
}

class LogFileTest : public ::testing::Test {
protected:
    int append(LogFile& log, int n, std::uint32_t limit = kNoLimit) {
        const std::string text = record(n);
        return log.append(path_.c_str(), limit, text.data(), text.size());
    }

    // True where a log removed while open keeps its name, and every record, until its
    // last handle closes and then is gone with them: what wine does, and nothing tells a
    // writer. Windows itself takes the name at once or marks the file as being deleted.
    bool removedButStillNamed() const {
#ifdef _WIN32
        std::error_code failed;
        return fs::exists(log_, failed);
#else
        return false;
#endif
    }

    test::TempDir dir_;
    const std::string log_ = dir_.file("access_log.txt");
    const std::string aside_ = dir_.file("moved_log.txt");
    const std::u16string path_{log_.begin(), log_.end()};
};

// Another program moves, removes or replaces the log between records 2 and 3; every
// record written since the last check that is not readable where it was written turns up
// at the path, once the log is checked or closed.
TEST_F(LogFileTest, NoRecordIsLeftOnlyInAFileWithoutAName) {
    auto writeOther = [](const std::string& path) {
        std::FILE* other = std::fopen(path.c_str(), "wb"); // no CR before the LF on Windows
        ASSERT_NE(other, nullptr);
        std::fputs(record(90).c_str(), other);
        std::fclose(other);
    };
    const std::string other = dir_.file("other.txt");
    struct Case {
        const char* what;
        std::uint32_t intervalMs;
        int change; // 0 none, 1 moved, 2 removed, 3 renamed over, 4 moved and a fresh file
        std::vector<int> atPath;
        std::vector<int> movedTo;
    };
    const std::vector<Case> cases = {
        {"left alone", kNotWithinTheTest, 0, {1, 2, 3}, {}},
        {"moved, within the interval", kNotWithinTheTest, 1, {}, {1, 2, 3}},
        {"moved, checked", kAtOnce, 1, {3}, {1, 2}},
        {"removed, within the interval", kNotWithinTheTest, 2, {1, 2, 3}, {}},
        {"removed, checked", kAtOnce, 2, {2, 3}, {}},
        {"renamed over, within the interval", kNotWithinTheTest, 3, {90, 1, 2, 3}, {}},
        {"renamed over, checked", kAtOnce, 3, {90, 2, 3}, {}},
        {"moved for a fresh file, within the interval", kNotWithinTheTest, 4, {90}, {1, 2, 3}},
        {"moved for a fresh file, checked", kAtOnce, 4, {90, 3}, {1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(log_);
        fs::remove(aside_);
        {
            auto log = std::make_unique<LogFile>(c.intervalMs);
            ASSERT_EQ(append(*log, 1), 1);
            ASSERT_EQ(append(*log, 2), 1);
            if (c.change == 1 || c.change == 4)
                fs::rename(log_, aside_);
            if (c.change == 2)
                fs::remove(log_);
            if (c.change == 2 && removedButStillNamed())
                continue;
            if (c.change == 3) {
                writeOther(other);
#ifdef _WIN32
                // Windows refuses to put another file in the place of one that is open,
                // unless the renaming program asks for the replacing kind of rename.
                std::error_code refused;
                fs::rename(other, log_, refused);
                if (refused)
                    continue;
#else
                fs::rename(other, log_);
#endif
            }
            if (c.change == 4)
                writeOther(log_);
            ASSERT_EQ(append(*log, 3), 1);
        }
        EXPECT_EQ(recordsIn(log_), c.atPath);
        EXPECT_EQ(fs::exists(aside_), !c.movedTo.empty());
        EXPECT_EQ(recordsIn(aside_), c.movedTo);
    }
}

// A burst within the interval checks the path once per kept area of records, so a log
// removed early in it gets every record back before the log is closed.
TEST_F(LogFileTest, ABurstIsCheckedWhenTheKeptCopyWouldOverflow) {
    constexpr int kRecords = 2 * LogFile::kKeptArea / kRecordLength;
    auto log = std::make_unique<LogFile>(kNotWithinTheTest);
    ASSERT_EQ(append(*log, 0), 1);
    fs::remove(log_);
    if (removedButStillNamed())
        GTEST_SKIP() << "a removed file stays under its name while it is open";
    for (int n = 1; n < kRecords; ++n)
        ASSERT_EQ(append(*log, n), 1);
    const std::vector<int> beforeClosing = recordsIn(log_);
    ASSERT_GT(beforeClosing.size(), kRecords / 4u) << "checked within the burst";
    EXPECT_EQ(beforeClosing.front(), 0);
    log.reset();

    std::vector<int> every;
    for (int n = 0; n < kRecords; ++n)
        every.push_back(n);
    EXPECT_EQ(recordsIn(log_), every);
}

// The size this writer tracks passes the limit before the interval ends; the check then
// finds the file's own size, other writers' records included, and rotates by it.
TEST_F(LogFileTest, RotatesWhenTheTrackedSizePassesTheLimit) {
    const std::string rotated = dir_.file("access_log.tx_");
    const auto limit = static_cast<std::uint32_t>(2 * kRecordLength + kRecordLength / 2);
    struct Case {
        const char* what;
        const char* writers; // record n+1 by writer writers[n]
        std::vector<int> atPath;
        std::vector<int> inRotated;
    };
    const std::vector<Case> cases = {
        {"one writer", "aaaa", {4}, {1, 2, 3}},
        // b rotates at record 4 by the file's size although it wrote only two; a's next
        // record, within its interval, follows its file to the rotated name, and its
        // check then opens the new file.
        {"two writers", "ababaa", {6}, {1, 2, 3, 4, 5}},
        {"under the limit", "aa", {1, 2}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(log_);
        fs::remove(rotated);
        LogFile a(kNotWithinTheTest), b(kNotWithinTheTest);
        int n = 0;
        for (const char* who = c.writers; *who != '\0'; ++who)
            ASSERT_EQ(append(*who == 'a' ? a : b, ++n, limit), 1);
        EXPECT_EQ(recordsIn(log_), c.atPath);
        EXPECT_EQ(recordsIn(rotated), c.inRotated);
    }
}

} // namespace
} // namespace velnor
