// Routing of a read request to its responder, and the answers that carry no file: bare
// status responses (with the operator's error documents in front of them), the Basic
// challenge and the hand-over to the gateways.
#include <cstdio>
#include <cstring>

#include "content/ErrorDocumentTable.h"
#include "http/RequestContext.h"
#include "http/StatusLines.h"

namespace velnor {

int RequestContext::dispatch(int status, int closeFlag) noexcept {
    // Without settings there is no password-file name and no tree to search.
    int decided = status;
    if (settings != nullptr && settings->passwordFileName != nullptr)
        decided = findPasswordFile(status, path, settings->passwordFileName);

    switch (decided) {
    case 0:
        return 0;
    case 200:
        return sendFile(200, closeFlag);
    case 401:
        return sendAuthChallenge(401);
    case 999:
        return selectGateway(closeFlag);
    default:
        return sendStatusResponse(decided, closeFlag, kOriginDispatch);
    }
}

int RequestContext::sendStatusResponse(int status, int closeFlag, int origin) noexcept {
    // The worker ends the connection after every answer of 400 or more, also when the
    // status arose after its close decision (a password file asked for by name, a file
    // that vanished): the answer says so instead of promising to keep it.
    if (status >= 400)
        closeFlag = 1;
    // One detour per response: a document that fails with the status it is meant to
    // answer (a 500 document that cannot be opened) would otherwise come back here
    // for ever.
    const ErrorDocumentTable* documents = settings ? settings->errorDocuments : nullptr;
    if (!detourTaken && documents != nullptr) {
        const char* document = documents->documentFor(status);
        if (document != nullptr && std::strlen(document) < kTargetCapacity) {
            detourTaken = true;
            std::memcpy(target, document, std::strlen(document) + 1);
            const int resolved = resolveTarget();
            if (resolved == 200)
                return sendFile(status, 1);
            if (resolved == 999)
                return selectGateway(1);
        }
    }

    char head[kResponseArea];
    std::size_t length = 0;
    if (const char* text = statusText(status)) {
        length = formattedLength(std::snprintf(head, sizeof head,
                                               "%s %s(%d)\r\nServer: %s\r\nConnection: %s\r\n\r\n",
                                               version, text, origin, serverSoftwareOf(settings),
                                               closeFlag ? "Close" : "Keep-Alive"),
                                 sizeof head);
    }
    // A status without a row, or a head too long for its area (only an oversized server
    // software text can do that), gets the minimal form, which always fits.
    if (length == 0) {
        length = formattedLength(
            std::snprintf(head, sizeof head, "%s %d\r\nConnection: Close\r\n\r\n", version, status),
            sizeof head);
    }
    if (length == 0 || SendAll(head, std::uint32_t(length), 0) < 1)
        return 0;
    return status;
}

int RequestContext::sendAuthChallenge(int status) noexcept {
    const char* host = headerTable.valueNoCase("host");
    if (host == nullptr)
        host = "localhost";
    const char* text = statusText(401);

    char head[kResponseArea];
    const std::size_t length = formattedLength(
        std::snprintf(head, sizeof head,
                      "%s %s\r\nServer: %s\r\nWWW-Authenticate: Basic realm=\"%s%s\"\r\n"
                      "Connection: close\r\n\r\n",
                      version, text, serverSoftwareOf(settings), host, target),
        sizeof head);
    // A challenge that cannot be worded whole is no challenge; the client is told the
    // server failed instead of receiving a cut head.
    if (length == 0)
        return sendStatusResponse(500, 1, kOriginPathConversion);
    if (SendAll(head, std::uint32_t(length), 0) < 1)
        return 0;
    return status;
}

int RequestContext::selectGateway(int closeFlag) noexcept {
    // A program or a library may take long.
    AboutToWait();
    if (gateways == nullptr)
        return sendStatusResponse(500, closeFlag, kOriginDispatch);
    return gateways->selectGateway(*this, closeFlag);
}

} // namespace velnor
