// This system's own file behaviour: sharing, what a read refuses, identity, the append
// log's rotation, atomic replacement and the program's folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/AppendFile.h"
#include "platform/FileSystem.h"
#include "platform/Utf.h"
#include "tests/support/TempDir.h"

using namespace velnor::platform;
using velnor::test::TempDir;

namespace {

bool exists(const std::string& path) {
    return std::filesystem::exists(std::filesystem::path(path));
}

} // namespace

TEST(Win32FileSystem, OpenFilesCanBeRenamedAndDeleted) {
    enum class Action { Rename, Delete };
    const struct {
        File::Mode mode;
        Action action;
    } cases[] = {
        {File::Mode::Read, Action::Rename},         {File::Mode::Read, Action::Delete},
        {File::Mode::ReadWrite, Action::Rename},    {File::Mode::ReadWrite, Action::Delete},
        {File::Mode::WriteReplace, Action::Rename}, {File::Mode::WriteReplace, Action::Delete},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.mode) * 10 + int(c.action));
        TempDir folder;
        const std::string path = folder.write("open.txt", "kept");
        File file;
        ASSERT_TRUE(file.open(path.c_str(), c.mode));
        const auto wide = wideFromUtf8(path.c_str());
        if (c.action == Action::Rename) {
            const auto moved = wideFromUtf8(folder.file("moved.txt").c_str());
            EXPECT_TRUE(moveFile(wide.get(), moved.get()));
            EXPECT_TRUE(exists(folder.file("moved.txt")));
        } else {
            EXPECT_TRUE(deleteFile(wide.get()));
        }
        file.close();
        EXPECT_FALSE(exists(path));
    }
}

TEST(Win32FileSystem, ReadRefusesWhatIsNoRegularFile) {
    TempDir folder;
    std::filesystem::create_directory(folder.file("sub"));
    const std::string cases[] = {folder.file("sub"), "CON", "NUL", "\\\\.\\NUL",
                                 folder.file("missing")};
    for (const std::string& path : cases) {
        SCOPED_TRACE(path);
        File file;
        EXPECT_FALSE(file.open(path.c_str(), File::Mode::Read));
        FileRecord record;
        EXPECT_FALSE(file.openRead(path.c_str(), true, record));
        EXPECT_FALSE(file.isOpen());
    }
}

TEST(Win32FileSystem, OpenReadDescribesTheFileOpened) {
    const std::string contents[] = {"", "hello", std::string(70000, 'x')};
    for (const std::string& content : contents) {
        SCOPED_TRACE(content.size());
        TempDir folder;
        const std::string path = folder.write("Page.HTML", content);
        FileRecord looked;
        FileRecord opened;
        ASSERT_TRUE(lookUpName(path.c_str(), looked));
        File file;
        ASSERT_TRUE(file.openRead(path.c_str(), false, opened));
        EXPECT_TRUE(opened.regular);
        EXPECT_FALSE(looked.symbolicLink);
        EXPECT_EQ(opened.size, content.size());
        EXPECT_STREQ(opened.name, "Page.HTML");
        EXPECT_NE(opened.inode, 0u);
        EXPECT_TRUE(sameVersion(looked, opened));
        // File times count from 1601; this file was written after 2020 began.
        EXPECT_GT(opened.lastWriteTime, 132223104000000000ull);
        char name[64];
        ASSERT_TRUE(file.finalName(name, sizeof name));
        EXPECT_STREQ(name, "Page.HTML");
        file.close();
        // A new file under the old name is another file.
        std::filesystem::remove(path);
        folder.write("Page.HTML", content);
        FileRecord again;
        ASSERT_TRUE(findFile(path.c_str(), again));
        EXPECT_FALSE(sameVersion(again, opened));
    }
}

TEST(Win32FileSystem, AppendFileTellsARotatedFileApart) {
    enum class Then { Stays, RenamedAway, Replaced };
    const struct {
        Then then;
        bool namedByPath;
        bool namedByRotated;
    } cases[] = {
        {Then::Stays, true, false},
        {Then::RenamedAway, false, true},
        {Then::Replaced, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.then));
        TempDir folder;
        const std::string path = folder.write("access.log", "old\n");
        const std::string rotated = folder.file("access.1");
        AppendFile log;
        ASSERT_TRUE(log.open(path.c_str()));
        EXPECT_EQ(log.openedSize(), 4);
        EXPECT_EQ(log.append("one\n", 4), AppendResult::Written);
        if (c.then != Then::Stays) {
            EXPECT_TRUE(moveFile(path.c_str(), rotated.c_str()));
        }
        if (c.then == Then::Replaced)
            folder.write("access.log", "");
        EXPECT_EQ(log.append("two\n", 4), AppendResult::Written);
        std::int64_t size = -1;
        EXPECT_EQ(log.isNamedBy(path.c_str(), size), c.namedByPath);
        EXPECT_EQ(log.isNamedBy(rotated.c_str(), size), c.namedByRotated);
        EXPECT_EQ(size, 12); // both names lead to the one file of three records
        EXPECT_TRUE(log.hasName());
        // One writer's lock keeps out another's, and the other waits no longer than asked.
        AppendFile other;
        ASSERT_TRUE(other.open(c.then == Then::Stays ? path.c_str() : rotated.c_str()));
        ASSERT_TRUE(log.lock(100));
        EXPECT_FALSE(other.lock(20));
        EXPECT_EQ(other.append("three\n", 6), AppendResult::Written);
        log.unlock();
        EXPECT_TRUE(other.lock(20));
        log.close();
        other.close();
        EXPECT_EQ(TempDir::read(c.then == Then::Stays ? path : rotated), "old\none\ntwo\nthree\n");
    }
}

TEST(Win32FileSystem, ReplaceFileAtomically) {
    enum class Before { Missing, File, HeldOpen, Folder };
    const struct {
        Before before;
        const char* bytes;
    } cases[] = {
        {Before::File, "new settings"},   {Before::Missing, "first settings"}, {Before::File, ""},
        {Before::HeldOpen, "while read"}, {Before::Folder, "into a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        TempDir folder;
        const std::string path = folder.file("settings.ini");
        if (c.before == Before::Folder)
            std::filesystem::create_directory(path);
        else if (c.before != Before::Missing)
            folder.write("settings.ini", "old settings");
        File reader;
        if (c.before == Before::HeldOpen) {
            ASSERT_TRUE(reader.open(path.c_str(), File::Mode::Read));
        }
        const bool replaced = replaceFileAtomically(path.c_str(), c.bytes, std::strlen(c.bytes));
        // Held open, the old file may refuse its place (older systems do): then it is whole.
        if (c.before == Before::Folder) {
            EXPECT_FALSE(replaced);
        } else if (c.before == Before::HeldOpen && !replaced) {
            EXPECT_EQ(TempDir::read(path), "old settings");
        } else {
            EXPECT_TRUE(replaced);
            EXPECT_EQ(TempDir::read(path), c.bytes);
        }
        char buffer[32] = {};
        if (c.before == Before::HeldOpen) {
            EXPECT_EQ(reader.read(buffer, sizeof buffer), 12); // the old file, whole
        }
        reader.close();
        int others = 0;
        for (const auto& entry : std::filesystem::directory_iterator(folder.file("")))
            others += entry.path().filename() == "settings.ini" ? 0 : 1;
        EXPECT_EQ(others, 0) << "a temporary was left behind";
    }
}

TEST(Win32FileSystem, ProgramDirectoryEndsWithoutSeparator) {
    const std::size_t capacities[] = {4096, 4};
    for (const std::size_t capacity : capacities) {
        SCOPED_TRACE(capacity);
        char16_t directory[4096] = {u'x'};
        programDirectory(directory, capacity);
        const std::size_t length = wideLength(directory);
        if (capacity < 8) {
            EXPECT_EQ(length, 0u); // does not fit: empty, never cut short
            continue;
        }
        ASSERT_GT(length, 0u);
        EXPECT_NE(directory[length - 1], u'\\');
        EXPECT_NE(directory[length - 1], u'/');
        FileRecord record;
        ASSERT_TRUE(findFile(directory, record));
        EXPECT_NE(record.attributes & kAttributeDirectory, 0u);
    }
}
