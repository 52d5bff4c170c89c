// The bytes of a panel drawing are the same on both systems: a terminal here and a
// console with virtual-terminal processing on Windows read the same escape sequences.
#include "platform/Terminal.h"

#include <cstdio>
#include <cstring>

namespace velnor::platform {

std::size_t PanelWriter::compose(const char* const* lines, std::size_t count, char* out,
                                 std::size_t capacity) noexcept {
    if (count > kMaxLines)
        count = kMaxLines;
    std::size_t used = 0;
    auto append = [&](const char* bytes, std::size_t size) {
        if (used + size >= capacity)
            return false;
        std::memcpy(out + used, bytes, size);
        used += size;
        return true;
    };
    if (drawn_ > 0) {
        // Cursor up over the previous drawing, to the start of its first line.
        char up[16];
        const int n = std::snprintf(up, sizeof up, "\033[%zuA", drawn_);
        if (n <= 0 || !append(up, static_cast<std::size_t>(n)))
            return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const char* text = lines[i] ? lines[i] : "";
        std::size_t length = std::strlen(text);
        if (length >= kLineCapacity)
            length = kLineCapacity - 1;
        if (!append("\r\033[2K", 5) || !append(text, length) || !append("\n", 1))
            return 0;
    }
    // Lines of a taller earlier drawing are cleared, and the cursor comes back to just
    // below this one.
    for (std::size_t i = count; i < drawn_; ++i)
        if (!append("\r\033[2K\n", 6))
            return 0;
    if (drawn_ > count) {
        char up[16];
        const int n = std::snprintf(up, sizeof up, "\033[%zuA", drawn_ - count);
        if (n <= 0 || !append(up, static_cast<std::size_t>(n)))
            return 0;
    }
    out[used] = 0;
    drawn_ = count;
    return used;
}

} // namespace velnor::platform
