// The request line and the header lines of a stored head, split into request state.
// Nothing is decoded or normalised: names, target and values stay as the client sent them.

#include <cstddef>
#include <cstdint>
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

// One name character as a gateway variable name would carry it: gateways turn '-' into
// '_' and fold case, so "Remote-Host" would arrive exactly where "remote_host" does.
char variableFold(char c) noexcept {
    if (c == '-')
        return '_';
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool namesSameVariable(const char* a, const char* b) noexcept {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (variableFold(*a) != variableFold(*b))
            return false;
    }
    return *a == *b;
}

bool isStorableName(const char* name) noexcept {
    if (name[0] == '\0')
        return false;
    for (const char* reserved : kReservedNames) {
        if (namesSameVariable(name, reserved))
            return false;
    }
    return true;
}

// The characters a header name may hold: a name is one token, nothing else.
bool isNameCharacter(char c) noexcept {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// True when the line's text before its ':' is a non-empty token. A blank before the colon
// or inside the name is refused: an intermediary may read such a line as another header
// than this server does, and the two would then frame the message differently.
bool hasTokenName(const char* line) noexcept {
    const char* p = line;
    while (isNameCharacter(*p))
        ++p;
    return p != line && *p == ':';
}

// True when a CR or LF in the text is not part of a CR LF pair. Such a lone break ends a
// line for some readers and not for others, which would hide a header from one of them.
bool hasLoneLineBreak(const char* text) noexcept {
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\r' && p[1] != '\n')
            return true;
        if (*p == '\n' && (p == text || p[-1] != '\r'))
            return true;
    }
    return false;
}

// The body length a Content-Length line announces: digits only, with blanks around them
// allowed; -1 for anything else (a sign, a list, trailing text, no digits). Lengths too
// large for any body stop at INT64_MAX, which every limit refuses.
std::int64_t announcedLength(const char* line) noexcept {
    const char* p = std::strchr(line, ':');
    if (!p)
        return -1;
    ++p;
    while (isBlank(*p))
        ++p;
    std::int64_t value = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    if (p == digits)
        return -1;
    while (isBlank(*p))
        ++p;
    return endsLine(*p) ? value : -1;
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
    contentLength = -1;
    if (!head)
        return 400;
    const char* line = std::strstr(head, "\r\n");
    if (!line || hasLoneLineBreak(head))
        return 400;
    char name[kTokenCapacity];
    char value[kTokenCapacity];
    for (;;) {
        line += 2;
        if (*line == '\0' || *line == '\r')
            return 200;
        // A folded continuation, or an indented first line, would be joined to the header
        // before it by some readers and taken on its own by others.
        if (isBlank(*line))
            return 400;
        if (splitHeaderLine(line, name, value) == 2) {
            if (!hasTokenName(line))
                return 400;
            // Bodies are framed by Content-Length alone here; a coded body could never
            // be told apart from the next request.
            if (compareNoCase(name, "transfer-encoding") == 0)
                return 501;
            if (compareNoCase(name, "content-length") == 0) {
                const std::int64_t length = announcedLength(line);
                // Checked here rather than from the table, which keeps only the last of
                // two entries that share a name.
                if (length < 0 || (contentLength >= 0 && length != contentLength))
                    return 400;
                contentLength = length;
            }
            if (isStorableName(name)) {
                if (headerTable.add(name, value) == 0)
                    return 500;
                if (headerTable.usedLength() > kHeaderTableLimit)
                    return 500;
            }
        }
        // From the start of this line: the line ends at its CR LF.
        line = std::strstr(line, "\r\n");
        if (!line)
            return 400;
    }
}

} // namespace velnor
