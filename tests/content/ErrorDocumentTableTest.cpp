#include "content/ErrorDocumentTable.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/Utf.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

class ErrorDocumentTableTest : public ::testing::Test {
protected:
    void load(const std::string& text) {
        dir_.write("ErrorDocument.txt", text);
        const auto wide = platform::wideFromUtf8(dir_.path().string().c_str());
        ASSERT_NE(wide, nullptr);
        table_.load(wide.get());
    }

    test::TempDir dir_;
    ErrorDocumentTable table_;
};

TEST_F(ErrorDocumentTableTest, DocumentsByStatus) {
    load("# documents of this site\n"
         "404 /errors/missing.html\n"
         "500\t/errors/broken.html?from=500\r\n"
         "403\n"
         "401 /errors/first.html\n"
         "401 /errors/second.html\n"
         "400 \n");
    EXPECT_STREQ(table_.documentFor(404), "/errors/missing.html");
    EXPECT_STREQ(table_.documentFor(500), "/errors/broken.html?from=500");
    EXPECT_STREQ(table_.documentFor(401), "/errors/second.html");
    EXPECT_EQ(table_.documentFor(403), nullptr); // a code alone is no line
    EXPECT_EQ(table_.documentFor(400), nullptr); // an empty document names nothing
    EXPECT_EQ(table_.documentFor(302), nullptr);
    // "%3d" pads short codes with blanks, which no name from the file begins with.
    EXPECT_EQ(table_.documentFor(4), nullptr);
    EXPECT_EQ(table_.documentFor(-2147483647 - 1), nullptr);
}

TEST_F(ErrorDocumentTableTest, DocumentsMustFitTheTargetArea) {
    const std::string fits = "/" + std::string(258, 'a');
    const std::string tooLong = "/" + std::string(259, 'b');
    load("404 " + fits + "\n410 " + tooLong + "\n");
    ASSERT_NE(table_.documentFor(404), nullptr);
    EXPECT_EQ(std::string(table_.documentFor(404)), fits);
    EXPECT_EQ(table_.documentFor(410), nullptr);
}

TEST(ErrorDocumentTableMissing, NoFileMeansNoDocuments) {
    test::TempDir dir;
    const auto wide = platform::wideFromUtf8(dir.path().string().c_str());
    ErrorDocumentTable table;
    table.load(wide.get());
    table.load(nullptr);
    EXPECT_EQ(table.documentFor(404), nullptr);
    EXPECT_EQ(table.entries(), nullptr);
}

} // namespace
} // namespace velnor
