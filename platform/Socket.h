// Thin wrappers over the BSD socket calls the server needs: IPv4 TCP, non-blocking,
// waits by poll. Results follow the calls: a socket or byte count, or -1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/UniqueHandle.h"

namespace velnor::platform {

class File;

// The 16-byte IPv4 socket address: family, port (network order), address (network
// order), 8 zero bytes.
struct PeerAddress {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint8_t address[4] = {};
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(PeerAddress) == 16);

// Readies the process for sockets, once, before the first one is made: here SIGPIPE is
// made harmless (sends also pass MSG_NOSIGNAL); Windows starts its socket library.
// False when sockets cannot be used.
bool startSockets() noexcept;

// A new non-blocking, close-on-exec IPv4 stream socket, or -1.
SocketHandle socketCreate() noexcept;
// Binds to INADDR_ANY (or loopback) on `port` with SO_REUSEADDR, then listens.
int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog, bool loopbackOnly) noexcept;
// The same on one local address (4 bytes, network order; 0.0.0.0 is every address).
int socketBindListen(SocketHandle fd, std::uint16_t port, int backlog,
                     const std::uint8_t (&address)[4]) noexcept;
// Reads a dotted IPv4 address ("127.0.0.1"): exactly four decimal parts. False otherwise.
bool parseIpv4Address(const char* text, std::uint8_t (&address)[4]) noexcept;
// The port a socket is bound to, or 0.
std::uint16_t socketLocalPort(SocketHandle fd) noexcept;
// A new close-on-exec, non-blocking connection, or -1. On a failure `shortOfResources`
// (when given) tells whether the process or system ran out of descriptors or memory:
// the connection then stays queued, and the listening socket stays readable.
SocketHandle socketAccept(SocketHandle fd, PeerAddress& peer,
                          bool* shortOfResources = nullptr) noexcept;
int socketSetNonBlocking(SocketHandle fd) noexcept;
// Connects to `address` (4 bytes, network order) and `port` (host order), waiting at
// most `timeoutMs` for the handshake. 0 when connected, -1 otherwise.
int socketConnect(SocketHandle fd, const std::uint8_t (&address)[4], std::uint16_t port,
                  long timeoutMs) noexcept;

// Waits for readiness with poll. Result > 0 ready (including error or hang-up),
// 0 timed out, -1 failed (also for a negative or closed descriptor).
int socketWaitReadable(SocketHandle fd, long timeoutMs) noexcept;
int socketWaitWritable(SocketHandle fd, long timeoutMs) noexcept;

// A send flag: more bytes follow at once, so the kernel may hold this piece back and
// share packets with them (a response head followed by the file it announces).
constexpr int kSendMore = 0x8000;

// send with MSG_NOSIGNAL, recv; both never block. Interrupted calls are repeated; a
// call that would block returns -2 so callers can wait again.
long socketSend(SocketHandle fd, const void* data, std::size_t size, int flags = 0) noexcept;
long socketReceive(SocketHandle fd, void* buffer, std::size_t size, int flags = 0) noexcept;
// Sends up to `count` bytes of an open file from `offset` without copying them
// through user space; bytes sent (0 at the end of the file), -2 when it would block,
// -1 on failure. `offset` advances by the bytes sent.
long socketSendFile(SocketHandle fd, const File& file, std::int64_t& offset,
                    std::size_t count) noexcept;
// Bytes written to the socket that the peer has not yet acknowledged; -1 when unknown.
long socketUnsentBytes(SocketHandle fd) noexcept;
// Reads and drops up to `limit` bytes that have already arrived, without waiting.
void socketDiscardInput(SocketHandle fd, std::size_t limit) noexcept;

// Makes the coming close drop whatever is still queued for the peer and reset the
// connection, instead of delivering it at the peer's pace long after the close.
void socketResetOnClose(SocketHandle fd) noexcept;
int socketShutdown(SocketHandle fd) noexcept;
int socketClose(SocketHandle fd) noexcept;

} // namespace velnor::platform
