// The head of a request as the reader hands it over: the request line and header lines
// split into request state, then the target resolved over a small document tree.
#include <cstring>
#include <string>

#include "content/Strings.h"
#include "http/RequestContext.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

template <std::size_t N> bool terminated(const char (&area)[N]) {
    return std::memchr(area, '\0', N) != nullptr;
}

bool isAnswer(int status) {
    for (int known : {200, 304, 400, 404, 500, 501, 999}) {
        if (status == known)
            return true;
    }
    return false;
}

// The request line is the server's own entry and appears once; client headers named like
// the server's other entries are never stored. (An empty name would end the block.)
void checkHeaderTable(const TextTable& table) {
    const char* entry = table.entries();
    if (entry == nullptr)
        return;
    int requestLines = 0;
    for (; *entry != '\0'; entry += std::strlen(entry) + 1, entry += std::strlen(entry) + 1) {
        if (std::strcmp(entry, "request_line") == 0)
            ++requestLines;
        for (const char* reserved :
             {"remote_host", "remote_addr", "send_bytes", "authentication_user"})
            FUZZ_CHECK(compareNoCase(entry, reserved) != 0);
    }
    FUZZ_CHECK(requestLines <= 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string head(fuzz::bytesOf(data, size));
    RequestContext context;
    context.settings = &fuzz::documentTree().config;

    int status = context.parseRequestLine(head.c_str());
    FUZZ_CHECK(terminated(context.target) && terminated(context.version));
    if (status == 200)
        status = context.parseHeaders(head.c_str());
    checkHeaderTable(context.headerTable);
    if (status == 200) {
        status = context.resolveTarget();
        FUZZ_CHECK(terminated(context.path));
    }
    FUZZ_CHECK(isAnswer(status));
    return 0;
}
