#pragma once

#include <cstdint>

namespace velnor {

// Growable byte block in whole granules that always keeps a NUL after its used bytes.
//
// Its memory form (virtual table pointer, data, length, block size) is read and written
// by extension libraries, so the virtual operations and the fields keep their order. The
// block is a calloc/realloc block released with free: an extension may leave a block of
// its own malloc family in `data` for the owner to free.
class ByteBuffer {
public:
    static constexpr std::uint32_t kDefaultBlockSize = 512;

    ByteBuffer() noexcept = default;
    virtual ~ByteBuffer();
    // Releases the block; the block size is kept.
    virtual void reset() noexcept;
    virtual bool isEmpty() const noexcept;

    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Appends n bytes and keeps a NUL after them. Returns n, or 0 when n is 0, the source
    // is null, or the block cannot grow (the buffer is then unchanged). The source may lie
    // inside this buffer's own block.
    std::uint32_t append(const void* source, std::uint32_t n) noexcept;
    // append of the string without its NUL; 0 for a null string.
    std::uint32_t appendString(const char* text) noexcept;
    // Appends first, NUL, second, NUL with one growth at most: the text table's entry.
    // Returns the bytes appended (both lengths + 2), or 0 as append. Either text may lie
    // inside this buffer's own block.
    std::uint32_t appendPair(const char* first, std::uint32_t firstLength, const char* second,
                             std::uint32_t secondLength) noexcept;

    char* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t blockSize = kDefaultBlockSize;

private:
    // Makes room for `added` more bytes and the NUL, in whole granules, zero-filling what
    // is new. Pointers in `inside` that point into the old block are moved to the new one.
    // False (buffer unchanged) when the size would wrap or memory runs out.
    bool makeRoom(std::uint32_t added, const char** inside, int insideCount) noexcept;
};

} // namespace velnor
