// The access-log record over any six client texts: one line, inside its area, with
// nothing a reader could take for a line end or a control byte, and valid UTF-8 whatever
// the client sent.
#include <cstring>
#include <string>
#include <vector>

#include "logplugin/AccessLog.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

// Decodes one character of valid, shortest-form UTF-8 at `i` and returns its length, or
// 0 when the bytes there are not one.
std::size_t characterAt(const std::string& text, std::size_t i, std::uint32_t& codePoint) {
    const auto byte = [&](std::size_t k) -> std::uint32_t {
        return i + k < text.size() ? std::uint8_t(text[i + k]) : 0u;
    };
    const std::uint32_t lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4)
        return 0;
    codePoint = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
        codePoint = codePoint << 6 | (byte(k) & 0x3F);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kLeast[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

void checkRecord(const char* area, std::size_t length, std::size_t capacity) {
    FUZZ_CHECK(length < capacity && area[length] == '\0');
    FUZZ_CHECK(length <= kRecordArea - 1);
    if (length == 0)
        return;
    const std::string record(area, length);
    FUZZ_CHECK(record.back() == '\n');
    FUZZ_CHECK(record.find('\n') == length - 1);
    for (std::size_t i = 0; i < length;) {
        std::uint32_t codePoint = 0;
        const std::size_t n = characterAt(record, i, codePoint);
        FUZZ_CHECK(n > 0);
        FUZZ_CHECK(codePoint >= 0x20 || (codePoint == '\n' && i == length - 1));
        FUZZ_CHECK(codePoint != 0x7F && codePoint != 0x85);
        FUZZ_CHECK(codePoint != 0x2028 && codePoint != 0x2029);
        i += n;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    // Four bytes pick the status, the zone and the area; the rest holds the six fields,
    // separated by NULs.
    const auto status = std::int32_t(std::int8_t(data[0])) * 7;
    const int offset = (std::int8_t(data[1]) * 60 + data[2]) % (24 * 60);
    const std::size_t capacity = data[3] < 0xC0 ? kRecordArea : 40 + data[3];
    const std::string text(fuzz::bytesOf(data + 4, size - 4));
    std::vector<std::string> parts;
    for (std::size_t start = 0; parts.size() < 6;) {
        const std::size_t end = text.find('\0', start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    parts.resize(6, "-");
    const LogFields fields{parts[0].c_str(), parts[1].c_str(), parts[2].c_str(),
                           parts[3].c_str(), parts[4].c_str(), parts[5].c_str()};
    platform::SystemTime time;
    time.year = 2027;
    time.month = std::uint16_t(data[3] % 14);
    time.day = 1;
    std::vector<char> area(capacity, 'Z'); // exactly `capacity` bytes
    const std::size_t length = formatRecord(fields, status, time, offset, area.data(), capacity);
    checkRecord(area.data(), length, capacity);
    // Every escape is whole: the field texts' own measure agrees with what is written.
    for (const std::string& part : parts) {
        std::vector<char> out(escapedLength(part.c_str()) + 1);
        FUZZ_CHECK(writeEscaped(part.c_str(), out.size(), out.data()) == out.size() - 1);
    }
    return 0;
}
