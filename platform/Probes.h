// Questions asked of the system before the server needs the answer: may this process
// listen on a port, may it write a file or a directory.
#pragma once

#include <cstdint>

namespace velnor::platform {

enum class ListenProbe {
    Free,         // a listener could be set up, and was closed again at once
    InUse,        // another socket holds the port
    NotPermitted, // a privileged port, and this process may not bind it
    NotLocal,     // the address is none of this host's
    Failed,       // any other refusal (no socket, for instance)
};

// Binds and listens on `port` of `address` (4 bytes, network order; 0.0.0.0 is every
// address) the way the server's listener does, then closes the socket. A listener that
// never accepted leaves nothing behind, so the server can take the port right after.
ListenProbe probeListen(std::uint16_t port, const std::uint8_t (&address)[4]) noexcept;

// Whether this process may write the file at an OS path (one that exists).
bool mayWrite(const char* osPath) noexcept;
// Whether this process may create and rename files in the directory at an OS path.
bool mayWriteDirectory(const char* osPath) noexcept;

} // namespace velnor::platform
