#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "platform/FileSystem.h"
#include "platform/Utf.h"
#include "tests/support/TempDir.h"

using namespace velnor::platform;
using velnor::test::TempDir;

namespace {

std::string backslashed(std::string path) {
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

} // namespace

TEST(FileSystem, LooksUpFilesAndDirectoriesThroughEitherSeparator) {
    TempDir dir;
    dir.write("page.html", "hello");
    FileRecord record;
    ASSERT_TRUE(findFile(backslashed(dir.file("page.html")).c_str(), record));
    EXPECT_EQ(record.size, 5u);
    EXPECT_STREQ(record.name, "page.html");
    EXPECT_EQ(record.attributes & kAttributeDirectory, 0u);
    EXPECT_GT(record.lastWriteTime, 116444736000000000ull); // after 1970
    EXPECT_EQ(fileAttributes(dir.path().c_str()) & kAttributeDirectory, kAttributeDirectory);
    EXPECT_EQ(fileAttributes(dir.file("missing").c_str()), kInvalidAttributes);
    auto wide = wideFromUtf8(dir.file("page.html").c_str());
    EXPECT_TRUE(findFile(wide.get(), record));
}

TEST(FileSystem, SizesAreSixtyFourBit) {
    TempDir dir;
    std::string big = dir.file("sparse");
    dir.write("sparse", "");
    std::filesystem::resize_file(big, 5ull << 30); // sparse: no real disk use
    FileRecord record;
    ASSERT_TRUE(findFile(big.c_str(), record));
    EXPECT_EQ(record.size, 5ull << 30);
}

TEST(FileSystem, PathsTooLongForTheSystemAreNotFound) {
    std::string path(5000, 'a');
    FileRecord record;
    EXPECT_FALSE(findFile(path.c_str(), record));
    char out[8];
    EXPECT_FALSE(toOsPath("\\abcdefgh", out, sizeof out));
    EXPECT_TRUE(toOsPath("\\a\\b", out, sizeof out));
    EXPECT_STREQ(out, "/a/b");
}

TEST(FileSystem, FilesReadWriteAndAreCloseOnExec) {
    TempDir dir;
    File file;
    ASSERT_FALSE(file.open(dir.file("none").c_str(), File::Mode::Read));
    ASSERT_TRUE(file.open(dir.file("log").c_str(), File::Mode::ReadWrite));
    EXPECT_TRUE(file.writeAll("abc", 3));
    EXPECT_EQ(file.seekEnd(), 3);
    EXPECT_TRUE(file.writeAll("de", 2));
    EXPECT_EQ(file.size(), 5);
    file.close();
    EXPECT_EQ(TempDir::read(dir.file("log")), "abcde");
    ASSERT_TRUE(file.open(dir.file("log").c_str(), File::Mode::Read));
    char buf[8] = {};
    EXPECT_EQ(file.read(buf, sizeof buf), 5);
    EXPECT_EQ(file.read(buf, sizeof buf), 0);
    struct stat st;
    ASSERT_EQ(fstat(file.nativeHandle(), &st), 0);
    EXPECT_NE(fcntl(file.nativeHandle(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(FileSystem, AtomicReplaceLeavesNoTemporaryAndKeepsOldFileOnFailure) {
    TempDir dir;
    std::string target = dir.write("hive.reg", "old");
    ASSERT_TRUE(replaceFileAtomically(target.c_str(), "new contents", 12));
    EXPECT_EQ(TempDir::read(target), "new contents");
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        entries += e.is_regular_file();
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(replaceFileAtomically(dir.file("no/such/dir/x").c_str(), "x", 1));
}

TEST(FileSystem, MovesAndDeletes) {
    TempDir dir;
    dir.write("a", "1");
    dir.write("b", "2");
    auto a = wideFromUtf8(dir.file("a").c_str());
    auto b = wideFromUtf8(dir.file("b").c_str());
    EXPECT_TRUE(moveFile(a.get(), b.get())); // replaces
    EXPECT_EQ(TempDir::read(dir.file("b")), "1");
    EXPECT_TRUE(deleteFile(b.get()));
    EXPECT_FALSE(deleteFile(b.get()));
    EXPECT_TRUE(createDirectory(dir.file("sub").c_str()));
    EXPECT_FALSE(createDirectory(dir.file("sub").c_str()));
}

TEST(FileSystem, ProgramDirectoryIsTheExecutablesFolderWithBackslashes) {
    char16_t out[1024];
    programDirectory(out, 1024);
    auto narrow = utf8FromWide(out);
    ASSERT_TRUE(narrow);
    std::string expected = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(std::string(narrow.get()), backslashed(expected));
    char16_t tiny[4];
    programDirectory(tiny, 4);
    EXPECT_EQ(tiny[0], 0);
}

// Only regular files are read: the lookup says which entries are, and an open for reading
// refuses every other kind at once (a FIFO without a writer would otherwise hold it).
TEST(FileSystem, ReadsOnlyRegularFiles) {
    TempDir dir;
    dir.write("plain", "p");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink(dir.file("plain"), dir.file("link"));
    const struct {
        std::string path;
        bool regular;
    } cases[] = {
        {dir.file("plain"), true}, {dir.file("link"), true}, {dir.file("fifo"), false},
        {dir.file("sub"), false},  {"/dev/null", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        FileRecord record;
        ASSERT_TRUE(findFile(backslashed(c.path).c_str(), record));
        EXPECT_EQ(record.regular, c.regular);
        File file;
        EXPECT_EQ(file.open(c.path.c_str(), File::Mode::Read), c.regular);
    }
}

TEST(FileSystem, FinalNameIsTheFileActuallyOpened) {
    TempDir dir;
    dir.write("access.cha", "u:p");
    std::filesystem::create_symlink(dir.file("access.cha"), dir.file("peek.txt"));
    File file;
    ASSERT_TRUE(file.open(dir.file("peek.txt").c_str(), File::Mode::Read));
    char name[16];
    ASSERT_TRUE(file.finalName(name, sizeof name));
    EXPECT_STREQ(name, "access.cha");
    char tiny[10];
    EXPECT_FALSE(file.finalName(tiny, sizeof tiny)); // "access.cha" needs 11 bytes
    EXPECT_FALSE(File().finalName(name, sizeof name));
}
