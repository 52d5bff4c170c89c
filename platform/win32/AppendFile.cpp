#include "platform/AppendFile.h"

#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

using win32::asHandle;

// Between two tries for a lock held by another writer; a rotation or an undo takes far
// less. Every refusal is waited out: a second try through the same handle is refused
// with differing codes by the system and by its emulations.
constexpr DWORD kLockPauseMs = 2;
// How long the undo of a partial write waits for another writer's rotation or undo.
constexpr std::uint32_t kUndoLockMs = 1000;

// Locks here are mandatory: a locked range refuses other handles' reads and writes. The
// writers' lock therefore covers one byte no record ever reaches, the last a file can have.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;

OVERLAPPED lockRange() noexcept {
    OVERLAPPED range{};
    range.Offset = kLockOffsetLow;
    range.OffsetHigh = kLockOffsetHigh;
    return range;
}

} // namespace

bool AppendFile::open(const char* path) noexcept {
    fd_.reset();
    const win32::WidePath wide(path);
    if (!wide.ok())
        return false;
    // Appending data without the right to write data anywhere else is what makes every
    // write land at the end as the file is then; reading data is what a lock asks for.
    constexpr DWORD kAccess =
        FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    UniqueHandle opened(win32::openFile(wide.get(), kAccess, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL));
    // A pipe or device named by the path is no log file.
    std::int64_t size = 0;
    if (!opened || ::GetFileType(asHandle(opened.get())) != FILE_TYPE_DISK ||
        !win32::identityOf(opened.get(), device_, inode_, &size))
        return false;
    openedSize_ = size;
    fd_ = std::move(opened);
    return true;
}

bool AppendFile::isNamedBy(const char* path, std::int64_t& size) const noexcept {
    const win32::WidePath wide(path);
    if (!fd_.valid() || !wide.ok())
        return false;
    UniqueHandle named(win32::openFile(wide.get(), FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0));
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::int64_t namedSize = 0;
    // While this file is open its index cannot be handed to a new file, so an equal pair
    // is the same file.
    if (!named || !win32::identityOf(named.get(), volume, index, &namedSize) || volume != device_ ||
        index != inode_)
        return false;
    size = namedSize;
    return true;
}

bool AppendFile::hasName() const noexcept {
    FILE_STANDARD_INFO info;
    return fd_.valid() &&
           ::GetFileInformationByHandleEx(asHandle(fd_.get()), FileStandardInfo, &info,
                                          sizeof info) &&
           !info.DeletePending && info.NumberOfLinks > 0;
}

bool AppendFile::lock(std::uint32_t limitMs) noexcept {
    const std::uint32_t tries = limitMs / kLockPauseMs + 1;
    for (std::uint32_t n = 0; n < tries; ++n) {
        OVERLAPPED range = lockRange();
        if (::LockFileEx(asHandle(fd_.get()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                         0, 1, 0, &range))
            return true;
        ::Sleep(kLockPauseMs);
    }
    return false;
}

void AppendFile::unlock() noexcept {
    if (!fd_.valid())
        return;
    OVERLAPPED range = lockRange();
    (void)::UnlockFileEx(asHandle(fd_.get()), 0, 1, 0, &range);
}

AppendResult AppendFile::append(const void* data, std::size_t size) noexcept {
    if (size > 0xFFFFFFFFu)
        return AppendResult::Failed;
    DWORD wrote = 0;
    const bool done = ::WriteFile(asHandle(fd_.get()), data, DWORD(size), &wrote, nullptr);
    if (done && wrote == size)
        return AppendResult::Written;
    if (wrote == 0)
        return AppendResult::Failed;
    // An appending handle's position stands right after the bytes that were stored.
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(asHandle(fd_.get()), zero, &end, FILE_CURRENT) ||
        end.QuadPart < std::int64_t(wrote) || !lock(kUndoLockMs))
        return AppendResult::Failed;
    // Records are written without the lock, so the cut is safe only while nothing has
    // been appended behind the part; on a full disk the other writers store nothing. The
    // appending handle may not cut, so a second handle to the same file does.
    UniqueHandle cutter(reinterpret_cast<NativeHandle>(
        ::ReOpenFile(asHandle(fd_.get()), GENERIC_WRITE, win32::kShareAll, 0)));
    LARGE_INTEGER now{};
    FILE_END_OF_FILE_INFO cutAt{};
    cutAt.EndOfFile.QuadPart = end.QuadPart - wrote;
    const bool cut = cutter && ::GetFileSizeEx(asHandle(fd_.get()), &now) &&
                     now.QuadPart == end.QuadPart &&
                     ::SetFileInformationByHandle(asHandle(cutter.get()), FileEndOfFileInfo, &cutAt,
                                                  sizeof cutAt);
    unlock();
    return cut ? AppendResult::Undone : AppendResult::Failed;
}

} // namespace velnor::platform
