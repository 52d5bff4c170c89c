#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ResponderTestSupport.h"
#include "http/StatusLines.h"

namespace velnor::test {
namespace {

using FileResponderTest = ResponderTest;

TEST_F(FileResponderTest, EmptyTextFileGetsZeroLengthHeadAndNoBody) {
    const std::string file = put("empty.txt", "");
    resolvedTo(file);
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 200);
    EXPECT_EQ(got, head("200 OK", "Keep-Alive", 0, dateOf(file), "text/plain"));
    ASSERT_NE(context.headerTable.value("send_bytes"), nullptr);
    EXPECT_STREQ(context.headerTable.value("send_bytes"), "0");
}

// Method and close flag decide the head's "Connection" word and whether a body follows;
// a POST to a plain file is answered exactly like a GET.
TEST_F(FileResponderTest, MethodAndCloseFlagShapeTheAnswer) {
    struct Case {
        std::int32_t method;
        int closeFlag;
        const char* connection;
        bool body;
    };
    const Case cases[] = {
        {Get, 0, "Keep-Alive", true},   {Get, 1, "Close", true},   {Post, 0, "Keep-Alive", true},
        {Head, 0, "Keep-Alive", false}, {Head, 1, "Close", false},
    };
    const std::string bytes = pattern(3000);
    const std::string file = put("docs/page.html", bytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.method << " close " << c.closeFlag);
        reconnect();
        context.methodCode = c.method;
        resolvedTo(file);
        const std::string got = exchange([&] { return context.sendFile(200, c.closeFlag); });
        EXPECT_EQ(result, 200);
        const std::string expected =
            head("200 OK", c.connection, 3000, dateOf(file), "text/html") + (c.body ? bytes : "");
        EXPECT_EQ(got, expected);
        const char* sent = context.headerTable.value("send_bytes");
        if (c.body) {
            ASSERT_NE(sent, nullptr);
            EXPECT_STREQ(sent, "3000");
        } else {
            EXPECT_EQ(sent, nullptr);
        }
    }
}

// Large files go by zero-copy after the head; the bytes must be the same as the small path.
TEST_F(FileResponderTest, LargeFileIsSentWhole) {
    const std::string bytes = pattern(300000);
    const std::string file = put("big.bin", bytes);
    resolvedTo(file);
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 200);
    EXPECT_EQ(got,
              head("200 OK", "Keep-Alive", bytes.size(), dateOf(file), "application/octet-stream") +
                  bytes);
}

// The head announced the size found at resolution; a file that grew since sends just
// that many bytes, whichever path it takes.
TEST_F(FileResponderTest, GrownFileSendsOnlyTheAnnouncedBytes) {
    for (const std::size_t announced : {std::size_t(100), std::size_t(40000)}) {
        SCOPED_TRACE(announced);
        reconnect();
        const std::string bytes = pattern(announced + 5000);
        const std::string file = put("grown.bin", bytes);
        resolvedTo(file);
        context.findData.size = announced;
        const std::string got = exchange([&] { return context.sendFile(200, 0); });
        EXPECT_EQ(result, 200);
        EXPECT_EQ(
            got, head("200 OK", "Keep-Alive", announced, dateOf(file), "application/octet-stream") +
                     bytes.substr(0, announced));
    }
}

// A small file that shrank is caught before anything is sent and answered 500; a large
// one is caught mid-body, where only closing the connection (result 0) is honest.
TEST_F(FileResponderTest, ShrunkFileNeverKeepsTheConnection) {
    const std::string small = put("small.bin", pattern(10));
    resolvedTo(small);
    context.findData.size = 20;
    std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(578)", "Close"));

    reconnect();
    const std::string bytes = pattern(50000);
    const std::string large = put("large.bin", bytes);
    resolvedTo(large);
    context.findData.size = 60000;
    got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got, head("200 OK", "Keep-Alive", 60000, dateOf(large), "application/octet-stream") +
                       bytes);
}

TEST_F(FileResponderTest, StatusWithoutRowGetsOnlyTheStatusLine) {
    const std::string file = put("doc.txt", "hello");
    resolvedTo(file);
    const std::string got = exchange([&] { return context.sendFile(555, 1); });
    EXPECT_EQ(result, 555);
    EXPECT_EQ(got, "HTTP/1.1 555\r\n\r\nhello");
}

TEST_F(FileResponderTest, FileGoneSinceResolutionIs500From578) {
    const std::string file = put("gone.txt", "x");
    resolvedTo(file);
    std::filesystem::remove(tree.path() / "gone.txt");
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(578)", "Close"));
    // Recorded before the open, as the log line expects.
    ASSERT_NE(context.headerTable.value("send_bytes"), nullptr);
    EXPECT_STREQ(context.headerTable.value("send_bytes"), "1");
}

TEST_F(FileResponderTest, PathThatIsNotTextIs500From512) {
    std::strcpy(context.path, (root + "\\bad\xff.txt").c_str());
    const std::string got = exchange([&] { return context.sendFile(200, 1); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(512)", "Close"));
}

// The size is 64-bit end to end: a 5 GiB (sparse) file is announced with its true length.
TEST_F(FileResponderTest, FiveGibFileHeadCarriesItsTrueLength) {
    const std::string file = put("huge.bin", "");
    std::error_code error;
    std::filesystem::resize_file(tree.path() / "huge.bin", 5368709120ULL, error);
    if (error)
        GTEST_SKIP() << "no sparse file here: " << error.message();
    resolvedTo(file);
    ASSERT_EQ(context.findData.size, 5368709120ULL);
    context.methodCode = Head;
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 200);
    EXPECT_EQ(
        got, head("200 OK", "Keep-Alive", 5368709120ULL, dateOf(file), "application/octet-stream"));
}

// A head that cannot fit its area is never cut: the request fails with 500 instead.
TEST_F(FileResponderTest, OversizedHeadIsAnswered500) {
    const std::string longType(1600, 't');
    mime.add(".long", longType.c_str());
    const std::string file = put("a.long", "body");
    resolvedTo(file);
    std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(512)", "Close"));

    // With a server software text that long even the bare answer cannot be worded
    // whole, so the minimal form goes out.
    reconnect();
    const std::string software(2000, 's');
    config.serverSoftware = software.c_str();
    const std::string other = put("b.txt", "body");
    resolvedTo(other);
    got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, "HTTP/1.1 500\r\nConnection: Close\r\n\r\n");
}

// The key is the tail from the last '.' or '\\': a name without a dot matches nothing,
// even below a directory with a dot in its name. Without a table every file is the
// default type.
TEST_F(FileResponderTest, ContentTypeComesFromTheSuffix) {
    context.methodCode = Head;
    const std::string pdf = put("report.PDF", "x");
    resolvedTo(pdf);
    EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }),
              head("200 OK", "Keep-Alive", 1, dateOf(pdf), "application/pdf"));

    reconnect();
    const std::string plain = put("dir.d/noext", "x");
    resolvedTo(plain);
    EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }),
              head("200 OK", "Keep-Alive", 1, dateOf(plain), "application/octet-stream"));

    reconnect();
    config.mimeTable = nullptr;
    const std::string page = put("page.html", "x");
    resolvedTo(page);
    EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }),
              head("200 OK", "Keep-Alive", 1, dateOf(page), "application/octet-stream"));
}

// A suffix taken over by a handler module goes to the module with the path below the
// document root in URL form; the file itself is never opened (here it does not exist).
TEST_F(FileResponderTest, HandlerModuleSuffixGoesToTheRunner) {
    mime.add(".x", "\\opt\\velnor\\x.mod");
    std::strcpy(context.path, (root + "\\sub\\dir\\page.x").c_str());
    const std::string got = exchange([&] { return context.sendFile(200, 1); });
    EXPECT_EQ(result, 999);
    EXPECT_EQ(got, "");
    EXPECT_EQ(runner.moduleCalls, 1);
    EXPECT_EQ(runner.lastLibrary, "\\opt\\velnor\\x.mod");
    EXPECT_EQ(runner.scriptName, "/sub/dir/page.x");
    EXPECT_EQ(runner.lastCloseFlag, 1);
    EXPECT_EQ(context.headerTable.value("send_bytes"), nullptr);
}

TEST_F(FileResponderTest, HandlerModuleWithoutRunnerIs500) {
    mime.add(".x", "\\opt\\velnor\\x.mod");
    context.gateways = nullptr;
    std::strcpy(context.path, (root + "\\page.x").c_str());
    const std::string got = exchange([&] { return context.sendFile(200, 0); });
    EXPECT_EQ(result, 500);
    EXPECT_EQ(got, bare("500 Internal Server Error(358)", "Close"));
}

TEST_F(FileResponderTest, BrokenConnectionGivesZero) {
    const std::string file = put("page.txt", "hello");
    resolvedTo(file);
    context.Close();
    EXPECT_EQ(context.sendFile(200, 0), 0);
    context.methodCode = Head;
    EXPECT_EQ(context.sendFile(200, 0), 0);
}

// The password file is never answered under its own name in any letter case: where the
// file system ignores case, every spelling opens the one password file.
TEST_F(FileResponderTest, PasswordFileInAnyLetterCaseIsNotFound) {
    const std::string notFound = bare("404 Object Not Found(358)", "Close");
    for (const char* name : {"Access.Cha", "access.cha", "ACCESS.CHA"}) {
        const std::string file = put(std::string("private/") + name, "alice:secret\n");
        for (const std::int32_t method : {Get, Head}) {
            SCOPED_TRACE(std::string(name) + (method == Head ? " HEAD" : " GET"));
            reconnect();
            context.methodCode = method;
            resolvedTo(file);
            EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }), notFound);
            EXPECT_EQ(context.headerTable.value("send_bytes"), nullptr);
        }
    }
}

#ifndef _WIN32
// Symbolic links need a privilege on Windows and wine makes none.
// Whatever name leads to a password file (a link, another letter case), the file actually
// opened decides: it is never answered, not even with its head. Links to anything else
// are served as before.
TEST_F(FileResponderTest, PasswordFileBehindAnAliasIsNotFound) {
    put("private/access.cha", "alice:secret\n");
    const std::string page = put("private/page.txt", "page");
    std::filesystem::create_symlink(tree.path() / "private/access.cha", tree.path() / "peek.txt");
    std::filesystem::create_symlink(tree.path() / "private/page.txt", tree.path() / "link.txt");
    const std::string notFound = bare("404 Object Not Found(358)", "Close");
    const struct {
        const char* name;
        std::int32_t method;
        std::string expected;
    } cases[] = {
        {"peek.txt", Get, notFound},
        {"peek.txt", Head, notFound},
        {"link.txt", Get, head("200 OK", "Keep-Alive", 4, dateOf(page), "text/plain") + "page"},
        {"link.txt", Head, head("200 OK", "Keep-Alive", 4, dateOf(page), "text/plain")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.method == Head ? " HEAD" : " GET"));
        reconnect();
        context.methodCode = c.method;
        resolvedTo(root + "\\" + c.name);
        EXPECT_EQ(exchange([&] { return context.sendFile(200, 0); }), c.expected);
        if (c.expected == notFound) {
            EXPECT_EQ(context.headerTable.value("send_bytes"), nullptr);
        }
    }
}
#endif

} // namespace
} // namespace velnor::test
