// Basic authentication of the request context: which password file governs a target,
// and whether the request's credentials match one of its accounts.
#include <cstddef>
#include <cstring>

#include "content/BasicAuth.h"
#include "content/ByteBuffer.h"
#include "content/Strings.h"
#include "http/RequestContext.h"
#include "http/TargetResolver.h"
#include "platform/FileSystem.h"
#include "platform/Utf.h"

namespace velnor {

namespace {

constexpr unsigned kPasswordReadChunk = 256;

// A directory of the walk (under 260 bytes, as the path it comes from), a separator and
// a file name setting (under 260 bytes) always fit. A candidate past the 260 bytes of a
// path area must still be examined: skipping it would leave the directory it protects
// open whenever the walk finds no other password file above it.
constexpr std::size_t kCandidateArea = 2 * kTargetCapacity;

bool isSeparator(char c) noexcept {
    return c == '\\' || c == '/';
}

// Offset of the last separator in the first `length` bytes of `text`, or -1.
long lastSeparator(const char* text, std::size_t length) noexcept {
    for (std::size_t i = length; i > 0; --i) {
        if (isSeparator(text[i - 1]))
            return static_cast<long>(i - 1);
    }
    return -1;
}

// The document root's length without trailing separators, so that "\srv\www\" bounds
// the walk as "\srv\www" does and the root's own directory is always examined.
std::size_t rootLength(const char* root) noexcept {
    std::size_t length = stringLength(root);
    while (length > 0 && isSeparator(root[length - 1]))
        --length;
    return length;
}

struct WalkState {
    RequestContext* context;
    int status;
};

// A candidate that exists and is no directory decides; any other is passed by. One
// look-up per level, asked on every request, so a password file added or removed counts
// at once.
int examineCandidate(void* state, const char* candidate) noexcept {
    auto* walk = static_cast<WalkState*>(state);
    if (platform::pathKind(candidate) != platform::PathKind::Other)
        return kWalkOn;
    return walk->context->checkCredentials(walk->status, candidate);
}

} // namespace

int walkPasswordCandidates(int status, const char* resolvedPath, const char* documentRoot,
                           const char* fileName, PasswordCandidateVisitor visit,
                           void* state) noexcept {
    // The walk shortens a length over the path rather than cutting a copy of it.
    const std::size_t fileNameLength = stringLength(fileName);
    const std::size_t root = rootLength(documentRoot);
    const bool mayReachFileSystemRoot = stringLength(documentRoot) > 0 && root == 0;
    std::size_t length = stringLength(resolvedPath);
    for (;;) {
        const long cut = lastSeparator(resolvedPath, length);
        if (cut < 0)
            return status;
        length = static_cast<std::size_t>(cut);
        // The directory now ends before the cut. An empty one is the file-system root,
        // examined only when that is the document root itself.
        if (length < root || (length == 0 && !mayReachFileSystemRoot))
            return status;
        // Only a path or name longer than any that resolution and the settings give
        // gets here. A directory that cannot be examined is refused, never skipped.
        if (length + 1 + fileNameLength >= kCandidateArea)
            return 500;
        char candidate[kCandidateArea];
        std::memcpy(candidate, resolvedPath, length);
        candidate[length] = '\\';
        std::memcpy(candidate + length + 1, fileName, fileNameLength + 1);
        const int answer = visit(state, candidate);
        if (answer != kWalkOn)
            return answer;
    }
}

int RequestContext::findPasswordFile(int status, const char* resolvedPath,
                                     const char* fileName) noexcept {
    // Nothing resolved (a request refused before resolution, or no file name setting):
    // there is no target for a password file to govern.
    if (!resolvedPath || resolvedPath[0] == '\0' || !fileName || fileName[0] == '\0')
        return status;
    const long lastName = lastSeparator(resolvedPath, stringLength(resolvedPath));
    if (compareNoCase(resolvedPath + (lastName + 1), fileName) == 0)
        return 404;
    WalkState walk{this, status};
    return walkPasswordCandidates(status, resolvedPath, settings ? settings->documentRoot : nullptr,
                                  fileName, examineCandidate, &walk);
}

int RequestContext::checkCredentials(int status, const char* passwordFilePath) noexcept {
    char credentials[kCredentialsCapacity];
    if (!decodeBasicCredentials(headerTable.valueNoCase("authorization"), credentials))
        return 401;

    // Checked as UTF-8 and opened by its own 8-bit text: nothing is converted.
    if (platform::utf8ToUtf16(passwordFilePath, stringLength(passwordFilePath), nullptr, 0) < 0)
        return 500;
    platform::File file;
    if (!file.open(passwordFilePath, platform::File::Mode::Read))
        return 500;
    ByteBuffer text;
    char chunk[kPasswordReadChunk];
    for (;;) {
        const long got = file.read(chunk, sizeof chunk);
        // A file read only in part could refuse a listed account or, worse, be taken
        // as having none: the request is not decided on it.
        if (got < 0)
            return 500;
        if (got == 0)
            break;
        if (text.append(chunk, static_cast<std::uint32_t>(got)) == 0)
            return 500;
    }
    file.close();

    // A file without accounts (empty, or line breaks only) matches nothing, so it
    // refuses everyone as the file with accounts would refuse a stranger.
    char user[kUserCapacity];
    if (!matchPasswordLine(text.data, credentials, user))
        return 401;
    headerTable.add("authentication_user", user);
    return status;
}

} // namespace velnor
