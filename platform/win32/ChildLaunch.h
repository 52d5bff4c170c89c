// Starting a program inside a job of its own, with exactly the handles it is given.
#pragma once

#include <windows.h>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

struct LaunchedProgram {
    int pid = -1;
    UniqueHandle process;
    UniqueHandle job;
};

// Starts the program at `programPath` (UTF-8, "\" or "/" separators, relative to the
// server's working directory; only a name ending in ".exe" is run) with `standard` as its
// input, output and error and no other handle of the server's. `environment` is a UTF-8
// block ("NAME=value\0...\0", null for none); `workingDirectory` null or empty keeps the
// server's. The program is in its job before it runs its first instruction. False when
// anything fails; nothing is left running then.
bool launchInJob(const char* programPath, const char* workingDirectory, const char* environment,
                 const HANDLE (&standard)[3], LaunchedProgram& launched) noexcept;

} // namespace velnor::platform
