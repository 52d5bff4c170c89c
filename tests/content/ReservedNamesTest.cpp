#include "content/ReservedNames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace velnor {
namespace {

TEST(IsReservedName, RefusesEveryOtherSpellingOfAFile) {
    const struct {
        std::string name;
        bool reserved;
    } cases[] = {
        // Streams, and the patterns of a find-first lookup.
        {"page.html::$DATA", true},
        {"a:b", true},
        {"dir:$I30:$INDEX_ALLOCATION", true},
        {"pass*", true},
        // Trailing dots and spaces, which the file system drops.
        {".htpass.", true},
        {"file.txt ", true},
        {"cgi.", true},
        {"x. .", true},
        {".", false},
        {"..", false},
        {".hidden", false},
        // Devices, any case, with or without an extension, blanks before it.
        {"CON", true},
        {"Aux", true},
        {"nul.txt", true},
        {"Con .x", true},
        {"lpt1.anything", true},
        {"com0", true},
        {"CONIN$", true},
        {"conout$.log", true},
        {"COM\xC2\xB9", true},
        {"lpt\xC2\xB3.txt", true},
        {"COM\xB2", true},
        {"con-tact.html", false},
        {"nullable.txt", false},
        {"com10", false},
        {"lpt", false},
        {"COM", false},
        {"COM\xC2\xB4", false},
        // Short names: a base of up to eight ending in "~" and digits, an extension of up
        // to three.
        {"PASSWO~1", true},
        {"SECRET~1.TXT", true},
        {"a~1", true},
        {"~1", true},
        {"a~b", false},
        {"~user", false},
        {"PASSWORD~1", false},
        {"SECRET~1.HTML", false},
        {"a~1.b.c", false},
        {"a~1x", false},
        {"file.name.txt", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isReservedName(c.name.data(), c.name.size()), c.reserved);
    }
}

TEST(HasReservedName, AsksEveryNameOfAPath) {
    const struct {
        const char* path;
        bool reserved;
    } cases[] = {
        {"\\docs\\page.html", false},
        {"", false},
        {"\\nul.txt", true},
        {"\\cgi.\\run.exe", true},
        {"\\PRIVAT~1\\page.txt", true},
        {"\\a\\b\\c:d", true},
        {"\\con-tact\\nullable\\com10\\a~b\\~user", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hasReservedName(c.path), c.reserved) << c.path;
    EXPECT_FALSE(hasReservedName(nullptr));
}

} // namespace
} // namespace velnor
