#include "platform/Registry.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "platform/Utf.h"

namespace velnor::platform {
namespace {

// Closes the key it holds.
class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (key_)
            RegCloseKey(key_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;

    HKEY* out() noexcept { return &key_; }
    HKEY get() const noexcept { return key_; }

private:
    HKEY key_ = nullptr;
};

// The root of a key path and its UTF-16 remainder, or false for an unknown root or a
// path that is not text.
bool splitPath(const std::string& path, HKEY& root, HeapPtr<char16_t>& subKey) noexcept {
    struct Root {
        const char* name;
        HKEY key;
    };
    const Root roots[] = {{"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
                          {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}};
    for (const Root& candidate : roots) {
        const std::size_t length = std::strlen(candidate.name);
        if (path.size() > length && _strnicmp(path.c_str(), candidate.name, length) == 0) {
            root = candidate.key;
            subKey = wideFromUtf8(path.c_str() + length);
            return subKey != nullptr;
        }
    }
    return false;
}

const wchar_t* wide(const HeapPtr<char16_t>& text) noexcept {
    return reinterpret_cast<const wchar_t*>(text.get());
}

RegistryKeyState stateOf(LSTATUS status) noexcept {
    switch (status) {
    case ERROR_SUCCESS:
        return RegistryKeyState::Present;
    case ERROR_FILE_NOT_FOUND:
        return RegistryKeyState::Missing;
    case ERROR_ACCESS_DENIED:
        return RegistryKeyState::Denied;
    default:
        return RegistryKeyState::Unavailable;
    }
}

// Reads one value of an open key. The size is asked first; a value that grows between
// the two calls is asked again, a few times.
bool queryOpen(HKEY key, const wchar_t* name, RegistryValue& value) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            size > kRegistryValueLimit)
            return false;
        std::vector<unsigned char> data(size);
        const LSTATUS status =
            RegQueryValueExW(key, name, nullptr, &type, size ? data.data() : nullptr, &size);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return false;
        data.resize(size);
        value.type = type;
        value.data = std::move(data);
        return true;
    }
    return false;
}

// What a name held before a write, to put it back should a later write fail.
struct Previous {
    HeapPtr<char16_t> name;
    bool existed = false;
    RegistryValue value;
};

void putBack(HKEY key, const Previous& previous) noexcept {
    if (previous.existed)
        RegSetValueExW(key, wide(previous.name), 0, previous.value.type, previous.value.data.data(),
                       static_cast<DWORD>(previous.value.data.size()));
    else
        RegDeleteValueW(key, wide(previous.name));
}

} // namespace

bool hostHasRegistry() noexcept {
    return true;
}

RegistryKeyState RegistryKey::state(bool forWriting) const noexcept {
    HKEY root = nullptr;
    HeapPtr<char16_t> subKey;
    if (!splitPath(path_, root, subKey))
        return RegistryKeyState::Unavailable;
    const REGSAM access = (forWriting ? KEY_QUERY_VALUE | KEY_SET_VALUE : KEY_QUERY_VALUE);
    KeyHandle key;
    return stateOf(RegOpenKeyExW(root, wide(subKey), 0, access | KEY_WOW64_64KEY, key.out()));
}

bool RegistryKey::query(const char* name, RegistryValue& value) const noexcept {
    try {
        HKEY root = nullptr;
        HeapPtr<char16_t> subKey;
        if (!name || !splitPath(path_, root, subKey))
            return false;
        const HeapPtr<char16_t> wideName = wideFromUtf8(name);
        KeyHandle key;
        if (!wideName || RegOpenKeyExW(root, wide(subKey), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                       key.out()) != ERROR_SUCCESS)
            return false;
        return queryOpen(key.get(), wide(wideName), value);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool RegistryKey::setValues(const RegistryWrite* values, std::size_t count) noexcept {
    try {
        HKEY root = nullptr;
        HeapPtr<char16_t> subKey;
        if (!values || count == 0 || !splitPath(path_, root, subKey))
            return false;
        KeyHandle key;
        if (RegCreateKeyExW(root, wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.out(),
                            nullptr) != ERROR_SUCCESS)
            return false;
        // Every name converted and every old value read before the first write, so that a
        // refusal found here changes nothing.
        std::vector<Previous> previous(count);
        for (std::size_t i = 0; i < count; ++i) {
            const RegistryWrite& value = values[i];
            if (!value.name || (!value.data && value.size) || value.size > kRegistryValueLimit)
                return false;
            previous[i].name = wideFromUtf8(value.name);
            if (!previous[i].name)
                return false;
            previous[i].existed = queryOpen(key.get(), wide(previous[i].name), previous[i].value);
        }
        // The plain registry calls have no transaction: the values are written one after
        // another, and on a failure those already written are restored from what was read
        // above.
        for (std::size_t i = 0; i < count; ++i) {
            const RegistryWrite& value = values[i];
            if (RegSetValueExW(key.get(), wide(previous[i].name), 0, value.type,
                               static_cast<const BYTE*>(value.data),
                               static_cast<DWORD>(value.size)) != ERROR_SUCCESS) {
                for (std::size_t j = i; j-- > 0;)
                    putBack(key.get(), previous[j]);
                return false;
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool RegistryKey::remove() noexcept {
    HKEY root = nullptr;
    HeapPtr<char16_t> subKey;
    if (!splitPath(path_, root, subKey))
        return false;
    const LSTATUS status = RegDeleteKeyExW(root, wide(subKey), KEY_WOW64_64KEY, 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace velnor::platform
