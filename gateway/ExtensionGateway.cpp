#include "gateway/ExtensionGateway.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "content/Strings.h"
#include "gateway/GatewayEnvironment.h"
#include "http/RequestContext.h"
#include "http/StatusLines.h"
#include "platform/HeapBlock.h"
#include "platform/HeapSize.h"
#include "platform/SharedLibrary.h"
#include "platform/Utf.h"
#include "velnor/velnor.h"

namespace velnor {
namespace {

// The entries' types come from the authors' header, so the two cannot drift apart.
using ZlxEntry = decltype(&fnZlx);
using CapiEntry = decltype(&fnCAPI);

constexpr char kInterface[] = "ZLX/1.0";
constexpr char kHeadEnd[] = "\r\n\r\n";
constexpr std::size_t kHeadEndLength = sizeof kHeadEnd - 1;
constexpr char kLocation[] = "Location: ";
constexpr std::size_t kLocationLength = sizeof kLocation - 1;

bool convertLibraryPath(const char* path, char16_t (&wide)[kLibraryPathCapacity]) noexcept {
    return path != nullptr &&
           platform::utf8ToUtf16(path, std::strlen(path), wide, kLibraryPathCapacity) >= 0;
}

// Offset just past the empty line that ends the head, or 0 when there is none. The
// search ends at the first NUL as well as at `length`: an extension that wrote a longer
// length than its block, or no NUL, is never read past what it announced.
std::uint32_t headLengthOf(const char* data, std::uint32_t length) noexcept {
    const void* nul = std::memchr(data, '\0', length);
    const std::size_t limit =
        nul != nullptr ? std::size_t(static_cast<const char*>(nul) - data) : length;
    for (std::size_t i = 0; i + kHeadEndLength <= limit; ++i) {
        if (std::memcmp(data + i, kHeadEnd, kHeadEndLength) == 0)
            return std::uint32_t(i + kHeadEndLength);
    }
    return 0;
}

// The server's own lines in front of a ZLX answer; 0 when they do not fit the area.
std::size_t formatPrefix(const RequestContext& context, const char* response,
                         std::uint32_t bodyLength, char (&area)[kResponseArea]) noexcept {
    const char* software = serverSoftwareOf(context.settings);
    int written;
    // A redirect's length is the client's to ignore, so none is announced.
    if (compareNoCaseN(response, kLocation, kLocationLength) == 0) {
        written = std::snprintf(area, sizeof area, "%s %s\r\nServer: %s\r\nConnection: Close\r\n",
                                context.version, statusText(302), software);
    } else {
        written = std::snprintf(
            area, sizeof area, "%s %s\r\nServer: %s\r\nConnection: Close\r\nContent-Length: %u\r\n",
            context.version, statusText(200), software, unsigned(bodyLength));
    }
    if (written < 0 || std::size_t(written) >= sizeof area)
        return 0;
    return std::size_t(written);
}

bool sentWhole(std::int64_t sent, std::size_t length) noexcept {
    return sent >= 1 && std::uint64_t(sent) >= length;
}

} // namespace

int runZlxGateway(RequestContext& context, const char* libraryPath, int closeFlag) noexcept {
    char16_t widePath[kLibraryPathCapacity];
    if (!convertLibraryPath(libraryPath, widePath))
        return context.sendStatusResponse(500, closeFlag, kOriginZlxPath);
    context.variableTable.add("GATEWAY_INTERFACE", kInterface);

    // A real buffer lent in its memory form. The block the extension leaves in it is
    // taken out at once: it belongs to the extensions' heap, not the buffer's.
    ByteBuffer response;
    platform::SharedLibrary library;
    if (!library.open(widePath))
        return context.sendStatusResponse(500, closeFlag, kOriginZlxLoad);
    const auto entry = reinterpret_cast<ZlxEntry>(library.symbol("fnZlx"));
    if (entry == nullptr) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginZlxEntry);
    }

    context.variableTable.rewind();
    entry(reinterpret_cast<VelnorTextTable*>(&context.variableTable),
          reinterpret_cast<VelnorByteBuffer*>(&context.bodyBuffer),
          reinterpret_cast<VelnorByteBuffer*>(&response));
    platform::ExtensionBlockPtr<char> answer(std::exchange(response.data, nullptr));
    const std::uint32_t length = std::exchange(response.length, 0);
    // The extension may have walked the cursor anywhere.
    context.variableTable.rewind();

    // A block without a length (or a length without a block) is no answer: the length
    // would be taken from a text the extension did not vouch for.
    if (!answer || length == 0) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginZlxNoResponse);
    }
    // The length is the extension's word; the block's size is the allocator's. Bytes past
    // the block belong to other requests, so a length beyond it sends nothing at all.
    if (length > platform::usableSize(answer.get())) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginZlxOverLength);
    }
    const std::uint32_t headLength = headLengthOf(answer.get(), length);
    if (headLength == 0) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginZlxHeadEnd);
    }
    const std::uint32_t bodyLength = length - headLength;

    char prefix[kResponseArea];
    const std::size_t prefixLength = formatPrefix(context, answer.get(), bodyLength, prefix);
    if (prefixLength == 0) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginPathConversion);
    }
    if (!sentWhole(context.SendAll(prefix, std::uint32_t(prefixLength), 0), prefixLength)) {
        library.close();
        return 0;
    }

    char sizeText[16];
    std::snprintf(sizeText, sizeof sizeText, "%u", unsigned(bodyLength));
    context.headerTable.add("send_bytes", sizeText);

    const std::uint32_t count = context.methodCode == Head ? headLength : length;
    const std::int64_t sent = context.SendAll(answer.get(), count, 0);
    library.close();
    return sentWhole(sent, count) ? 999 : 0;
}

int runCapiGateway(RequestContext& context, const char* libraryPath, int closeFlag) noexcept {
    setScriptName(context);
    context.variableTable.add("GATEWAY_INTERFACE", kInterface);

    char16_t widePath[kLibraryPathCapacity];
    if (!convertLibraryPath(libraryPath, widePath))
        return context.sendStatusResponse(500, closeFlag, kOriginCapiPath);
    platform::SharedLibrary library;
    if (!library.open(widePath))
        return context.sendStatusResponse(500, closeFlag, kOriginCapiLoad);
    const auto entry = reinterpret_cast<CapiEntry>(library.symbol("fnCAPI"));
    if (entry == nullptr) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginCapiEntry);
    }

    const ByteBuffer& head = context.headBuffer;
    const ByteBuffer& body = context.bodyBuffer;
    char* block = nullptr;
    const int count = entry(context.variableTable.entries(), context.variableTable.usedLength(),
                            head.data, head.data != nullptr ? head.length : 0, body.data,
                            body.data != nullptr ? body.length : 0, &block);
    platform::ExtensionBlockPtr<char> answer(block);

    // Without an answer, or with a count that names no bytes, nothing is sent; the
    // connection closes and the client sees no answer at all.
    if (!answer || count < 0) {
        library.close();
        return 999;
    }
    // Held to the block as a ZLX length is: a count past it, or a text answer with no
    // NUL inside it, would send whatever lies beyond.
    const std::size_t blockSize = platform::usableSize(answer.get());
    if (std::size_t(count) > blockSize ||
        (count == 0 && std::memchr(answer.get(), '\0', blockSize) == nullptr)) {
        library.close();
        return context.sendStatusResponse(500, closeFlag, kOriginCapiOverCount);
    }
    const std::int64_t sent = context.SendAll(answer.get(), std::uint32_t(count), 0);
    library.close();
    answer.reset();
    if (sent < 1 || (count > 0 && std::uint64_t(sent) < std::uint64_t(count)))
        return 0;
    return 999;
}

} // namespace velnor
