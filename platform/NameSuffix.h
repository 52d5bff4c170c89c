// Within the platform code only: the suffix test both systems' directory listings use.
#pragma once

#include <cstddef>
#include <cstring>

namespace velnor::platform {

// Whether `name` ends in `suffix`, ASCII letters compared without case.
inline bool endsWithNoCase(const char* name, const char* suffix) noexcept {
    const auto fold = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
    };
    const std::size_t nameLength = std::strlen(name);
    const std::size_t suffixLength = std::strlen(suffix);
    if (suffixLength > nameLength)
        return false;
    const char* tail = name + (nameLength - suffixLength);
    for (std::size_t i = 0; i < suffixLength; ++i) {
        if (fold(static_cast<unsigned char>(tail[i])) !=
            fold(static_cast<unsigned char>(suffix[i])))
            return false;
    }
    return true;
}

} // namespace velnor::platform
