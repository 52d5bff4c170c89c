#include "content/PathNormalizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace velnor {
namespace {

TEST(NormalizePath, GivesOneCanonicalSpelling) {
    const struct {
        const char* path;
        const char* canonical; // nullptr: refused with -1
    } cases[] = {
        {"", ""},
        {"/", "\\"},
        {"\\", "\\"},
        {"///", "\\"},
        {"/a.html", "\\a.html"},
        {"/docs/page.html", "\\docs\\page.html"},
        {"/docs//page.html", "\\docs\\page.html"},
        {"/docs\\/\\page.html", "\\docs\\page.html"},
        {"//docs", "\\docs"},
        {"/./docs/./page.html", "\\docs\\page.html"},
        {"/a/b/../c", "\\a\\c"},
        {"/a/b/../../c", "\\c"},
        {"/a//b//..//..//c", "\\c"},
        // A target naming a directory keeps saying so.
        {"/docs/", "\\docs\\"},
        {"/docs/.", "\\docs\\"},
        {"/docs//", "\\docs\\"},
        {"/docs/sub/..", "\\docs\\"},
        {"/a/..", "\\"},
        {"/.", "\\"},
        // Names that merely contain dots are names.
        {"/.../x", "\\...\\x"},
        {"/a..b/.x", "\\a..b\\.x"},
        // Relative paths stay relative.
        {"a/./b", "a\\b"},
        {"a/../b/", "b\\"},
        {"a/..", ""},
        {"./", ""},
        // Climbing above the start.
        {"/..", nullptr},
        {"..", nullptr},
        {"/a/../..", nullptr},
        {"/a/../../b", nullptr},
        {"a\\..\\..\\b", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        char out[64];
        const long length = normalizePath(c.path, out, sizeof out);
        if (c.canonical == nullptr) {
            EXPECT_EQ(length, -1);
            EXPECT_STREQ(out, "");
        } else {
            EXPECT_STREQ(out, c.canonical);
            EXPECT_EQ(length, static_cast<long>(std::strlen(c.canonical)));
        }
    }
}

// The result must fit with its NUL; a long spelling of a short result is measured by the
// result, not by the spelling.
TEST(NormalizePath, FitsTheResultNotTheSpelling) {
    const std::string longDetour = "/" + std::string(100, 'x') + "/../a";
    const struct {
        std::string path;
        std::size_t capacity;
        long length;
    } cases[] = {
        {"/abc", 5, 4},  {"/abc", 4, -1},    {"/abc/", 6, 5},    {"/abc/", 5, -1},
        {"", 1, 0},      {"/", 1, -1},       {longDetour, 3, 2}, {longDetour, 2, -1},
        {"/a/b", 0, -1}, {"/./././a", 3, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " in " + std::to_string(c.capacity));
        char out[8] = "guard";
        EXPECT_EQ(normalizePath(c.path.c_str(), out, c.capacity), c.length);
        if (c.capacity > 0 && c.length < 0) {
            EXPECT_EQ(out[0], '\0');
        }
    }
    char out[4];
    EXPECT_EQ(normalizePath(nullptr, out, sizeof out), -1);
    EXPECT_EQ(normalizePath("/a", nullptr, 4), -1);
}

TEST(NormalizeRootSetting, DropsTheTrailingSeparatorAndKeepsTheWrittenForm) {
    const struct {
        const char* text;
        const char* root; // nullptr: refused with -1
    } cases[] = {
        {"\\srv\\www\\", "\\srv\\www"},
        {"/srv/www/", "/srv/www"},
        {"/srv//www/./app/../cgi", "/srv/www/cgi"},
        {"/srv/www\\cgi", "\\srv\\www\\cgi"}, // mixed: the server's form
        {"/", "/"},
        {"\\", "\\"},
        {"//", "/"},
        {"", ""},
        {"www/", "www"},
        {"/..", nullptr},
        {"../www", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char out[64];
        const long length = normalizeRootSetting(c.text, out, sizeof out);
        if (c.root == nullptr) {
            EXPECT_EQ(length, -1);
        } else {
            EXPECT_STREQ(out, c.root);
            EXPECT_EQ(length, static_cast<long>(std::strlen(c.root)));
        }
    }
}

} // namespace
} // namespace velnor
