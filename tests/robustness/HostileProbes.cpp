// Requests meant to tie up a worker or the server's memory, and a stop while clients are
// in the middle of downloads.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "tests/robustness/Robustness.h"

namespace velnor::robustness {
namespace {

constexpr int kHugeBodyClients = 6;
constexpr auto kHugeBodyAnswerLimit = 1s;
constexpr std::size_t kPushedBody = 4 * 1024 * 1024;
// Resident memory may move by allocator noise, not by the bodies pushed at it.
constexpr long kFlatRssKiB = 1024;
constexpr int kFifoRequests = 3;
constexpr auto kFifoAnswerLimit = 1s;
constexpr int kDownloaders = 8;
constexpr std::size_t kDownloadSize = 1024 * 1024;
constexpr auto kLoadBeforeStop = 2s;
constexpr long kStopBoundMs = 2500;

} // namespace

Outcome hugeBodyProbe() {
    ServerProcess server;
    prepare(server, 8);
    server.writeDocument("private/access.cha", "alice:secret\n");
    server.writeDocument("private/page.html", "<p>private</p>\n");
    if (!server.start())
        return {false, "the server did not start"};
    servesNormally(server.port());
    const long before = residentKiB(server.pid());

    std::atomic<int> refused{0};
    std::atomic<long> slowest{0};
    onThreads(kHugeBodyClients, [&](int) {
        RawClient client(server.port());
        const auto sent = Clock::now();
        client.send("POST /private/page.html HTTP/1.1\r\nHost: h\r\n"
                    "Content-Length: 2147483647\r\n\r\n");
        const std::string answer = client.readResponse(kHugeBodyAnswerLimit, true);
        const long took = elapsedMs(sent);
        if (answer.rfind("HTTP/1.1 401", 0) == 0 && took <= 1000)
            ++refused;
        long known = slowest.load();
        while (took > known && !slowest.compare_exchange_weak(known, took)) {
        }
        // A server that buffers bodies it has refused grows by what arrives here.
        client.send(std::string(kPushedBody, 'b'));
    });
    const long after = residentKiB(server.pid());
    const bool flat = before > 0 && after > 0 && after - before < kFlatRssKiB;
    std::string detail = std::to_string(refused.load()) + " of " +
                         std::to_string(kHugeBodyClients) + " answered 401 within 1 s (slowest " +
                         std::to_string(slowest.load()) + " ms), RSS " + std::to_string(before) +
                         " KiB before, " + std::to_string(after) + " KiB after";
    return {refused == kHugeBodyClients && flat && alive(server.pid()), detail};
}

Outcome fifoProbe() {
    ServerProcess server;
    // One worker: a request that ties it up leaves nobody to serve the next one.
    prepare(server, 1);
    const std::string path = (server.documentRoot() / "pipe.txt").string();
    if (::mkfifo(path.c_str(), 0644) != 0)
        return {false, "no FIFO could be made"};
    if (!server.start())
        return {false, "the server did not start"};
    const std::string request = e2e::get("/pipe.txt", "HTTP/1.0", "Connection: close\r\n");
    int notFound = 0;
    long slowest = 0;
    std::string wrong;
    for (int i = 0; i < kFifoRequests; ++i) {
        const auto sent = Clock::now();
        std::string answer = e2e::roundTrip(server.port(), request, kFifoAnswerLimit);
        // The worker hands back its slot as it closes; a busy answer just then is a race.
        for (int retry = 0; retry < 10 && answer == e2e::kBusyAnswer; ++retry) {
            std::this_thread::sleep_for(20ms);
            answer = e2e::roundTrip(server.port(), request, kFifoAnswerLimit);
        }
        const long took = elapsedMs(sent);
        slowest = std::max(slowest, took);
        if (answer.rfind("HTTP/1.0 404", 0) == 0 && took <= 1000)
            ++notFound;
        else if (wrong.empty())
            wrong = answer.empty() ? "no answer" : answer.substr(0, answer.find('\r'));
    }
    const bool free = servesNormally(server.port(), 1s);
    std::string detail = std::to_string(notFound) + " of " + std::to_string(kFifoRequests) +
                         " answered 404 within 1 s (slowest " + std::to_string(slowest) +
                         " ms), the only worker " + (free ? "free" : "TIED UP") + " afterwards";
    if (!wrong.empty())
        detail += "; answered: " + wrong;
    // A worker stuck opening the FIFO would hold up the orderly stop; end it at once.
    if (!free)
        server.stop(1s, SIGKILL);
    return {notFound == kFifoRequests && free, detail};
}

Outcome stopUnderLoadProbe() {
    ServerProcess server;
    prepare(server, kDownloaders);
    server.writeDocument("download.bin", e2e::patternBytes(kDownloadSize, 11));
    if (!server.start())
        return {false, "the server did not start"};
    const int port = server.port();
    std::atomic<bool> stopped{false};
    std::atomic<int> downloads{0};
    e2e::ExitReport report;
    long signalledAt = 0;
    const auto begin = Clock::now();
    onThreads(kDownloaders + 1, [&](int i) {
        if (i == kDownloaders) {
            std::this_thread::sleep_for(kLoadBeforeStop);
            signalledAt = elapsedMs(begin);
            report = server.stop(5s, SIGTERM);
            stopped = true;
            return;
        }
        RawClient client(port);
        const std::string request = e2e::get("/download.bin", "HTTP/1.1", "Host: h\r\n");
        for (int n = 0; n < 10000 && !stopped; ++n) {
            if (!client.send(request))
                return;
            if (client.readResponse(5s).size() <= kDownloadSize)
                return;
            ++downloads;
        }
    });
    const long took = report.elapsed.count();
    const bool ok = report.inTime && report.exitCode == 0 && took <= kStopBoundMs;
    std::string detail = std::to_string(kDownloaders) + " keep-alive clients, " +
                         std::to_string(downloads.load()) + " downloads of 1 MiB, SIGTERM after " +
                         seconds(signalledAt) + ": ";
    if (report.inTime)
        detail += "exit status " + std::to_string(report.exitCode) + " after " +
                  std::to_string(took) + " ms";
    else
        detail += "still running after 5 s, killed";
    return {ok, detail};
}

} // namespace velnor::robustness
