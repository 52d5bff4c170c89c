#include "platform/FileSystem.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

using win32::asHandle;
using win32::fileTimeOf;
using win32::joinHalves;
using win32::kWidePathUnits;
using win32::WidePath;

// Seconds and nanoseconds since 1970, as the other system keeps a file's stamps, so
// callers turn them back into file times the same way on both.
FileStamp stampOf(std::uint64_t fileTime) noexcept {
    constexpr std::int64_t kTicksPerSecond = 10'000'000;
    constexpr std::int64_t kUnixEpochSeconds = 11'644'473'600;
    const auto ticks = static_cast<std::int64_t>(fileTime);
    return {ticks / kTicksPerSecond - kUnixEpochSeconds,
            static_cast<std::uint32_t>(ticks % kTicksPerSecond * 100)};
}

void copyLastName(const char* path, FileRecord& record) noexcept {
    const char* name = path;
    for (const char* p = path; *p != 0; ++p)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    const std::size_t length = std::min(std::strlen(name), sizeof record.name - 1);
    std::memcpy(record.name, name, length);
    record.name[length] = 0;
}

void copyLastName(const char16_t* path, FileRecord& record) noexcept {
    const char16_t* name = path;
    for (const char16_t* p = path; *p != 0; ++p)
        if (*p == u'\\' || *p == u'/')
            name = p + 1;
    if (utf16ToUtf8(name, wideLength(name), record.name, sizeof record.name) < 0)
        record.name[0] = 0;
}

// Everything but the name, from one open handle: the identity and the change time exist
// only there.
bool describe(NativeHandle handle, FileRecord& record) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(asHandle(handle), &info))
        return false;
    record.attributes = info.dwFileAttributes;
    record.lastWriteTime = fileTimeOf(info.ftLastWriteTime);
    record.size = joinHalves(info.nFileSizeHigh, info.nFileSizeLow);
    record.regular = ::GetFileType(asHandle(handle)) == FILE_TYPE_DISK &&
                     (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    record.symbolicLink = false;
    record.device = info.dwVolumeSerialNumber;
    record.inode = joinHalves(info.nFileIndexHigh, info.nFileIndexLow);
    record.modified = stampOf(record.lastWriteTime);
    // The change time moves with every change of attributes, names or links as well; a
    // file system without one lends the write time, which still tells versions apart.
    FILE_BASIC_INFO basic;
    const bool hasBasic =
        ::GetFileInformationByHandleEx(asHandle(handle), FileBasicInfo, &basic, sizeof basic);
    record.changed =
        stampOf(hasBasic ? std::uint64_t(basic.ChangeTime.QuadPart) : record.lastWriteTime);
    return true;
}

// Opens only to ask about the file: no data access, and a directory opens too.
NativeHandle openToLookUp(const wchar_t* path, bool followLinks) noexcept {
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : DWORD(FILE_FLAG_OPEN_REPARSE_POINT));
    return win32::openFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, flags);
}

// A file that cannot be opened even for its attributes (a system file held without
// sharing) is still described as far as its directory entry tells; it has no identity,
// so it never looks like the same version as an opened one.
bool describeByName(const wchar_t* path, FileRecord& record) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return false;
    record.attributes = data.dwFileAttributes;
    record.lastWriteTime = fileTimeOf(data.ftLastWriteTime);
    record.size = joinHalves(data.nFileSizeHigh, data.nFileSizeLow);
    record.regular =
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    record.symbolicLink = false;
    record.device = 0;
    record.inode = 0;
    record.modified = stampOf(record.lastWriteTime);
    record.changed = record.modified;
    return true;
}

bool lookUp(const WidePath& path, FileRecord& record) noexcept {
    if (!path.ok())
        return false;
    UniqueHandle handle(openToLookUp(path.get(), true));
    if (handle)
        return describe(handle.get(), record);
    const DWORD error = ::GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
           describeByName(path.get(), record);
}

NativeHandle openForMode(const wchar_t* path, File::Mode mode, DWORD extraFlags) noexcept {
    switch (mode) {
    case File::Mode::Read: {
        // Only a regular file's reads end by themselves; the handle is judged, not the
        // name, so nothing swapped in after a lookup gets through. A pipe's open does not
        // wait for a server either: it fails when none is free.
        UniqueHandle opened(
            win32::openFile(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | extraFlags));
        return opened && win32::isDiskFile(opened.get()) ? opened.release() : kNoHandle;
    }
    case File::Mode::ReadWrite:
        return win32::openFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL);
    case File::Mode::WriteReplace:
        return win32::openFile(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    }
    return kNoHandle;
}

} // namespace

bool toOsPath(const char* path, char* out, std::size_t capacity) noexcept {
    if (!path || !out || capacity == 0)
        return false;
    // The system takes "\" and "/" alike, so the server's path is already the OS path.
    const std::size_t length = std::strlen(path);
    if (length >= capacity) {
        out[0] = 0;
        return false;
    }
    std::memcpy(out, path, length + 1);
    return true;
}

bool toOsPath(const char16_t* path, char* out, std::size_t capacity) noexcept {
    if (!path || !out || capacity == 0)
        return false;
    if (utf16ToUtf8(path, wideLength(path), out, capacity) < 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool findFile(const char* path, FileRecord& record) noexcept {
    const WidePath wide(path);
    if (!lookUp(wide, record))
        return false;
    copyLastName(path, record);
    return true;
}

bool findFile(const char16_t* path, FileRecord& record) noexcept {
    const WidePath wide(path);
    if (!lookUp(wide, record))
        return false;
    copyLastName(path, record);
    return true;
}

bool lookUpName(const char* path, FileRecord& record) noexcept {
    const WidePath wide(path);
    if (!wide.ok())
        return false;
    // Any reparse point counts as a link: opened without following, it is the point
    // itself and not the file it stands for.
    UniqueHandle handle(openToLookUp(wide.get(), false));
    if (!handle)
        return findFile(path, record);
    if (!describe(handle.get(), record))
        return false;
    if ((record.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        handle.reset(openToLookUp(wide.get(), true));
        if (!handle || !describe(handle.get(), record))
            return false;
        record.symbolicLink = true;
    }
    copyLastName(path, record);
    return true;
}

PathKind pathKind(const char* path) noexcept {
    const WidePath wide(path);
    const DWORD attributes = wide.ok() ? ::GetFileAttributesW(wide.get()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::Other;
}

// The system starts a program by its name's ending, not by a permission bit.
bool isExecutableFile(const char* path) noexcept {
    FileRecord record;
    if (!findFile(path, record) || !record.regular)
        return false;
    const char* dot = std::strrchr(record.name, '.');
    if (dot == nullptr)
        return false;
    for (const char* known : {".exe", ".com", ".bat", ".cmd"}) {
        std::size_t i = 0;
        while (known[i] != 0 && (dot[i] | 0x20) == known[i])
            ++i;
        if (known[i] == 0 && dot[i] == 0)
            return true;
    }
    return false;
}

bool File::open(const char* path, Mode mode) noexcept {
    const WidePath wide(path);
    fd_.reset(wide.ok() ? openForMode(wide.get(), mode, 0) : kNoHandle);
    return fd_.valid();
}

bool File::open(const char16_t* path, Mode mode) noexcept {
    const WidePath wide(path);
    fd_.reset(wide.ok() ? openForMode(wide.get(), mode, 0) : kNoHandle);
    return fd_.valid();
}

bool File::openRead(const char* path, bool followLinks, FileRecord& record) noexcept {
    const WidePath wide(path);
    const DWORD extra = followLinks ? 0 : DWORD(FILE_FLAG_OPEN_REPARSE_POINT);
    UniqueHandle opened(wide.ok() ? openForMode(wide.get(), Mode::Read, extra) : kNoHandle);
    FileRecord described;
    if (!opened || !describe(opened.get(), described) ||
        (!followLinks && (described.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        fd_.reset();
        return false;
    }
    copyLastName(path, described);
    record = described;
    fd_ = std::move(opened);
    return true;
}

long File::read(void* buffer, std::size_t size) noexcept {
    // One call moves at most a DWORD's worth; the result must fit a long as well.
    const DWORD ask = size > 0x40000000u ? 0x40000000u : DWORD(size);
    DWORD got = 0;
    if (!::ReadFile(asHandle(fd_.get()), buffer, ask, &got, nullptr))
        return ::GetLastError() == ERROR_HANDLE_EOF || ::GetLastError() == ERROR_BROKEN_PIPE ? 0
                                                                                             : -1;
    return long(got);
}

bool File::writeAll(const void* data, std::size_t size) noexcept {
    auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD ask = size > 0x40000000u ? 0x40000000u : DWORD(size);
        DWORD wrote = 0;
        if (!::WriteFile(asHandle(fd_.get()), p, ask, &wrote, nullptr) || wrote == 0)
            return false;
        p += wrote;
        size -= wrote;
    }
    return true;
}

std::int64_t File::seekEnd() noexcept {
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    return ::SetFilePointerEx(asHandle(fd_.get()), zero, &end, FILE_END) ? end.QuadPart : -1;
}

std::int64_t File::size() const noexcept {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(asHandle(fd_.get()), &size) ? size.QuadPart : -1;
}

bool File::sync() noexcept {
    return ::FlushFileBuffers(asHandle(fd_.get())) != 0;
}

bool File::finalName(char* out, std::size_t capacity) const noexcept {
    if (out == nullptr || capacity == 0 || !fd_.valid())
        return false;
    out[0] = 0;
    char16_t final[kWidePathUnits];
    const DWORD units =
        ::GetFinalPathNameByHandleW(asHandle(fd_.get()), reinterpret_cast<wchar_t*>(final),
                                    DWORD(kWidePathUnits), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (units == 0 || units >= kWidePathUnits)
        return false;
    const char16_t* name = final;
    for (const char16_t* p = final; *p != 0; ++p)
        if (*p == u'\\')
            name = p + 1;
    if (utf16ToUtf8(name, wideLength(name), out, capacity) < 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool deleteFile(const char16_t* path) noexcept {
    const WidePath wide(path);
    return wide.ok() && ::DeleteFileW(wide.get());
}

bool moveFile(const char16_t* from, const char16_t* to) noexcept {
    const WidePath a(from);
    const WidePath b(to);
    return a.ok() && b.ok() && ::MoveFileExW(a.get(), b.get(), MOVEFILE_REPLACE_EXISTING);
}

bool moveFile(const char* from, const char* to) noexcept {
    const WidePath a(from);
    const WidePath b(to);
    return a.ok() && b.ok() && ::MoveFileExW(a.get(), b.get(), MOVEFILE_REPLACE_EXISTING);
}

bool createDirectory(const char* path) noexcept {
    const WidePath wide(path);
    return wide.ok() && ::CreateDirectoryW(wide.get(), nullptr);
}

void programDirectory(char16_t* out, std::size_t capacity) noexcept {
    if (!out || capacity == 0)
        return;
    out[0] = 0;
    char16_t exe[kWidePathUnits];
    const DWORD units =
        ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(exe), DWORD(kWidePathUnits));
    // A name that filled the area may have been cut short: no directory rather than a
    // wrong one.
    if (units == 0 || units >= kWidePathUnits)
        return;
    std::size_t cut = 0;
    for (std::size_t i = 0; i < units; ++i)
        if (exe[i] == u'\\' || exe[i] == u'/')
            cut = i;
    if (cut == 0 || cut >= capacity)
        return;
    for (std::size_t i = 0; i < cut; ++i)
        out[i] = exe[i] == u'/' ? u'\\' : exe[i];
    out[cut] = 0;
}

} // namespace velnor::platform
