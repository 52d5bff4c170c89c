// The settings in one key of the host's registry.
#pragma once

#include <string>

#include "core/SettingsStore.h"
#include "platform/Registry.h"

namespace velnor {

class RegistryStore final : public SettingsStore {
public:
    // `keyPath` is the key's full path, root first ("HKEY_LOCAL_MACHINE\...").
    explicit RegistryStore(std::string keyPath);

    // Whether the host has a registry for this store to use.
    static bool available() noexcept;

    // A key that is not there yet reads as Missing, like a hive file that is not; one this
    // user may not read, or a host with no registry, as Unreadable.
    HiveState state() const noexcept override;
    const char* writeRefusal() const noexcept override;
    bool query(const char* name, HiveValue& value) const noexcept override;
    // The values in order; a failure puts back those already written (the registry has no
    // transaction for them).
    bool setValues(const HiveWrite* values, std::size_t count) noexcept override;

    const char* label() const noexcept override { return "Registry key"; }
    const std::string& location() const noexcept override { return key_.path(); }
    const std::string& describe() const noexcept override { return description_; }
    const char* subject() const noexcept override { return "the registry key "; }

private:
    platform::RegistryKey key_;
    std::string description_;
};

} // namespace velnor
