// The in-process gateways: ZLX extensions and handler modules (fnZlx), which the server
// frames with its own status line, and CAPI extensions (fnCAPI), which answer whole.
#pragma once

#include <cstddef>

namespace velnor {

class RequestContext;

// Origins of the 500 for an answer that claims more bytes than its block holds.
constexpr int kOriginZlxOverLength = 1579;
constexpr int kOriginCapiOverCount = 1712;

// UTF-16 units of a library path with its NUL; a longer path cannot be loaded.
constexpr std::size_t kLibraryPathCapacity = 260;

// Loads the library at `libraryPath` for this one request, calls its entry and sends
// its answer. 999 after a complete answer, 0 when the connection broke while sending,
// else the result of the 500 status response (the close flag goes to that response only).
int runZlxGateway(RequestContext& context, const char* libraryPath, int closeFlag) noexcept;
int runCapiGateway(RequestContext& context, const char* libraryPath, int closeFlag) noexcept;

} // namespace velnor
