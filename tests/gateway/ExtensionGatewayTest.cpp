#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "../http/ResponderTestSupport.h"
#include "gateway/ExtensionGateway.h"
#include "gateway/GatewayEnvironment.h"
#include "gateway/GatewaySelection.h"
#include "http/StatusLines.h"
#include "platform/HeapBlock.h"
#include "platform/HeapSize.h"
#include "velnor/velnor.h"

namespace velnor::test {
namespace {

// The server's lines in front of a ZLX answer.
std::string zlxPrefix(const std::string& status, const char* contentLength) {
    std::string prefix = "HTTP/1.1 " + status + "\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n";
    if (contentLength != nullptr)
        prefix += std::string("Content-Length: ") + contentLength + "\r\n";
    return prefix;
}

std::string failure(int origin) {
    return "HTTP/1.1 500 Internal Server Error(" + std::to_string(origin) +
           ")\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n\r\n";
}

class InProcessGatewayTest : public ResponderTest {
protected:
    // Runs a gateway the way selection does, with the probe's mode as the query.
    std::string run(int (*gateway)(RequestContext&, const char*, int), const char* library,
                    const char* mode) {
        context.headerTable.add("request_line", "GET /scripts/x HTTP/1.1");
        context.headerTable.add("QUERY_STRING", mode);
        std::strcpy(context.path, (scripts + "\\probe").c_str());
        buildGatewayEnvironment(context);
        setScriptName(context);
        return exchange([&] { return gateway(context, library, 0); });
    }

    std::string zlx(const char* mode) { return run(runZlxGateway, VELNOR_ZLX_PROBE, mode); }
    std::string capi(const char* mode) { return run(runCapiGateway, VELNOR_CAPI_PROBE, mode); }

    const char* sendBytes() { return context.headerTable.value("send_bytes"); }
};

TEST_F(InProcessGatewayTest, ZlxAnswerIsFramedWithLengthAndLogged) {
    EXPECT_EQ(zlx("hello5"), zlxPrefix("200 OK", "5") + "Content-Type: text/html\r\n\r\nhello");
    EXPECT_EQ(result, 999);
    ASSERT_NE(sendBytes(), nullptr);
    EXPECT_STREQ(sendBytes(), "5");
    EXPECT_STREQ(context.variableTable.value("GATEWAY_INTERFACE"), "ZLX/1.0");
}

TEST_F(InProcessGatewayTest, HeadGetsTheExtensionsHeadOnly) {
    context.methodCode = Head;
    EXPECT_EQ(zlx("hello5"), zlxPrefix("200 OK", "5") + "Content-Type: text/html\r\n\r\n");
    EXPECT_EQ(result, 999);
    ASSERT_NE(sendBytes(), nullptr);
    EXPECT_STREQ(sendBytes(), "5");
}

TEST_F(InProcessGatewayTest, AnswerShapes) {
    struct Case {
        const char* mode;
        std::string expected;
    };
    const Case cases[] = {
        {"location",
         zlxPrefix("302 Object Moved", nullptr) + "Location: http://example.org/\r\n\r\n"},
        {"location-lower",
         zlxPrefix("302 Object Moved", nullptr) + "location: http://example.org/\r\n\r\nmoved"},
        // Without the blank after the colon it is an ordinary answer.
        {"location-noblank", zlxPrefix("200 OK", "0") + "Location:/x\r\n\r\n"},
        // The body is counted by its length, not by its text.
        {"binary", zlxPrefix("200 OK", "5") + std::string("X-A: b\r\n\r\nab\0cd", 15)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        reconnect();
        EXPECT_EQ(zlx(c.mode), c.expected);
        EXPECT_EQ(result, 999);
    }
}

// Every way a ZLX answer can fail is a whole 500 with its origin, and nothing is logged
// as sent.
TEST_F(InProcessGatewayTest, ZlxFailures) {
    const std::string longPath = "\\" + std::string(300, 'l') + ".zlx";
    struct Case {
        const char* library;
        const char* mode;
        int origin;
    };
    const Case cases[] = {
        {VELNOR_ZLX_PROBE, "none", kOriginZlxNoResponse},
        {VELNOR_ZLX_PROBE, "nohead", kOriginZlxHeadEnd},
        // Broken memory forms: no block, no length, a length that stops short of the
        // head's end, a NUL before it.
        {VELNOR_ZLX_PROBE, "null-data", kOriginZlxNoResponse},
        {VELNOR_ZLX_PROBE, "length-zero", kOriginZlxNoResponse},
        {VELNOR_ZLX_PROBE, "length-short", kOriginZlxHeadEnd},
        {VELNOR_ZLX_PROBE, "nul-in-head", kOriginZlxHeadEnd},
        {VELNOR_NOENTRY_PROBE, "hello5", kOriginZlxEntry},
        {VELNOR_CAPI_PROBE, "hello5", kOriginZlxEntry},
        {"/nonexistent/probe.zlx", "hello5", kOriginZlxLoad},
        {longPath.c_str(), "hello5", kOriginZlxPath},
        {"\\bad\xFF.zlx", "hello5", kOriginZlxPath},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.library << " " << c.mode);
        reconnect();
        EXPECT_EQ(run(runZlxGateway, c.library, c.mode), failure(c.origin));
        EXPECT_EQ(result, 500);
        EXPECT_EQ(sendBytes(), nullptr);
    }
}

// The extension sees the whole set with the cursor on its first entry, and the body.
TEST_F(InProcessGatewayTest, ZlxSeesVariablesAndBody) {
    context.methodCode = Post;
    ASSERT_EQ(context.bodyBuffer.append("k=v", 3), 3u);
    const std::string got = zlx("variables");
    EXPECT_EQ(result, 999);
    const std::size_t bodyAt = got.find("\r\n\r\n", got.find("Content-Length"));
    ASSERT_NE(bodyAt, std::string::npos);
    const std::string listed = got.substr(bodyAt + 4);
    EXPECT_EQ(listed.rfind("cursor=first\nCONTENT_LENGTH=3\n", 0), 0u) << listed;
    const std::string tail = "SCRIPT_NAME=/scripts/probe\nGATEWAY_INTERFACE=ZLX/1.0\nbody=k=v\n";
    ASSERT_GE(listed.size(), tail.size());
    EXPECT_EQ(listed.substr(listed.size() - tail.size()), tail);
    // The probe left the cursor null; the server's table is walkable again.
    EXPECT_EQ(context.variableTable.current(), context.variableTable.entries());
}

TEST_F(InProcessGatewayTest, CapiAnswers) {
    struct Case {
        const char* mode;
        std::string expected;
        int status;
    };
    const Case cases[] = {
        {"full", "HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nbody", 999},
        {"zero", "HTTP/1.0 200 OK\r\n\r\nab", 999}, // up to the first NUL
        {"part", "HTTP/1.0", 999},
        {"null", "", 999},     // nothing to send: the connection just closes
        {"negative", "", 999}, // nor for a count that names no bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        reconnect();
        EXPECT_EQ(capi(c.mode), c.expected);
        EXPECT_EQ(result, c.status);
        EXPECT_EQ(sendBytes(), nullptr) << "the CAPI gateway reports no byte count";
    }
}

// HEAD is the extension's business: the answer goes out as it is.
TEST_F(InProcessGatewayTest, CapiHeadIsNotCut) {
    context.methodCode = Head;
    EXPECT_EQ(capi("full"), "HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nbody");
}

TEST_F(InProcessGatewayTest, CapiSeesEntriesHeadAndBody) {
    context.methodCode = Post;
    const std::string head = "POST /scripts/probe.dll?echo HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(context.headBuffer.append(head.data(), std::uint32_t(head.size())), head.size());
    ASSERT_EQ(context.bodyBuffer.append("x\0y", 3), 3u);
    const std::string got = capi("echo");
    EXPECT_EQ(result, 999);
    // SCRIPT_NAME is set once more just before GATEWAY_INTERFACE, so both close the block;
    // the entries' final NUL is passed too.
    const std::string expectedTail = "SCRIPT_NAME|/scripts/probe|GATEWAY_INTERFACE|ZLX/1.0||" +
                                     head + "#" + std::string("x\0y", 3);
    ASSERT_GE(got.size(), expectedTail.size());
    EXPECT_EQ(got.substr(got.size() - expectedTail.size()), expectedTail);
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n\r\nCONTENT_LENGTH|3|", 0), 0u) << got;
}

TEST_F(InProcessGatewayTest, CapiFailures) {
    const std::string longPath = "\\" + std::string(300, 'l') + ".dll";
    struct Case {
        const char* library;
        int origin;
    };
    const Case cases[] = {
        {VELNOR_NOENTRY_PROBE, kOriginCapiEntry},
        {VELNOR_ZLX_PROBE, kOriginCapiEntry},
        {"/nonexistent/probe.dll", kOriginCapiLoad},
        {longPath.c_str(), kOriginCapiPath},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.library);
        reconnect();
        EXPECT_EQ(run(runCapiGateway, c.library, "full"), failure(c.origin));
        EXPECT_EQ(result, 500);
    }
}

// The allocator's size for a block of `bytes`, as the probes' blocks get it.
std::size_t blockSizeFor(std::size_t bytes) {
    platform::ExtensionBlockPtr<char> block(static_cast<char*>(velnor_alloc(bytes)));
    return platform::usableSize(block.get());
}

// A length or count is the extension's word, the block's size the allocator's: up to the
// block's end the answer goes out (calloc's zeros included), one byte past it is a 500
// and not one byte of the answer, nor of what lies beyond it, is sent.
TEST_F(InProcessGatewayTest, AnswersAreBoundedByTheirBlock) {
    const std::size_t zlxBlock = blockSizeFor(15);  // "X-A: b\r\n\r\nbody" and its NUL
    const std::size_t capiBlock = blockSizeFor(24); // "HTTP/1.0 200 OK\r\n\r\nbody" and NUL
    const std::size_t zlxBody = zlxBlock - 10;
    const std::string capiText = "HTTP/1.0 200 OK\r\n\r\nbody";
    struct Case {
        bool capi;
        const char* mode;
        std::string expected;
        int result;
    };
    const Case cases[] = {
        {false, "length-block",
         zlxPrefix("200 OK", std::to_string(zlxBody).c_str()) + "X-A: b\r\n\r\nbody" +
             std::string(zlxBody - 4, '\0'),
         999},
        {false, "length-block+1", failure(kOriginZlxOverLength), 500},
        {false, "length-over", failure(kOriginZlxOverLength), 500},
        {true, "count-block", capiText + std::string(capiBlock - capiText.size(), '\0'), 999},
        {true, "count-block+1", failure(kOriginCapiOverCount), 500},
        {true, "count-over", failure(kOriginCapiOverCount), 500},
        {true, "zero-unterminated", failure(kOriginCapiOverCount), 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        reconnect();
        EXPECT_EQ(c.capi ? capi(c.mode) : zlx(c.mode), c.expected);
        EXPECT_EQ(result, c.result);
        if (c.result == 500) {
            EXPECT_EQ(sendBytes(), nullptr);
        }
    }
}

// A path of exactly 259 characters still fits the area; one more does not.
TEST_F(InProcessGatewayTest, LibraryPathAreaEdge) {
    const std::string fits = "\\" + std::string(258, 'p');
    const std::string tooLong = fits + "p";
    EXPECT_EQ(run(runZlxGateway, fits.c_str(), "hello5"), failure(kOriginZlxLoad));
    reconnect();
    EXPECT_EQ(run(runZlxGateway, tooLong.c_str(), "hello5"), failure(kOriginZlxPath));
}

// The connection breaks before the answer: 0, and the library is released all the same
// (the sanitizer build would report the answer's block otherwise).
TEST_F(InProcessGatewayTest, BrokenConnectionGivesZero) {
    context.headerTable.add("request_line", "GET /scripts/x HTTP/1.1");
    context.headerTable.add("QUERY_STRING", "hello5");
    buildGatewayEnvironment(context);
    context.Close();
    EXPECT_EQ(runZlxGateway(context, VELNOR_ZLX_PROBE, 0), 0);
    context.variableTable.add("QUERY_STRING", "full");
    EXPECT_EQ(runCapiGateway(context, VELNOR_CAPI_PROBE, 0), 0);
}

} // namespace
} // namespace velnor::test
