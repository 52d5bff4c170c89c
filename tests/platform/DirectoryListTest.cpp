#include "platform/DirectoryList.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace velnor::platform {
namespace {

namespace fs = std::filesystem;

bool collect(const char* name, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(name);
    return true;
}

bool stopAtFirst(const char* name, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(name);
    return false;
}

TEST(DirectoryListTest, RegularFilesWithTheSuffixInAnyCase) {
    test::TempDir dir;
    dir.write("a.mod", "");
    dir.write("B.MOD", "");
    dir.write("c.mod.txt", "");
    dir.write("mod", "");
    fs::create_directory(dir.path() / "d.mod");
    std::vector<std::string> expected{"B.MOD", "a.mod"};
#ifndef _WIN32
    // Symbolic links need a privilege on Windows, and wine cannot make them at all.
    fs::create_symlink(dir.path() / "a.mod", dir.path() / "link.mod");
    fs::create_symlink(dir.path() / "missing", dir.path() / "dangling.mod");
    expected.push_back("link.mod");
#endif

    std::vector<std::string> names;
    ASSERT_TRUE(listFiles(dir.path().string().c_str(), ".mod", collect, &names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
}

TEST(DirectoryListTest, BackslashPathsAndEarlyStop) {
    test::TempDir dir;
    dir.write("one.mod", "");
    dir.write("two.mod", "");
    std::string path = dir.path().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    const std::u16string wide(path.begin(), path.end()); // the temporary path is ASCII
    std::vector<std::string> names;
    ASSERT_TRUE(listFiles(wide.c_str(), ".mod", stopAtFirst, &names));
    EXPECT_EQ(names.size(), 1u);
}

TEST(DirectoryListTest, MissingDirectoryOrFileFails) {
    test::TempDir dir;
    const std::string file = dir.write("plain.mod", "");
    std::vector<std::string> names;
    EXPECT_FALSE(listFiles(dir.file("absent").c_str(), ".mod", collect, &names));
    EXPECT_FALSE(listFiles(file.c_str(), ".mod", collect, &names));
    EXPECT_FALSE(listFiles(static_cast<const char*>(nullptr), ".mod", collect, &names));
    EXPECT_TRUE(names.empty());
}

} // namespace
} // namespace velnor::platform
