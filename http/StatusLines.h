// The status-line table shared by every responder and gateway.
#pragma once

namespace velnor {

// Origin codes: the fixed number of the site that produced a bare status response.
constexpr int kOriginDispatch = 358;
constexpr int kOriginPathConversion = 512;
constexpr int kOriginFileOpen = 578;
constexpr int kOriginGatewaySuffix = 724;

// The status text for a code ("404 Object Not Found"), or null when the table has no row.
const char* statusText(int code) noexcept;

} // namespace velnor
