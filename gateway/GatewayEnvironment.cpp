#include "gateway/GatewayEnvironment.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "content/Strings.h"
#include "http/RequestContext.h"
#include "platform/HeapBlock.h"

namespace velnor {
namespace {

// Room for a printed number or a derived variable name with its NUL.
constexpr std::size_t kScratchCapacity = 512;
constexpr char kHeaderPrefix[] = "HTTP_";
static_assert(sizeof kHeaderPrefix - 1 + kHeaderNameCopyLimit + 1 == kScratchCapacity);

const char* orEmpty(const char* text) noexcept {
    return text != nullptr ? text : "";
}

const char* methodName(std::int32_t code) noexcept {
    switch (code) {
    case Head:
        return "HEAD";
    case Get:
        return "GET";
    case Post:
        return "POST";
    default:
        return "";
    }
}

// The socket layer delivers the port in network byte order; taking its two bytes in
// memory order gives the number whatever the host's own byte order.
unsigned peerPort(const platform::PeerAddress& peer) noexcept {
    unsigned char bytes[sizeof peer.port];
    std::memcpy(bytes, &peer.port, sizeof bytes);
    return (unsigned(bytes[0]) << 8) | unsigned(bytes[1]);
}

// Programs take HTTP_PROXY as the proxy for their own outgoing requests; a client must
// not choose it for them, whatever spelling of "Proxy" it sends. The test is on the
// name as built, so every spelling that folds to it is caught. A name holding '=' is no
// variable name at all: a program's environment splits the entry at its first '=', so
// "HTTP_PROXY=" would reach it as HTTP_PROXY, and "HTTP_X=Y" as HTTP_X.
bool isCopyableVariable(const char* name) noexcept {
    return std::strcmp(name, "HTTP_PROXY") != 0 && std::strchr(name, '=') == nullptr;
}

// Target resolution stores PATH_TRANSLATED the way the server keeps paths; programs
// read it as a host path. Same length either way, so it is turned where it stands and
// keeps its place ahead of the other variables.
void translatedToHostForm(TextTable& variables) noexcept {
    if (char* translated = variables.value("PATH_TRANSLATED"))
        backslashesToSlashes(translated);
}

void addNumber(TextTable& variables, const char* name, unsigned long value) noexcept {
    char number[kScratchCapacity];
    std::snprintf(number, sizeof number, "%lu", value);
    variables.add(name, number);
}

void addDocumentRoot(TextTable& variables, const char* documentRoot) noexcept {
    platform::HeapPtr<char> hostForm(duplicateOnHeap(documentRoot));
    if (!hostForm)
        return;
    backslashesToSlashes(hostForm.get());
    variables.add("DOCUMENT_ROOT", hostForm.get());
}

void copyHeaders(TextTable& headers, TextTable& variables) noexcept {
    headers.rewind();
    // Stepping once before the first copy skips the request line, which is no header.
    for (char* entry = headers.next(); entry != nullptr; entry = headers.next()) {
        char name[kScratchCapacity];
        std::memcpy(name, kHeaderPrefix, sizeof kHeaderPrefix);
        appendBounded(name, entry, kHeaderNameCopyLimit);
        toUpperAscii(name);
        for (char* p = name; *p != '\0'; ++p) {
            if (*p == '-')
                *p = '_';
        }
        if (!isCopyableVariable(name))
            continue;
        variables.add(name, headers.currentValue());
    }
}

} // namespace

void buildGatewayEnvironment(RequestContext& context) noexcept {
    const ServerConfig* settings = context.settings;
    TextTable& headers = context.headerTable;
    TextTable& variables = context.variableTable;

    translatedToHostForm(variables);

    const ByteBuffer& body = context.bodyBuffer;
    addNumber(variables, "CONTENT_LENGTH", body.data != nullptr ? body.length : 0);
    if (const char* type = headers.valueNoCase("content-type"))
        variables.add("CONTENT_TYPE", type);
    variables.add("QUERY_STRING", orEmpty(headers.value("QUERY_STRING")));

    platform::PeerAddress unknownPeer;
    const platform::PeerAddress& peer = context.peer != nullptr ? *context.peer : unknownPeer;
    char address[kScratchCapacity];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", unsigned(peer.address[0]),
                  unsigned(peer.address[1]), unsigned(peer.address[2]), unsigned(peer.address[3]));
    variables.add("REMOTE_ADDR", address);
    const char* remoteHost = headers.valueNoCase("remote_host");
    variables.add("REMOTE_HOST", remoteHost != nullptr ? remoteHost : address);
    addNumber(variables, "REMOTE_PORT", peerPort(peer));

    variables.add("REQUEST_METHOD", methodName(context.methodCode));
    if (const char* host = headers.valueNoCase("host"))
        variables.add("SERVER_NAME", host);
    addNumber(variables, "SERVER_PORT", settings != nullptr ? settings->port : 0);
    variables.add("SERVER_PROTOCOL", context.version);
    variables.add("SERVER_SOFTWARE", orEmpty(settings ? settings->serverSoftware : nullptr));
    addDocumentRoot(variables, orEmpty(settings ? settings->documentRoot : nullptr));

    copyHeaders(headers, variables);
}

bool setScriptName(RequestContext& context) noexcept {
    const char* documentRoot = orEmpty(context.settings ? context.settings->documentRoot : nullptr);
    // The path area always holds its NUL; the bound only keeps a broken one from being
    // read past its end.
    const void* end = std::memchr(context.path, '\0', sizeof context.path);
    std::size_t pathLength = end != nullptr
                                 ? std::size_t(static_cast<const char*>(end) - context.path)
                                 : sizeof context.path - 1;
    // A root of "\" alone names the file-system root: its separator starts the script
    // name rather than ending the root.
    std::size_t rootLength = std::strlen(documentRoot);
    while (rootLength > 0 &&
           (documentRoot[rootLength - 1] == '\\' || documentRoot[rootLength - 1] == '/'))
        --rootLength;
    if (rootLength > pathLength)
        rootLength = pathLength;

    char scriptName[sizeof context.path];
    std::memcpy(scriptName, context.path + rootLength, pathLength - rootLength);
    scriptName[pathLength - rootLength] = '\0';
    backslashesToSlashes(scriptName);
    return context.variableTable.add("SCRIPT_NAME", scriptName) != 0;
}

} // namespace velnor
