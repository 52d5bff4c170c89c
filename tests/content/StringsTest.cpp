#include "content/Strings.h"

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace velnor {
namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(StringsTest, CompareNoCaseFoldsAsciiLettersOnly) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    };
    const Case cases[] = {
        {"Keep-Alive", "keep-alive", 0},
        {"close", "close", 0},
        {"CLOSE", "close", 0},
        {"Close", "close", 0},
        {"close ", "close", 1},
        {"closed", "close", 1},
        {"close", "close2", -1},
        {"", "", 0},
        {"", "a", -1},
        {"a", "", 1},
        {"[", "a", -1},               // '[' (0x5B) is not a letter, so it is not folded
        {"\xC3\x89", "\xC3\xA9", -1}, // accented letters differ by case: unequal
        {"\xFF", "a", 1},             // compared as unsigned
        {"@", "`", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sign(compareNoCase(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(compareNoCase("a", "C"), 'a' - 'c');
}

TEST(StringsTest, CompareNoCaseNStopsAfterNBytes) {
    struct Case {
        const char* a;
        const char* b;
        std::size_t n;
        int sign;
    };
    const Case cases[] = {
        {"Basic dXNlcjpwdw==", "basic", 5, 0},
        {"BASIC", "basic", 5, 0},
        {"Bas", "basic", 5, -1},
        {"Location: /x", "location: ", 10, 0},
        {"anything", "else", 0, 0},
        {"abc", "abd", 2, 0},
        {"abc", "abd", 3, -1},
        {"ab", "ab", 10, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sign(compareNoCaseN(c.a, c.b, c.n)), c.sign) << c.a << " vs " << c.b;
}

TEST(StringsTest, CompareExactTakesBytesAsSigned) {
    EXPECT_EQ(compareExact("abc", "abc"), 0);
    EXPECT_EQ(compareExact("abc", "abd"), 'c' - 'd');
    EXPECT_EQ(compareExact("ab", "abc"), -'c');
    EXPECT_EQ(compareExact("abc", "ab"), 'c');
    EXPECT_EQ(compareExact("A", "a"), 'A' - 'a');
    // 0x80 is -128 as a signed byte, whatever the platform's char.
    EXPECT_EQ(compareExact("\x80", "a"), -128 - 'a');
    EXPECT_EQ(compareExact("a", "\xFF"), 'a' + 1);
}

TEST(StringsTest, CopyBoundedWritesExactlyNBytes) {
    char out[8];
    std::memset(out, '#', sizeof out);
    copyBounded(out, "0123456789", 4);
    EXPECT_EQ(std::memcmp(out, "0123####", 8), 0); // no terminator
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(copyBounded(out, "ab", 4), out);
    EXPECT_EQ(std::memcmp(out, "ab\0\0####", 8), 0);
    std::memset(out, '#', sizeof out);
    copyBounded(out, "ab", 0);
    EXPECT_EQ(out[0], '#');
}

TEST(StringsTest, AppendBoundedAlwaysTerminates) {
    char out[8];
    std::memset(out, '#', sizeof out);
    std::memcpy(out, "ab", 3);
    EXPECT_EQ(appendBounded(out, "cdef", 2), out);
    EXPECT_EQ(std::memcmp(out, "abcd\0###", 8), 0);
    appendBounded(out, "x", 5);
    EXPECT_STREQ(out, "abcdx");
    appendBounded(out, "yz", 0);
    EXPECT_STREQ(out, "abcdx");
}

TEST(StringsTest, UnboundedCopyAndConcatenate) {
    char out[16] = "zzzzzzzz";
    EXPECT_EQ(stringCopy(out, "ab"), out);
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(stringConcatenate(out, "cd"), out);
    EXPECT_STREQ(out, "abcd");
    stringConcatenate(out, "");
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(stringLength(out), 4u);
    EXPECT_EQ(stringLength(""), 0u);
}

TEST(StringsTest, FindSubstringIsCaseSensitiveFirstOccurrence) {
    const char* hay = "abcabcABC";
    EXPECT_EQ(findSubstring(hay, "bc"), hay + 1);
    EXPECT_EQ(findSubstring(hay, "ABC"), hay + 6);
    EXPECT_EQ(findSubstring(hay, ""), hay);
    EXPECT_EQ(findSubstring(hay, "abcd"), nullptr);
    EXPECT_EQ(findSubstring("", "a"), nullptr);
    EXPECT_EQ(findSubstring(hay, "abcabcABCx"), nullptr);
    char text[] = "path/to";
    char* slash = findSubstring(text, "/");
    ASSERT_EQ(slash, text + 4);
    *slash = '\\'; // the writable overload hands back a writable pointer
    EXPECT_STREQ(text, "path\\to");
}

TEST(StringsTest, DuplicateOnHeapCopiesIntoAFreeableBlock) {
    EXPECT_EQ(duplicateOnHeap(nullptr), nullptr);
    char* copy = duplicateOnHeap("value");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "value");
    std::free(copy);
    char* empty = duplicateOnHeap("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);
}

TEST(StringsTest, CaseAndSlashConversionsInPlace) {
    char text[] = "get /a\\b?x=\xC3\xA9z";
    EXPECT_EQ(toUpperAscii(text), text);
    EXPECT_STREQ(text, "GET /A\\B?X=\xC3\xA9Z");
    slashesToBackslashes(text);
    EXPECT_STREQ(text, "GET \\A\\B?X=\xC3\xA9Z");
    backslashesToSlashes(text);
    EXPECT_STREQ(text, "GET /A/B?X=\xC3\xA9Z");
    EXPECT_EQ(foldAscii('Q'), 'q');
    EXPECT_EQ(foldAscii('q'), 'q');
    EXPECT_EQ(foldAscii(0xC9), 0xC9);
}

TEST(StringsTest, NullArgumentsAreNeverRead) {
    slashesToBackslashes(nullptr);
    backslashesToSlashes(nullptr);
    EXPECT_EQ(toUpperAscii(nullptr), nullptr);
    EXPECT_EQ(stringLength(nullptr), 0u);
    EXPECT_EQ(findSubstring(static_cast<const char*>(nullptr), "a"), nullptr);
    EXPECT_EQ(findSubstring("a", nullptr), nullptr);
    EXPECT_EQ(compareExact(nullptr, ""), 0);
    EXPECT_LT(compareNoCase(nullptr, "a"), 0);
    EXPECT_EQ(compareNoCaseN("a", nullptr, 0), 0);
    char out[4] = "abc";
    EXPECT_EQ(stringCopy(out, nullptr), out);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(stringCopy(nullptr, "x"), nullptr);
    EXPECT_EQ(appendBounded(out, nullptr, 3), out);
    EXPECT_EQ(copyBounded(nullptr, "x", 3), nullptr);
}

} // namespace
} // namespace velnor
