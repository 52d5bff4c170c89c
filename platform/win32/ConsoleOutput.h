// Standard output as this system's terminal code shares it between its files.
#pragma once

#include <cstddef>

namespace velnor::platform::win32 {

// Writes all of `size` bytes to standard output, waiting as long as it takes: as UTF-16
// text to a console, as the bytes themselves to anything else.
bool writeStandardOutput(const char* data, std::size_t size) noexcept;

} // namespace velnor::platform::win32
