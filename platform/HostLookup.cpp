#include "platform/HostLookup.h"

#include "platform/Socket.h"

#include <cstring>
// The resolver's calls have the same names and meaning on both systems; Windows wants its
// socket library started before the first one.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace velnor::platform {

bool lookupHostName(const std::uint8_t (&address)[4], char* name, std::size_t capacity) noexcept {
    if (!name || capacity == 0 || !startSockets())
        return false;
    name[0] = '\0';
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    std::memcpy(&sa.sin_addr.s_addr, address, sizeof address);
    const auto room = static_cast<unsigned>(capacity > NI_MAXHOST ? NI_MAXHOST : capacity);
    // NI_NAMEREQD: a bare dotted address is not a host name, and the caller records
    // nothing rather than a number dressed up as one.
    const int result = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name, room,
                                     nullptr, 0, NI_NAMEREQD);
    if (result != 0 || ::strnlen(name, room) == room) {
        name[0] = '\0';
        return false;
    }
    return name[0] != '\0';
}

} // namespace velnor::platform
