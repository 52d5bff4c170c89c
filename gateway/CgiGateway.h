// The CGI process gateway: runs a program under the CGI root for one request and relays
// its output behind the server's own status line.
#pragma once

#include <cstdint>

#include "http/RequestContext.h"

namespace velnor {

/// Time limits of one CGI program run.
struct CgiLimits {
    // A program that for this long neither takes input nor produces output is ended;
    // the same figure as the wait for a client's request.
    std::uint32_t idleMs = kReadTimeoutMs;
    // After its output has ended (or its client has gone), how long a program may go on
    // working (writing a record, sending mail) before its whole process group is ended.
    // Nobody waits for it meanwhile: the answer is complete and the worker free.
    std::uint32_t lingerMs = 60000;
};

// Runs `programPath` (the resolved path) as a CGI/1.1 program for the request: 999 after
// a complete response, 0 when the connection broke or the program stalled after its
// first bytes were sent, else the result of sendStatusResponse with 500.
int runCgiGateway(RequestContext& context, const char* programPath, int closeFlag) noexcept;
int runCgiGateway(RequestContext& context, const char* programPath, int closeFlag,
                  const CgiLimits& limits) noexcept;

// Fills `block` with the variable table as an environment block: "NAME=value" and a NUL
// per entry in table order, then one more NUL (the buffer's own terminator). False when
// memory runs out.
bool buildEnvironmentBlock(TextTable& variables, ByteBuffer& block) noexcept;

} // namespace velnor
