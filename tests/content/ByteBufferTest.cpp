#include "content/ByteBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velnor {
namespace {

// Reads every byte of the block as it should be sized (whole 512-byte granules around
// the content and its NUL) and expects the unused part zero. Under AddressSanitizer a
// block smaller than that is reported as an overrun.
void expectZeroTail(const ByteBuffer& buffer, std::size_t expectedBlockBytes) {
    ASSERT_NE(buffer.data, nullptr);
    for (std::size_t i = buffer.length; i < expectedBlockBytes; ++i)
        ASSERT_EQ(buffer.data[i], '\0') << "at " << i;
}

TEST(ByteBufferTest, NewBufferIsEmptyAndRefusesNothingToAppend) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.blockSize, 512u);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.append("abc", 0), 0u);
    EXPECT_EQ(buffer.append(nullptr, 3), 0u);
    EXPECT_EQ(buffer.appendString(nullptr), 0u);
    EXPECT_EQ(buffer.appendString(""), 0u);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.length, 0u);
}

TEST(ByteBufferTest, GrowsInWholeGranulesAroundContentAndNul) {
    struct Case {
        std::vector<std::uint32_t> appends;
        std::size_t blockBytes;
    };
    const Case cases[] = {
        {{1}, 512},         {{511}, 512},       {{511, 1}, 1024},        {{512}, 1024},
        {{1023}, 1024},     {{1024}, 1536},     {{500, 500, 500}, 1536}, {{100, 411}, 512},
        {{100, 412}, 1024}, {{2000, 47}, 2048},
    };
    for (const Case& c : cases) {
        ByteBuffer buffer;
        std::string expected;
        char fill = 'a';
        for (std::uint32_t n : c.appends) {
            const std::string chunk(n, fill++);
            ASSERT_EQ(buffer.append(chunk.data(), n), n);
            expected += chunk;
            ASSERT_EQ(buffer.data[buffer.length], '\0');
        }
        ASSERT_EQ(buffer.length, expected.size());
        EXPECT_EQ(std::string(buffer.data, buffer.length), expected);
        expectZeroTail(buffer, c.blockBytes);
    }
}

TEST(ByteBufferTest, ResetReleasesBlockKeepsBlockSizeAndAllowsReuse) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.append(std::string(700, 'x').data(), 700), 700u);
    buffer.reset();
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.blockSize, 512u);
    EXPECT_TRUE(buffer.isEmpty());
    buffer.reset();
    ASSERT_EQ(buffer.appendString("again"), 5u);
    ASSERT_EQ(buffer.appendString(", more"), 6u);
    EXPECT_STREQ(buffer.data, "again, more");
    expectZeroTail(buffer, 512);
}

TEST(ByteBufferTest, AppendFromItsOwnBlockSurvivesGrowth) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.appendString("0123456789"), 10u);
    std::string expected = "0123456789";
    // Each doubling reallocates the block that the source points into.
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(buffer.append(buffer.data, buffer.length), expected.size());
        expected += expected;
    }
    ASSERT_EQ(buffer.length, expected.size());
    EXPECT_EQ(std::string(buffer.data, buffer.length), expected);

    ByteBuffer pair;
    ASSERT_EQ(pair.appendPair("name", 4, "value", 5), 11u);
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(pair.appendPair(pair.data, 4, pair.data + 5, 5), 11u);
    ASSERT_EQ(pair.length, 61u * 11u);
    for (std::uint32_t at = 0; at < pair.length; at += 11)
        ASSERT_EQ(std::memcmp(pair.data + at, "name\0value\0", 11), 0) << at;
}

TEST(ByteBufferTest, AppendPairWritesBothTextsWithTheirNuls) {
    ByteBuffer buffer;
    EXPECT_EQ(buffer.appendPair("a", 1, "", 0), 3u);
    EXPECT_EQ(buffer.appendPair("bc", 2, "de", 2), 6u);
    EXPECT_EQ(buffer.appendPair(nullptr, 0, "x", 1), 0u);
    EXPECT_EQ(buffer.appendPair("x", 1, nullptr, 0), 0u);
    ASSERT_EQ(buffer.length, 9u);
    EXPECT_EQ(std::memcmp(buffer.data, "a\0\0bc\0de\0\0", 10), 0);
}

TEST(ByteBufferTest, ZeroBlockSizeFailsInsteadOfDividingByZero) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.appendString("kept"), 4u);
    buffer.blockSize = 0;
    EXPECT_EQ(buffer.appendString("more"), 0u);
    EXPECT_EQ(buffer.appendPair("a", 1, "b", 1), 0u);
    EXPECT_STREQ(buffer.data, "kept");
    EXPECT_EQ(buffer.length, 4u);
}

TEST(ByteBufferTest, LengthThatWouldWrapIsRefused) {
    ByteBuffer buffer;
    ASSERT_EQ(buffer.appendString("x"), 1u);
    const std::uint32_t realLength = buffer.length;
    buffer.length = 0xFFFFFFFEu;
    EXPECT_EQ(buffer.append("y", 1), 0u);
    EXPECT_EQ(buffer.appendPair("", 0, "", 0), 0u);
    EXPECT_EQ(buffer.length, 0xFFFFFFFEu);
    buffer.length = realLength;
    EXPECT_STREQ(buffer.data, "x");
}

TEST(ByteBufferTest, ReleasesABlockAnExtensionTookFromMalloc) {
    // The block is released with free; LeakSanitizer or a mismatched release would
    // report this under the sanitizer build.
    ByteBuffer buffer;
    char* block = static_cast<char*>(std::malloc(6));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "reply", 6);
    buffer.data = block;
    buffer.length = 5;
    EXPECT_FALSE(buffer.isEmpty());
    EXPECT_STREQ(buffer.data, "reply");
}

} // namespace
} // namespace velnor
