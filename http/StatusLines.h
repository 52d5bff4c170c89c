// The status-line table shared by every responder and gateway.
#pragma once

#include <cstddef>

namespace velnor {

// Origin codes: the fixed number of the site that produced a bare status response.
constexpr int kOriginDispatch = 358;
constexpr int kOriginPathConversion = 512;
constexpr int kOriginFileOpen = 578;
constexpr int kOriginGatewaySuffix = 724;

// CGI process gateway.
constexpr int kOriginCgiInputPipe = 1764;
constexpr int kOriginCgiOutputPipe = 1772;
constexpr int kOriginCgiErrorPipe = 1781;
constexpr int kOriginCgiDuplication = 1793;
constexpr int kOriginCgiStart = 1865;
constexpr int kOriginCgiShortOutput = 1910;
constexpr int kOriginCgiProbeMemory = 1920;

// ZLX extensions and handler modules.
constexpr int kOriginZlxPath = 1529;
constexpr int kOriginZlxLoad = 1549;
constexpr int kOriginZlxEntry = 1557;
constexpr int kOriginZlxNoResponse = 1572;
constexpr int kOriginZlxHeadEnd = 1586;

// CAPI extensions.
constexpr int kOriginCapiPath = 1682;
constexpr int kOriginCapiLoad = 1693;
constexpr int kOriginCapiEntry = 1701;

// The length snprintf produced, or 0 when it failed or the text was cut: a head that
// does not fit its area is never sent in part.
inline std::size_t formattedLength(int result, std::size_t capacity) noexcept {
    if (result < 0 || std::size_t(result) >= capacity)
        return 0;
    return std::size_t(result);
}

// The status text for a code ("404 Object Not Found"), or null when the table has no row.
const char* statusText(int code) noexcept;

} // namespace velnor
