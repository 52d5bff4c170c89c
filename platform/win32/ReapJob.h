// The reaper's entry for programs started here: it takes the program's own process
// handle and the job that holds everything the program started, where the public
// entry has only a process number.
#pragma once

#include <cstdint>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

// Takes over `process` and `job` (job may be kNoHandle): both are closed once the program
// exits, which leaves what it started alone; when it is still running `limitMs` from
// now, the whole job is ended. False when the reaper cannot take them; the caller keeps
// both.
bool reapJobLater(NativeHandle process, NativeHandle job, std::uint32_t limitMs) noexcept;

} // namespace velnor::platform
