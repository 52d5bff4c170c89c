// Extension libraries that announce more bytes than the block they hand over: the client
// gets a plain 500 and not one byte from the server's heap.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/GatewaySupport.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

#if defined(VELNOR_ZLX_PROBE) && defined(VELNOR_CAPI_PROBE)
constexpr const char* kZlxProbe = VELNOR_ZLX_PROBE;
constexpr const char* kCapiProbe = VELNOR_CAPI_PROBE;
#else
constexpr const char* kZlxProbe = "";
constexpr const char* kCapiProbe = "";
#endif

class ExtensionBoundsTest : public ServerTest {};

TEST_F(ExtensionBoundsTest, OverlongAnswersAreRefusedWhole) {
    VELNOR_NEED_EXAMPLE(kZlxProbe);
    VELNOR_NEED_EXAMPLE(kCapiProbe);
    writeSampleTree(server);
    const auto scripts = server.documentRoot() / "scripts";
    ASSERT_TRUE(copyBuilt(kZlxProbe, scripts / "probe.zlx"));
    ASSERT_TRUE(copyBuilt(kCapiProbe, scripts / "probe.dll"));
    startServer();
    // Requests before the probes leave their heads in the server's heap, where an
    // unbounded answer would pick them up.
    const std::string marker = "X-Other-Client: private-" + std::string(200, 'p') + "\r\n";
    struct Case {
        const char* target;
        std::string expected;
    };
    const Case cases[] = {
        {"/scripts/probe.zlx?hello5",
         zlxPrefix("HTTP/1.0", 5) + "Content-Type: text/html\r\n\r\nhello"},
        {"/scripts/probe.zlx?length-over",
         bareStatus("HTTP/1.0", "500 Internal Server Error", 1579)},
        {"/scripts/probe.zlx?length-block+1",
         bareStatus("HTTP/1.0", "500 Internal Server Error", 1579)},
        {"/scripts/probe.dll?full", "HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nbody"},
        {"/scripts/probe.dll?count-over",
         bareStatus("HTTP/1.0", "500 Internal Server Error", 1712)},
        {"/scripts/probe.dll?zero-unterminated",
         bareStatus("HTTP/1.0", "500 Internal Server Error", 1712)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        roundTrip(server.port(), get("/a.txt", "HTTP/1.0", marker));
        EXPECT_EQ(roundTrip(server.port(), get(c.target)), c.expected);
    }
}

} // namespace
} // namespace velnor::e2e
