// The loader on real libraries: the stand-in log plug-ins built next to these tests.
#include "platform/SharedLibrary.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Utf.h"

namespace velnor::platform {
namespace {

TEST(SharedLibrary, LoadsByEitherSeparatorAndFindsOnlyExportedEntries) {
    std::string backslashed = VELNOR_TEST_LOG_PLUGIN;
    for (char& c : backslashed)
        if (c == '/')
            c = '\\';
    for (const std::string& path : {std::string(VELNOR_TEST_LOG_PLUGIN), backslashed}) {
        SCOPED_TRACE(path);
        SharedLibrary library;
        ASSERT_TRUE(library.open(path.c_str()));
        EXPECT_NE(library.symbol("fnVelnorLog"), nullptr);
        EXPECT_EQ(library.symbol("fnZlx"), nullptr);
        EXPECT_EQ(library.symbol(nullptr), nullptr);
    }
    HeapPtr<char16_t> wide = wideFromUtf8(VELNOR_TEST_NOENTRY_PLUGIN);
    SharedLibrary noEntry;
    ASSERT_TRUE(noEntry.open(wide.get()));
    EXPECT_EQ(noEntry.symbol("fnVelnorLog"), nullptr);
}

TEST(SharedLibrary, RefusesWhatIsNotALibraryFile) {
    const std::string tooLong(5000, 'a');
    const char* paths[] = {
        nullptr,         "", "/nonexistent/dir/lib.so", "/etc/hostname",
        "libc.so.6", // a bare name is a file in the working directory, never a search
        tooLong.c_str(),
    };
    for (const char* path : paths) {
        SCOPED_TRACE(path ? std::string(path).substr(0, 40) : "(null)");
        SharedLibrary library;
        EXPECT_FALSE(library.open(path));
        EXPECT_FALSE(library.isOpen());
        EXPECT_EQ(library.symbol("fnVelnorLog"), nullptr);
    }
    SharedLibrary wide;
    EXPECT_FALSE(wide.open(static_cast<const char16_t*>(nullptr)));
    EXPECT_FALSE(wide.open(u""));
    const char16_t unpaired[] = {u'/', 0xD800, u'x', 0};
    EXPECT_FALSE(wide.open(unpaired));
}

} // namespace
} // namespace velnor::platform
