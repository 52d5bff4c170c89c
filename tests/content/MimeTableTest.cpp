#include "content/MimeTable.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Utf.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;

// The server's form of a directory: "\" separators.
std::string serverForm(const fs::path& path) {
    std::string text = path.string();
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

std::u16string wide(const std::string& text) {
    const auto converted = platform::wideFromUtf8(text.c_str());
    return converted ? std::u16string(converted.get()) : std::u16string();
}

std::vector<std::pair<std::string, std::string>> entriesOf(MimeTable& table) {
    std::vector<std::pair<std::string, std::string>> out;
    table.rewind();
    for (char* e = table.current(); e && *e; e = table.next())
        out.emplace_back(e, table.currentValue());
    return out;
}

TEST(MimeTableTest, TypeOfResolvedPaths) {
    MimeTable table;
    const std::pair<const char*, const char*> cases[] = {
        {"\\docs\\report.PDF", "application/pdf"},
        {"\\docs\\page.Html", "text/html"},
        {"\\docs\\README", "application/octet-stream"},
        {"\\docs\\archive.tar.gz", "application/octet-stream"}, // the key is .gz
        {"\\docs\\old.lzh", "application/octed-stream"},
        {"\\docs\\pic.bmp", "image/bitmap"},
        {"\\docs\\app.ls", "application/x-javascript"},
        // The dot of a directory name never lends its suffix to a file without one.
        {"\\site.html\\README", "application/octet-stream"},
        {"/site.html/README", "application/octet-stream"},
        {"html", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& [path, type] : cases)
        EXPECT_STREQ(table.contentType(suffixKey(path)), type) << path;
    EXPECT_STREQ(table.contentType(nullptr), MimeTable::kDefaultType);
}

TEST(MimeTableTest, BuiltInsInOrderWithoutAnyFiles) {
    test::TempDir dir;
    MimeTable table;
    table.build(wide(serverForm(dir.path())).c_str());
    const auto entries = entriesOf(table);
    ASSERT_EQ(entries.size(), 24u);
    EXPECT_EQ(entries.front(), std::make_pair(std::string(".html"), std::string("text/html")));
    EXPECT_EQ(entries[7],
              std::make_pair(std::string(".lzh"), std::string("application/octed-stream")));
    EXPECT_EQ(entries.back(),
              std::make_pair(std::string(".swf"), std::string("application/x-shockwave-flash")));
}

TEST(MimeTableTest, AddTypeExtendsAndOverridesBySpelling) {
    test::TempDir dir;
    dir.write("AddType.txt", "# operator types\n"
                             ".svg image/svg+xml\n"
                             ".txt\ttext/html\r\n"
                             ".HTML text/plain\n"
                             ".noblank\n"
                             ".q \\opt\\handlers\\q.mod\n");
    MimeTable table;
    table.build(wide(serverForm(dir.path())).c_str());
    EXPECT_STREQ(table.contentType(".svg"), "image/svg+xml");
    EXPECT_STREQ(table.contentType(".txt"), "text/html");
    // Another spelling stands after the built-in, which keeps winning.
    EXPECT_STREQ(table.contentType(".html"), "text/html");
    EXPECT_STREQ(table.contentType(".HTML"), "text/html");
    EXPECT_STREQ(table.contentType(".noblank"), MimeTable::kDefaultType);
    // A value with a leading "\" names a handler module just as a ".mod" file does.
    EXPECT_STREQ(table.contentType(".q"), "\\opt\\handlers\\q.mod");
}

TEST(MimeTableTest, HandlerModulesTakeOverTheirSuffix) {
    test::TempDir dir;
    dir.write("x.mod", "");
    dir.write("a.b.mod", "");
    dir.write("html.MOD", "");
    dir.write(".mod", "");
    dir.write("notes.txt", "");
    dir.write("AddType.txt", ".x text/x\n");
    fs::create_directory(dir.path() / "dir.mod");
    const std::string directory = serverForm(dir.path());
    MimeTable table;
    table.build(wide(directory).c_str());

    EXPECT_EQ(std::string(table.contentType(".x")), directory + "\\x.mod");
    EXPECT_EQ(std::string(table.contentType(".a")), directory + "\\a.b.mod");
    // Modules come last, so one spelled like a built-in overrides it.
    EXPECT_EQ(std::string(table.contentType(suffixKey("\\w\\index.html"))),
              directory + "\\html.MOD");
    EXPECT_STREQ(table.contentType("."), MimeTable::kDefaultType);
    EXPECT_STREQ(table.contentType(".dir"), MimeTable::kDefaultType);
    EXPECT_STREQ(table.contentType(".notes"), MimeTable::kDefaultType);
    // .x and .html were replaced, .a is new.
    EXPECT_EQ(entriesOf(table).size(), 24u + 2u);
}

TEST(MimeTableTest, ModuleDirectoryWrittenWithSlashesStillMarksModules) {
    test::TempDir dir;
    dir.write("x.mod", "");
    MimeTable table;
    table.registerModules(wide(dir.path().string()).c_str()); // no trailing separator
    EXPECT_EQ(std::string(table.contentType(".x")), serverForm(dir.path()) + "\\x.mod");
}

// `lead` followed by `count` letters. Built by appending: GCC 12 at -O3 takes
// "literal" + std::string(n, c) for an overlapping copy and warns.
std::string padded(const char* lead, std::size_t count) {
    std::string text = lead;
    text.append(count, 'a');
    return text;
}

TEST(MimeTableTest, ModulePathsPastTheAreaAreLeftOut) {
    test::TempDir dir;
    const std::string directory = serverForm(dir.path()) + "\\";
    // The longest name that still fits the 260-byte value, and one byte more.
    const std::size_t fits = 259 - directory.size();
    ASSERT_LT(fits, 250u);
    dir.write(padded("f", fits - 5) + ".mod", "");
    dir.write(padded("g", fits - 4) + ".mod", "");
    MimeTable table;
    table.registerModules(wide(directory).c_str());
    const std::string fitting = table.contentType(padded(".f", fits - 5).c_str());
    EXPECT_EQ(fitting.size(), 259u);
    EXPECT_STREQ(table.contentType(padded(".g", fits - 4).c_str()), MimeTable::kDefaultType);
}

TEST(MimeTableTest, MissingDirectoryRegistersNothing) {
    MimeTable table;
    table.registerModules(u"\\no\\such\\velnor\\directory\\");
    table.registerModules(nullptr);
    table.build(nullptr);
    EXPECT_EQ(entriesOf(table).size(), 24u);
}

} // namespace
} // namespace velnor
