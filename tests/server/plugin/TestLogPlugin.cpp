// A stand-in access-log plug-in for the server tests: it appends one line per call to
// the file named by $VELNOR_TEST_LOG_RECORD, can be told to dawdle inside the call
// ($VELNOR_TEST_LOG_SLEEP_MS), notes calls that overlap, and notes its own unloading.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "velnor/velnor.h"

namespace {

std::atomic<int> callsInside{0};

void record(const char* text) {
    const char* path = std::getenv("VELNOR_TEST_LOG_RECORD");
    if (path == nullptr || *path == 0)
        return;
    if (std::FILE* out = std::fopen(path, "a")) {
        std::fputs(text, out);
        std::fclose(out);
    }
}

const char* valueOf(const VelnorTextTable* table, const char* name) {
    const char* entry = table && table->buffer ? table->buffer->data : nullptr;
    if (entry == nullptr)
        return "";
    while (*entry != 0) {
        const char* value = entry + std::strlen(entry) + 1;
        if (std::strcmp(entry, name) == 0)
            return value;
        entry = value + std::strlen(value) + 1;
    }
    return "";
}

__attribute__((destructor)) void unloaded() {
    record("unloaded\n");
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
fnVelnorLog(const char16_t* logPath, std::uint32_t sizeLimit, std::int32_t status,
            const VelnorTextTable* headerTable) {
    const bool overlap = callsInside.fetch_add(1) != 0;
    if (const char* sleep = std::getenv("VELNOR_TEST_LOG_SLEEP_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(sleep)));
    char path[260] = {};
    for (std::size_t i = 0; logPath && logPath[i] && i + 1 < sizeof path; ++i)
        path[i] = logPath[i] < 0x80 ? char(logPath[i]) : '?';
    char line[1024];
    std::snprintf(line, sizeof line, "%s status=%d size=%u path=%s remote_addr=%s line=%s\n",
                  overlap ? "OVERLAP" : "call", int(status), unsigned(sizeLimit), path,
                  valueOf(headerTable, "remote_addr"), valueOf(headerTable, "request_line"));
    record(line);
    callsInside.fetch_sub(1);
    return 1;
}
