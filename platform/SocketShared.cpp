// Socket helpers built only from the platform's own calls, so both systems share them.
#include "platform/Socket.h"
#include "platform/WakeEvent.h"

namespace velnor::platform {

void socketDiscardInput(SocketHandle fd, std::size_t limit) noexcept {
    char scratch[4096];
    while (limit > 0) {
        const long got =
            socketReceive(fd, scratch, limit < sizeof scratch ? limit : sizeof scratch);
        if (got <= 0)
            return;
        limit -= std::size_t(got);
    }
}

int waitReadableOrWake(SocketHandle fd, SocketHandle wakeFd, long timeoutMs) noexcept {
    const int seen = waitSocketOrWake(fd, wakeFd, timeoutMs);
    if (seen < 0)
        return -1;
    return (seen & kSocketReady) != 0 ? 1 : 0;
}

} // namespace velnor::platform
