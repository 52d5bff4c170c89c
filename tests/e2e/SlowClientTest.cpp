// Clients too slow to deserve a worker, through the real server: a head trickled in, a
// large file taken a few bytes at a time, a client that takes nothing at all. While the
// pool is full they give their workers back; without pressure only the stalled one ends.
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

using Clock = std::chrono::steady_clock;

const std::string kAlphaAnswer =
    fileHead("HTTP/1.0", "200 OK", true, kAlphaText.size(), "text/plain") + kAlphaText;

// A request for the small page whose answer ends its connection.
std::string getAlpha() {
    return get("/a.txt", "HTTP/1.0", "Connection: close\r\n");
}

// A loopback connection with a small receive buffer, so that what the client has not
// read soon holds the server back; -1 on failure.
int connectSmallWindow(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval wait{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

// What a download reader saw: its bytes and whether the server ended the connection.
struct Download {
    std::size_t bytes = 0;
    bool ended = false;
};

// Sends `request`, pauses `firstPause`, then reads `chunk` bytes every `pause` until the
// server ends the connection or `limit` more passes.
Download readSlowly(int port, const std::string& request, std::chrono::milliseconds firstPause,
                    std::size_t chunk, std::chrono::milliseconds pause,
                    std::chrono::milliseconds limit) {
    Download result;
    const int fd = connectSmallWindow(port);
    if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        if (fd >= 0)
            ::close(fd);
        return result;
    }
    std::this_thread::sleep_for(firstPause);
    const auto deadline = Clock::now() + limit;
    std::vector<char> buffer(chunk);
    while (Clock::now() < deadline) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            result.ended = true;
            break;
        }
        if (got > 0)
            result.bytes += std::size_t(got);
        std::this_thread::sleep_for(pause);
    }
    ::close(fd);
    return result;
}

// One request, repeated while the answer is the busy answer, for up to `limit`.
std::string askUntilServed(int port, const std::string& request, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::string answer;
    do {
        answer = roundTrip(port, request);
        if (answer != kBusyAnswer)
            break;
        std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return answer;
}

class SlowClientTest : public ServerTest {
protected:
    void SetUp() override { writeSampleTree(server); }
};

TEST_F(SlowClientTest, TrickledHeadsDoNotKeepOrdinaryClientsOut) {
    server.setDword("StartServers", 8);
    startServer();
    const int port = server.port();
    const std::string head = getAlpha();
    std::atomic<bool> done{false};
    std::vector<std::thread> tricklers;
    for (int i = 0; i < 16; ++i)
        tricklers.emplace_back([&] {
            RawClient client(port);
            for (std::size_t at = 0; at < head.size() && !done; ++at) {
                if (!client.send(head.substr(at, 1)))
                    break;
                for (int tick = 0; tick < 10 && !done; ++tick)
                    std::this_thread::sleep_for(100ms);
            }
        });
    // The tricklers have taken the pool before the ordinary clients arrive.
    std::this_thread::sleep_for(500ms);
    std::vector<std::string> answers(20);
    std::vector<std::thread> ordinary;
    for (std::size_t i = 0; i < answers.size(); ++i)
        ordinary.emplace_back([&, i] { answers[i] = askUntilServed(port, head, 5s); });
    for (auto& client : ordinary)
        client.join();
    done = true;
    for (auto& client : tricklers)
        client.join();
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(answers[i], kAlphaAnswer) << "ordinary client " << i;
}

TEST_F(SlowClientTest, SlowReaderOfALargeFileIsCutUnderPressure) {
    server.setDword("StartServers", 1);
    const std::size_t size = 8 * 1024 * 1024;
    server.writeDocument("big.bin", patternBytes(size, 5));
    startServer();
    const int port = server.port();
    Download slow;
    // About 500 bytes a second: half the pace a client must keep while others wait.
    std::thread reader([&] { slow = readSlowly(port, get("/big.bin"), 0ms, 50, 100ms, 20s); });
    std::this_thread::sleep_for(1s);
    // The only worker is held: this client is refused, and the pool is now under pressure.
    EXPECT_EQ(roundTrip(port, getAlpha()), std::string(kBusyAnswer));
    const auto pressed = Clock::now();
    const std::string answer = askUntilServed(port, getAlpha(), 8s);
    const auto servedAfter = Clock::now() - pressed;
    reader.join();
    EXPECT_EQ(answer, kAlphaAnswer);
    EXPECT_LT(servedAfter, 5s);
    // It still drains what reached it before the cut, so it sees the end only later.
    EXPECT_TRUE(slow.ended) << "the slow reader kept its worker";
    EXPECT_LT(slow.bytes, size);
}

// Without pressure, side by side: a head spread over ten seconds is still answered, a
// reader that pauses for three seconds gets its whole file, and one that takes nothing
// for five seconds is cut.
TEST_F(SlowClientTest, WithoutPressureOnlyAStalledClientIsCut) {
    server.setDword("StartServers", 4);
    const std::size_t size = 8 * 1024 * 1024;
    server.writeDocument("big.bin", patternBytes(size, 6));
    startServer();
    const int port = server.port();
    std::string spreadAnswer;
    std::thread spread([&] {
        RawClient client(port);
        const std::string head = getAlpha();
        const std::size_t piece = head.size() / 10 + 1;
        for (std::size_t at = 0; at < head.size(); at += piece) {
            client.send(head.substr(at, piece));
            std::this_thread::sleep_for(1s);
        }
        spreadAnswer = client.readUntilClose(3s);
    });
    Download paused, stalled;
    std::thread pauser([&] { paused = readSlowly(port, get("/big.bin"), 3s, 1 << 20, 0ms, 10s); });
    std::thread staller(
        [&] { stalled = readSlowly(port, get("/big.bin"), 6500ms, 1 << 20, 0ms, 3s); });
    spread.join();
    pauser.join();
    staller.join();
    EXPECT_EQ(spreadAnswer, kAlphaAnswer);
    EXPECT_GT(paused.bytes, size) << "the pausing reader lost its answer";
    EXPECT_TRUE(stalled.ended);
    EXPECT_LT(stalled.bytes, size) << "the stalled reader was not cut";
}

} // namespace
} // namespace velnor::e2e
