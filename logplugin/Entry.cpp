// The plug-in's one exported entry: one record appended to the log per answered request,
// and the log moved aside once it has grown past its limit. Nothing is kept between
// calls, so other programs may read, move or remove the log between requests.
#include <cstddef>
#include <cstdint>

#include "logplugin/AccessLog.h"
#include "platform/FileSystem.h"
#include "platform/TimeConversion.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

// One open, append, size query and close. 1 when the log could be opened and positioned
// at its end, whatever became of the write; 0 otherwise.
int appendRecord(const char16_t* logPath, std::uint32_t sizeLimit, const char* record,
                 std::size_t length) noexcept {
    if (logPathLength(logPath) == 0)
        return 0;
    platform::File log;
    if (!log.open(logPath, platform::File::Mode::ReadWrite))
        return 0;
    if (log.seekEnd() < 0)
        return 0;
    // A failed write costs this record only; the next call tries afresh.
    (void)log.writeAll(record, length);
    const std::int64_t size = log.size();
    log.close();

    // The record that passes the limit stays in the file it was written to; the next
    // call starts a new file.
    if (size > static_cast<std::int64_t>(sizeLimit)) {
        char16_t rotated[kLogPathArea] = {};
        // The rename replaces an older rotated file in one step. When it fails the log
        // stays where it is and the next call tries again.
        if (rotatedLogName(logPath, rotated, kLogPathArea))
            (void)platform::moveFile(logPath, rotated);
    }
    return 1;
}

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
    return velnor::appendRecord(logPath, sizeLimit, record, length);
}
