// Where the server's settings are kept: a hive file, or the host's registry. Both keep a
// value as a registry does, a type and raw data bytes (a string is UTF-16LE with its
// NUL), so the settings read the same whichever holds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velnor {

constexpr std::uint32_t kHiveString = 1;       // REG_SZ
constexpr std::uint32_t kHiveExpandString = 2; // REG_EXPAND_SZ
constexpr std::uint32_t kHiveBinary = 3;       // REG_BINARY
constexpr std::uint32_t kHiveDword = 4;        // REG_DWORD

struct HiveValue {
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
};

// What the store's place holds, as far as reading goes.
enum class HiveState { Missing, Readable, NotRegular, Unreadable };

/// One value to store: its name, registry type and raw data.
struct HiveWrite {
    const char* name;
    std::uint32_t type;
    const void* data;
    std::size_t size;
};

/// One key of settings, read and written by value.
class SettingsStore {
public:
    SettingsStore() = default;
    virtual ~SettingsStore() = default;
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    virtual HiveState state() const noexcept = 0;
    // Why a write would be refused as things stand now (a sentence end such as "it is not
    // a regular file"), or null.
    virtual const char* writeRefusal() const noexcept = 0;
    // False when the place, the key or the value is missing or unreadable.
    virtual bool query(const char* name, HiveValue& value) const noexcept = 0;
    // Sets several values: every one of them, or (on failure) none.
    virtual bool setValues(const HiveWrite* values, std::size_t count) noexcept = 0;

    // The place for a line of its own, "<label>: <location>": "Hive: /etc/velnor.reg".
    virtual const char* label() const noexcept = 0;
    virtual const std::string& location() const noexcept = 0;
    // The place as a sentence names it after "in" or "from".
    virtual const std::string& describe() const noexcept = 0;
    // What comes before the location when a sentence begins with the place.
    virtual const char* subject() const noexcept = 0;
};

} // namespace velnor
