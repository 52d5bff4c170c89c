#include "http/TargetResolver.h"

#include <cstddef>
#include <cstring>

#include "content/PathNormalizer.h"
#include "content/ReservedNames.h"
#include "content/Strings.h"
#include "http/HttpDate.h"
#include "http/RequestContext.h"
#include "platform/FileSystem.h"

namespace velnor {
namespace {

constexpr std::size_t kPathLimit = kTargetCapacity - 1; // characters in a 260-byte area
constexpr char kScheme[] = "http://";
constexpr std::size_t kSchemeLength = sizeof kScheme - 1;

bool isSeparator(char c) noexcept {
    return c == '/' || c == '\\';
}

const char* orEmpty(const char* text) noexcept {
    return text ? text : "";
}

// Appends `text` to the path in `area` (kTargetCapacity bytes), writing "/" as "\". When the
// result would pass 259 characters nothing is appended and the answer is false, so no
// caller can overrun the area whatever the settings hold.
bool appendPath(char* area, const char* text) noexcept {
    std::size_t used = std::strlen(area);
    std::size_t added = std::strlen(text);
    if (used + added > kPathLimit)
        return false;
    for (std::size_t i = 0; i < added; ++i)
        area[used + i] = text[i] == '/' ? '\\' : text[i];
    area[used + added] = '\0';
    return true;
}

// The platform's find-first-file names no entry for a path that ends in a separator, while
// stat() would report the directory. The resolver depends on the former: a gateway path
// ending in "\" must name nothing rather than pick up a default document.
bool lookUp(const char* path, platform::FileRecord& record) noexcept {
    std::size_t length = std::strlen(path);
    if (length == 0 || isSeparator(path[length - 1]))
        return false;
    return FindFirstFileAnsi(path, record);
}

bool isDirectory(const platform::FileRecord& record) noexcept {
    return (record.attributes & platform::kAttributeDirectory) != 0;
}

// A root setting's length without trailing separators. Roots are stored without them; a
// root of the file system itself ("\") thus joins as nothing before the canonical path.
std::size_t rootLength(const char* root) noexcept {
    std::size_t length = std::strlen(root);
    while (length > 0 && isSeparator(root[length - 1]))
        --length;
    return length;
}

// The CGI root compared name by name: inside means the root itself or the root followed
// by a separator, so a sibling "cgi-old" is no part of "cgi". Compared as the file system
// compares names: exactly where it tells "CGI" from "cgi", without ASCII case where it
// does not (else "\CGI\run.exe" would be served as a file there). An unset CGI root turns
// gateways off instead of making every path one.
bool isUnderCgiRoot(const char* full, const char* cgiRoot) noexcept {
    if (cgiRoot[0] == '\0')
        return false;
    const std::size_t length = rootLength(cgiRoot);
    for (std::size_t i = 0; i < length; ++i) {
        const bool same = isSeparator(cgiRoot[i]) ? full[i] == '\\'
                          : platform::kNamesIgnoreCase
                              ? foldAscii(static_cast<unsigned char>(full[i])) ==
                                    foldAscii(static_cast<unsigned char>(cgiRoot[i]))
                              : full[i] == cgiRoot[i];
        if (!same)
            return false;
    }
    return full[length] == '\0' || full[length] == '\\';
}

// The document root and the canonical form of the request path, in `full`: the one path
// every later decision is made on.
bool joinCanonical(char* full, const char* documentRoot, const char* path) noexcept {
    const std::size_t length = rootLength(documentRoot);
    if (length >= kTargetCapacity)
        return false;
    for (std::size_t i = 0; i < length; ++i)
        full[i] = documentRoot[i] == '/' ? '\\' : documentRoot[i];
    return normalizePath(path, full + length, kTargetCapacity - length) >= 0;
}

// Walks `full` (a gateway path that names nothing) for the shortest prefix below the CGI
// root, cut at a "\", that is an existing file: the program. Everything after it becomes
// PATH_INFO and PATH_TRANSLATED; `full` is left cut after the program.
int findProgramFile(RequestContext& context, char* full, std::size_t cgiRootLength,
                    const char* documentRoot) noexcept {
    std::size_t length = std::strlen(full);
    std::size_t cut = cgiRootLength + 1;
    if (cut > length)
        cut = length;
    while (full[cut] != '\0' && full[cut] != '\\')
        ++cut;
    for (;;) {
        if (full[cut] == '\0')
            return 404;
        full[cut] = '\0';
        if (lookUp(full, context.findData) && context.findData.regular)
            break;
        full[cut] = '\\';
        ++cut;
        while (full[cut] != '\0' && full[cut] != '\\')
            ++cut;
    }

    // rest is "\" plus what followed the cut; it came out of `full`, so it fits.
    char rest[kTargetCapacity] = "\\";
    appendPath(rest, full + cut + 1);
    char pathInfo[kTargetCapacity];
    std::memcpy(pathInfo, rest, sizeof pathInfo);
    backslashesToSlashes(pathInfo);
    context.variableTable.add("PATH_INFO", pathInfo);

    // The canonical path holds no "..", so this names a place inside the document root.
    char translated[kTargetCapacity] = {};
    const std::size_t root = rootLength(documentRoot);
    if (root + std::strlen(rest) > kPathLimit)
        return 400;
    std::memcpy(translated, documentRoot, root);
    slashesToBackslashes(translated);
    if (!appendPath(translated, rest))
        return 400;
    context.variableTable.add("PATH_TRANSLATED", translated);
    return 999;
}

// 304 when the client's copy, dated by "if-modified-since", is not older than the file.
// A date that cannot be read counts as older, so the file is sent.
int conditionalStatus(RequestContext& context) noexcept {
    const char* since = context.headerTable.valueNoCase("if-modified-since");
    if (since == nullptr)
        return 200;
    HttpDate fileDate;
    fileDate.fromFileTime(context.findData.lastWriteTime);
    HttpDate clientDate;
    if (!clientDate.parseHttpDate(since))
        return 200;
    return clientDate.isNotOlderThan(fileDate) ? 304 : 200;
}

} // namespace

int stripAbsoluteForm(char* target) noexcept {
    if (target == nullptr || compareNoCaseN(target, kScheme, kSchemeLength) != 0)
        return 1;
    char* slash = std::strchr(target + kSchemeLength, '/');
    if (slash == nullptr)
        return 0;
    std::memmove(target, slash, std::strlen(slash) + 1);
    return 1;
}

int isPathInsideRoot(const char* path) noexcept {
    if (path == nullptr || path[0] == '\0')
        return 0;
    int depth = 0;
    for (const char* p = path; *p != '\0'; ++p) {
        // A separator followed by another separator names no level: the file system reads
        // "//" as one separator, so counting both would let ".." climb past the root.
        if (isSeparator(p[0]) && p[1] != '.' && !isSeparator(p[1]))
            ++depth;
        else if (p[0] == '.' && p[1] == '.')
            --depth;
        if (depth < 1)
            return 0;
    }
    return 1;
}

int RequestContext::resolveTarget() noexcept {
    findData = platform::FileRecord{};
    const char* documentRoot = orEmpty(settings ? settings->documentRoot : nullptr);
    const char* cgiRoot = orEmpty(settings ? settings->extensionRoot : nullptr);
    const char* defaultDocument = orEmpty(settings ? settings->defaultDocument : nullptr);

    // The reader never stores more than 259 characters; a target without its NUL is refused
    // rather than read past the area.
    if (std::memchr(target, '\0', sizeof target) == nullptr)
        return 400;
    if (stripAbsoluteForm(target) == 0)
        return 400;
    if (char* query = std::strchr(target, '?')) {
        *query = '\0';
        headerTable.add("QUERY_STRING", query + 1);
    }

    std::memcpy(path, target, sizeof path);
    slashesToBackslashes(path);
    std::size_t pathLength = std::strlen(path);
    if (std::strlen(documentRoot) + std::strlen(defaultDocument) + pathLength + 1 > kPathLimit)
        return 400;
    if (isPathInsideRoot(path) == 0)
        return 400;

    // From here on only the canonical path counts. It is left in `path` for a missing
    // file too, so the password check finds the file that governs the place asked for.
    char full[kTargetCapacity] = {};
    if (!joinCanonical(full, documentRoot, path))
        return 400;
    // A name the file system could read as another (a stream, a short name, a device) is
    // no name here, before anything is looked up or judged by name. The root is the
    // operator's own text and is not asked. Left in `path` as a missing file's would be.
    if (hasReservedName(full + rootLength(documentRoot))) {
        std::memcpy(path, full, sizeof path);
        return 404;
    }
    const bool gateway = isUnderCgiRoot(full, cgiRoot);

    std::size_t fullLength = std::strlen(full);
    if (!gateway && fullLength > 0 && full[fullLength - 1] == '\\' &&
        !appendPath(full, defaultDocument))
        return 400;

    int status = 0;
    if (lookUp(full, findData)) {
        if (isDirectory(findData)) {
            // No redirect: a directory named without "/" is answered with its default
            // document. A default document that names a directory itself is no document.
            if (!appendPath(full, "\\") || !appendPath(full, defaultDocument))
                return 400;
            if (!lookUp(full, findData))
                status = 404;
        }
        // Only a regular file is an answer: a FIFO, socket or device would hold the
        // worker that opened it, and a directory here is no document.
        if (status == 0 && !findData.regular)
            status = 404;
        if (status == 0 && gateway) {
            // The document root itself; a root of the file system keeps its separator.
            char translated[kTargetCapacity] = "\\";
            const std::size_t root = rootLength(documentRoot);
            if (root > 0) {
                std::memcpy(translated, documentRoot, root);
                translated[root] = '\0';
                slashesToBackslashes(translated);
            }
            variableTable.add("PATH_INFO", "");
            variableTable.add("PATH_TRANSLATED", translated);
        }
    } else if (!gateway) {
        status = 404;
    } else {
        status = findProgramFile(*this, full, rootLength(cgiRoot), documentRoot);
        if (status == 999)
            status = 0;
    }

    std::memcpy(path, full, sizeof path);
    if (status != 0)
        return status;
    if (gateway)
        return 999;
    return conditionalStatus(*this);
}

} // namespace velnor
