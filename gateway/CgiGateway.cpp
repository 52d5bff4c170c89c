#include "gateway/CgiGateway.h"

#include <cstring>

#include "content/Strings.h"
#include "http/StatusLines.h"
#include "platform/ChildProcess.h"

namespace velnor {
namespace {

constexpr std::uint32_t kReadChunk = 1024;
// Output of this many bytes or fewer is no response.
constexpr std::uint32_t kProbeMinimum = 10;
// Body bytes offered to the program per write; the pipe takes what it has room for.
constexpr std::size_t kWriteChunk = 64 * 1024;

int originOf(platform::StartFailure failure) noexcept {
    switch (failure) {
    case platform::StartFailure::InputPipe:
        return kOriginCgiInputPipe;
    case platform::StartFailure::OutputPipe:
        return kOriginCgiOutputPipe;
    case platform::StartFailure::ErrorPipe:
        return kOriginCgiErrorPipe;
    case platform::StartFailure::Duplication:
        return kOriginCgiDuplication;
    default:
        return kOriginCgiStart;
    }
}

// The program's directory: its path cut after the last separator, which stays. False
// when the path does not fit; an empty result leaves the server's directory in place.
bool directoryOf(const char* programPath, char (&directory)[kTargetCapacity]) noexcept {
    const std::size_t length = std::strlen(programPath);
    if (length >= kTargetCapacity)
        return false;
    std::memcpy(directory, programPath, length + 1);
    std::size_t cut = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (directory[i] == '\\' || directory[i] == '/')
            cut = i + 1;
    }
    directory[cut] = '\0';
    return true;
}

enum class Outcome { Continue, Ended, Stalled, SendFailed, NoMemory };

// Moves the body into the program and its output to the client at the same time, so a
// program that writes before it has read all its input cannot wedge against the server.
class CgiRelay {
public:
    CgiRelay(RequestContext& context, platform::ChildProcess& child) noexcept
        : context_(context), child_(child) {}

    Outcome run(std::uint32_t idleMs) noexcept {
        const char* body = nullptr;
        std::uint32_t remaining = 0;
        if (context_.methodCode == Post && context_.bodyBuffer.data != nullptr) {
            body = context_.bodyBuffer.data;
            remaining = context_.bodyBuffer.length;
        }
        bool inputOpen = true;
        char chunk[kReadChunk];
        for (;;) {
            if (inputOpen && remaining == 0) {
                child_.closeInput();
                inputOpen = false;
            }
            const int ready = child_.waitReady(inputOpen, long(idleMs));
            if (ready <= 0)
                return Outcome::Stalled;
            if (ready & platform::ChildProcess::kInputWritable) {
                const std::size_t offer = remaining < kWriteChunk ? remaining : kWriteChunk;
                const long written = child_.writeInput(body, offer);
                if (written > 0) {
                    body += written;
                    remaining -= std::uint32_t(written);
                } else if (written == -1) {
                    // The program stopped reading; what it did not take is dropped.
                    remaining = 0;
                }
            }
            if (ready & platform::ChildProcess::kOutputReadable) {
                const long n = child_.readOutput(chunk, sizeof chunk);
                if (n == 0 || n == -1)
                    return Outcome::Ended;
                if (n > 0) {
                    const Outcome delivered = deliver(chunk, std::uint32_t(n));
                    if (delivered != Outcome::Continue)
                        return delivered;
                }
            }
        }
    }

    bool prefixSent() const noexcept { return prefixSent_; }

private:
    Outcome deliver(const char* bytes, std::uint32_t n) noexcept {
        if (prefixSent_)
            return context_.SendAll(bytes, n, 0) == std::int64_t(n) ? Outcome::Continue
                                                                    : Outcome::SendFailed;
        if (probe_.append(bytes, n) != n)
            return Outcome::NoMemory;
        if (probe_.length <= kProbeMinimum)
            return Outcome::Continue;
        return sendPrefix();
    }

    // The status line and the server's two header lines, then the probed bytes: the
    // program's output continues the header block.
    Outcome sendPrefix() noexcept {
        const bool moved = compareNoCaseN(probe_.data, "Location: ", 10) == 0;
        const char* software = serverSoftwareOf(context_.settings);
        const char* pieces[] = {context_.version, " ",      statusText(moved ? 302 : 200),
                                "\r\nServer: ",   software, "\r\nConnection: Close\r\n"};
        // Built on the heap, a long server software text can never cut the head.
        ByteBuffer head;
        for (const char* piece : pieces) {
            const std::uint32_t length = std::uint32_t(std::strlen(piece));
            if (head.appendString(piece) != length)
                return Outcome::NoMemory;
        }
        if (head.append(probe_.data, probe_.length) != probe_.length)
            return Outcome::NoMemory;
        probe_.reset();
        prefixSent_ = true;
        return context_.SendAll(head.data, head.length, 0) == std::int64_t(head.length)
                   ? Outcome::Continue
                   : Outcome::SendFailed;
    }

    RequestContext& context_;
    platform::ChildProcess& child_;
    ByteBuffer probe_;
    bool prefixSent_ = false;
};

} // namespace

bool buildEnvironmentBlock(TextTable& variables, ByteBuffer& block) noexcept {
    variables.rewind();
    for (const char* name = variables.current(); name != nullptr && *name != '\0';
         name = variables.next()) {
        const char* value = variables.currentValue();
        const std::uint32_t nameLength = std::uint32_t(std::strlen(name));
        const std::uint32_t valueLength = std::uint32_t(std::strlen(value));
        // An empty value appends nothing, which append reports as 0 as well.
        if (block.append(name, nameLength) != nameLength || block.append("=", 1) != 1 ||
            (valueLength > 0 && block.append(value, valueLength) != valueLength) ||
            block.append("", 1) != 1)
            return false;
    }
    return true;
}

int runCgiGateway(RequestContext& context, const char* programPath, int closeFlag) noexcept {
    return runCgiGateway(context, programPath, closeFlag, CgiLimits{});
}

int runCgiGateway(RequestContext& context, const char* programPath, int closeFlag,
                  const CgiLimits& limits) noexcept {
    context.variableTable.add("GATEWAY_INTERFACE", "CGI/1.1");

    char directory[kTargetCapacity];
    ByteBuffer environment;
    // A path that cannot be taken apart, or an environment that cannot be built, is a
    // program that cannot be started.
    if (programPath == nullptr || programPath[0] == '\0' || !directoryOf(programPath, directory) ||
        !buildEnvironmentBlock(context.variableTable, environment))
        return context.sendStatusResponse(500, closeFlag, kOriginCgiStart);

    platform::ChildProcess child;
    const platform::StartFailure failure = child.start(programPath, directory, environment.data);
    if (failure != platform::StartFailure::None)
        return context.sendStatusResponse(500, closeFlag, originOf(failure));
    environment.reset();

    CgiRelay relay(context, child);
    const Outcome outcome = relay.run(limits.idleMs);
    // A stalled program has had its time, and so has whatever it started that holds its
    // output: the whole group ends now. Any other may finish its work in the background.
    if (outcome == Outcome::Stalled)
        child.finish(0);
    else
        child.leaveRunning(limits.lingerMs);

    switch (outcome) {
    case Outcome::SendFailed:
        return 0;
    case Outcome::NoMemory:
        return context.sendStatusResponse(500, closeFlag, kOriginCgiProbeMemory);
    default:
        // Once bytes went out no status response can follow; a stall then leaves the
        // response cut short, which only closing the connection can tell the client.
        if (relay.prefixSent())
            return outcome == Outcome::Stalled ? 0 : 999;
        return context.sendStatusResponse(500, closeFlag, kOriginCgiShortOutput);
    }
}

} // namespace velnor
