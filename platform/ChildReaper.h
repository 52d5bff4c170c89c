// The process-wide reaper: programs that may go on working after the server is done with
// them are waited for here, so no worker waits and no zombie is left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velnor::platform {

// Programs the reaper holds at once; a program beyond this is ended by its caller.
constexpr std::size_t kMostReapedLater = 1024;

// Takes over the started program `pid`, which leads a process group of its own: it is
// reaped as soon as it exits, and what it left running is then left alone; when it is
// still running `limitMs` from now, its whole group is ended with SIGKILL and reaped.
// False when the reaper cannot take it (table full, no thread); the caller keeps it.
//
// The reaper's thread lives until the process ends. Programs still running when the
// server leaves are left alone: they finish under the system's own reaper.
bool reapLater(int pid, std::uint32_t limitMs) noexcept;

// Programs the reaper holds now.
std::size_t reapLaterCount() noexcept;

} // namespace velnor::platform
