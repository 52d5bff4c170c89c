// Client text that a reader could take for a line end, or that is not valid UTF-8, reaches
// the access log of the real server escaped, so every request stays one line.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// True when `text` is valid, shortest-form UTF-8: written without the server's code, so
// the two can disagree.
bool isValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0u;
        };
        const unsigned lead = byte(0);
        std::size_t length = 1;
        unsigned codePoint = lead;
        if (lead >= 0x80) {
            length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            if (lead < 0xC2 || lead > 0xF4)
                return false;
            codePoint = lead & (0x7F >> length);
            for (std::size_t k = 1; k < length; ++k) {
                if ((byte(k) & 0xC0) != 0x80)
                    return false;
                codePoint = codePoint << 6 | (byte(k) & 0x3F);
            }
            const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
            if (codePoint < least[length] || codePoint > 0x10FFFF ||
                (codePoint >= 0xD800 && codePoint <= 0xDFFF))
                return false;
        }
        i += length;
    }
    return true;
}

class LogEscapeTest : public ServerTest {};

TEST_F(LogEscapeTest, LineBreakingAndInvalidBytesAreEscapedOneLinePerRequest) {
    writeSampleTree(server);
    ASSERT_TRUE(server.installLogPlugin());
    startServer();
    // NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR around forged records, an overlong "/",
    // a surrogate, a stray continuation byte, a cut sequence and bytes no UTF-8 has. The
    // target holds no blank, so the request is read whole and its headers are logged.
    const std::string forged = "1.2.3.4 - - [01/Jan/2027:00:00:00 +0000] \"GET /x\" 200 1";
    const std::string request =
        "GET /a\xe2\x80\xa8\xc2\x85\xc0\xaf.txt HTTP/1.0\r\nConnection: close\r\n"
        "User-Agent: agent\xc2\x85" +
        forged + "\xe2\x80\xa9tail\r\nReferer: http://r/" +
        "\xc0\xaf\xed\xa0\x80\x80\xe2\x82 \xfe\xff caf\xc3\xa9\r\n\r\n";
    roundTrip(server.port(), request);
    roundTrip(server.port(),
              "GET /a.txt HTTP/1.0\r\nConnection: close\r\nUser-Agent: caf\xc3\xa9\r\n\r\n");
    const ExitReport report = server.stop();
    EXPECT_EQ(report.exitCode, 0);

    const std::string log = readFile(server.root() / "access_log.txt");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
    EXPECT_TRUE(isValidUtf8(log)) << log;
    for (const char* raw : {"\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9", "\r"})
        EXPECT_EQ(log.find(raw), std::string::npos) << testing::PrintToString(std::string(raw));

    const std::size_t firstEnd = log.find('\n');
    const std::string first = log.substr(0, firstEnd + 1);
    const std::string second = log.substr(firstEnd + 1);
    EXPECT_NE(first.find("\"GET /a\\xE2\\x80\\xA8\\xC2\\x85\\xC0\\xAF.txt HTTP/1.0\" "),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("\"http://r/\\xC0\\xAF\\xED\\xA0\\x80\\x80\\xE2\\x82 \\xFE\\xFF "
                         "caf\xc3\xa9\" \"agent\\xC2\\x851.2.3.4 - - "),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("\\xE2\\x80\\xA9tail\"\n"), std::string::npos) << first;
    EXPECT_EQ(second.rfind("127.0.0.1 - - [", 0), 0u) << second;
    EXPECT_NE(second.find("\"GET /a.txt HTTP/1.0\" 200 6 \"-\" \"caf\xc3\xa9\"\n"),
              std::string::npos)
        << second;
}

} // namespace
} // namespace velnor::e2e
