// This machine's name and its first IPv4 address, as the control window shows them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velnor::platform {

// The host name into `name` (capacity bytes with its NUL). False when the system gives
// none, or an empty one; `name` is then empty.
bool localHostName(char* name, std::size_t capacity) noexcept;

// The first IPv4 address that `name` resolves to, network order. False when it has none.
bool firstIpv4Address(const char* name, std::uint8_t (&address)[4]) noexcept;

// The host address line: "unknown." without a host name, "unknown" when the name does
// not resolve, else the first address as "a.b.c.d". Cut to `capacity` bytes with its NUL.
void hostAddressText(char* out, std::size_t capacity) noexcept;

// The same rule on a given name (null or empty for "no host name"), for callers that
// already have one.
void hostAddressTextFor(const char* name, char* out, std::size_t capacity) noexcept;

} // namespace velnor::platform
