// Helpers for tests that start child processes: elapsed time and the children left over.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace velnor::test {

using Clock = std::chrono::steady_clock;

inline long elapsedMs(Clock::time_point since) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A file of /proc, or "" when it cannot be read: a process may end while it is read,
// and the stream then reports the error by throwing.
inline std::string readProcFile(const std::filesystem::path& path) {
    try {
        std::ifstream in(path);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    } catch (...) {
        return {};
    }
}

// Processes whose parent is this test process, zombies included: none may be left.
inline int childrenOfThisProcess() {
    int count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readProcFile(it->path() / "stat");
        const auto close = stat.rfind(')');
        if (close != std::string::npos && close + 4 < stat.size() &&
            std::atoi(stat.c_str() + close + 4) == int(::getpid()))
            ++count;
    }
    return count;
}

} // namespace velnor::test
