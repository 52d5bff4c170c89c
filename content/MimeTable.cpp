#include "content/MimeTable.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "content/Strings.h"
#include "platform/DirectoryList.h"
#include "platform/Utf.h"

namespace velnor {

namespace {

// Paths and names of the table live in areas of this size, terminator included.
constexpr std::size_t kPathArea = 260;

struct BuiltIn {
    const char* suffix;
    const char* type;
};

// Sent to clients exactly as written: browsers have long seen these spellings from us.
constexpr BuiltIn kBuiltIns[] = {
    {".html", "text/html"},
    {".htm", "text/html"},
    {".gif", "image/gif"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".zip", "application/zip"},
    {".lzh", "application/octed-stream"},
    {".txt", "text/plain"},
    {".css", "text/css"},
    {".bmp", "image/bitmap"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".mpg", "video/mpeg"},
    {".mpeg", "video/mpeg"},
    {".pdf", "application/pdf"},
    {".ls", "application/x-javascript"},
    {".js", "application/x-javascript"},
    {".mp3", "audio/mp3"},
    {".m3u", "audio/x-mpegurl"},
    {".wav", "audio/x-wav"},
    {".mid", "audio/mid"},
    {".midi", "audio/mid"},
    {".swf", "application/x-shockwave-flash"},
};

bool isSeparator(char c) noexcept {
    return c == '\\' || c == '/';
}

// `directory` followed by `name` in `out` (kPathArea units); false when it does not fit.
bool joinWide(char16_t* out, const char16_t* directory, const char16_t* name) noexcept {
    std::size_t n = 0;
    for (const char16_t* part : {directory, name}) {
        for (const char16_t* p = part; *p; ++p) {
            if (n + 1 >= kPathArea)
                return false;
            out[n++] = *p;
        }
    }
    out[n] = 0;
    return true;
}

struct ModuleScan {
    MimeTable* table;
    const char* directory; // 8-bit, "\" separators, ending in "\"
};

bool registerModule(const char* fileName, void* context) noexcept {
    const auto& scan = *static_cast<const ModuleScan*>(context);
    const std::size_t stemLength = std::strcspn(fileName, ".");
    // A hidden ".mod" file names no suffix. A backslash in a name would read as a
    // separator once the path goes back to the file system, naming another file. A name
    // that is not valid text could never be loaded through its path.
    if (stemLength == 0 || std::strchr(fileName, '\\') ||
        platform::utf8ToUtf16(fileName, std::strlen(fileName), nullptr, 0) < 0)
        return true;
    const std::size_t directoryLength = std::strlen(scan.directory);
    const std::size_t fileNameLength = std::strlen(fileName);
    if (directoryLength + fileNameLength >= kPathArea)
        return true;
    char value[kPathArea];
    std::memcpy(value, scan.directory, directoryLength);
    std::memcpy(value + directoryLength, fileName, fileNameLength + 1);
    // The key is shorter than the value, so it fits as well.
    char key[kPathArea];
    key[0] = '.';
    std::memcpy(key + 1, fileName, stemLength);
    key[stemLength + 1] = 0;
    scan.table->add(key, value);
    return true;
}

} // namespace

MimeTable::MimeTable() noexcept {
    for (const BuiltIn& row : kBuiltIns)
        add(row.suffix, row.type);
}

MimeTable::~MimeTable() = default;

void MimeTable::build(const char16_t* programDirectory) noexcept {
    if (!programDirectory)
        return;
    char16_t path[kPathArea];
    if (joinWide(path, programDirectory, u"\\AddType.txt"))
        loadFile(path);
    if (joinWide(path, programDirectory, u"\\"))
        registerModules(path);
}

void MimeTable::registerModules(const char16_t* directory) noexcept {
    if (!directory)
        return;
    // The value marks a handler module by its leading "\", so the directory is kept in
    // the server's separator form whichever way it was written.
    char narrow[kPathArea];
    const long length =
        platform::utf16ToUtf8(directory, platform::wideLength(directory), narrow, sizeof narrow);
    if (length < 0)
        return;
    slashesToBackslashes(narrow);
    if (length == 0 || narrow[length - 1] != '\\') {
        if (static_cast<std::size_t>(length) + 1 >= sizeof narrow)
            return;
        narrow[length] = '\\';
        narrow[length + 1] = 0;
    }
    ModuleScan scan{this, narrow};
    platform::listFiles(directory, ".mod", registerModule, &scan);
}

const char* MimeTable::contentType(const char* key) const noexcept {
    const char* type = key ? lookupNoCase(key) : nullptr;
    return type ? type : kDefaultType;
}

const char* suffixKey(const char* path) noexcept {
    if (!path)
        return "";
    const char* key = nullptr;
    for (const char* p = path; *p; ++p) {
        if (*p == '.' || isSeparator(*p))
            key = p;
    }
    // Neither a dot nor a separator: an empty key, which no entry is named.
    return key ? key : path + std::strlen(path);
}

} // namespace velnor
