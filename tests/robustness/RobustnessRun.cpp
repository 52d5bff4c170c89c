// Runs the probes in turn and prints one line for each, then the tally. Probe names given
// on the command line run those alone. Exit status 1 when any probe failed.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/robustness/Robustness.h"

namespace velnor::robustness {

void prepare(ServerProcess& server, std::uint32_t workers) {
    e2e::writeSampleTree(server);
    server.installLogPlugin();
    server.setDword("StartServers", workers);
}

std::string alphaAnswer() {
    return e2e::fileHead("HTTP/1.0", "200 OK", true, e2e::kAlphaText.size(), "text/plain") +
           e2e::kAlphaText;
}

bool servesNormally(int port, std::chrono::milliseconds patience) {
    const auto begin = Clock::now();
    const std::string request = e2e::get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
    for (;;) {
        const std::string answer = e2e::roundTrip(port, request, 3s);
        if (answer == alphaAnswer())
            return true;
        if (answer != e2e::kBusyAnswer || Clock::now() - begin > patience)
            return false;
        std::this_thread::sleep_for(50ms);
    }
}

bool alive(int pid) {
    // A process that ends while its file is read makes the stream throw.
    std::string stat;
    try {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        stat.assign(std::istreambuf_iterator<char>(in), {});
    } catch (...) {
        return false;
    }
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

int openDescriptors(int pid) {
    std::error_code failed;
    std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", failed);
    if (failed)
        return -1;
    int count = 0;
    for (const auto& entry : entries) {
        (void)entry;
        ++count;
    }
    return count;
}

long residentKiB(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::string seconds(long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(ms) / 1000.0);
    return text;
}

void onThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    threads.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        threads.emplace_back(body, i);
    for (auto& thread : threads)
        thread.join();
}

namespace {

struct Probe {
    const char* name;
    Outcome (*run)();
};

const Probe kProbes[] = {
    {"overload", overloadProbe},
    {"garbage", garbageProbe},
    {"resets", resetProbe},
    {"slow clients", slowClientProbe},
    {"huge body", hugeBodyProbe},
    {"fifo", fifoProbe},
    {"stop under load", stopUnderLoadProbe},
};

bool chosen(const Probe& probe, int argc, char** argv) {
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], probe.name) == 0)
            return true;
    return false;
}

} // namespace
} // namespace velnor::robustness

int main(int argc, char** argv) {
    using namespace velnor::robustness;
    const auto begin = Clock::now();
    int passed = 0;
    int failed = 0;
    for (const Probe& probe : kProbes) {
        if (!chosen(probe, argc, argv))
            continue;
        Outcome outcome;
        try {
            outcome = probe.run();
        } catch (const std::exception& error) {
            outcome = {false, std::string("stopped by an error: ") + error.what()};
        }
        std::printf("robustness: %s: %s ... %s\n", probe.name, outcome.detail.c_str(),
                    outcome.ok ? "ok" : "FAILED");
        std::fflush(stdout);
        ++(outcome.ok ? passed : failed);
    }
    std::printf("robustness: %d passed, %d failed in %s\n", passed, failed,
                seconds(elapsedMs(begin)).c_str());
    return failed == 0 ? 0 : 1;
}
