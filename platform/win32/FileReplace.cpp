// Following links to the file they name, and replacing a file as a whole.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/FileSystem.h"
#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

using win32::asHandle;
using win32::kWidePathUnits;
using win32::WidePath;

// The final path of an open file without the "\\?\" the system puts in front, so it reads
// as the drive or share path a person would write.
bool finalPathOf(NativeHandle handle, char* out, std::size_t capacity) noexcept {
    char16_t final[kWidePathUnits];
    const DWORD units =
        ::GetFinalPathNameByHandleW(asHandle(handle), reinterpret_cast<wchar_t*>(final),
                                    DWORD(kWidePathUnits), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units == 0 || units >= kWidePathUnits)
        return false;
    const char16_t* start = final;
    if (std::char_traits<char16_t>::compare(final, u"\\\\?\\UNC\\", 8) == 0) {
        // "\\?\UNC\server\share" is "\\server\share": keep one "\" of the prefix's two.
        start = final + 6;
        final[6] = u'\\';
    } else if (std::char_traits<char16_t>::compare(final, u"\\\\?\\", 4) == 0) {
        start = final + 4;
    }
    return utf16ToUtf8(start, wideLength(start), out, capacity) >= 0;
}

bool writeEverything(HANDLE handle, const void* data, std::size_t size) noexcept {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD ask = size > 0x40000000u ? 0x40000000u : DWORD(size);
        DWORD wrote = 0;
        if (!::WriteFile(handle, p, ask, &wrote, nullptr) || wrote == 0)
            return false;
        p += wrote;
        size -= wrote;
    }
    return true;
}

// A new file beside `target` under a name nobody can have planted: created exclusively,
// so neither a file nor a link of that name is ever opened.
UniqueHandle createTemporary(const char* target, WidePath& made) noexcept {
    char name[kWidePathUnits];
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const unsigned salt = unsigned(::GetTickCount64()) ^ (++counter << 20);
        const int n = std::snprintf(name, sizeof name, "%s.%lu-%x~", target,
                                    static_cast<unsigned long>(::GetCurrentProcessId()), salt);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof name)
            return UniqueHandle();
        if (!made.assign(name))
            return UniqueHandle();
        UniqueHandle handle(
            win32::openFile(made.get(), GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
        if (handle || ::GetLastError() != ERROR_FILE_EXISTS)
            return handle;
    }
    return UniqueHandle();
}

// Puts the written temporary in the target's place in one step. A rename that keeps the
// old file readable through its open handles (the system's newer semantics) comes first;
// the older rename is refused while anyone has the old file open, and readers hold it for
// moments only, so it is tried again for a bounded while.
bool renameOver(NativeHandle temporary, const wchar_t* target) noexcept {
    // Declared by newer headers only; the value is fixed by the system's interface.
    constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
    const std::size_t units = std::char_traits<wchar_t>::length(target);
    alignas(FILE_RENAME_INFO) unsigned char
        area[sizeof(FILE_RENAME_INFO) + kWidePathUnits * sizeof(wchar_t)] = {};
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(area);
    rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    rename->FileNameLength = DWORD(units * sizeof(wchar_t));
    std::memcpy(rename->FileName, target, (units + 1) * sizeof(wchar_t));
    if (::SetFileInformationByHandle(asHandle(temporary), kRenameInfoEx, rename, sizeof area))
        return true;
    rename->Flags = 0;
    rename->ReplaceIfExists = TRUE;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::SetFileInformationByHandle(asHandle(temporary), FileRenameInfo, rename, sizeof area))
            return true;
        if (::GetLastError() != ERROR_ACCESS_DENIED && ::GetLastError() != ERROR_SHARING_VIOLATION)
            return false;
        ::Sleep(1);
    }
    return false;
}

} // namespace

bool linkTarget(const char* path, char* out, std::size_t capacity) noexcept {
    const WidePath wide(path);
    if (!out || capacity == 0 || !wide.ok())
        return false;
    // A name that is no reparse point, or no file yet, is its own end: where a first write
    // creates the file.
    const DWORD attributes = ::GetFileAttributesW(wide.get());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : 0;
        if (error != 0 && error != ERROR_FILE_NOT_FOUND)
            return false;
        return toOsPath(path, out, capacity);
    }
    // The system follows the chain itself and reports a loop or a missing end as an error.
    UniqueHandle handle(win32::openFile(wide.get(), FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS));
    return handle && finalPathOf(handle.get(), out, capacity);
}

bool replaceFileAtomically(const char* path, const void* data, std::size_t size) noexcept {
    char target[kWidePathUnits];
    if (!linkTarget(path, target, sizeof target))
        return false;
    const WidePath wideTarget(target);
    if (!wideTarget.ok())
        return false;
    // Nothing but a regular file is even opened: opening a device can act on it. The old
    // file must be one this process may write (a read-only one refuses the open).
    const DWORD attributes = ::GetFileAttributesW(wideTarget.get());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
            return false;
        UniqueHandle current(
            win32::openFile(wideTarget.get(), GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
        if (!current || !win32::isDiskFile(current.get()))
            return false;
    } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    WidePath temp("");
    UniqueHandle handle = createTemporary(target, temp);
    if (!handle)
        return false;
    bool ok = writeEverything(asHandle(handle.get()), data, size) &&
              ::FlushFileBuffers(asHandle(handle.get())) &&
              renameOver(handle.get(), wideTarget.get());
    handle.reset();
    if (ok)
        return true;
    ::DeleteFileW(temp.get());
    return false;
}

} // namespace velnor::platform
