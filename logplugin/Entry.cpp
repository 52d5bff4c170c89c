// The plug-in's one exported entry: one record appended to the log per answered request,
// and the log moved aside once it has grown past its limit. The log stays open between
// calls, yet other programs may still read, move or remove it between requests (the
// records go on to the file the path names within a fifth of a second, and none is left
// only in a removed file), and several servers may share one log.
#include <cstddef>
#include <cstdint>

#include "logplugin/AccessLog.h"
#include "logplugin/LogFile.h"
#include "platform/TimeConversion.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

// The one log of the process, closed when the library is unloaded.
LogFile theLog;

} // namespace
} // namespace velnor

extern "C" VELNOR_EXPORT int fnVelnorLog(const char16_t* logPath, std::uint32_t sizeLimit,
                                         std::int32_t status, const VelnorTextTable* headerTable) {
    velnor::platform::SystemTime now;
    int utcOffsetMinutes = 0;
    velnor::platform::localTimeNow(now, utcOffsetMinutes);

    // The cursor is the one field of the table a plug-in moves; the table itself is the
    // server's own, writable object, lent for the call.
    const velnor::LogFields fields =
        velnor::gatherFields(const_cast<VelnorTextTable*>(headerTable));

    char record[velnor::kRecordArea] = {};
    const std::size_t length =
        velnor::formatRecord(fields, status, now, utcOffsetMinutes, record, sizeof record);
    return velnor::theLog.append(logPath, sizeLimit, record, length);
}
