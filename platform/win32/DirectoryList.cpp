#include "platform/DirectoryList.h"
#include "platform/NameSuffix.h"

#include <cstring>

#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

struct FindCloser {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~FindCloser() {
        if (handle != INVALID_HANDLE_VALUE)
            ::FindClose(handle);
    }
};

// A link is followed (a link to a file counts as that file): only opening it tells what
// lies at its end.
bool isRegularEntry(const char16_t* directory, std::size_t directoryUnits,
                    const WIN32_FIND_DATAW& entry) noexcept {
    constexpr DWORD kNotFiles = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    if ((entry.dwFileAttributes & kNotFiles) != 0)
        return false;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return true;
    char16_t full[win32::kWidePathUnits];
    const std::size_t nameUnits = wideLength(reinterpret_cast<const char16_t*>(entry.cFileName));
    if (directoryUnits + nameUnits >= win32::kWidePathUnits)
        return false;
    std::memcpy(full, directory, directoryUnits * sizeof(char16_t));
    std::memcpy(full + directoryUnits, entry.cFileName, (nameUnits + 1) * sizeof(char16_t));
    UniqueHandle target(win32::openFile(reinterpret_cast<const wchar_t*>(full),
                                        FILE_READ_ATTRIBUTES, OPEN_EXISTING, 0));
    return target && win32::isDiskFile(target.get());
}

bool listWide(const char16_t* directory, const char* suffix, FileNameVisitor visit,
              void* context) noexcept {
    if (!directory || !suffix || !visit)
        return false;
    // The directory with its separator, then the pattern that matches every name.
    char16_t pattern[win32::kWidePathUnits];
    std::size_t units = wideLength(directory);
    if (units == 0 || units + 3 >= win32::kWidePathUnits)
        return false;
    std::memcpy(pattern, directory, units * sizeof(char16_t));
    if (pattern[units - 1] != u'\\' && pattern[units - 1] != u'/')
        pattern[units++] = u'\\';
    pattern[units] = u'*';
    pattern[units + 1] = 0;
    WIN32_FIND_DATAW entry;
    FindCloser find;
    find.handle =
        ::FindFirstFileExW(reinterpret_cast<const wchar_t*>(pattern), FindExInfoBasic, &entry,
                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find.handle == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        char name[MAX_PATH * 3 + 1];
        if (utf16ToUtf8(reinterpret_cast<const char16_t*>(entry.cFileName),
                        wideLength(reinterpret_cast<const char16_t*>(entry.cFileName)), name,
                        sizeof name) < 0)
            continue;
        if (!endsWithNoCase(name, suffix) || !isRegularEntry(pattern, units, entry))
            continue;
        if (!visit(name, context))
            break;
    } while (::FindNextFileW(find.handle, &entry));
    return true;
}

} // namespace

bool listFiles(const char* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept {
    const win32::WidePath wide(directory);
    return wide.ok() &&
           listWide(reinterpret_cast<const char16_t*>(wide.get()), suffix, visit, context);
}

bool listFiles(const char16_t* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept {
    return listWide(directory, suffix, visit, context);
}

} // namespace velnor::platform
