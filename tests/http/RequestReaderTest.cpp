#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerSettings.h"
#include "http/RequestContext.h"
#include "platform/HostLookup.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};

std::string backslashed(std::string text) {
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

std::string text(const ByteBuffer& buffer) {
    return buffer.data ? std::string(buffer.data, buffer.length) : std::string();
}

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A document tree with two files and the settings that serve it.
class Site {
public:
    Site() {
        root = backslashed(tree.path().string());
        scripts = root + "\\scripts";
        tree.write("a.html", "A");
        tree.write("index.html", "I");
        config.serverSoftware = "VELNOR/2.34";
        config.documentRoot = root.c_str();
        config.extensionRoot = scripts.c_str();
        config.defaultDocument = "index.html";
        config.passwordFileName = "access.cha";
    }

    test::TempDir tree;
    std::string root;
    std::string scripts;
    ServerConfig config;
};

// A request context whose connection has a loopback client at the other end.
class Loopback {
public:
    explicit Loopback(const ServerConfig& config) {
        context.settings = &config;
        listener.WaitSeconds = 2;
        if (listener.Listen(0, true) != 1)
            return;
        client.handle = platform::socketCreate();
        if (platform::socketConnect(client.handle, kLoopback, listener.LocalPort(), 2000) != 0)
            return;
        context.handle = listener.Accept(peer);
        context.peer = &peer;
        context.WaitSeconds = 0;
        context.WaitMicroseconds = 200000;
        context.readTimeout = 1500;
        client.WaitSeconds = 2;
    }

    bool ready() const { return client.handle != -1 && context.handle != -1; }

    void send(const std::string& bytes) {
        ASSERT_EQ(client.SendAll(bytes.data(), std::uint32_t(bytes.size()), 0),
                  std::int64_t(bytes.size()));
    }

    // Sends the pieces from another thread, `pauseMs` apart, while the reader waits.
    std::thread sendLater(std::vector<std::string> pieces, int pauseMs) {
        return std::thread([this, pieces = std::move(pieces), pauseMs] {
            for (const std::string& piece : pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
                client.SendAll(piece.data(), std::uint32_t(piece.size()), 0);
            }
        });
    }

    int read() { return context.readRequest(&busy); }

    // The end of one request as the worker does it.
    void finish() { context.resetRequest(); }

    SocketConnection listener;
    SocketConnection client;
    platform::PeerAddress peer;
    RequestContext context;
    std::atomic<std::uint32_t> busy{0};
};

class RequestReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(link.ready()); }

    Site site;
    Loopback link{site.config};
};

TEST(RequestReader, StatusOfWholeRequests) {
    const std::string longLine = "X: " + std::string(509, 'l'); // 512 characters
    // Nine 445-byte lines: the head ends at 4051, but the third receive of 1500 bytes
    // passes 4096 before the end is looked for.
    std::string bigHead = "POST /a.html HTTP/1.0\r\n";
    for (int i = 0; i < 9; ++i)
        bigHead += "Y" + std::to_string(i) + ": " + std::string(439, 'y') + "\r\n";
    bigHead += "Content-Length: 800\r\n\r\n" + std::string(800, 'b');

    const struct {
        const char* name;
        std::string bytes;
        int status;
        const char* body;
    } cases[] = {
        {"1.0 without host", "GET /a.html HTTP/1.0\r\n\r\n", 200, ""},
        {"1.1 without host", "GET /a.html HTTP/1.1\r\n\r\n", 400, ""},
        {"1.1 with HOST", "GET /a.html HTTP/1.1\r\nHOST: h\r\n\r\n", 200, ""},
        {"0.9", "GET /a.html HTTP/0.9\r\n\r\n", 200, ""},
        {"lower-case method", "get /a.html HTTP/1.0\r\n\r\n", 400, ""},
        {"put", "PUT /a.html HTTP/1.1\r\nHost: h\r\n\r\n", 501, ""},
        {"version 1.2", "GET /a.html HTTP/1.2\r\n\r\n", 400, ""},
        {"bare LF lines", "GET /a.html HTTP/1.0\nHost: h\n\n", 400, ""},
        {"missing file", "GET /none.html HTTP/1.0\r\n\r\n", 404, ""},
        {"line of 512", "GET /a.html HTTP/1.0\r\n" + longLine + "\r\n\r\n", 200, ""},
        {"line of 513", "GET /a.html HTTP/1.0\r\n" + longLine + "l\r\n\r\n", 400, ""},
        {"target of 300", "GET /" + std::string(299, 't') + " HTTP/1.0\r\n\r\n", 400, ""},
        {"4097 bytes without end", std::string(4097, 'a'), 400, ""},
        {"end found past 4096", bigHead, 400, ""},
        {"post without length", "POST /a.html HTTP/1.0\r\n\r\nabc", 411, ""},
        {"post negative length", "POST /a.html HTTP/1.0\r\nContent-Length: -1\r\n\r\n", 400, ""},
        {"post length abc", "POST /a.html HTTP/1.0\r\nContent-Length: abc\r\n\r\n", 400, ""},
        {"post length 0", "POST /a.html HTTP/1.0\r\ncontent-length: 0\r\n\r\n", 200, ""},
        {"post body", "POST /a.html HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", 200, "hello"},
        {"post to missing file", "POST /none HTTP/1.0\r\nContent-Length: 3\r\n\r\nxyz", 404, "xyz"},
        {"post length with blanks", "POST /a.html HTTP/1.0\r\nContent-Length:  2 \r\n\r\nhi", 200,
         "hi"},
        {"post length with sign", "POST /a.html HTTP/1.0\r\nContent-Length: +2\r\n\r\nhi", 400, ""},
        {"post chunked", "POST /a.html HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         501, ""},
        {"post of 2 GiB", "POST /a.html HTTP/1.0\r\nContent-Length: 2147483648\r\n\r\nabc", 413,
         ""},
    };
    for (const auto& c : cases) {
        Site site;
        Loopback link(site.config);
        ASSERT_TRUE(link.ready()) << c.name;
        link.send(c.bytes);
        EXPECT_EQ(link.read(), c.status) << c.name;
        EXPECT_EQ(text(link.context.bodyBuffer), c.body) << c.name;
    }
}

TEST_F(RequestReaderTest, StoresTheHeadAndTheRequest) {
    const std::string head = "GET /a.html HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n";
    link.send(head);
    EXPECT_EQ(link.read(), 200);
    EXPECT_EQ(text(link.context.headBuffer), head);
    EXPECT_EQ(link.context.bodyBuffer.length, 0u);
    EXPECT_EQ(link.context.pendingBuffer.length, 0u);
    EXPECT_EQ(link.context.methodCode, Get);
    EXPECT_STREQ(link.context.version, "HTTP/1.1");
    EXPECT_STREQ(link.context.target, "/a.html");
    EXPECT_STREQ(link.context.headerTable.valueNoCase("accept"), "*/*");
}

TEST_F(RequestReaderTest, HeadInManySmallPieces) {
    const std::string head = "GET /a.html HTTP/1.0\r\nUser-Agent: slow\r\n\r\n";
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < head.size(); i += 3)
        pieces.push_back(head.substr(i, 3));
    std::thread writer = link.sendLater(pieces, 5);
    EXPECT_EQ(link.read(), 200);
    writer.join();
    EXPECT_EQ(text(link.context.headBuffer), head);
}

TEST_F(RequestReaderTest, PipelinedRequestsAreReadInOrder) {
    link.send("GET /a.html HTTP/1.1\r\nHost: h\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(link.read(), 200);
    EXPECT_STREQ(link.context.target, "/a.html");
    EXPECT_EQ(link.context.bodyBuffer.length, 0u);
    link.finish();

    // The second request is there already: a saturated server does not drop it.
    link.busy = 1;
    EXPECT_EQ(link.read(), 200);
    EXPECT_STREQ(link.context.target, "/index.html");
    EXPECT_STREQ(link.context.version, "HTTP/1.0");
    EXPECT_EQ(text(link.context.headBuffer), "GET /index.html HTTP/1.0\r\n\r\n");
    link.finish();

    EXPECT_EQ(link.read(), 0); // idle and busy
}

TEST_F(RequestReaderTest, PostBodyThenPipelinedGet) {
    link.send("POST /a.html HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloGET /index.html "
              "HTTP/1.0\r\n\r\n");
    EXPECT_EQ(link.read(), 200);
    EXPECT_EQ(link.context.methodCode, Post);
    EXPECT_EQ(text(link.context.bodyBuffer), "hello");
    link.finish();
    EXPECT_EQ(link.read(), 200);
    EXPECT_EQ(link.context.methodCode, Get);
    EXPECT_STREQ(link.context.target, "/index.html");
    EXPECT_EQ(link.context.bodyBuffer.length, 0u);
}

TEST_F(RequestReaderTest, PostBodyArrivingLaterStopsAtItsLength) {
    const std::string body(4000, 'p');
    link.send("POST /a.html HTTP/1.0\r\nContent-Length: 4000\r\n\r\n" + body.substr(0, 100));
    std::thread writer = link.sendLater(
        {body.substr(100, 2000), body.substr(2100) + "GET /a.html HTTP/1.0\r\n\r\n"}, 20);
    EXPECT_EQ(link.read(), 200);
    writer.join();
    EXPECT_EQ(text(link.context.bodyBuffer), body);
    link.finish();
    EXPECT_EQ(link.read(), 200);
    EXPECT_EQ(link.context.methodCode, Get);
}

TEST_F(RequestReaderTest, BodyOfAGetIsDroppedNotTakenForTheNextRequest) {
    link.send("GET /a.html HTTP/1.0\r\nContent-Length: 19\r\n\r\nGET /x HTTP");
    std::thread writer = link.sendLater({"/1.0\r\n\r\nGET /index.html HTTP/1.0\r\n\r\n"}, 30);
    EXPECT_EQ(link.read(), 200);
    writer.join();
    EXPECT_EQ(link.context.bodyBuffer.length, 0u);
    link.finish();
    EXPECT_EQ(link.read(), 200);
    EXPECT_STREQ(link.context.target, "/index.html");
}

// What the body of a request costs the worker before its answer: the limit and the
// password check come before a byte of it is taken, and only a peer that closes or the
// deadline ends a body that pauses.
TEST(RequestReader, BodyIsBoundedAndWaitedFor) {
    const std::string head = "POST /a.html HTTP/1.0\r\nContent-Length: 10\r\n";
    const std::string account = "Authorization: Basic YWxpY2U6c2VjcmV0\r\n"; // alice:secret
    const struct {
        const char* name;
        std::uint32_t limit;
        std::string bytes;
        std::vector<std::string> later; // sent 400 ms apart, past a receive wait
        int status;
        const char* body;
    } cases[] = {
        {"past the limit", 9, head + "\r\n0123456789", {}, 413, ""},
        {"pause longer than a wait", 0, head + "\r\n0", {"1234", "56789"}, 200, "0123456789"},
        {"protected without account",
         0,
         "POST /private/p.html HTTP/1.0\r\nContent-Length: 2000000000\r\n\r\n",
         {},
         401,
         ""},
        {"protected, body past the limit",
         9,
         "POST /private/p.html HTTP/1.0\r\nContent-Length: 10\r\n" + account + "\r\n",
         {},
         413,
         ""},
        {"protected with account",
         0,
         "POST /private/p.html HTTP/1.0\r\nContent-Length: 10\r\n" + account + "\r\n01234",
         {"56789"},
         200,
         "0123456789"},
        {"password file by name",
         0,
         "POST /private/access.cha HTTP/1.0\r\nContent-Length: 10\r\n" + account + "\r\n",
         {},
         404,
         ""},
        {"missing file keeps its body",
         0,
         "POST /none HTTP/1.0\r\nContent-Length: 2\r\n\r\nxy",
         {},
         404,
         "xy"},
    };
    for (const auto& c : cases) {
        Site site;
        std::filesystem::create_directory(site.tree.path() / "private");
        site.tree.write("private/access.cha", "alice:secret\n");
        site.tree.write("private/p.html", "P");
        site.config.maxBodySize = c.limit;
        Loopback link(site.config);
        ASSERT_TRUE(link.ready()) << c.name;
        link.send(c.bytes);
        std::thread writer = link.sendLater(c.later, 400);
        EXPECT_EQ(link.read(), c.status) << c.name;
        writer.join();
        EXPECT_EQ(text(link.context.bodyBuffer), c.body) << c.name;
    }
}

// Under pressure a request that arrives slower than the pace is given up, head or body;
// the same bytes at the same pace are read when no client waits for a worker.
TEST(RequestReader, SlowSendersAreGivenUpUnderPressure) {
    const struct {
        const char* name;
        std::string first;
        std::string trickled; // one byte every 200 ms
    } cases[] = {
        {"head", "GET /a.html HT", "TP/1.0\r\nX: 0123\r\n\r\n"},
        {"body", "POST /a.html HTTP/1.0\r\nContent-Length: 20\r\n\r\nab", std::string(18, 'b')},
    };
    for (const auto& c : cases) {
        Site site;
        Loopback link(site.config);
        ASSERT_TRUE(link.ready()) << c.name;
        link.context.readTimeout = 10000;
        link.busy = 1;
        link.send(c.first);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (char byte : c.trickled) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (stop)
                    return;
                link.client.SendAll(&byte, 1, 0);
            }
        });
        // The whole request would be there after 3.6 s; the pace ends it at about 2 s.
        EXPECT_EQ(link.read(), 0) << c.name;
        stop = true;
        writer.join();
        EXPECT_EQ(link.context.bodyBuffer.length, 0u) << c.name;
    }
}

TEST_F(RequestReaderTest, PeerClosingMidBodyGivesNothing) {
    link.send("POST /a.html HTTP/1.0\r\nContent-Length: 100\r\n\r\npartial");
    link.client.Close();
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(link.context.bodyBuffer.length, 0u);
}

TEST_F(RequestReaderTest, PeerClosingBeforeAHeadClosesTheConnection) {
    link.send("GET /a.ht");
    link.client.Close();
    EXPECT_EQ(link.read(), 0);
    EXPECT_EQ(link.context.handle, -1);
}

TEST_F(RequestReaderTest, IdleConnectionEndsAtTheDeadline) {
    link.context.readTimeout = 500;
    const auto start = Clock::now();
    EXPECT_EQ(link.read(), 0);
    EXPECT_GE(millisecondsSince(start), 500);
    EXPECT_NE(link.context.handle, -1); // the worker closes it
}

TEST_F(RequestReaderTest, IdleConnectionIsGivenUpWhenBusy) {
    link.busy = 1;
    const auto start = Clock::now();
    EXPECT_EQ(link.read(), 0);
    EXPECT_LT(millisecondsSince(start), 1000);
    EXPECT_NE(link.context.handle, -1);
}

TEST_F(RequestReaderTest, PartialHeadIsNotGivenUpWhenBusy) {
    link.busy = 1;
    link.send("GET /a.html HTTP/1.0\r\n");
    std::thread writer = link.sendLater({"\r\n"}, 500);
    EXPECT_EQ(link.read(), 200);
    writer.join();
}

TEST_F(RequestReaderTest, NulInTheHeadIsRefusedAtOnce) {
    link.context.readTimeout = 5000;
    link.send(std::string("GET /a.html HTTP/1.0\0", 21));
    EXPECT_EQ(link.read(), 400);

    Loopback flood(site.config);
    ASSERT_TRUE(flood.ready());
    flood.send(std::string("GET /a.html HTTP/1.0\r\nX: \0\r\n\r\n", 30) + std::string(4100, 'f'));
    EXPECT_EQ(flood.read(), 400);
}

TEST_F(RequestReaderTest, NothingOfTheLastRequestSurvivesARefusal) {
    link.send("GET /a.html HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(link.read(), 200);
    EXPECT_NE(link.context.path[0], '\0');
    EXPECT_NE(link.context.findData.size, 0u);
    link.finish();

    link.send("GET\r\n\r\n");
    EXPECT_EQ(link.read(), 400);
    EXPECT_STREQ(link.context.version, "HTTP/1.0");
    EXPECT_EQ(link.context.methodCode, Unrecognised);
    EXPECT_EQ(link.context.target[0], '\0');
    EXPECT_EQ(link.context.path[0], '\0');
    EXPECT_EQ(link.context.findData.size, 0u);
}

TEST_F(RequestReaderTest, ClientCannotSpeakForTheServer) {
    site.config.reverseLookup = 1;
    link.send("GET /a.html HTTP/1.0\r\nremote_host: evil\r\nRemote_Addr: 6.6.6.6\r\n"
              "request_line: forged\r\n\r\n");
    EXPECT_EQ(link.read(), 200);
    char expected[platform::kHostNameCapacity];
    const bool named = platform::lookupHostName(kLoopback, expected, sizeof expected);
    const char* stored = link.context.headerTable.valueNoCase("remote_host");
    if (named) {
        ASSERT_NE(stored, nullptr);
        EXPECT_STREQ(stored, expected);
    } else {
        EXPECT_EQ(stored, nullptr);
    }
    EXPECT_EQ(link.context.headerTable.valueNoCase("remote_addr"), nullptr);
    EXPECT_STREQ(link.context.headerTable.value("request_line"), "GET /a.html HTTP/1.0");
}

TEST(HostLookup, NameFitsItsAreaOrIsRefused) {
    char name[platform::kHostNameCapacity];
    if (!platform::lookupHostName(kLoopback, name, sizeof name))
        GTEST_SKIP() << "127.0.0.1 has no name here";
    const std::size_t length = std::strlen(name);
    ASSERT_GT(length, 0u);
    std::vector<char> exact(length + 1);
    EXPECT_TRUE(platform::lookupHostName(kLoopback, exact.data(), exact.size()));
    EXPECT_STREQ(exact.data(), name);
    std::vector<char> tooSmall(length, 'x');
    EXPECT_FALSE(platform::lookupHostName(kLoopback, tooSmall.data(), tooSmall.size()));
    EXPECT_EQ(tooSmall[0], '\0');
    EXPECT_FALSE(platform::lookupHostName(kLoopback, nullptr, 0));
}

// One to three requests in a row, made of the pieces the reader and parser care about,
// some of them with a byte changed.
std::string randomRequests(std::mt19937& random) {
    const char* const methods[] = {"GET", "POST", "HEAD", "PUT", "get", ""};
    const char* const targets[] = {"/a.html", "/", "/none", "/a.html?x", "//../a", ""};
    const char* const versions[] = {"HTTP/1.0", "HTTP/1.1", "HTTP/0.9", "HTTP/9", ""};
    const char* const separators[] = {" ", "\t", "  ", "\r\n", "\n"};
    const char* const headers[] = {"Host: h",        "Content-Length: 3", "content-length: -1",
                                   "Content-Length", "remote_host: x",    ": v",
                                   " X: y",          "Connection: close", "X:\ty"};
    const char* const ends[] = {"\r\n", "\n", "\r"};
    auto pick = [&random](const auto& list) {
        return std::string(list[random() % std::size(list)]);
    };
    std::string bytes;
    for (int n = 1 + int(random() % 3); n > 0; --n) {
        std::string request = pick(methods) + pick(separators) + pick(targets) + pick(separators) +
                              pick(versions) + "\r\n";
        for (int h = int(random() % 4); h > 0; --h)
            request += pick(headers) + pick(ends);
        request += "\r\n";
        if (random() % 2 == 0)
            request += "abc";
        if (random() % 5 == 0)
            request[random() % request.size()] = char(random() % 256);
        bytes += request;
    }
    return bytes;
}

TEST(RequestReader, RandomRequestsNeverBreakIt) {
    std::mt19937 random(7);
    Site site;
    int answered = 0;
    for (int round = 0; round < 60; ++round) {
        Loopback link(site.config);
        ASSERT_TRUE(link.ready());
        link.context.readTimeout = 300;
        link.send(randomRequests(random));
        link.client.Close(); // so that a read waiting for more ends at once
        for (int request = 0; request < 4; ++request) {
            const int status = link.read();

            EXPECT_TRUE(status == 0 || status == 200 || status == 304 || status == 400 ||
                        status == 404 || status == 411 || status == 413 || status == 500 ||
                        status == 501 || status == 999)
                << status;
            if (status == 0 || status >= 400)
                break;
            ++answered;
            link.finish();
        }
    }
    EXPECT_GT(answered, 0);
}

} // namespace
} // namespace velnor
