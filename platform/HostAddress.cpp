#include "platform/HostAddress.h"

#include "platform/Socket.h"

#include <cstdio>
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
#include <unistd.h>
#endif

namespace velnor::platform {
namespace {

// The name area the window's lookup used: 255 bytes, and one more that keeps a NUL even
// when the system fills all of them without one.
constexpr std::size_t kNameArea = 255;

void copyCut(char* out, std::size_t capacity, const char* text) noexcept {
    if (!out || capacity == 0)
        return;
    std::size_t length = std::strlen(text);
    if (length >= capacity)
        length = capacity - 1;
    std::memcpy(out, text, length);
    out[length] = 0;
}

} // namespace

bool localHostName(char* name, std::size_t capacity) noexcept {
    if (!name || capacity == 0)
        return false;
    name[0] = 0;
    char area[kNameArea + 1] = {};
    if (!startSockets() || ::gethostname(area, kNameArea) != 0 || area[0] == 0)
        return false;
    const std::size_t length = std::strlen(area);
    if (length >= capacity)
        return false;
    std::memcpy(name, area, length + 1);
    return true;
}

bool firstIpv4Address(const char* name, std::uint8_t (&address)[4]) noexcept {
    if (!name || !*name || !startSockets())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return false;
    bool have = false;
    for (const addrinfo* entry = found; entry && !have; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr ||
            entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
        std::memcpy(address, &ipv4.sin_addr.s_addr, 4);
        have = true;
    }
    ::freeaddrinfo(found);
    return have;
}

void hostAddressTextFor(const char* name, char* out, std::size_t capacity) noexcept {
    if (!name || !*name) {
        copyCut(out, capacity, "unknown.");
        return;
    }
    std::uint8_t address[4] = {};
    if (!firstIpv4Address(name, address)) {
        copyCut(out, capacity, "unknown");
        return;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    copyCut(out, capacity, text);
}

void hostAddressText(char* out, std::size_t capacity) noexcept {
    char name[kNameArea + 1] = {};
    if (!localHostName(name, sizeof name))
        name[0] = 0;
    hostAddressTextFor(name, out, capacity);
}

} // namespace velnor::platform
