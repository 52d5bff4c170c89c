// Header lines that try to pass for the server's own word to a CGI program: the
// authenticated user, the client's name and address, the byte count, the request line,
// the query, and the program's outgoing proxy.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/GatewaySupport.h"
#include "tests/e2e/RawClient.h"
#include "tests/e2e/SampleTree.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {
namespace {

// The program's whole environment block, after its head.
const std::string kEnvironmentDump = "#!/bin/sh\n"
                                     "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'\n"
                                     "exec /bin/cat /proc/$$/environ\n";

class ForgedVariableTest : public ServerTest {
protected:
    void SetUp() override {
        writeSampleTree(server);
        writeProgram(server, "scripts/env.exe", kEnvironmentDump);
        startServer();
    }

    // The environment the program saw for one extra header line, or the whole answer when
    // the program did not run.
    std::vector<std::string> environmentFor(const std::string& line, std::string& answer) {
        answer = roundTrip(server.port(), get("/scripts/env.exe?q=real", "HTTP/1.0", line));
        // The server's lines and the program's own head end at one empty line.
        const std::size_t headEnd = answer.find("\r\n\r\n");
        if (answer.rfind(cgiPrefix("HTTP/1.0"), 0) != 0 || headEnd == std::string::npos)
            return {};
        return splitBlock(std::string_view(answer).substr(headEnd + 4));
    }
};

TEST_F(ForgedVariableTest, ClientHeadersNeverPassForTheServersVariables) {
    const std::string refused = bareStatus("HTTP/1.0", "400 Bad Request", 358);
    struct Case {
        const char* line;
        bool runs;          // false: the head is refused before any program runs
        const char* copied; // the one variable that may carry the value, or null
    };
    const Case cases[] = {
        {"Authentication-User: forged\r\n", true, nullptr},
        {"authentication_user: forged\r\n", true, nullptr},
        {"Remote-Host: forged\r\n", true, nullptr},
        {"REMOTE-ADDR: forged\r\n", true, nullptr},
        {"Send-Bytes: forged\r\n", true, nullptr},
        {"Request-Line: forged\r\n", true, nullptr},
        {"Query-String: forged\r\n", true, nullptr},
        {"Proxy: forged\r\n", true, nullptr},
        {"Proxy=: forged\r\n", false, nullptr},
        {"Proxy =: forged\r\n", false, nullptr},
        // A name that only contains a reserved one is an ordinary header.
        {"X-Remote-Host: forged\r\n", true, "HTTP_X_REMOTE_HOST=forged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::string answer;
        const std::vector<std::string> environment = environmentFor(c.line, answer);
        if (!c.runs) {
            EXPECT_EQ(answer, refused);
            continue;
        }
        ASSERT_FALSE(environment.empty()) << answer;
        bool copiedSeen = false;
        for (const std::string& entry : environment) {
            if (c.copied != nullptr && entry == c.copied) {
                copiedSeen = true;
                continue;
            }
            EXPECT_EQ(entry.find("forged"), std::string::npos) << entry;
            EXPECT_NE(entry.rfind("HTTP_PROXY=", 0), 0u) << entry;
        }
        EXPECT_EQ(copiedSeen, c.copied != nullptr);
    }
}

} // namespace
} // namespace velnor::e2e
