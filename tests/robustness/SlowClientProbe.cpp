// Clients that trickle their heads must not keep ordinary clients out once the workers are
// all taken, and a slow head must still be served while nobody else is waiting.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tests/robustness/Robustness.h"

namespace velnor::robustness {
namespace {

constexpr std::uint32_t kWorkers = 8;
constexpr int kSlowClients = 16;
constexpr int kOrdinaryClients = 20;
constexpr auto kOrdinaryPatience = 5s;
constexpr auto kCalmHeadSpread = 10s;

// Sleeps up to `span` in short steps, ending early once `stop` is set.
void pause(std::chrono::milliseconds span, const std::atomic<bool>& stop) {
    const auto until = Clock::now() + span;
    while (!stop && Clock::now() < until)
        std::this_thread::sleep_for(50ms);
}

// One byte of a head that never ends, each second, reconnecting whenever the server
// refuses or cuts the connection. Returns how often a held connection was cut.
int trickle(int port, const std::atomic<bool>& stop) {
    const std::string head = "GET /a.txt HTTP/1.0\r\nX-Trickle: " + std::string(200, 'z');
    std::unique_ptr<RawClient> client;
    std::size_t sent = 0;
    int cuts = 0;
    for (int tick = 0; tick < 30 && !stop; ++tick) {
        if (!client) {
            client = std::make_unique<RawClient>(port, 1s);
            sent = 0;
        }
        const bool delivered = client->connected() && client->send(head.substr(sent++, 1));
        const std::string answer = client->readBytes(4096, 0ms);
        if (!delivered || !answer.empty() || client->peerClosed(0ms)) {
            if (sent > 1 && answer.rfind("HTTP/1.0 503", 0) != 0)
                ++cuts;
            client.reset();
        }
        pause(1s, stop);
    }
    return cuts;
}

// A head spread evenly over `kCalmHeadSpread` to a server with nobody else to serve.
bool calmSlowHead(int port) {
    const std::string request = e2e::get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
    RawClient client(port);
    const auto step = std::chrono::duration_cast<std::chrono::milliseconds>(kCalmHeadSpread) /
                      long(request.size());
    return client.sendSlowly(request, 1, step) && client.readUntilClose(3s) == alphaAnswer();
}

} // namespace

Outcome slowClientProbe() {
    // Both servers are started from this thread: a program copied for one server while
    // the other is being started could be held open for writing by that start.
    ServerProcess calmServer, server;
    prepare(calmServer, kWorkers);
    prepare(server, kWorkers);
    if (!calmServer.start() || !server.start())
        return {false, "the servers did not start"};
    bool calmServed = false;
    std::thread calm([&] { calmServed = calmSlowHead(calmServer.port()); });

    const int port = server.port();
    std::atomic<bool> stop{false};
    std::atomic<int> cuts{0}, served{0};
    std::atomic<long> slowest{0};
    const auto begin = Clock::now();
    onThreads(kSlowClients + 1, [&](int i) {
        if (i < kSlowClients) {
            cuts += trickle(port, stop);
            return;
        }
        // The ordinary clients arrive once the trickling ones hold every worker.
        std::this_thread::sleep_for(1s);
        onThreads(kOrdinaryClients, [&](int) {
            const auto arrived = Clock::now();
            const std::string request = e2e::get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
            while (Clock::now() - arrived < kOrdinaryPatience) {
                if (e2e::roundTrip(port, request, 3s) == alphaAnswer()) {
                    ++served;
                    long took = elapsedMs(arrived);
                    long known = slowest.load();
                    while (took > known && !slowest.compare_exchange_weak(known, took)) {
                    }
                    return;
                }
                std::this_thread::sleep_for(50ms);
            }
        });
        stop = true;
    });
    const long phase = elapsedMs(begin);
    calm.join();
    const bool ok = served == kOrdinaryClients && calmServed && alive(server.pid());
    std::string detail = std::to_string(kSlowClients) + " trickling (" +
                         std::to_string(cuts.load()) + " cut), " + std::to_string(served.load()) +
                         " of " + std::to_string(kOrdinaryClients) + " ordinary served, slowest " +
                         seconds(slowest.load()) + ", phase " + seconds(phase) + "; a head over " +
                         seconds(std::chrono::milliseconds(kCalmHeadSpread).count()) +
                         " without pressure " + (calmServed ? "served" : "NOT served");
    return {ok, detail};
}

} // namespace velnor::robustness
