// The gateways as the HTTP engine meets them.
#pragma once

#include "http/RequestContext.h"

namespace velnor {

/// Answers gateway targets and handler-module files: builds the request's variable set
/// and runs the CGI program, ZLX extension, CAPI extension or module that answers it.
class Gateways : public GatewayRunner {
public:
    // Chooses the gateway by the resolved file's suffix (".zlx", ".dll", ".exe", any
    // letter case); any other file under the CGI root is answered 403.
    int selectGateway(RequestContext& context, int closeFlag) noexcept override;
    int runHandlerModule(RequestContext& context, const char* libraryPath,
                         int closeFlag) noexcept override;
};

} // namespace velnor
