// The static file responder: a resolved plain file goes out with its length, date and
// content type, or to the handler module that has taken over its suffix.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "content/BoundedText.h"
#include "content/MimeTable.h"
#include "content/Strings.h"
#include "http/FileCache.h"
#include "http/HttpDate.h"
#include "http/RequestContext.h"
#include "http/StatusLines.h"
#include "platform/Clock.h"
#include "platform/Utf.h"

namespace velnor {
namespace {

// Files up to this size travel in the same send as their head: one system call for
// the common small page instead of a head send, a read and a body send.
constexpr std::size_t kSmallFileLimit = 16 * 1024;

const char* contentTypeFor(const ServerConfig* settings, const char* path) noexcept {
    if (settings == nullptr || settings->mimeTable == nullptr)
        return MimeTable::kDefaultType;
    return settings->mimeTable->contentType(suffixKey(path));
}

// Reads up to `size` bytes; fewer only when the file ended early or a read failed.
std::size_t readUpTo(platform::File& file, char* into, std::size_t size) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const long result = file.read(into + got, size - got);
        if (result <= 0)
            break;
        got += std::size_t(result);
    }
    return got;
}

// A password file is never sent, whatever alias (a link, another letter case) named it.
// A file whose final name cannot be learnt is not sent either.
bool namesPasswordFile(const ServerConfig* settings, const char* path) noexcept {
    const char* fileName = settings != nullptr ? settings->passwordFileName : nullptr;
    if (fileName == nullptr || fileName[0] == '\0')
        return false;
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/')
            name = p + 1;
    return compareNoCase(name, fileName) == 0;
}

bool isPasswordFile(const ServerConfig* settings, const platform::File& file) noexcept {
    const char* fileName = settings != nullptr ? settings->passwordFileName : nullptr;
    if (fileName == nullptr || fileName[0] == '\0')
        return false;
    char name[sizeof platform::FileRecord::name];
    return !file.finalName(name, sizeof name) || compareNoCase(name, fileName) == 0;
}

} // namespace

int RequestContext::sendFile(int status, int closeFlag) noexcept {
    const char* type = contentTypeFor(settings, path);

    if (type[0] == '\\') {
        // The module is the answer; the file itself is never read here. Its script name
        // is the path below the document root, written as a URL path.
        const std::size_t pathLength = std::strlen(path);
        std::size_t rootLength = 0;
        if (settings != nullptr && settings->documentRoot != nullptr)
            rootLength = std::strlen(settings->documentRoot);
        // A root of the file system ("\") is no part of the name below it.
        while (rootLength > 0 && settings->documentRoot[rootLength - 1] == '\\')
            --rootLength;
        if (rootLength > pathLength)
            rootLength = pathLength;
        char scriptName[kTargetCapacity];
        std::memcpy(scriptName, path + rootLength, pathLength - rootLength + 1);
        backslashesToSlashes(scriptName);
        if (gateways == nullptr || variableTable.add("SCRIPT_NAME", scriptName) == 0)
            return sendStatusResponse(500, closeFlag, kOriginDispatch);
        return gateways->runHandlerModule(*this, type, closeFlag);
    }

    HttpDate lastWrite;
    lastWrite.fromFileTime(findData.lastWriteTime);
    const std::uint64_t size = findData.size;

    // Every method but HEAD gets the body: a POST to a plain file is answered like a GET,
    // and an error document must reach clients whose method was refused. The byte count
    // is recorded before the file is opened so the log shows it even when sending fails.
    if (methodCode != Head) {
        char sizeText[24];
        BoundedText(sizeText, sizeof sizeText).decimal(size).finish();
        headerTable.add("send_bytes", sizeText);
    }
    // A path whose last name is no link names the file itself, so its own name is the
    // final one; an error document can name a password file without the walk's check.
    if (namesPasswordFile(settings, path)) {
        headerTable.remove("send_bytes");
        return sendStatusResponse(404, closeFlag, kOriginDispatch);
    }

    // The head, and right after it a small file's bytes, so both leave in one send.
    char area[kResponseArea + kSmallFileLimit];
    std::size_t headLength = 0;
    if (const char* text = statusText(status)) {
        headLength = BoundedText(area, kResponseArea)
                         .text(version)
                         .text(" ", 1)
                         .text(text)
                         .text("\r\nServer: ")
                         .text(serverSoftwareOf(settings))
                         .text(closeFlag ? "\r\nConnection: Close" : "\r\nConnection: Keep-Alive")
                         .text("\r\nContent-Length: ")
                         .decimal(size)
                         .text("\r\nLast-Modified: ")
                         .text(lastWrite.formatHttpDate())
                         .text("\r\nContent-Type: ")
                         .text(type)
                         .text("\r\n\r\n")
                         .finish();
    } else {
        headLength = formattedLength(
            std::snprintf(area, kResponseArea, "%s %d\r\n\r\n", version, status), kResponseArea);
    }
    // Only an oversized content type or server software text gets here; a cut head
    // would be a lie about the body, so the request fails instead.
    if (headLength == 0)
        return sendStatusResponse(500, closeFlag, kOriginPathConversion);

    // A settled small file already read from this very version (same device, inode,
    // size and both stamps as the lookup just saw) is answered from memory. Only files
    // reached without a link at their last name are kept, so no alias hides behind one.
    char* body = area + headLength;
    const bool mayKeep = !findData.symbolicLink && size <= kSmallFileLimit;
    if (mayKeep && sharedFileCache().copyOut(path, findData, body, kSmallFileLimit)) {
        const std::size_t total = headLength + (methodCode == Head ? 0 : std::size_t(size));
        if (SendAll(area, std::uint32_t(total), 0) < std::int64_t(total))
            return 0;
        return status;
    }

    // A path kept in the cache was checked when it was kept; any other is checked here,
    // measured as UTF-8 without being converted.
    if (platform::utf8ToUtf16(path, std::strlen(path), nullptr, 0) < 0)
        return sendStatusResponse(500, closeFlag, kOriginPathConversion);
    // Opened before anything is said about it, for HEAD too: the file actually opened,
    // whatever link led to it, decides whether there is anything to say. A last name
    // that is no link is opened as such; a link (or a name turned into one since the
    // lookup) is followed and the name of the file at its end is judged.
    platform::File file;
    platform::FileRecord opened;
    const bool direct = !findData.symbolicLink && file.openRead(path, false, opened);
    if (!direct) {
        if (!file.openRead(path, true, opened))
            return sendStatusResponse(500, closeFlag, kOriginFileOpen);
        if (isPasswordFile(settings, file)) {
            // Not even its size reaches the log.
            headerTable.remove("send_bytes");
            return sendStatusResponse(404, closeFlag, kOriginDispatch);
        }
    }

    if (methodCode == Head) {
        file.close();
        if (SendAll(area, std::uint32_t(headLength), 0) < std::int64_t(headLength))
            return 0;
        return status;
    }

    if (size <= kSmallFileLimit) {
        // Nothing has been sent yet, so a file that changed under us or cannot be read
        // can still be answered properly instead of with a body that breaks its length.
        if (readUpTo(file, body, std::size_t(size)) != size)
            return sendStatusResponse(500, closeFlag, kOriginFileOpen);
        // Kept only when the descriptor shows the version the lookup saw.
        if (direct && platform::sameVersion(opened, findData))
            sharedFileCache().keep(path, opened, body, platform::currentFileTime());
        file.close();
        const std::size_t total = headLength + std::size_t(size);
        if (SendAll(area, std::uint32_t(total), 0) < std::int64_t(total))
            return 0;
        return status;
    }

    if (SendAll(area, std::uint32_t(headLength), platform::kSendMore) < std::int64_t(headLength))
        return 0;
    // Exactly the announced bytes, even if the file grew. A shortfall (peer gone, file
    // shrunk, read error) leaves the client short of Content-Length; only closing the
    // connection tells it so, hence 0.
    if (SendFile(file, 0, size) != std::int64_t(size))
        return 0;
    return status;
}

} // namespace velnor
