// The settings store: one key of a text hive file in the registry editor's export format.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\BRELLAN\VELNOR]
//   "Port"=dword:00001f90
//   "DocRoot"="\\srv\\www"
//
// Values are kept as a registry keeps them: a type and raw data bytes (a string is
// UTF-16LE with its NUL), so readers see exactly what a registry query would return.
// Key and value names compare without ASCII case; a key may have several sections and
// all of them count. Malformed lines are ignored (in a UTF-16 hive each line is decoded
// on its own); other keys, unknown values and comments survive every write.
//
// Writes are read-modify-write under an exclusive lock, and replace the file atomically
// with one that keeps its mode, owner and links. A path that names anything but a
// regular file is refused at once, and a file with content but no header line is never
// written.
#pragma once

#include <string>

#include "core/SettingsStore.h"

namespace velnor {

/// One key of a hive file, read and written by value.
class SettingsHive final : public SettingsStore {
public:
    SettingsHive(std::string filePath, std::string keyPath);

    const std::string& filePath() const noexcept { return filePath_; }

    HiveState state() const noexcept override;
    // Why a write would be refused as the file stands now (a sentence end such as "it is
    // not a regular file"), or null.
    const char* writeRefusal() const noexcept override;

    // False when the file, the key or the value is missing or unreadable.
    bool query(const char* name, HiveValue& value) const noexcept override;

    // Sets one value, creating the file and the key when missing; it then has exactly one
    // line in the key. False on failure, in which case the file is unchanged.
    bool setValue(const char* name, std::uint32_t type, const void* data,
                  std::size_t size) noexcept;
    // Sets several values in one locked rewrite of the file: every one of them, or (on
    // failure) none.
    bool setValues(const HiveWrite* values, std::size_t count) noexcept override;

    const char* label() const noexcept override { return "Hive"; }
    const std::string& location() const noexcept override { return filePath_; }
    const std::string& describe() const noexcept override { return filePath_; }
    const char* subject() const noexcept override { return "the settings hive "; }

private:
    std::string filePath_;
    std::string keyPath_;
};

} // namespace velnor
