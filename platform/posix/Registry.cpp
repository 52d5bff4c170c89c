// This system keeps its settings in files: there is no registry to open.
#include "platform/Registry.h"

namespace velnor::platform {

bool hostHasRegistry() noexcept {
    return false;
}

RegistryKeyState RegistryKey::state(bool) const noexcept {
    return RegistryKeyState::Unavailable;
}

bool RegistryKey::query(const char*, RegistryValue&) const noexcept {
    return false;
}

bool RegistryKey::setValues(const RegistryWrite*, std::size_t) noexcept {
    return false;
}

bool RegistryKey::remove() noexcept {
    return false;
}

} // namespace velnor::platform
