#include "platform/FileLock.h"

#include <cstdio>

#include "platform/FileSystem.h"
#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

using win32::asHandle;

// Never through a link: a link planted under the lock's name makes the update fail
// instead of locking elsewhere.
NativeHandle openLockFile(const wchar_t* name) noexcept {
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    NativeHandle handle = win32::openFile(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, kFlags);
    // A lock on a handle that may only read serves as well, for one who may not write it.
    if (handle == kNoHandle && ::GetLastError() == ERROR_ACCESS_DENIED)
        handle = win32::openFile(name, GENERIC_READ, OPEN_EXISTING, kFlags);
    return handle;
}

bool isPlainFile(NativeHandle handle) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileType(asHandle(handle)) == FILE_TYPE_DISK &&
           ::GetFileInformationByHandle(asHandle(handle), &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

} // namespace

bool FileLock::acquire(const char* path, int waitMs) noexcept {
    release();
    char target[win32::kWidePathUnits];
    char name[win32::kWidePathUnits];
    if (!path || !linkTarget(path, target, sizeof target))
        return false;
    const int n = std::snprintf(name, sizeof name, "%s.lock", target);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof name)
        return false;
    const win32::WidePath wide(name);
    if (!wide.ok())
        return false;
    UniqueHandle handle(openLockFile(wide.get()));
    if (!handle || !isPlainFile(handle.get()))
        return false;
    // Polled rather than blocking, so a holder that never lets go costs a bounded wait.
    // Nobody reads or writes the lock file, so its first byte is the lock. Every refusal
    // is waited out, whatever code the system gives it.
    constexpr DWORD kStepMs = 2;
    for (long waited = 0;; waited += kStepMs) {
        OVERLAPPED range{};
        if (::LockFileEx(asHandle(handle.get()),
                         LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
            fd_ = std::move(handle);
            return true;
        }
        if (waited >= waitMs)
            return false;
        ::Sleep(kStepMs);
    }
}

} // namespace velnor::platform
