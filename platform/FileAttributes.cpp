// Attribute queries made from a lookup, the same on both systems.
#include "platform/FileSystem.h"

namespace velnor::platform {

std::uint32_t fileAttributes(const char* path) noexcept {
    FileRecord record;
    return findFile(path, record) ? record.attributes : kInvalidAttributes;
}

std::uint32_t fileAttributes(const char16_t* path) noexcept {
    FileRecord record;
    return findFile(path, record) ? record.attributes : kInvalidAttributes;
}

} // namespace velnor::platform
