#include "platform/Probes.h"

#include <cerrno>
#include <unistd.h>

#include "platform/Socket.h"
#include "platform/UniqueHandle.h"

namespace velnor::platform {

ListenProbe probeListen(std::uint16_t port, const std::uint8_t (&address)[4]) noexcept {
    UniqueHandle socket(socketCreate());
    if (!socket)
        return ListenProbe::Failed;
    // The same options and backlog-independent calls as the listener, so that the answer
    // is the one the server would get.
    if (socketBindListen(socket.get(), port, 1, address) == 0)
        return ListenProbe::Free;
    switch (errno) {
    case EADDRINUSE:
        return ListenProbe::InUse;
    case EACCES:
    case EPERM:
        return ListenProbe::NotPermitted;
    case EADDRNOTAVAIL:
        return ListenProbe::NotLocal;
    default:
        return ListenProbe::Failed;
    }
}

bool mayWrite(const char* osPath) noexcept {
    return osPath != nullptr && ::access(osPath, W_OK) == 0;
}

bool mayWriteDirectory(const char* osPath) noexcept {
    return osPath != nullptr && ::access(osPath, W_OK | X_OK) == 0;
}

} // namespace velnor::platform
