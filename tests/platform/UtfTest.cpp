#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/Utf.h"

using namespace velnor::platform;

namespace {

long toWide(const std::string& s, char16_t* out, std::size_t cap) {
    return utf8ToUtf16(s.data(), s.size(), out, cap);
}

} // namespace

TEST(Utf, RoundTripsEveryPlaneThroughBothDirections) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"; // A é € 😀 z
    char16_t wide[16];
    ASSERT_EQ(toWide(text, wide, 16), 6); // the emoji takes a surrogate pair
    EXPECT_EQ(wide[3], 0xD83D);
    EXPECT_EQ(wide[4], 0xDE00);
    EXPECT_EQ(wide[6], 0);
    char back[32];
    ASSERT_EQ(utf16ToUtf8(wide, 6, back, sizeof back), static_cast<long>(text.size()));
    EXPECT_EQ(std::string(back), text);
}

TEST(Utf, StrictDecodingRefusesMalformedInput) {
    char16_t wide[8];
    for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xC3", "\xFF", "a\xE2\x82"}) {
        EXPECT_EQ(toWide(bad, wide, 8), -1) << bad;
    }
    const char16_t lone[] = {u'a', 0xD800, u'b'};
    const char16_t lowFirst[] = {0xDC00, u'a'};
    char out[16];
    EXPECT_EQ(utf16ToUtf8(lone, 3, out, sizeof out), -1);
    EXPECT_EQ(utf16ToUtf8(lowFirst, 2, out, sizeof out), -1);
}

TEST(Utf, ResultMustFitWithItsTerminator) {
    char16_t wide[4];
    EXPECT_EQ(toWide("abc", wide, 4), 3);
    EXPECT_EQ(toWide("abcd", wide, 4), -1);
    EXPECT_EQ(toWide("abcd", nullptr, 0), 4); // measuring
    const char16_t euro[] = {0x20AC};
    char out[4];
    EXPECT_EQ(utf16ToUtf8(euro, 1, out, 4), 3);
    EXPECT_EQ(utf16ToUtf8(euro, 1, out, 3), -1);
}

TEST(Utf, HeapCopiesAreTerminatedAndNullOnFailure) {
    auto wide = wideFromUtf8("\\wwwroot");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wideLength(wide.get()), 8u);
    auto narrow = utf8FromWide(wide.get());
    ASSERT_TRUE(narrow);
    EXPECT_STREQ(narrow.get(), "\\wwwroot");
    EXPECT_FALSE(wideFromUtf8("\xFF"));
    EXPECT_FALSE(wideFromUtf8(nullptr));
    EXPECT_EQ(wideLength(nullptr), 0u);
}
