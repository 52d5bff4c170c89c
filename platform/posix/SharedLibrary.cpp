#include "platform/SharedLibrary.h"

#include <cstring>
#include <dlfcn.h>
#include <mutex>

#include "platform/FileSystem.h"

namespace velnor::platform {
namespace {

// Room for any Linux path; a longer one cannot name a file anyway.
constexpr std::size_t kOsPathCapacity = 4096;

// The C library runs loads, lookups and unloads one at a time under a lock of its own;
// taking ours around them as well changes nothing in what waits for what, and lets the
// thread checker see the order the loader keeps (it cannot see inside the loader).
std::mutex& loaderLock() noexcept {
    static std::mutex lock;
    return lock;
}

void* load(const char* osPath) noexcept {
    // A name without "/" would make the loader search the library path instead of
    // opening the file the server named.
    char relative[kOsPathCapacity];
    if (std::strchr(osPath, '/') == nullptr) {
        const std::size_t length = std::strlen(osPath);
        if (length + 3 > sizeof relative)
            return nullptr;
        relative[0] = '.';
        relative[1] = '/';
        std::memcpy(relative + 2, osPath, length + 1);
        osPath = relative;
    }
    std::lock_guard<std::mutex> hold(loaderLock());
    return ::dlopen(osPath, RTLD_NOW | RTLD_LOCAL);
}

} // namespace

bool SharedLibrary::open(const char* path) noexcept {
    close();
    char osPath[kOsPathCapacity];
    if (path == nullptr || *path == 0 || !toOsPath(path, osPath, sizeof osPath))
        return false;
    handle_ = load(osPath);
    return handle_ != nullptr;
}

bool SharedLibrary::open(const char16_t* path) noexcept {
    close();
    char osPath[kOsPathCapacity];
    if (path == nullptr || *path == 0 || !toOsPath(path, osPath, sizeof osPath))
        return false;
    handle_ = load(osPath);
    return handle_ != nullptr;
}

void* SharedLibrary::symbol(const char* name) const noexcept {
    if (handle_ == nullptr || name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(loaderLock());
    return ::dlsym(handle_, name);
}

void SharedLibrary::close() noexcept {
    if (handle_ != nullptr) {
        std::lock_guard<std::mutex> hold(loaderLock());
        ::dlclose(handle_);
    }
    handle_ = nullptr;
}

} // namespace velnor::platform
