// What the Windows files of the platform share: a server path in the wide form the W
// functions take, the one way every file is opened, and the conversions of their answers.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/UniqueHandle.h"
#include "platform/Utf.h"

namespace velnor::platform::win32 {

// Without the long-path prefix the system refuses names past MAX_PATH anyway; the area
// leaves room for prefixed ones and for a suffix a caller appends.
constexpr std::size_t kWidePathUnits = 2048;

// A server path (UTF-8, "\" or "/" separators) as NUL-terminated UTF-16. Text that is no
// valid UTF-8 or does not fit leaves it empty and not ok(), which callers treat as a
// missing file.
class WidePath {
public:
    explicit WidePath(const char* path) noexcept { assign(path); }
    explicit WidePath(const char16_t* path) noexcept {
        const std::size_t length = path != nullptr ? wideLength(path) : 0;
        ok_ = length > 0 && length < kWidePathUnits;
        for (std::size_t i = 0; ok_ && i <= length; ++i)
            text_[i] = path[i];
        if (!ok_)
            text_[0] = 0;
    }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;

    // Takes another path in place of the one held; ok() tells whether it converted.
    bool assign(const char* path) noexcept {
        ok_ = path != nullptr && *path != 0 &&
              utf8ToUtf16(path, std::strlen(path), text_, kWidePathUnits) > 0;
        if (!ok_)
            text_[0] = 0;
        return ok_;
    }

    bool ok() const noexcept { return ok_; }
    const wchar_t* get() const noexcept { return reinterpret_cast<const wchar_t*>(text_); }

private:
    char16_t text_[kWidePathUnits];
    bool ok_ = false;
};

// Every file is shared for reading, writing and deleting, so the access log can be
// renamed and a file replaced while someone has it open; no handle is inheritable, so a
// CGI child gets none of them.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline NativeHandle openFile(const wchar_t* path, DWORD access, DWORD disposition,
                             DWORD flags) noexcept {
    HANDLE handle = ::CreateFileW(path, access, kShareAll, nullptr, disposition, flags, nullptr);
    return reinterpret_cast<NativeHandle>(handle);
}

inline HANDLE asHandle(NativeHandle handle) noexcept {
    return reinterpret_cast<HANDLE>(handle);
}

inline std::uint64_t joinHalves(DWORD high, DWORD low) noexcept {
    return (std::uint64_t(high) << 32) | low;
}

inline std::uint64_t fileTimeOf(const FILETIME& time) noexcept {
    return joinHalves(time.dwHighDateTime, time.dwLowDateTime);
}

// The volume and file index that name one file while it exists; false when the handle
// cannot tell them.
inline bool identityOf(NativeHandle handle, std::uint64_t& volume, std::uint64_t& index,
                       std::int64_t* size = nullptr) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(asHandle(handle), &info))
        return false;
    volume = info.dwVolumeSerialNumber;
    index = joinHalves(info.nFileIndexHigh, info.nFileIndexLow);
    if (size != nullptr)
        *size = std::int64_t(joinHalves(info.nFileSizeHigh, info.nFileSizeLow));
    return true;
}

// True for a file on a disk that is no directory: a device, pipe or console is not one.
inline bool isDiskFile(NativeHandle handle) noexcept {
    if (::GetFileType(asHandle(handle)) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(asHandle(handle), &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

} // namespace velnor::platform::win32
