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

// Processes whose parent is this test process, zombies included: none may be left.
inline int childrenOfThisProcess() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "stat");
        const std::string stat((std::istreambuf_iterator<char>(in)), {});
        const auto close = stat.rfind(')');
        if (close != std::string::npos && close + 4 < stat.size() &&
            std::atoi(stat.c_str() + close + 4) == int(::getpid()))
            ++count;
    }
    return count;
}

} // namespace velnor::test
