#include "content/ByteBuffer.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace velnor {

namespace {

constexpr std::uint64_t kMaxLength = 0xFFFFFFFFu;

std::uint64_t granules(std::uint64_t bytes, std::uint32_t granule) noexcept {
    return (bytes + granule - 1) / granule;
}

bool pointsInto(const char* p, const char* block, std::uint64_t size) noexcept {
    // std::less gives a total order even for pointers into unrelated objects.
    std::less<const char*> before;
    return p && block && !before(p, block) && before(p, block + size);
}

} // namespace

ByteBuffer::~ByteBuffer() {
    std::free(data);
}

void ByteBuffer::reset() noexcept {
    std::free(data);
    data = nullptr;
    length = 0;
}

bool ByteBuffer::isEmpty() const noexcept {
    return data == nullptr;
}

bool ByteBuffer::makeRoom(std::uint32_t added, const char** inside, int insideCount) noexcept {
    // The block size is a public field that extensions can reach; a zero one must not
    // divide by zero.
    if (blockSize == 0)
        return false;
    const std::uint64_t used = data ? length : 0;
    const std::uint64_t total = used + added + 1;
    if (total > kMaxLength)
        return false;
    const std::uint64_t needed = granules(total, blockSize);
    const std::uint64_t held = data ? granules(used + 1, blockSize) : 0;
    if (needed <= held)
        return true;
    const std::uint64_t newSize = needed * blockSize;
    if (newSize > SIZE_MAX)
        return false;
    if (!data) {
        char* block = static_cast<char*>(std::calloc(static_cast<std::size_t>(newSize), 1));
        if (!block)
            return false;
        data = block;
        length = 0;
        return true;
    }
    const std::uint64_t oldSize = held * blockSize;
    std::ptrdiff_t offsets[2] = {-1, -1};
    for (int i = 0; i < insideCount && i < 2; ++i) {
        if (pointsInto(inside[i], data, oldSize))
            offsets[i] = inside[i] - data;
    }
    char* block = static_cast<char*>(std::realloc(data, static_cast<std::size_t>(newSize)));
    if (!block)
        return false;
    std::memset(block + oldSize, 0, static_cast<std::size_t>(newSize - oldSize));
    data = block;
    for (int i = 0; i < insideCount && i < 2; ++i) {
        if (offsets[i] >= 0)
            inside[i] = block + offsets[i];
    }
    return true;
}

// makeRoom moves `from` onto the new block when it pointed into the old one; GCC's
// optimizer cannot see that and reports the source as used after the reallocation.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
std::uint32_t ByteBuffer::append(const void* source, std::uint32_t n) noexcept {
    if (n == 0 || !source)
        return 0;
    const char* from = static_cast<const char*>(source);
    if (!makeRoom(n, &from, 1))
        return 0;
    std::memmove(data + length, from, n);
    length += n;
    data[length] = '\0';
    return n;
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

std::uint32_t ByteBuffer::appendString(const char* text) noexcept {
    if (!text)
        return 0;
    const std::size_t n = std::strlen(text);
    if (n > kMaxLength)
        return 0;
    return append(text, static_cast<std::uint32_t>(n));
}

std::uint32_t ByteBuffer::appendPair(const char* first, std::uint32_t firstLength,
                                     const char* second, std::uint32_t secondLength) noexcept {
    if (!first || !second)
        return 0;
    const std::uint64_t n = std::uint64_t{firstLength} + secondLength + 2;
    if (n > kMaxLength)
        return 0;
    const char* sources[2] = {first, second};
    if (!makeRoom(static_cast<std::uint32_t>(n), sources, 2))
        return 0;
    char* out = data + length;
    std::memmove(out, sources[0], firstLength);
    out[firstLength] = '\0';
    std::memmove(out + firstLength + 1, sources[1], secondLength);
    out[firstLength + 1 + secondLength] = '\0';
    length += static_cast<std::uint32_t>(n);
    data[length] = '\0';
    return static_cast<std::uint32_t>(n);
}

} // namespace velnor
