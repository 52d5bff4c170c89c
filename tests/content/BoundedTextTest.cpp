#include "content/BoundedText.h"

#include <gtest/gtest.h>

#include <string>

namespace velnor {
namespace {

TEST(BoundedText, PiecesFitExactlyOrTheWholeTextIsCut) {
    struct Case {
        std::size_t capacity;
        std::string expected; // empty: cut
    };
    // "GET 42 0007 ..7" needs 15 bytes and its NUL.
    const Case cases[] = {{16, "GET 42 0007 ..7"}, {15, ""}, {1, ""}, {64, "GET 42 0007 ..7"}};
    for (const Case& c : cases) {
        char area[72];
        std::memset(area, 'z', sizeof area);
        const std::size_t length = BoundedText(area, c.capacity)
                                       .text("GET ")
                                       .decimal(42)
                                       .text(" ", 1)
                                       .decimal(7, 4)
                                       .text(" ")
                                       .decimal(7, 3, '.')
                                       .finish();
        EXPECT_EQ(length, c.expected.size()) << c.capacity;
        EXPECT_EQ(std::string(area), c.expected) << c.capacity;
        EXPECT_EQ(area[c.capacity], 'z') << "nothing past the area: " << c.capacity;
    }
    char small[8];
    EXPECT_EQ(BoundedText(small, sizeof small).signedDecimal(-2147483648LL).finish(), 0u);
    EXPECT_EQ(BoundedText(small, sizeof small).signedDecimal(-42).finish(), 3u);
    EXPECT_STREQ(small, "-42");
    EXPECT_EQ(BoundedText(nullptr, 4).text("a").finish(), 0u);
}

} // namespace
} // namespace velnor
