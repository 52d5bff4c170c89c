// The variable set every gateway hands to its program or library: the CGI/1.1
// variables of the request, then one HTTP_ copy of each header-table entry.
#pragma once

#include <cstddef>

namespace velnor {

class RequestContext;

// "HTTP_" and at most this many characters of a header name: 511 with the prefix, so
// the name fits a 512-byte area with its NUL.
constexpr std::size_t kHeaderNameCopyLimit = 506;

// Adds the variable set to the request's variable table in its fixed order, after
// whatever target resolution put there (PATH_INFO, PATH_TRANSLATED). A variable that
// cannot be stored for lack of memory is left out and the rest still built.
void buildGatewayEnvironment(RequestContext& context) noexcept;

// Sets SCRIPT_NAME to the resolved path below the document root, as a URL path ("/"
// separators). Moves an existing SCRIPT_NAME to the end. False when it cannot be stored.
bool setScriptName(RequestContext& context) noexcept;

} // namespace velnor
