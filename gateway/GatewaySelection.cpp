#include "gateway/GatewaySelection.h"

#include <cstring>

#include "content/Strings.h"
#include "gateway/CgiGateway.h"
#include "gateway/ExtensionGateway.h"
#include "gateway/GatewayEnvironment.h"
#include "http/StatusLines.h"

namespace velnor {
namespace {

constexpr std::size_t kSuffixLength = 4;

bool hasSuffix(const char* path, std::size_t length, const char* suffix) noexcept {
    return length >= kSuffixLength &&
           compareNoCaseN(path + length - kSuffixLength, suffix, kSuffixLength) == 0;
}

} // namespace

int Gateways::selectGateway(RequestContext& context, int closeFlag) noexcept {
    buildGatewayEnvironment(context);
    setScriptName(context);

    const char* path = context.path;
    const std::size_t length = std::strlen(path);
    if (hasSuffix(path, length, ".zlx"))
        return runZlxGateway(context, path, closeFlag);
    if (hasSuffix(path, length, ".dll"))
        return runCapiGateway(context, path, closeFlag);
    if (hasSuffix(path, length, ".exe"))
        return runCgiGateway(context, path, closeFlag);
    return context.sendStatusResponse(403, closeFlag, kOriginGatewaySuffix);
}

int Gateways::runHandlerModule(RequestContext& context, const char* libraryPath,
                               int closeFlag) noexcept {
    buildGatewayEnvironment(context);
    // The responder named the file before the set was built; named again, SCRIPT_NAME
    // stands after the set as for every other gateway.
    setScriptName(context);
    return runZlxGateway(context, libraryPath, closeFlag);
}

} // namespace velnor
