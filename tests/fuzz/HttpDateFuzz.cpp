// HTTP dates: any text is read without reaching past it, and a date read or made from a
// file time is written in a form that reads back as the same time.
#include <cstring>
#include <string>

#include "http/HttpDate.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT": years of four digits give exactly this length.
constexpr std::size_t kDateLength = 29;

void checkReadsBack(HttpDate& date) {
    const std::uint64_t time = date.fileTime();
    const std::string text = date.formatHttpDate();
    FUZZ_CHECK(text.size() < 32);
    if (text.size() != kDateLength)
        return; // a five-digit year, past what the three date forms carry
    HttpDate again;
    FUZZ_CHECK(again.parseHttpDate(text.c_str()));
    FUZZ_CHECK(again.fileTime() == time);
    FUZZ_CHECK(text == again.formatHttpDate());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz::bytesOf(data, size));
    HttpDate parsed;
    if (parsed.parseHttpDate(text.c_str()))
        checkReadsBack(parsed);
    else
        FUZZ_CHECK(parsed.fileTime() == 0);

    std::uint64_t fileTime = 0;
    if (size > 0)
        std::memcpy(&fileTime, data, size < sizeof fileTime ? size : sizeof fileTime);
    HttpDate made;
    made.fromFileTime(fileTime);
    FUZZ_CHECK(made.fileTime() <= fileTime && fileTime - made.fileTime() < 10000000);
    checkReadsBack(made);
    return 0;
}
