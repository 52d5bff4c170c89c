#include "platform/SharedLibrary.h"

#include <mutex>

#include "platform/win32/WidePath.h"

namespace velnor::platform {
namespace {

// The loader runs loads, lookups and unloads one at a time under a lock of its own;
// taking ours around them as well changes nothing in what waits for what, and keeps the
// order the same as on the other system.
std::mutex& loaderLock() noexcept {
    static std::mutex lock;
    return lock;
}

void* load(const char16_t* path) noexcept {
    // The loader wants "\" alone, and a bare or relative name would make it search its
    // path list instead of opening the file the server named: the full path goes to it,
    // and that path's own folder is where the library's dependencies are looked for first.
    char16_t slashed[win32::kWidePathUnits];
    const std::size_t units = wideLength(path);
    if (units == 0 || units >= win32::kWidePathUnits)
        return nullptr;
    for (std::size_t i = 0; i <= units; ++i)
        slashed[i] = path[i] == u'/' ? u'\\' : path[i];
    char16_t full[win32::kWidePathUnits];
    const DWORD fullUnits =
        ::GetFullPathNameW(reinterpret_cast<const wchar_t*>(slashed), DWORD(win32::kWidePathUnits),
                           reinterpret_cast<wchar_t*>(full), nullptr);
    if (fullUnits == 0 || fullUnits >= win32::kWidePathUnits)
        return nullptr;
    std::lock_guard<std::mutex> hold(loaderLock());
    // A file that is no library must fail the load, not stop the server at a message box.
    DWORD previousMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = ::LoadLibraryExW(reinterpret_cast<const wchar_t*>(full), nullptr,
                                      LOAD_WITH_ALTERED_SEARCH_PATH);
    ::SetThreadErrorMode(previousMode, nullptr);
    return reinterpret_cast<void*>(module);
}

} // namespace

bool SharedLibrary::open(const char* path) noexcept {
    close();
    const win32::WidePath wide(path);
    if (!wide.ok())
        return false;
    handle_ = load(reinterpret_cast<const char16_t*>(wide.get()));
    return handle_ != nullptr;
}

bool SharedLibrary::open(const char16_t* path) noexcept {
    close();
    if (path == nullptr || *path == 0)
        return false;
    handle_ = load(path);
    return handle_ != nullptr;
}

void* SharedLibrary::symbol(const char* name) const noexcept {
    if (handle_ == nullptr || name == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> hold(loaderLock());
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void SharedLibrary::close() noexcept {
    if (handle_ != nullptr) {
        std::lock_guard<std::mutex> hold(loaderLock());
        ::FreeLibrary(static_cast<HMODULE>(handle_));
    }
    handle_ = nullptr;
}

} // namespace velnor::platform
