#include "content/TextTable.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "content/TableWalk.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The table's entries, walked with the table's own rewind/current/currentValue/next.
Entries walk(TextTable& table) {
    Entries out;
    table.rewind();
    for (char* e = table.current(); e && *e; e = table.next())
        out.emplace_back(e, table.currentValue());
    return out;
}

// The exact bytes of the entries block, the terminating NUL included.
std::string block(const TextTable& table) {
    if (!table.entries())
        return {};
    return std::string(table.entries(), table.usedLength() + 1);
}

TEST(TextTableTest, NewTableHasNothing) {
    TextTable table;
    table.rewind();
    EXPECT_EQ(table.current(), nullptr);
    EXPECT_EQ(table.currentValue(), nullptr);
    EXPECT_EQ(table.next(), nullptr);
    EXPECT_EQ(table.find("a"), nullptr);
    EXPECT_EQ(table.findNoCase("a"), nullptr);
    EXPECT_EQ(table.value("a"), nullptr);
    EXPECT_EQ(table.valueNoCase("a"), nullptr);
    EXPECT_EQ(table.entries(), nullptr);
    EXPECT_EQ(table.usedLength(), 0u);
    EXPECT_EQ(table.remove("a"), 0);
}

TEST(TextTableTest, SettingANameAgainMovesItToTheEnd) {
    TextTable table;
    EXPECT_EQ(table.add("a", "1"), 4u);
    EXPECT_EQ(table.add("b", "2"), 4u);
    EXPECT_EQ(table.add("a", "3"), 4u);
    EXPECT_EQ(walk(table), (Entries{{"b", "2"}, {"a", "3"}}));
    EXPECT_STREQ(table.value("a"), "3");
    EXPECT_EQ(table.usedLength(), 8u);
    EXPECT_EQ(block(table), std::string("b\0002\0a\0003\0\0", 9));
    EXPECT_EQ(table.add("name", "longer value"), 4u + 12u + 2u);
}

TEST(TextTableTest, ReplacementIsCaseSensitiveLookupWithoutCaseTakesTheFirst) {
    TextTable table;
    table.add("Host", "x");
    table.add("host", "y");
    EXPECT_EQ(walk(table), (Entries{{"Host", "x"}, {"host", "y"}}));
    EXPECT_STREQ(table.valueNoCase("HOST"), "x");
    EXPECT_STREQ(table.value("host"), "y");
    EXPECT_STREQ(table.value("Host"), "x");
    EXPECT_EQ(table.value("HOST"), nullptr);
    // Only ASCII letters fold: these two names differ in an accented letter's case.
    table.add("\xC3\x89t\xC3\xA9", "upper");
    EXPECT_EQ(table.valueNoCase("\xC3\xA9t\xC3\xA9"), nullptr);
    EXPECT_STREQ(table.valueNoCase("\xC3\x89T\xC3\xA9"), "upper");
}

TEST(TextTableTest, FindLeavesTheCursorAtTheMatch) {
    TextTable table;
    table.add("a", "1");
    table.add("b", "2");
    table.add("c", "3");
    char* b = table.findNoCase("B");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "b");
    EXPECT_EQ(table.current(), b);
    EXPECT_STREQ(table.currentValue(), "2");
    EXPECT_STREQ(table.next(), "c");
    EXPECT_EQ(table.next(), nullptr);
}

TEST(TextTableTest, EmptyValuesAreStoredAndWalked) {
    TextTable table;
    table.add("a", "");
    table.add("b", "2");
    table.add("c", "");
    EXPECT_EQ(walk(table), (Entries{{"a", ""}, {"b", "2"}, {"c", ""}}));
    EXPECT_STREQ(table.value("c"), "");
    EXPECT_EQ(block(table), std::string("a\0\0b\0002\0c\0\0\0", 11));

    // A last entry with an empty value ends the walk with the cursor left on it.
    char* c = table.find("c");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(table.next(), nullptr);
    EXPECT_EQ(table.current(), c);
    EXPECT_EQ(table.next(), nullptr);
    EXPECT_EQ(table.current(), c);
}

TEST(TextTableTest, WalkEndsInsideTheBlockWhenTheBlockIsExactlyFull) {
    // 1 + 1 + 508 + 1 = 511 used bytes: the terminator is the block's last byte, so
    // nothing may read the byte after it.
    TextTable table;
    ASSERT_EQ(table.add("n", std::string(508, 'v').c_str()), 511u);
    table.rewind();
    EXPECT_EQ(table.next(), nullptr);
    ASSERT_NE(table.current(), nullptr);
    EXPECT_EQ(table.current(), table.entries() + 511);
    EXPECT_STREQ(table.currentValue(), "");
    EXPECT_EQ(table.next(), nullptr);
    EXPECT_EQ(table.current(), table.entries() + 511);
    EXPECT_EQ(table.find("m"), nullptr);
    EXPECT_STREQ(table.currentValue(), "");
}

TEST(TextTableTest, RemoveRebuildsTheBlockAndRewinds) {
    struct Case {
        const char* name;
        Entries left;
    };
    const Case cases[] = {
        {"a", {{"b", ""}, {"c", "3"}}},
        {"b", {{"a", "1"}, {"c", "3"}}},
        {"c", {{"a", "1"}, {"b", ""}}},
    };
    for (const Case& c : cases) {
        TextTable table;
        table.add("a", "1");
        table.add("b", "");
        table.add("c", "3");
        EXPECT_EQ(table.remove(c.name), 1) << c.name;
        EXPECT_EQ(table.current(), table.entries());
        EXPECT_EQ(walk(table), c.left) << c.name;
        EXPECT_EQ(table.usedLength(), block(table).size() - 1);
    }
}

TEST(TextTableTest, RemoveOfTheOnlyEntryLeavesNoBlockAndAMissingNameChangesNothing) {
    TextTable table;
    table.add("only", "x");
    EXPECT_EQ(table.remove("ONLY"), 0);
    EXPECT_EQ(table.remove("only"), 1);
    EXPECT_EQ(table.entries(), nullptr);
    EXPECT_EQ(table.usedLength(), 0u);
    EXPECT_EQ(table.current(), nullptr);

    table.add("a", "1");
    table.add("b", "2");
    const std::string before = block(table);
    EXPECT_EQ(table.remove("c"), 0);
    EXPECT_EQ(table.remove(nullptr), 0);
    EXPECT_EQ(block(table), before);
}

TEST(TextTableTest, RefusedNamesAndValuesChangeNothing) {
    TextTable table;
    table.add("a", "1");
    table.rewind();
    char* cursor = table.current();
    const std::string before = block(table);
    EXPECT_EQ(table.add(nullptr, "x"), 0u);
    EXPECT_EQ(table.add("x", nullptr), 0u);
    // An empty name would read as the end of the block and hide what follows.
    EXPECT_EQ(table.add("", "x"), 0u);
    EXPECT_EQ(block(table), before);
    EXPECT_EQ(table.current(), cursor);
    EXPECT_EQ(table.find(""), nullptr);
    EXPECT_EQ(table.find(nullptr), nullptr);
    EXPECT_EQ(table.valueNoCase(nullptr), nullptr);
}

TEST(TextTableTest, AddTakesNameAndValueFromTheTableItself) {
    TextTable table;
    table.add("a", "first");
    table.add("b", "second");
    // Replacing an entry with its own name and another entry's value, and copying an
    // entry under its own value as name: both source strings live in the block that
    // the add replaces or grows.
    ASSERT_EQ(table.add(table.find("a"), table.value("b")), 1u + 6u + 2u);
    ASSERT_EQ(table.add(table.value("b"), table.value("a")), 6u + 6u + 2u);
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(table.add(std::to_string(i).c_str(), table.value("a")), 0u);
    ASSERT_NE(table.add("b", table.value("99")), 0u);
    EXPECT_STREQ(table.value("a"), "second");
    EXPECT_STREQ(table.value("second"), "second");
    EXPECT_STREQ(table.value("b"), "second");
    EXPECT_STREQ(table.value("50"), "second");
}

TEST(TextTableTest, ManyEntriesAcrossGranules) {
    TextTable table;
    std::uint32_t expectedLength = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "name-" + std::to_string(i);
        const std::string value(static_cast<std::size_t>(i % 17), 'v');
        ASSERT_EQ(table.add(name.c_str(), value.c_str()), name.size() + value.size() + 2);
        expectedLength += static_cast<std::uint32_t>(name.size() + value.size() + 2);
    }
    EXPECT_EQ(table.usedLength(), expectedLength);
    EXPECT_EQ(walk(table).size(), 300u);
    EXPECT_STREQ(table.value("name-299"), std::string(299 % 17, 'v').c_str());
    EXPECT_STREQ(table.valueNoCase("NAME-0"), "");
    EXPECT_EQ(table.remove("name-150"), 1);
    EXPECT_EQ(table.value("name-150"), nullptr);
    EXPECT_EQ(walk(table).size(), 299u);
}

TEST(TextTableTest, ClearEmptiesAndTheTableIsReusable) {
    TextTable table;
    table.add("a", "1");
    table.rewind();
    table.clear();
    EXPECT_EQ(table.entries(), nullptr);
    EXPECT_EQ(table.current(), nullptr);
    EXPECT_EQ(table.usedLength(), 0u);
    table.add("b", "2");
    EXPECT_EQ(walk(table), (Entries{{"b", "2"}}));
}

TEST(TextTableTest, FailedGrowthLeavesTheTableAsItWas) {
    // A zero block size makes every growth fail, standing in for exhausted memory.
    TextTable table;
    table.add("a", "1");
    table.add("b", "2");
    const std::string before = block(table);
    table.buffer->blockSize = 0;
    EXPECT_EQ(table.add("c", "3"), 0u);
    EXPECT_EQ(table.add("a", "9"), 0u); // the old entry survives a failed replacement
    EXPECT_EQ(table.remove("a"), 0);
    EXPECT_EQ(block(table), before);
    EXPECT_STREQ(table.value("a"), "1");
    table.buffer->blockSize = ByteBuffer::kDefaultBlockSize;
    EXPECT_EQ(table.add("a", "9"), 4u);
    EXPECT_EQ(walk(table), (Entries{{"b", "2"}, {"a", "9"}}));
}

// A log plug-in's lookup: it gets the table's address only, sees the C form, moves the
// cursor itself and steps with the shared walking code.
const char* pluginLookup(void* headerTable, const char* wanted) {
    auto* table = static_cast<VelnorTextTable*>(headerTable);
    table->cursor = table->buffer->data;
    for (const char* e = firstEntry(table->cursor); e;) {
        if (sameNameNoCase(e, wanted)) {
            table->cursor = const_cast<char*>(e);
            return entryValue(e);
        }
        const char* position = stepFrom(e);
        if (!position)
            return nullptr;
        table->cursor = const_cast<char*>(position);
        e = *position ? position : nullptr;
    }
    return nullptr;
}

TEST(TextTableTest, PluginWalkThroughTheMemoryFormFindsTheSameEntries) {
    TextTable table;
    table.add("request_line", "GET / HTTP/1.1");
    table.add("Host", "example");
    table.add("User-Agent", "");
    table.add("Referer", "http://r/");
    table.add("remote_addr", "10.0.0.1");
    table.add("empty-last", "");

    auto* form = reinterpret_cast<VelnorTextTable*>(&table);
    EXPECT_EQ(form->buffer->data, table.entries());
    EXPECT_EQ(form->buffer->length, table.usedLength());
    EXPECT_EQ(form->buffer->blockSize, 512u);

    const char* names[] = {"REMOTE_ADDR", "user-agent", "referer", "request_line",
                           "host",        "EMPTY-LAST", "missing", "remote_host"};
    for (const char* name : names) {
        const char* expected = table.valueNoCase(name);
        const char* got = pluginLookup(&table, name);
        if (expected) {
            ASSERT_NE(got, nullptr) << name;
            EXPECT_STREQ(got, expected) << name;
            EXPECT_EQ(got, expected) << name; // the same bytes in the server's block
            EXPECT_EQ(table.current(), table.findNoCase(name));
        } else {
            EXPECT_EQ(got, nullptr) << name;
        }
    }
    TextTable empty;
    EXPECT_EQ(pluginLookup(&empty, "host"), nullptr);
}

} // namespace
} // namespace velnor
