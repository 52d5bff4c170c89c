// The plug-in's one exported entry: one record appended to the log per answered request,
// and the log moved aside once it has grown past its limit. Nothing is kept between
// calls, so other programs may read, move or remove the log between requests, and
// several servers may share one log.
#include <cstddef>
#include <cstdint>

#include "logplugin/AccessLog.h"
#include "platform/AppendFile.h"
#include "platform/FileSystem.h"
#include "platform/TimeConversion.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

// How long a record waits while another writer holds the log; a record takes far less,
// so only a stuck writer makes it give up.
constexpr std::uint32_t kLockLimitMs = 1000;
// A rotation by another writer can move the file away between our open and our lock;
// the path is then opened afresh, a few times at most.
constexpr int kOpenTries = 3;

// 1 when the whole record is in the log, 0 when nothing of it is.
int appendRecord(const char16_t* logPath, std::uint32_t sizeLimit, const char* record,
                 std::size_t length) noexcept {
    if (logPathLength(logPath) == 0)
        return 0;
    platform::AppendFile log;
    for (int attempt = 1;; ++attempt) {
        if (!log.open(logPath) || !log.lock(kLockLimitMs))
            return 0;
        if (log.isNamedBy(logPath))
            break;
        if (attempt == kOpenTries)
            return 0;
    }
    // A full disk stores part of a record at most, and that part is cut off again: the
    // next record starts on a line of its own.
    const bool written = log.append(record, length) == platform::AppendResult::Written;

    // The record that passes the limit stays in the file it was written to; the next
    // call starts a new file. Every writer renames only under its file's lock and only
    // the file the path still names, so two writers past the limit at once never move
    // the fresh file of a third over the one just rotated.
    if (log.size() > static_cast<std::int64_t>(sizeLimit) && log.isNamedBy(logPath)) {
        char16_t rotated[kLogPathArea] = {};
        // The rename replaces an older rotated file in one step. When it fails the log
        // stays where it is and the next call tries again.
        if (rotatedLogName(logPath, rotated, kLogPathArea))
            (void)platform::moveFile(logPath, rotated);
    }
    return written ? 1 : 0;
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
