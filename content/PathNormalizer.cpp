#include "content/PathNormalizer.h"

#include <cstring>

namespace velnor {
namespace {

bool isSeparator(char c) noexcept {
    return c == '/' || c == '\\';
}

// The names of a path from its end back to its start. Walking backwards lets each ".."
// be settled by skipping the name before it, so the result is measured before a byte
// is written and an intermediate form never has to fit anywhere.
class BackwardNames {
public:
    BackwardNames(const char* path, std::size_t length) noexcept : path_(path), end_(length) {}

    // The next name towards the start, empty ones included; false when none is left.
    bool next(const char*& name, std::size_t& length) noexcept {
        if (done_)
            return false;
        std::size_t start = end_;
        while (start > 0 && !isSeparator(path_[start - 1]))
            --start;
        name = path_ + start;
        length = end_ - start;
        if (start == 0)
            done_ = true;
        else
            end_ = start - 1;
        return true;
    }

private:
    const char* path_;
    std::size_t end_;
    bool done_ = false;
};

bool isDot(const char* name, std::size_t length) noexcept {
    return length == 1 && name[0] == '.';
}

bool isDotDot(const char* name, std::size_t length) noexcept {
    return length == 2 && name[0] == '.' && name[1] == '.';
}

// Runs `keep` for every name that survives, last name first; false when the ".." names
// outnumber the names they remove.
template <typename Keep>
bool forEachKeptName(const char* path, std::size_t length, Keep keep) noexcept {
    BackwardNames names(path, length);
    const char* name = nullptr;
    std::size_t nameLength = 0;
    std::size_t pendingClimbs = 0;
    while (names.next(name, nameLength)) {
        if (nameLength == 0 || isDot(name, nameLength))
            continue;
        if (isDotDot(name, nameLength))
            ++pendingClimbs;
        else if (pendingClimbs > 0)
            --pendingClimbs;
        else
            keep(name, nameLength);
    }
    return pendingClimbs == 0;
}

// True when the path ends by naming a directory: a separator, "." or "..".
bool namesDirectory(const char* path, std::size_t length) noexcept {
    BackwardNames names(path, length);
    const char* name = nullptr;
    std::size_t nameLength = 0;
    return names.next(name, nameLength) && length > 0 &&
           (nameLength == 0 || isDot(name, nameLength) || isDotDot(name, nameLength));
}

} // namespace

long normalizePath(const char* path, char* out, std::size_t capacity) noexcept {
    if (path == nullptr || out == nullptr || capacity == 0)
        return -1;
    out[0] = '\0';
    const std::size_t length = std::strlen(path);
    const bool leading = length > 0 && isSeparator(path[0]);

    std::size_t names = 0;
    std::size_t nameBytes = 0;
    if (!forEachKeptName(path, length, [&](const char*, std::size_t nameLength) {
            ++names;
            nameBytes += nameLength;
        }))
        return -1;
    const bool trailing = names > 0 && namesDirectory(path, length);
    const std::size_t total =
        (leading ? 1 : 0) + nameBytes + (names > 0 ? names - 1 : 0) + (trailing ? 1 : 0);
    if (total + 1 > capacity)
        return -1;

    // Written from the end back, in the order the names are met.
    std::size_t at = total;
    out[at] = '\0';
    if (trailing)
        out[--at] = '\\';
    std::size_t written = 0;
    forEachKeptName(path, length, [&](const char* name, std::size_t nameLength) {
        at -= nameLength;
        std::memcpy(out + at, name, nameLength);
        if (++written < names)
            out[--at] = '\\';
    });
    if (leading)
        out[0] = '\\';
    return static_cast<long>(total);
}

long normalizeRootSetting(const char* text, char* out, std::size_t capacity) noexcept {
    long length = normalizePath(text, out, capacity);
    if (length > 1 && out[length - 1] == '\\')
        out[--length] = '\0';
    if (length > 0 && std::strchr(text, '\\') == nullptr) {
        for (long i = 0; i < length; ++i)
            if (out[i] == '\\')
                out[i] = '/';
    }
    return length;
}

} // namespace velnor
