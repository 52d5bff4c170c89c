#include "core/SocketConnection.h"

#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velnor {
namespace {

using Clock = std::chrono::steady_clock;

// A file of the test's own with `content`, opened for reading as the server opens files.
bool openWith(platform::File& file, const char* name, const std::string& content) {
    const std::string path = ::testing::TempDir() + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    return std::fclose(out) == 0 && written && file.open(path.c_str(), platform::File::Mode::Read);
}

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};
constexpr std::int32_t kShortWaitUs = 200000;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void useShortWait(SocketConnection& connection) {
    connection.WaitSeconds = 0;
    connection.WaitMicroseconds = kShortWaitUs;
}

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        text[i] = char('a' + (i * 7 + i / 251) % 26);
    return text;
}

// Reads until `size` bytes arrived, the peer ended, or nothing came for a whole wait.
std::string receiveUpTo(SocketConnection& connection, std::size_t size) {
    std::string got;
    std::vector<char> buffer(64 * 1024);
    while (got.size() < size) {
        const std::size_t want = std::min(buffer.size(), size - got.size());
        const int result = connection.Receive(buffer.data(), std::uint32_t(want), 0);
        if (result <= 0)
            break;
        got.append(buffer.data(), std::size_t(result));
    }
    return got;
}

class SocketConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        useShortWait(listener);
        ASSERT_EQ(listener.Listen(0, true), 1);
        port = listener.LocalPort();
        ASSERT_NE(port, 0);
    }

    // A connected client and the server end the listener accepted for it.
    void connectPair() {
        client.handle = platform::socketCreate();
        ASSERT_NE(client.handle, -1);
        ASSERT_EQ(platform::socketConnect(client.handle, kLoopback, port, 2000), 0);
        listener.WaitSeconds = 2;
        server.handle = listener.Accept(peer);
        ASSERT_NE(server.handle, -1);
        useShortWait(server);
        useShortWait(client);
    }

    SocketConnection listener;
    SocketConnection server;
    SocketConnection client;
    platform::PeerAddress peer;
    std::uint16_t port = 0;
};

TEST_F(SocketConnectionTest, ListenOnPortHeldByListenerFails) {
    SocketConnection second;
    EXPECT_EQ(second.Listen(port, true), -1);
}

TEST_F(SocketConnectionTest, ListenRejectsPortBeyondSixteenBits) {
    SocketConnection other;
    // 65536 + port would land on `port` itself once truncated.
    EXPECT_EQ(other.Listen(0x10000u + port, true), -1);
    EXPECT_EQ(other.Listen(0x10000u, true), -1);
}

TEST_F(SocketConnectionTest, RestartBindsAtOnceDespiteTimeWait) {
    connectPair();
    ASSERT_EQ(server.SendAll("bye", 0, 0), 3);
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    EXPECT_EQ(server.Close(), 0);
    EXPECT_EQ(receiveUpTo(client, 10), "bye");
    client.Close();
    listener.Close();
    SocketConnection restarted;
    EXPECT_EQ(restarted.Listen(port, true), 1);
    EXPECT_EQ(restarted.LocalPort(), port);
}

TEST_F(SocketConnectionTest, ListenAgainReplacesTheOpenSocket) {
    ASSERT_EQ(listener.Listen(0, true), 1);
    EXPECT_NE(listener.LocalPort(), 0);
    SocketConnection other;
    EXPECT_EQ(other.Listen(port, true), 1) << "the first socket was not closed";
}

TEST(SocketConnectionBind, ListensOnTheNamedAddressOnly) {
    SocketConnection loopback;
    ASSERT_EQ(loopback.Listen(0, kLoopback), 1);
    const std::uint16_t port = loopback.LocalPort();
    ASSERT_NE(port, 0);
    SocketConnection client(platform::socketCreate());
    EXPECT_EQ(platform::socketConnect(client.handle, kLoopback, port, 2000), 0);
    // 192.0.2.1 is reserved for documentation: no host has it, so binding fails.
    constexpr std::uint8_t kForeign[4] = {192, 0, 2, 1};
    SocketConnection foreign;
    EXPECT_EQ(foreign.Listen(0, kForeign), -1);
    constexpr std::uint8_t kAny[4] = {0, 0, 0, 0};
    SocketConnection any;
    EXPECT_EQ(any.Listen(0, kAny), 1);
}

TEST(SocketConnectionBind, ParsesOnlyPlainDottedAddresses) {
    struct Case {
        const char* text;
        bool ok;
        std::uint8_t address[4];
    };
    const Case cases[] = {
        {"127.0.0.1", true, {127, 0, 0, 1}},
        {"0.0.0.0", true, {0, 0, 0, 0}},
        {"255.255.255.255", true, {255, 255, 255, 255}},
        {"10.1.2.3", true, {10, 1, 2, 3}},
        {"256.0.0.1", false, {}},
        {"1.2.3", false, {}},
        {"1.2.3.4.5", false, {}},
        {"localhost", false, {}},
        {" 1.2.3.4", false, {}},
        {"", false, {}},
        {nullptr, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        std::uint8_t address[4] = {9, 9, 9, 9};
        ASSERT_EQ(platform::parseIpv4Address(c.text, address), c.ok);
        if (c.ok) {
            EXPECT_EQ(std::memcmp(address, c.address, 4), 0);
        }
    }
}

TEST_F(SocketConnectionTest, ReceiveTakesWaitingDataEvenWithoutAWait) {
    connectPair();
    ASSERT_EQ(client.SendAll("ready", 5, 0), 5);
    ASSERT_GT(server.WaitReadable(), 0);
    server.WaitSeconds = 0;
    server.WaitMicroseconds = 0;
    char buffer[8];
    EXPECT_EQ(server.Receive(buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(server.Receive(buffer, sizeof buffer, 0), 0) << "nothing more: a mere check";
}

TEST_F(SocketConnectionTest, AcceptTimesOutWithoutPendingConnection) {
    const auto start = Clock::now();
    EXPECT_EQ(listener.Accept(peer), -1);
    EXPECT_GE(millisecondsSince(start), 180);
    EXPECT_LT(millisecondsSince(start), 2000);
}

TEST_F(SocketConnectionTest, AcceptReportsPeerAddress) {
    connectPair();
    EXPECT_EQ(peer.family, 2); // AF_INET
    EXPECT_NE(peer.port, 0);
    EXPECT_EQ(peer.address[0], 127);
    EXPECT_EQ(peer.address[1], 0);
    EXPECT_EQ(peer.address[2], 0);
    EXPECT_EQ(peer.address[3], 1);
    for (std::uint8_t byte : peer.zero)
        EXPECT_EQ(byte, 0);
}

TEST_F(SocketConnectionTest, ReceiveTimesOutThenSeesPeerClose) {
    connectPair();
    char buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(server.Receive(buffer, sizeof buffer, 0), 0);
    EXPECT_GE(millisecondsSince(start), 180);

    ASSERT_EQ(client.SendAll("ping", 4, 0), 4);
    ASSERT_EQ(client.Close(), 0);
    EXPECT_EQ(server.Receive(buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(server.Receive(buffer, sizeof buffer, 0), -1);
}

TEST_F(SocketConnectionTest, WaitReadableReportsTimeoutAndData) {
    connectPair();
    EXPECT_EQ(server.WaitReadable(), 0);
    ASSERT_EQ(client.SendAll("x", 1, 0), 1);
    EXPECT_GT(server.WaitReadable(), 0);
}

TEST_F(SocketConnectionTest, EmptyObjectRefusesEveryOperation) {
    for (bool adopted : {false, true}) {
        SCOPED_TRACE(adopted ? "adopted -1" : "empty");
        auto owned =
            adopted ? std::make_unique<SocketConnection>(-1) : std::make_unique<SocketConnection>();
        SocketConnection& connection = *owned;
        useShortWait(connection);
        char buffer[4];
        EXPECT_EQ(connection.handle, -1);
        EXPECT_EQ(connection.SendAll("abc", 3, 0), -1);
        EXPECT_EQ(connection.SendAll(nullptr, 0, 0), -1);
        EXPECT_EQ(connection.SendFile(platform::File(), 0, 10), -1);
        EXPECT_EQ(connection.Receive(buffer, sizeof buffer, 0), -1);
        EXPECT_EQ(connection.WaitReadable(), -1);
        EXPECT_EQ(connection.Accept(peer), -1);
        EXPECT_EQ(connection.LocalPort(), 0);
        EXPECT_EQ(connection.Close(), -1);
    }
}

TEST_F(SocketConnectionTest, CloseTwiceFailsTheSecondTime) {
    connectPair();
    EXPECT_EQ(server.Close(), 0);
    EXPECT_EQ(server.handle, -1);
    EXPECT_EQ(server.Close(), -1);
    EXPECT_EQ(server.handle, -1);
}

TEST_F(SocketConnectionTest, ZeroLengthSendsNothingWithoutWaiting) {
    connectPair();
    // Fill the path to the peer so that any real send would have to wait.
    const std::string block(64 * 1024, 'z');
    while (platform::socketSend(server.handle, block.data(), block.size()) > 0) {
    }
    struct Case {
        const void* data;
        std::int64_t expected;
        bool waits;
    };
    const Case cases[] = {
        {nullptr, 0, false},
        {"", 0, false},
        {"measured text", -1, true}, // a timed-out first wait is -1, not 0
    };
    for (const Case& c : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(server.SendAll(c.data, 0, 0), c.expected);
        if (c.waits)
            EXPECT_GE(millisecondsSince(start), 180);
        else
            EXPECT_LT(millisecondsSince(start), 100);
    }
}

TEST_F(SocketConnectionTest, SendAllMeasuresTextWhenLengthIsZero) {
    connectPair();
    EXPECT_EQ(server.SendAll("HTTP/1.0 503 Server busy\r\n\r\n", 0, 0), 28);
    EXPECT_EQ(receiveUpTo(client, 28), "HTTP/1.0 503 Server busy\r\n\r\n");
}

TEST_F(SocketConnectionTest, LargeSendAllReachesSlowReader) {
    connectPair();
    const std::string data = pattern(16 * 1024 * 1024);
    client.WaitSeconds = 5;
    std::string got;
    std::thread reader([&] {
        // Start late so the sender finds the path full and has to wait repeatedly.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        got = receiveUpTo(client, data.size());
    });
    server.WaitSeconds = 5;
    const std::int64_t sent = server.SendAll(data.data(), std::uint32_t(data.size()), 0);
    reader.join();
    EXPECT_EQ(sent, std::int64_t(data.size()));
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

// A send waits on its client: one that takes nothing is given up after the wait time;
// under pressure, one slower than the pace is given up once its grace is over; a client
// that keeps up is never cut.
TEST_F(SocketConnectionTest, SendsEndForClientsThatStallOrLagUnderPressure) {
    const struct {
        const char* what;
        std::uint32_t pressure;
        std::int32_t waitMs;
        bool reads;
        long long minMs, maxMs;
    } cases[] = {
        {"takes nothing", 0, 1000, false, 950, 1900},
        {"takes nothing, under pressure", 1, 5000, false, 2000, 3300},
        {"keeps up, under pressure", 1, 5000, true, 0, 4000},
    };
    const std::string data = pattern(16 * 1024 * 1024);
    for (const auto& c : cases) {
        connectPair();
        std::atomic<std::uint32_t> flag{c.pressure};
        server.pressure = &flag;
        server.WaitSeconds = c.waitMs / 1000;
        server.WaitMicroseconds = (c.waitMs % 1000) * 1000;
        server.BeginResponse();
        client.WaitSeconds = 5;
        std::thread reader([&] {
            if (c.reads)
                receiveUpTo(client, data.size());
        });
        const auto start = Clock::now();
        const std::int64_t sent = server.SendAll(data.data(), std::uint32_t(data.size()), 0);
        const long long took = millisecondsSince(start);
        server.Close();
        reader.join();
        client.Close();
        EXPECT_EQ(sent, c.reads ? std::int64_t(data.size()) : -1) << c.what;
        EXPECT_EQ(server.SendCut(), !c.reads) << c.what;
        EXPECT_GE(took, c.minMs) << c.what;
        EXPECT_LT(took, c.maxMs) << c.what;
    }
}

TEST_F(SocketConnectionTest, SendFileSendsExactlyTheRequestedBytes) {
    const std::string content = pattern(3 * 1024 * 1024 + 17);
    platform::File fd;
    ASSERT_TRUE(openWith(fd, "sendfile-exact", content));
    connectPair();
    server.WaitSeconds = 5;
    client.WaitSeconds = 5;

    struct Case {
        std::int64_t offset;
        std::uint64_t count;
        std::int64_t expected;
    };
    const Case cases[] = {
        {0, content.size(), std::int64_t(content.size())},
        {1000, 200000, 200000},
        {std::int64_t(content.size()) - 10, 100, 10}, // the file ends early
        {std::int64_t(content.size()), 5, 0},
        {0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        std::string got;
        std::thread reader([&] { got = receiveUpTo(client, std::size_t(c.expected)); });
        EXPECT_EQ(server.SendFile(fd, c.offset, c.count), c.expected);
        reader.join();
        EXPECT_TRUE(got == content.substr(std::size_t(c.offset), std::size_t(c.expected)));
    }
    // Nothing beyond the requested bytes was sent.
    char extra[8];
    client.WaitSeconds = 0;
    EXPECT_EQ(client.Receive(extra, sizeof extra, 0), 0);
}

#ifndef _WIN32
// Windows has no SIGPIPE to raise.
TEST_F(SocketConnectionTest, SendToResetPeerNeverRaisesBrokenPipe) {
    // With the default disposition a broken pipe would end this test program.
    auto* previous = std::signal(SIGPIPE, SIG_DFL);
    connectPair();
    ASSERT_EQ(client.Close(), 0);
    std::int64_t result = 1;
    // The first sends may still be accepted; the peer's reset then fails the rest.
    for (int attempt = 0; attempt < 50 && result > 0; ++attempt) {
        result = server.SendAll("data", 4, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(result, 0);
    std::signal(SIGPIPE, previous);
}
#endif

TEST_F(SocketConnectionTest, SendFileToResetPeerReturnsShortCount) {
    platform::File file;
    ASSERT_TRUE(openWith(file, "sendfile-reset", "0123456789"));
    connectPair();
    ASSERT_EQ(client.Close(), 0);
    std::int64_t result = 1;
    for (int attempt = 0; attempt < 50 && result > 0; ++attempt) {
        result = server.SendFile(file, 0, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(result, 0);
}

TEST_F(SocketConnectionTest, CloseWithUnreadInputEndsInOrder) {
    connectPair();
    ASSERT_EQ(client.SendAll("GET / HTTP/1.0\r\n\r\nleft over", 0, 0), 27);
    char head[18];
    ASSERT_GT(server.WaitReadable(), 0);
    ASSERT_EQ(platform::socketReceive(server.handle, head, sizeof head), 18);
    const std::string answer = "HTTP/1.0 400 Bad Request\r\n\r\n" + pattern(5000);
    ASSERT_EQ(server.SendAll(answer.data(), std::uint32_t(answer.size()), 0),
              std::int64_t(answer.size()));
    ASSERT_EQ(server.Close(), 0);

    // The client must get the whole answer and then an orderly end.
    std::string got;
    char buffer[4096];
    long result = 0;
    for (int i = 0; i < 100; ++i) {
        if (platform::socketWaitReadable(client.handle, 1000) < 1)
            break;
        result = platform::socketReceive(client.handle, buffer, sizeof buffer);
        if (result <= 0)
            break;
        got.append(buffer, std::size_t(result));
    }
    EXPECT_TRUE(got == answer);
    EXPECT_EQ(result, 0);
    // A connection that was reset refuses further sends at once; one that merely ended
    // still takes them.
    EXPECT_EQ(platform::socketSend(client.handle, "x", 1), 1) << "the server reset the connection";
}

TEST(SocketConnectionStart, StartSocketsAlwaysSucceeds) {
    EXPECT_EQ(SocketConnection::StartSockets(), 1);
    EXPECT_EQ(SocketConnection::StartSockets(), 1);
}

} // namespace
} // namespace velnor
