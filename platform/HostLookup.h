// Reverse name lookup of a client address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velnor::platform {

// Room for the longest host name a reverse lookup can give, with its NUL.
constexpr std::size_t kHostNameCapacity = 1025;

// The registered name of an IPv4 address (4 bytes, network order) into `name`
// (`capacity` bytes with its NUL). False when the address has no name or the name does
// not fit; `name` is then empty. Safe to call from several threads at once.
bool lookupHostName(const std::uint8_t (&address)[4], char* name, std::size_t capacity) noexcept;

} // namespace velnor::platform
