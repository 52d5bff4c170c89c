// A loopback client that speaks raw bytes, and the exact answers the server is expected to give.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velnor::e2e {

using namespace std::chrono_literals;

/// One TCP connection to 127.0.0.1 whose every read has a deadline, so a server that
/// stops answering fails a test instead of hanging it.
class RawClient {
public:
    explicit RawClient(int port, std::chrono::milliseconds connectLimit = 2s);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const noexcept { return fd_ >= 0; }
    // The client's own TCP port, as the server sees it; 0 when not connected.
    int localPort() const noexcept;

    // Sends everything; false when the connection broke.
    bool send(std::string_view bytes);
    // Sends `chunk` bytes at a time with a pause after each piece.
    bool sendSlowly(std::string_view bytes, std::size_t chunk, std::chrono::milliseconds pause);
    void shutdownWrite();
    // Closes with a reset (no lingering), as a client that vanishes does.
    void abort();

    // Everything until the peer closes or the deadline passes.
    std::string readUntilClose(std::chrono::milliseconds limit = 5s);
    // Up to `count` bytes; fewer when the peer closes or the deadline passes.
    std::string readBytes(std::size_t count, std::chrono::milliseconds limit = 5s);
    // One response: the head up to its blank line, then "Content-Length" bytes of body
    // (none for `headOnly`, everything to the close when there is no length).
    std::string readResponse(std::chrono::milliseconds limit = 5s, bool headOnly = false);
    // True when the peer ends the connection within `limit` without sending more.
    bool peerClosed(std::chrono::milliseconds limit = 3s);

private:
    // Reads what is there into pending_; false at close, error or deadline.
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    bool eof_ = false;
    std::string pending_;
};

// Connects, sends `request`, reads until the server closes.
std::string roundTrip(int port, std::string_view request, std::chrono::milliseconds limit = 5s);

// A bare status response: "VERSION TEXT(ORIGIN)", the server line, the connection line.
std::string bareStatus(std::string_view version, std::string_view statusText, int origin,
                       bool close = true, std::string_view software = "VELNOR/2.34");
// The head of a file response.
std::string fileHead(std::string_view version, std::string_view statusText, bool close,
                     std::size_t length, std::string_view type,
                     std::string_view date = "Sun, 06 Nov 1994 08:49:37 GMT",
                     std::string_view software = "VELNOR/2.34");
// The Basic challenge for a realm of host and target.
std::string challenge(std::string_view version, std::string_view realm,
                      std::string_view software = "VELNOR/2.34");

inline constexpr std::string_view kBusyAnswer = "HTTP/1.0 503 Server busy\r\n\r\n";

} // namespace velnor::e2e
