#include "platform/DirectoryList.h"
#include "platform/NameSuffix.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileSystem.h"

namespace velnor::platform {
namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

bool isRegularEntry(DIR* dir, const struct dirent* entry) noexcept {
    if (entry->d_type == DT_REG)
        return true;
    // Links are followed (a link to a file counts as that file); file systems that do
    // not fill the type need the look-up too.
    if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
        return false;
    struct stat st;
    return ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

bool listOsDirectory(const char* osPath, const char* suffix, FileNameVisitor visit,
                     void* context) noexcept {
    if (!suffix || !visit)
        return false;
    int fd;
    do {
        fd = ::open(osPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    DirPtr dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (const struct dirent* entry = ::readdir(dir.get())) {
        if (!endsWithNoCase(entry->d_name, suffix) || !isRegularEntry(dir.get(), entry))
            continue;
        if (!visit(entry->d_name, context))
            break;
    }
    return true;
}

} // namespace

bool listFiles(const char* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept {
    char os[PATH_MAX];
    return toOsPath(directory, os, sizeof os) && listOsDirectory(os, suffix, visit, context);
}

bool listFiles(const char16_t* directory, const char* suffix, FileNameVisitor visit,
               void* context) noexcept {
    char os[PATH_MAX];
    return toOsPath(directory, os, sizeof os) && listOsDirectory(os, suffix, visit, context);
}

} // namespace velnor::platform
