#include "core/RegistryStore.h"

#include <new>
#include <vector>

namespace velnor {

RegistryStore::RegistryStore(std::string keyPath)
    : key_(std::move(keyPath)), description_("the registry key " + key_.path()) {}

bool RegistryStore::available() noexcept {
    return platform::hostHasRegistry();
}

HiveState RegistryStore::state() const noexcept {
    switch (key_.state(false)) {
    case platform::RegistryKeyState::Present:
        return HiveState::Readable;
    case platform::RegistryKeyState::Missing:
        return HiveState::Missing;
    case platform::RegistryKeyState::Denied:
    case platform::RegistryKeyState::Unavailable:
        break;
    }
    return HiveState::Unreadable;
}

const char* RegistryStore::writeRefusal() const noexcept {
    if (!available())
        return "this host has no registry";
    switch (key_.state(true)) {
    case platform::RegistryKeyState::Present:
    case platform::RegistryKeyState::Missing:
        return nullptr;
    case platform::RegistryKeyState::Denied:
        // The machine's keys are open to administrators only.
        return "this user may not change it";
    case platform::RegistryKeyState::Unavailable:
        break;
    }
    return "it cannot be opened";
}

bool RegistryStore::query(const char* name, HiveValue& value) const noexcept {
    platform::RegistryValue stored;
    if (!key_.query(name, stored))
        return false;
    value.type = stored.type;
    value.data = std::move(stored.data);
    return true;
}

bool RegistryStore::setValues(const HiveWrite* values, std::size_t count) noexcept {
    try {
        if (!values || count == 0)
            return false;
        std::vector<platform::RegistryWrite> writes(count);
        for (std::size_t i = 0; i < count; ++i)
            writes[i] = {values[i].name, values[i].type, values[i].data, values[i].size};
        return key_.setValues(writes.data(), count);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace velnor
