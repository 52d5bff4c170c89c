// A loaded shared library (plug-in, extension or handler module) and its entries.
#pragma once

#include <utility>

// How this system names a shared library's file: "name" VELNOR_LIBRARY_SUFFIX.
#ifdef _WIN32
#define VELNOR_LIBRARY_SUFFIX ".dll"
#else
#define VELNOR_LIBRARY_SUFFIX ".so"
#endif

namespace velnor::platform {

/// Owns one loaded library: loaded with every symbol bound at once and none shared
/// with other libraries, released when the owner goes.
class SharedLibrary {
public:
    SharedLibrary() = default;
    ~SharedLibrary() { close(); }
    SharedLibrary(SharedLibrary&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)) {}
    SharedLibrary& operator=(SharedLibrary&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads the library at a server path ("\" or "/" separators), releasing any library
    // held before. False when it cannot be loaded (missing, not a library, unresolved
    // symbols, path too long or not valid text).
    bool open(const char* path) noexcept;
    bool open(const char16_t* path) noexcept;
    bool isOpen() const noexcept { return handle_ != nullptr; }
    // The address of an exported entry, or null.
    void* symbol(const char* name) const noexcept;
    void close() noexcept;

private:
    void* handle_ = nullptr;
};

} // namespace velnor::platform
