#include "content/BasicAuth.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace velnor {
namespace {

TEST(BasicAuthTest, Base64Values) {
    const struct {
        char c;
        int value;
    } cases[] = {{'A', 0},  {'z', 51}, {'9', 61}, {'+', 62},
                 {'/', 63}, {'=', 0},  {'-', -1}, {'\0', -1}};
    for (const auto& c : cases)
        EXPECT_EQ(base64Value(c.c), c.value) << static_cast<int>(c.c);
}

TEST(BasicAuthTest, DecodesWholeGroups) {
    const std::pair<std::string, std::string> cases[] = {
        {"dXNlcjpwYXNz", "user:pass"},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWJj", "abc"},
        {"", ""},
        {"QWxhZGRpbjpvcGVuIHNlc2FtZQ==", "Aladdin:open sesame"},
    };
    for (const auto& [encoded, decoded] : cases) {
        std::string text = encoded;
        EXPECT_EQ(std::string(base64DecodeInPlace(text.data())), decoded) << encoded;
    }
}

TEST(BasicAuthTest, ShortLastGroupStaysWithinTheText) {
    for (const char* encoded : {"Q", "QU", "QUI", "QUJDR", "QUJDRE", "QUJDREU"}) {
        const std::size_t n = std::strlen(encoded);
        char area[16];
        std::memset(area, '#', sizeof area);
        std::memcpy(area, encoded, n + 1);
        base64DecodeInPlace(area);
        EXPECT_LE(std::strlen(area), n) << encoded;
        for (std::size_t i = n + 1; i < sizeof area; ++i)
            EXPECT_EQ(area[i], '#') << encoded << " byte " << i;
    }
    // Whole groups decode the same with the missing characters as zero bits.
    char text[] = "QUJDREU";
    EXPECT_STREQ(base64DecodeInPlace(text), "ABCDE");
}

TEST(BasicAuthTest, AuthorizationValues) {
    const struct {
        const char* value;
        const char* credentials; // null: refused
    } cases[] = {
        {"Basic dXNlcjpwYXNz", "user:pass"},
        {"BASIC dXNlcjpwYXNz", "user:pass"},
        {"basic      dXNlcjpwYXNz", "user:pass"},
        {"BasicdXNlcjpwYXNz", "user:pass"}, // the scheme word's end is not examined
        {"Basic ", ""},
        {"Digest username=\"user\"", nullptr},
        {"Bas", nullptr},
        {"", nullptr},
        {nullptr, nullptr},
        {"Basic dXNlcjpwYXN", nullptr},    // not whole groups
        {"Basic dXNlcjpwYXNz ", nullptr},  // a blank is outside the alphabet
        {"Basic dXNl\tcjpwYXNz", nullptr}, // so is a tab
        {"Basic\tdXNlcjpwYXNz", nullptr},  // only blanks are skipped
    };
    for (const auto& c : cases) {
        char credentials[kCredentialsCapacity];
        const bool accepted = decodeBasicCredentials(c.value, credentials);
        EXPECT_EQ(accepted, c.credentials != nullptr) << (c.value ? c.value : "(null)");
        if (accepted && c.credentials) {
            EXPECT_STREQ(credentials, c.credentials);
        }
    }
}

TEST(BasicAuthTest, CredentialsLongerThanTheAreaAreRefusedNotCut) {
    // 45 bytes encode to 60 characters and fit; 48 bytes need 64 and do not.
    const std::string fits45 = "Basic " + std::string(60, 'Q');
    const std::string long48 = "Basic " + std::string(64, 'Q');
    char credentials[kCredentialsCapacity];
    ASSERT_TRUE(decodeBasicCredentials(fits45.c_str(), credentials));
    EXPECT_EQ(std::strlen(credentials), 45u);
    EXPECT_FALSE(decodeBasicCredentials(long48.c_str(), credentials));
}

TEST(BasicAuthTest, PasswordLines) {
    const struct {
        const char* file;
        const char* credentials;
        const char* user; // null: no match
    } cases[] = {
        {"alice:secret\r\nbob:hunter2\r\n", "bob:hunter2", "bob"},
        {"alice:secret\nbob:hunter2", "alice:secret", "alice"},
        {"\r\n\n\ralice:secret\r\r\n", "alice:secret", "alice"},
        {"alice:secret \n", "alice:secret", nullptr}, // no trimming
        {"alice:secret\n", "alice:secret ", nullptr},
        {"Alice:secret\n", "alice:secret", nullptr}, // byte for byte
        {"alice:secret:x\n", "alice:secret:x", "alice"},
        {"nocolon\n", "nocolon", "nocolon"},
        {"alice:a\nalice:b\n", "alice:b", "alice"},
        {"", "alice:secret", nullptr},
        {"\r\n\r\n", "alice:secret", nullptr},
        {"\r\n\r\n", "", nullptr}, // no line is empty
        {"", "", nullptr},
    };
    for (const auto& c : cases) {
        std::string text = c.file;
        char user[kUserCapacity];
        const bool matched = matchPasswordLine(text.data(), c.credentials, user);
        EXPECT_EQ(matched, c.user != nullptr) << c.file << " / " << c.credentials;
        if (matched && c.user) {
            EXPECT_STREQ(user, c.user);
        }
    }
}

TEST(BasicAuthTest, NulEndsThePasswordText) {
    std::string text("alice:secret\n", 13);
    text += std::string("\0bob:pw\n", 8);
    char user[kUserCapacity];
    EXPECT_FALSE(matchPasswordLine(text.data(), "bob:pw", user));
    EXPECT_FALSE(matchPasswordLine(nullptr, "bob:pw", user));
}

TEST(BasicAuthTest, UserNameIsCutTo31Bytes) {
    const std::string name(40, 'u');
    std::string text = "x:y\n" + name + ":pw\n";
    char user[kUserCapacity];
    ASSERT_TRUE(matchPasswordLine(text.data(), (name + ":pw").c_str(), user));
    EXPECT_EQ(std::string(user), name.substr(0, 31));
}

} // namespace
} // namespace velnor
