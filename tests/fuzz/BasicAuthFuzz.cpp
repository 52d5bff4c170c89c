// Basic credentials: base64 decoding in place, the "authorization" value, and the
// password-file scan. Everything stays inside its area, and whatever a client can send
// as base64 comes back byte for byte.
#include <cstring>
#include <string>
#include <vector>

#include "content/BasicAuth.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

// The raw bytes a round trip may carry: 45 bytes give 60 characters, inside the 63 taken.
constexpr std::size_t kRoundTripBytes = 45;

std::string encodeBase64(const std::string& bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        std::uint32_t group = std::uint8_t(bytes[i]) << 16;
        if (left > 1)
            group |= std::uint8_t(bytes[i + 1]) << 8;
        if (left > 2)
            group |= std::uint8_t(bytes[i + 2]);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += left > 1 ? kAlphabet[group >> 6 & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

void checkInPlaceDecoding(const std::string& text) {
    // Exactly the text and its NUL: the decoder must stay inside them.
    std::vector<char> area(text.c_str(), text.c_str() + std::strlen(text.c_str()) + 1);
    const std::size_t length = area.size() - 1;
    const char* decoded = base64DecodeInPlace(area.data());
    FUZZ_CHECK(decoded == area.data());
    FUZZ_CHECK(std::strlen(decoded) <= (length + 3) / 4 * 3);
}

void checkRoundTrip(const std::string& bytes, const std::string& scheme) {
    const std::string raw = bytes.substr(0, kRoundTripBytes);
    if (raw.empty())
        return;
    const std::string authorization = scheme + encodeBase64(raw);
    char credentials[kCredentialsCapacity];
    FUZZ_CHECK(decodeBasicCredentials(authorization.c_str(), credentials));
    // The decoded text ends at its first NUL, as the raw bytes read as text do.
    FUZZ_CHECK(std::strcmp(credentials, raw.c_str()) == 0);
}

void checkPasswordScan(const std::string& authorization, const std::string& file) {
    char credentials[kCredentialsCapacity];
    if (!decodeBasicCredentials(authorization.c_str(), credentials))
        return;
    FUZZ_CHECK(std::memchr(credentials, '\0', sizeof credentials) != nullptr);
    std::vector<char> text(file.begin(), file.end());
    text.push_back('\0');
    char user[kUserCapacity];
    if (!matchPasswordLine(text.data(), credentials, user))
        return;
    // The user is the matching line's part before its first colon, cut to the area.
    const std::string line(credentials);
    const std::string expected = line.substr(0, line.find(':')).substr(0, kUserCapacity - 1);
    FUZZ_CHECK(std::memchr(user, '\0', sizeof user) != nullptr);
    FUZZ_CHECK(expected == user);
    FUZZ_CHECK(!line.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(fuzz::bytesOf(data, size));
    // The first line is the "authorization" value, the rest a password file.
    const std::size_t end = input.find('\n');
    const std::string authorization = input.substr(0, end);
    const std::string file = end == std::string::npos ? "" : input.substr(end + 1);

    checkInPlaceDecoding(authorization);
    checkPasswordScan(authorization, file);
    checkRoundTrip(input, size % 2 == 0 ? "Basic " : "bAsIc   ");
    return 0;
}
