// The request line and the header lines of a stored head, split into request state.
// Nothing is decoded or normalised: names, target and values stay as the client sent them.

#include <cstddef>
#include <cstring>

#include "content/Strings.h"
#include "http/RequestContext.h"

namespace velnor {

namespace {

constexpr char kDefaultVersion[] = "HTTP/1.0";

struct MethodEntry {
    const char* token;
    std::int32_t code;
};

// Compared exactly, in this order; anything else is Unrecognised.
constexpr MethodEntry kMethods[] = {
    {"GET", Get},
    {"HEAD", Head},
    {"POST", Post},
    {"PUT", NotImplemented},
    {"DELETE", NotImplemented},
    {"TRACE", NotImplemented},
    {"OPTIONS", NotImplemented},
    {"CONNECT", NotImplemented},
    {"LINK", NotImplemented},
    {"UNLINK", NotImplemented},
};

constexpr const char* kAcceptedVersions[] = {"HTTP/1.0", "HTTP/1.1", "HTTP/0.9"};

// Names of the server's own per-request entries. A client header of the same name would
// pass for the server's word in the log and in gateway variables.
constexpr const char* kReservedNames[] = {
    "request_line", "remote_host", "remote_addr",
    "QUERY_STRING", "send_bytes",  "authentication_user",
};

bool endsLine(char c) noexcept {
    return c == '\0' || c == '\r' || c == '\n';
}

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

// Copies characters from `p` up to the end of the line (or, with `stopAtBlank`, the first
// space or tab) into a kTokenCapacity area and returns where it stopped. A longer token
// is walked to its end but kept to what fits; no accepted token comes near that size.
const char* copyToken(const char* p, char* out, bool stopAtBlank) noexcept {
    std::size_t n = 0;
    for (; !endsLine(*p) && !(stopAtBlank && isBlank(*p)); ++p) {
        if (n + 1 < kTokenCapacity)
            out[n++] = *p;
    }
    out[n] = '\0';
    return p;
}

std::int32_t methodCodeOf(const char* token) noexcept {
    for (const MethodEntry& entry : kMethods) {
        if (std::strcmp(token, entry.token) == 0)
            return entry.code;
    }
    return Unrecognised;
}

bool isAcceptedVersion(const char* token) noexcept {
    for (const char* accepted : kAcceptedVersions) {
        if (std::strcmp(token, accepted) == 0)
            return true;
    }
    return false;
}

bool isStorableName(const char* name) noexcept {
    if (name[0] == '\0')
        return false;
    for (const char* reserved : kReservedNames) {
        if (compareNoCase(name, reserved) == 0)
            return false;
    }
    return true;
}

template <std::size_t N> void setText(char (&area)[N], const char* text) noexcept {
    copyBounded(area, text, N - 1);
    area[N - 1] = '\0';
}

} // namespace

int splitRequestLine(const char* text, char* method, char* target, char* version) noexcept {
    method[0] = '\0';
    target[0] = '\0';
    version[0] = '\0';
    if (!text || *text == '\0')
        return 0;
    const char* p = copyToken(text, method, true);
    if (endsLine(*p))
        return 1;
    // Exactly one separator: a second one starts an empty token.
    p = copyToken(p + 1, target, true);
    if (endsLine(*p)) {
        // The simple request form: method and target only.
        copyBounded(version, kDefaultVersion, sizeof kDefaultVersion);
        return 3;
    }
    copyToken(p + 1, version, false);
    return 3;
}

int splitHeaderLine(const char* line, char* name, char* value) noexcept {
    name[0] = '\0';
    value[0] = '\0';
    if (!line || *line == '\0')
        return 0;
    std::size_t n = 0;
    const char* p = line;
    for (; *p != ':'; ++p) {
        if (endsLine(*p)) {
            name[n] = '\0';
            return 1;
        }
        if (!isBlank(*p) && n + 1 < kTokenCapacity)
            name[n++] = *p;
    }
    name[n] = '\0';
    ++p;
    while (isBlank(*p))
        ++p;
    copyToken(p, value, false);
    return 2;
}

int RequestContext::parseRequestLine(const char* head) noexcept {
    if (!head)
        head = "";
    // A refused line is answered in HTTP/1.0, whatever an earlier request said.
    setText(version, kDefaultVersion);

    // The first area holds the raw line for the log first, then the method token.
    char line[kTokenCapacity];
    copyToken(head, line, false);
    headerTable.add("request_line", line);

    char targetToken[kTokenCapacity];
    char versionToken[kTokenCapacity];
    // The split reads the head itself, so a line cut for the log is still split whole.
    if (splitRequestLine(head, line, targetToken, versionToken) < 3)
        return 400;
    methodCode = methodCodeOf(line);
    if (methodCode == NotImplemented)
        return 501;
    if (methodCode == Unrecognised)
        return 400;
    if (!isAcceptedVersion(versionToken))
        return 400;
    setText(version, versionToken);
    // The target area holds 259 characters; a longer target is refused, never cut.
    if (std::strlen(targetToken) >= kTargetCapacity) {
        target[0] = '\0';
        return 400;
    }
    setText(target, targetToken);
    return 200;
}

int RequestContext::parseHeaders(const char* head) noexcept {
    if (!head)
        return 400;
    const char* line = std::strstr(head, "\r\n");
    if (!line)
        return 400;
    char name[kTokenCapacity];
    char value[kTokenCapacity];
    for (;;) {
        line += 2;
        if (*line == '\0' || *line == '\r')
            return 200;
        if (splitHeaderLine(line, name, value) == 2 && isStorableName(name)) {
            if (headerTable.add(name, value) == 0)
                return 500;
            if (headerTable.usedLength() > kHeaderTableLimit)
                return 500;
        }
        // From the start of this line: a bare LF inside it does not end it.
        line = std::strstr(line, "\r\n");
        if (!line)
            return 400;
    }
}

} // namespace velnor
