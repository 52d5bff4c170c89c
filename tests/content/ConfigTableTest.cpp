#include "content/ConfigTable.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Utf.h"

namespace velnor {
namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

Entries walk(TextTable& table) {
    Entries out;
    table.rewind();
    for (char* e = table.current(); e && *e; e = table.next())
        out.emplace_back(e, table.currentValue());
    return out;
}

class ConfigTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("velnor-config-" + std::string(info->name()) + "-" + std::to_string(random()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path write(const std::string& name, const std::string& bytes) {
        const fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    static void load(ConfigTable& table, const fs::path& path) {
        const auto wide = platform::wideFromUtf8(path.string().c_str());
        ASSERT_NE(wide, nullptr);
        table.loadFile(wide.get());
    }

    Entries loadText(const std::string& bytes) {
        ConfigTable table;
        load(table, write("table.txt", bytes));
        return walk(table);
    }

    fs::path dir_;
};

TEST_F(ConfigTableTest, LineRules) {
    struct Case {
        std::string text;
        Entries expected;
    };
    const Case cases[] = {
        // A comment, a name with two blanks before a value with a trailing blank, and a
        // line without a blank.
        {"# comment\n.xyz  text/x-y z \n.abc\n", {{".xyz", "text/x-y z "}}},
        {"a 1\r\nb 2\nc 3\rd 4", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}},
        {"\n\r\n\r\r\n\na 1\n\n\r", {{"a", "1"}}},
        {"a\t \t x\ty \t\n", {{"a", "x\ty \t"}}},
        {"a \nb\t\t\r\n", {{"a", ""}, {"b", ""}}},
        {" a 1\n\tb 2\nc 3", {{"c", "3"}}},
        {"a #1\n#b 2\n #c 3\n", {{"a", "#1"}}},
        {"a 1\nb 2\na 3\n", {{"b", "2"}, {"a", "3"}}},
        {"A 1\na 2\n", {{"A", "1"}, {"a", "2"}}},
        {std::string("a 1\nb 2\0c 3\n", 12), {{"a", "1"}, {"b", "2"}}},
        {std::string("\0a 1\n", 5), {}},
        {"404 \\errors\\404.htm\n500\t\\errors\\500.htm\r\n",
         {{"404", "\\errors\\404.htm"}, {"500", "\\errors\\500.htm"}}},
        {"#\n#\r\n", {}},
        {"   \n\t\n", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(loadText(c.text), c.expected) << "text: " << c.text;
}

TEST_F(ConfigTableTest, LinesAndFilesLongerThanOneRead) {
    std::string text;
    Entries expected;
    const std::string longValue(1300, 'x');
    text += "long " + longValue + "\r\n";
    expected.emplace_back("long", longValue);
    for (int i = 0; i < 400; ++i) {
        const std::string name = ".s" + std::to_string(i);
        text += name + "\ttype/" + std::to_string(i) + "\n";
        expected.emplace_back(name, "type/" + std::to_string(i));
    }
    ASSERT_GT(text.size(), 5000u);
    EXPECT_EQ(loadText(text), expected);
}

TEST_F(ConfigTableTest, MissingEmptyOrUnreadableFileAddsNothing) {
    ConfigTable table;
    table.add("kept", "1");
    load(table, dir_ / "missing.txt");
    load(table, write("empty.txt", ""));
    load(table, dir_); // a directory opens but cannot be read
    table.loadFile(nullptr);
    EXPECT_EQ(walk(table), (Entries{{"kept", "1"}}));
    // A file adds to what is there, replacing same-named entries.
    load(table, write("more.txt", "kept new\nc 3\n"));
    EXPECT_EQ(walk(table), (Entries{{"kept", "new"}, {"c", "3"}}));
}

TEST_F(ConfigTableTest, LookupIgnoresCaseAndLeavesTheCursorAlone) {
    ConfigTable table;
    load(table, write("types.txt", ".HTM text/html\n.htm text/other\n.gif image/gif\n"));
    table.find(".gif");
    char* cursor = table.current();
    ASSERT_NE(cursor, nullptr);
    const ConfigTable& shared = table;
    EXPECT_STREQ(shared.lookupNoCase(".htm"), "text/html"); // first in table order
    EXPECT_STREQ(shared.lookupNoCase(".GIF"), "image/gif");
    EXPECT_EQ(shared.lookupNoCase(".png"), nullptr);
    EXPECT_EQ(shared.lookupNoCase(nullptr), nullptr);
    EXPECT_EQ(table.current(), cursor);

    ConfigTable empty;
    EXPECT_EQ(empty.lookupNoCase(".htm"), nullptr);
}

TEST_F(ConfigTableTest, ArbitraryBytesNeverBreakTheTable) {
    std::mt19937 random(12345);
    const char alphabet[] = {'a', 'B', ' ', '\t', '\r', '\n', '#', '\0', '\x80', '\xFF', 'z'};
    for (int round = 0; round < 40; ++round) {
        std::string text(static_cast<std::size_t>(random() % 3000), '\0');
        for (char& c : text)
            c = alphabet[random() % sizeof alphabet];
        ConfigTable table;
        load(table, write("junk.txt", text));
        std::size_t used = 0;
        for (const auto& [name, value] : walk(table)) {
            ASSERT_FALSE(name.empty());
            ASSERT_EQ(name.find_first_of(" \t\r\n"), std::string::npos);
            ASSERT_NE(name[0], '#');
            ASSERT_EQ(value.find_first_of("\r\n"), std::string::npos);
            used += name.size() + value.size() + 2;
        }
        ASSERT_EQ(used, table.usedLength());
    }
}

} // namespace
} // namespace velnor
