#include "platform/TimeConversion.h"

#include <time.h>

namespace velnor::platform {

void localTimeNow(SystemTime& out, int& utcOffsetMinutes) noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        // Without a zone the machine's time is UTC; still report a real moment.
        fileTimeToSystemTime(fileTimeFromUnix(now.tv_sec, 0), out);
        out.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000);
        utcOffsetMinutes = 0;
        return;
    }
    out.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    out.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    out.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    out.day = static_cast<std::uint16_t>(local.tm_mday);
    out.hour = static_cast<std::uint16_t>(local.tm_hour);
    out.minute = static_cast<std::uint16_t>(local.tm_min);
    // A leap second (tm_sec 60) would make the fields name no valid time.
    out.second = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    out.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1'000'000);
    utcOffsetMinutes = static_cast<int>(local.tm_gmtoff / 60);
}

} // namespace velnor::platform
