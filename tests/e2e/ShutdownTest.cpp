// The stop under load: workers end at their next request boundary, and a client that has
// stopped reading gives its worker back, so the server leaves promptly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

// Downloads `target` again and again on one kept connection; with `pipelined` the next
// request is always sent before the current answer is read.
void downloadLoop(int port, const std::string& target, std::size_t size, bool pipelined,
                  const std::atomic<bool>& done) {
    const std::string request = get(target, "HTTP/1.1", "Host: x\r\n");
    while (!done) {
        RawClient client(port, 1s);
        if (!client.connected() || !client.send(request))
            return;
        while (!done) {
            if (pipelined && !client.send(request))
                break;
            const std::string answer = client.readResponse(3s);
            if (answer.size() < size)
                break;
            if (!pipelined && !client.send(request))
                break;
        }
    }
}

TEST(ShutdownTest, StopUnderDownloadLoadIsPrompt) {
    ServerProcess server;
    server.setDword("StartServers", 8);
    const std::size_t size = 1024 * 1024;
    server.writeDocument("big.bin", patternBytes(size, 7));
    // Far more than the buffers on the way hold.
    server.writeDocument("huge.bin", patternBytes(16 * size, 8));
    // With the access log, as in service: every answer passes the log lock.
    server.installLogPlugin();
    ASSERT_TRUE(server.start());
    const int port = server.port();

    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i)
        clients.emplace_back([&, i] { downloadLoop(port, "/big.bin", size, i % 2 == 0, done); });
    // One more asks for the file and then stops reading.
    const int stalled = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(stalled, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = get("/huge.bin");
    ASSERT_EQ(::send(stalled, request.data(), request.size(), MSG_NOSIGNAL),
              ssize_t(request.size()));

    std::this_thread::sleep_for(2s);
    const ExitReport report = server.stop(15s);
    done = true;
    for (auto& client : clients)
        client.join();
    ::close(stalled);
    EXPECT_TRUE(report.inTime);
    EXPECT_EQ(report.exitCode, 0) << "signal " << report.signal;
    EXPECT_LT(report.elapsed, 2000ms);
}

} // namespace
} // namespace velnor::e2e
