// What a started program writes, read to its end: for the child-process tests of both
// systems.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "platform/ChildProcess.h"

namespace velnor::test {

// Everything the program writes until it closes its output (or `limitMs` pass).
inline std::string readChildOutput(platform::ChildProcess& child, long limitMs = 5000) {
    std::string out;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (child.waitReady(false, 500) <= 0)
            continue;
        const long n = child.readOutput(buffer, sizeof buffer);
        if (n == 0 || n == -1)
            break;
        if (n > 0)
            out.append(buffer, std::size_t(n));
    }
    return out;
}

} // namespace velnor::test
