// The per-worker object through which one worker serves its connections: the client
// connection itself plus everything one request needs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "content/ByteBuffer.h"
#include "content/TextTable.h"
#include "core/ServerSettings.h"
#include "core/SocketConnection.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"

namespace velnor {

class RequestContext;

/// The way from the HTTP engine to the gateways (CGI programs, extension libraries,
/// handler modules), which sit above it. Without one, gateway targets are answered 500.
class GatewayRunner {
public:
    virtual ~GatewayRunner() = default;
    // Answers a gateway target (status 999) chosen by its suffix.
    virtual int selectGateway(RequestContext& context, int closeFlag) noexcept = 0;
    // Runs the handler module `libraryPath` for a file whose suffix it has taken over.
    virtual int runHandlerModule(RequestContext& context, const char* libraryPath,
                                 int closeFlag) noexcept = 0;
};

enum MethodCode : std::int32_t {
    Unrecognised = 0,
    Head = 1,
    Get = 2,
    Post = 3,
    NotImplemented = 4,
};

// Fixed areas of a request.
constexpr std::size_t kTargetCapacity = 260; // target and path: up to 259 characters
constexpr std::size_t kVersionCapacity = 16;
constexpr std::size_t kTokenCapacity = 512; // request-line and header tokens
constexpr std::size_t kReceiveBlock = 1500; // bytes per receive
constexpr std::size_t kResponseArea = 1500; // a formatted response head
constexpr std::uint32_t kHeadLimit = 4096;  // bytes collected while looking for the head's end
constexpr std::uint32_t kLineLimit = 512;   // characters per head line
constexpr std::uint32_t kHeaderTableLimit = 4000;
constexpr std::uint32_t kReadTimeoutMs = 30000;

/// One worker's connection and the state of the request it is serving.
class RequestContext : public SocketConnection {
public:
    RequestContext() noexcept;
    ~RequestContext() override;

    // Empties both buffers and both tables after a request. Bytes of a pipelined next
    // request that already arrived are kept for it.
    void resetRequest() noexcept;
    // Forgets everything of the connection, pipelined bytes included; the worker calls
    // it when a new connection is handed over.
    void startConnection() noexcept;

    // Reads, parses and resolves the next request: 0 when there is nothing to answer,
    // else the status to answer (200, 304, 999, 400, 401, 404, 411, 413, 500, 501).
    int readRequest(const std::atomic<std::uint32_t>* busy) noexcept;
    int parseRequestLine(const char* head) noexcept;
    int parseHeaders(const char* head) noexcept;
    int resolveTarget() noexcept;

    // Sends the answer for `status`; returns the final status, 0 when nothing was sent,
    // 999 for an answer produced by a gateway.
    int dispatch(int status, int closeFlag) noexcept;
    int sendStatusResponse(int status, int closeFlag, int origin) noexcept;
    int sendAuthChallenge(int status) noexcept;
    int sendFile(int status, int closeFlag) noexcept;
    int findPasswordFile(int status, const char* resolvedPath, const char* fileName) noexcept;
    int checkCredentials(int status, const char* passwordFilePath) noexcept;
    int selectGateway(int closeFlag) noexcept;

    const ServerConfig* settings = nullptr;
    GatewayRunner* gateways = nullptr;
    TextTable headerTable;
    TextTable variableTable;
    std::int32_t methodCode = Unrecognised;
    char target[kTargetCapacity] = {};
    char path[kTargetCapacity] = {};
    char version[kVersionCapacity] = "HTTP/1.0";
    platform::FileRecord findData;
    const platform::PeerAddress* peer = nullptr;
    ByteBuffer headBuffer;
    ByteBuffer bodyBuffer;
    std::uint32_t readTimeout = kReadTimeoutMs;
    // The body length the head announced, -1 when it announced none.
    std::int64_t contentLength = -1;

    // Bytes received after the current request (a pipelined next request); they are
    // the start of the next read on this connection.
    ByteBuffer pendingBuffer;
    // Set once the error-document detour has been taken for the current response, so
    // that a failing document cannot send the server round in circles.
    bool detourTaken = false;
};

// The server software text of a context's settings; empty without settings.
inline const char* serverSoftwareOf(const ServerConfig* settings) noexcept {
    return settings != nullptr && settings->serverSoftware != nullptr ? settings->serverSoftware
                                                                      : "";
}

// Splits a request line into method, target and version (each kTokenCapacity bytes):
// 0 for an empty text, 1 for a method alone, 3 otherwise.
int splitRequestLine(const char* text, char* method, char* target, char* version) noexcept;
// Splits a header line into name and value (each kTokenCapacity bytes): 0 for an empty
// line, 1 when it has no ':', 2 for a header.
int splitHeaderLine(const char* line, char* name, char* value) noexcept;

} // namespace velnor
