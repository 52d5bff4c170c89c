// Many clients at once: more connections than workers, garbage on the wire, and clients
// that reset their connections at every stage of an exchange.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/robustness/Robustness.h"

namespace velnor::robustness {
namespace {

constexpr int kOverloadConnections = 200;
constexpr std::size_t kMediumSize = 256 * 1024;
constexpr int kGarbageThreads = 4;
constexpr int kGarbagePerThread = 60;
// Garbage is refused at once; an answer this late is a connection left hanging.
constexpr auto kGarbageAnswerLimit = 2s;
constexpr int kResetRounds = 50;
constexpr std::size_t kLargeSize = 8 * 1024 * 1024;

std::string serverState(const ServerProcess& server) {
    return alive(server.pid()) && servesNormally(server.port()) ? "server alive"
                                                                : "server NOT serving";
}

// A closed connection, or a 4xx answer followed by the close.
bool refusedCleanly(const std::string& answer) {
    return answer.empty() || answer.rfind("HTTP/1.0 4", 0) == 0 ||
           answer.rfind("HTTP/1.1 4", 0) == 0;
}

constexpr int kGarbageKinds = 8;
const char* const kGarbageKindNames[kGarbageKinds] = {
    "random bytes",        "random bytes and a blank line",
    "cut-off head",        "64 KiB target",
    "64 KiB header line",  "5000 header lines",
    "two Content-Lengths", "11-digit Content-Length",
};

struct Garbage {
    std::string bytes;
    bool halfClose; // the client ends its side, so an unfinished head cannot be waited on
};

// The `n`th hostile input: random bytes, cut-off heads, oversized heads, broken framing.
Garbage garbage(int n) {
    const std::string head = "GET /a.txt HTTP/1.1\r\nHost: h\r\nUser-Agent: robust\r\n\r\n";
    const auto seed = std::uint32_t(n) + 1;
    switch (n % kGarbageKinds) {
    case 0:
        return {e2e::patternBytes(1 + std::size_t(n) * 7919 % 8192, seed), true};
    case 1:
        return {e2e::patternBytes(1 + std::size_t(n) * 104729 % 4096, seed) + "\r\n\r\n", false};
    case 2: // cut anywhere before the blank line completes
        return {head.substr(0, 1 + std::size_t(n) * 31 % (head.size() - 3)), true};
    case 3:
        return {"GET /" + std::string(64 * 1024, 'a') + " HTTP/1.0\r\n\r\n", false};
    case 4:
        return {"GET /a.txt HTTP/1.0\r\nX-Long: " + std::string(64 * 1024, 'b') + "\r\n\r\n",
                false};
    case 5: {
        std::string many = "GET /a.txt HTTP/1.0\r\n";
        for (int i = 0; i < 5000; ++i)
            many += "X-" + std::to_string(i) + ": v\r\n";
        return {many + "\r\n", false};
    }
    case 6:
        return {"POST /a.txt HTTP/1.0\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello",
                false};
    default:
        return {"POST /a.txt HTTP/1.0\r\nContent-Length: 99999999999\r\n\r\n", false};
    }
}

} // namespace

Outcome overloadProbe() {
    ServerProcess server;
    prepare(server, 4);
    server.writeDocument("medium.bin", e2e::patternBytes(kMediumSize, 7));
    if (!server.start())
        return {false, "the server did not start"};
    const std::string request = e2e::get("/medium.bin", "HTTP/1.0", "Connection: close\r\n");
    // The answer a lone client gets is the one every served client must get.
    const std::string served = e2e::roundTrip(server.port(), request);
    if (served.rfind("HTTP/1.0 200 OK", 0) != 0 || served.size() < kMediumSize)
        return {false, "the file is not served to a lone client"};

    std::atomic<int> complete{0}, busy{0}, unanswered{0};
    const auto startAt = Clock::now() + 200ms;
    onThreads(kOverloadConnections, [&](int) {
        std::this_thread::sleep_until(startAt);
        RawClient client(server.port(), 5s);
        std::string answer;
        if (client.connected() && client.send(request))
            answer = client.readUntilClose(10s);
        const bool closed = client.peerClosed(0ms);
        if (closed && answer == served)
            ++complete;
        else if (closed && answer == e2e::kBusyAnswer)
            ++busy;
        else
            ++unanswered;
    });
    const std::string state = serverState(server);
    std::string detail = std::to_string(kOverloadConnections) + " connections, " +
                         std::to_string(complete.load()) + " served, " +
                         std::to_string(busy.load()) + " busy, " +
                         std::to_string(unanswered.load()) + " unanswered, " + state;
    return {unanswered == 0 && state == "server alive", detail};
}

Outcome garbageProbe() {
    ServerProcess server;
    prepare(server, 4);
    if (!server.start())
        return {false, "the server did not start"};
    std::atomic<int> refused{0}, closed{0}, hung{0}, other{0};
    std::atomic<int> failedKind[kGarbageKinds] = {};
    onThreads(kGarbageThreads, [&](int thread) {
        for (int i = 0; i < kGarbagePerThread; ++i) {
            const int n = thread * kGarbagePerThread + i;
            const Garbage input = garbage(n);
            std::string answer = std::string(e2e::kBusyAnswer);
            bool ended = false;
            // A worker that has just closed its previous connection may not be free yet.
            for (int attempt = 0; attempt < 20 && answer == e2e::kBusyAnswer; ++attempt) {
                if (attempt > 0)
                    std::this_thread::sleep_for(20ms);
                RawClient client(server.port());
                // A send cut short by the server's refusal is an answer too.
                client.send(input.bytes);
                if (input.halfClose)
                    client.shutdownWrite();
                answer = client.readUntilClose(kGarbageAnswerLimit);
                ended = client.peerClosed(0ms);
            }
            if (ended && answer.empty()) {
                ++closed;
            } else if (ended && refusedCleanly(answer)) {
                ++refused;
            } else {
                ++(ended ? other : hung);
                ++failedKind[n % kGarbageKinds];
            }
        }
    });
    const std::string state = serverState(server);
    std::string detail = std::to_string(kGarbageThreads * kGarbagePerThread) + " connections, " +
                         std::to_string(refused.load()) + " answered 4xx, " +
                         std::to_string(closed.load()) + " closed, " + std::to_string(hung.load()) +
                         " hung, " + std::to_string(other.load()) + " other answers, " + state;
    for (int kind = 0; kind < kGarbageKinds; ++kind)
        if (failedKind[kind] > 0)
            detail += "; failing: " + std::string(kGarbageKindNames[kind]) + " x" +
                      std::to_string(failedKind[kind].load());
    return {hung == 0 && other == 0 && state == "server alive", detail};
}

Outcome resetProbe() {
    ServerProcess server;
    prepare(server, 4);
    server.writeDocument("large.bin", e2e::patternBytes(kLargeSize, 3));
    if (!server.start())
        return {false, "the server did not start"};
    // Everything the server opens once (the log among them) is open before the count.
    servesNormally(server.port());
    const int before = openDescriptors(server.pid());

    std::atomic<int> resets{0};
    onThreads(3, [&](int stage) {
        for (int round = 0; round < kResetRounds; ++round) {
            RawClient client(server.port());
            if (stage == 0) {
                client.send("GET /large.bin HTTP/1.1\r\nHost: h\r\nX-Half: abc");
            } else if (stage == 1) {
                client.send("POST /a.txt HTTP/1.0\r\nContent-Length: 1000000\r\n\r\n" +
                            std::string(16 * 1024, 'p'));
            } else {
                client.send(e2e::get("/large.bin", "HTTP/1.1", "Host: h\r\n"));
                client.readBytes(64 * 1024, 2s);
            }
            std::this_thread::sleep_for(5ms);
            client.abort();
            ++resets;
        }
    });
    // Workers notice a reset at their next read or write; give them a moment to.
    int after = openDescriptors(server.pid());
    for (int wait = 0; wait < 30 && after > before; ++wait) {
        std::this_thread::sleep_for(100ms);
        after = openDescriptors(server.pid());
    }
    const std::string state = serverState(server);
    std::string detail = std::to_string(resets.load()) + " resets mid-head, mid-body and " +
                         "mid-response, descriptors " + std::to_string(before) + " before, " +
                         std::to_string(after) + " after, " + state;
    return {before > 0 && after <= before && state == "server alive", detail};
}

} // namespace velnor::robustness
