// Whole requests off a connection: the fuzz input arrives on one end of a connected
// socket pair, the reader serves from the other until the peer's end, pipelined requests
// included.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "http/RequestContext.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

// Kept below what a socket pair buffers, so the whole input is written before reading.
constexpr std::size_t kInputLimit = 64 * 1024;
// Requests read from one input at most; each takes at least one head's end.
constexpr int kRequestLimit = 64;

bool isAnswer(int status) {
    for (int known : {0, 200, 304, 400, 404, 411, 413, 500, 501, 999}) {
        if (status == known)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kInputLimit)
        return 0;
    int ends[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(ends[1], data + sent, size - sent, MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0);
        sent += std::size_t(n);
    }
    ::shutdown(ends[1], SHUT_WR);

    RequestContext context;
    context.settings = &fuzz::documentTree().config;
    context.handle = ends[0]; // closed by the context
    context.WaitSeconds = 1;
    context.startConnection();
    std::size_t bodies = 0;
    for (int i = 0; i < kRequestLimit; ++i) {
        const int status = context.readRequest(nullptr);
        FUZZ_CHECK(isAnswer(status));
        FUZZ_CHECK(std::memchr(context.target, '\0', sizeof context.target) != nullptr);
        FUZZ_CHECK(std::memchr(context.path, '\0', sizeof context.path) != nullptr);
        FUZZ_CHECK(context.headBuffer.length <= kHeadLimit);
        bodies += context.bodyBuffer.length;
        // Nothing is read twice and nothing is made up.
        FUZZ_CHECK(bodies + context.headBuffer.length <= size);
        // The server closes after nothing to answer and after every refusal.
        if (status == 0 || status >= 400 || context.handle == -1)
            break;
        bodies += context.headBuffer.length;
        context.resetRequest();
    }
    ::close(ends[1]);
    return 0;
}
