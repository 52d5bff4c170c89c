// One key of the host's registry, read and written by value.
//
// A key is named by its full path, root first: "HKEY_LOCAL_MACHINE\SOFTWARE\X" (the
// roots HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are known). Values are what the
// registry keeps: a type and raw data bytes, a string being UTF-16LE with its NUL. The
// 64-bit view is always used, so a 32-bit build and a 64-bit build see the same key.
//
// Every operation opens the key and closes it again: nothing is held between calls, so
// another process's change is seen at the next query. A host without a registry answers
// every call with failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velnor::platform {

// Whether this host keeps a registry at all.
bool hostHasRegistry() noexcept;

struct RegistryValue {
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
};

/// One value to store: its name (UTF-8), registry type and raw data.
struct RegistryWrite {
    const char* name;
    std::uint32_t type;
    const void* data;
    std::size_t size;
};

// How the key stands for one kind of access.
enum class RegistryKeyState {
    Missing,    // no such key (yet): reads find no values, a write creates it
    Present,    // it can be opened for that access
    Denied,     // it is there, but this user may not open it for that access
    Unavailable // no registry, a root that is not known, or any other failure
};

// The largest value read or written; the registry advises far smaller ones.
constexpr std::size_t kRegistryValueLimit = 1u << 20;

class RegistryKey {
public:
    explicit RegistryKey(std::string path) : path_(std::move(path)) {}

    const std::string& path() const noexcept { return path_; }

    RegistryKeyState state(bool forWriting) const noexcept;

    // False when the key or the value is missing or cannot be read, or the value is larger
    // than kRegistryValueLimit.
    bool query(const char* name, RegistryValue& value) const noexcept;

    // Sets the values in order, creating the key when missing. On failure the values
    // already written are put back as they were (or deleted when they were not there), so
    // the key is left as it stood unless putting back fails as well.
    bool setValues(const RegistryWrite* values, std::size_t count) noexcept;

    // Deletes the key with its values (it must have no subkeys). True when it is gone.
    bool remove() noexcept;

private:
    std::string path_;
};

} // namespace velnor::platform
