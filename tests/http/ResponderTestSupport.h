// A request context connected to a real loopback client, with a document tree of its
// own, for tests that compare the exact bytes a responder puts on the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../support/TempDir.h"
#include "content/ErrorDocumentTable.h"
#include "content/MimeTable.h"
#include "core/ServerSettings.h"
#include "http/HttpDate.h"
#include "http/RequestContext.h"

namespace velnor::test {

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};

// Records what the responders hand to the gateways and answers as told.
class FakeGatewayRunner : public GatewayRunner {
public:
    int selectGateway(RequestContext& context, int closeFlag) noexcept override {
        ++selectCalls;
        lastCloseFlag = closeFlag;
        return onSelect ? onSelect(context, closeFlag) : 999;
    }
    int runHandlerModule(RequestContext& context, const char* libraryPath,
                         int closeFlag) noexcept override {
        ++moduleCalls;
        lastLibrary = libraryPath;
        lastCloseFlag = closeFlag;
        const char* script = context.variableTable.value("SCRIPT_NAME");
        scriptName = script ? script : "(none)";
        return 999;
    }

    std::function<int(RequestContext&, int)> onSelect;
    int selectCalls = 0;
    int moduleCalls = 0;
    int lastCloseFlag = -1;
    std::string lastLibrary;
    std::string scriptName;
};

class ResponderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The server keeps its paths with "\" separators; the platform turns them back.
        root = backslashed(tree.path().string());
        scripts = root + "\\scripts";
        config.serverSoftware = "VELNOR/2.34";
        config.documentRoot = root.c_str();
        config.extensionRoot = scripts.c_str();
        config.defaultDocument = "index.html";
        config.passwordFileName = "access.cha";
        config.mimeTable = &mime;
        config.errorDocuments = &errors;
        context.settings = &config;
        context.gateways = &runner;
        std::strcpy(context.version, "HTTP/1.1");
        context.methodCode = Get;

        listener.WaitSeconds = 2;
        ASSERT_EQ(listener.Listen(0, true), 1);
        connect();
    }

    // A fresh connection and an empty request, for tests that answer several in turn.
    void reconnect() {
        context.Close();
        client.Close();
        context.resetRequest();
        connect();
    }

    void connect() {
        client.handle = platform::socketCreate();
        ASSERT_NE(client.handle, -1);
        ASSERT_EQ(platform::socketConnect(client.handle, kLoopback, listener.LocalPort(), 2000), 0);
        platform::PeerAddress peer;
        context.handle = listener.Accept(peer);
        ASSERT_NE(context.handle, -1);
        context.WaitSeconds = 2;
        client.WaitSeconds = 2;
    }

    static std::string backslashed(std::string text) {
        for (char& c : text)
            if (c == '/')
                c = '\\';
        return text;
    }

    // Writes a file below the document root ("/" separators) and returns its full path
    // as the server writes it.
    std::string put(const std::string& name, const std::string& bytes) {
        std::filesystem::create_directories((tree.path() / name).parent_path());
        return backslashed(tree.write(name, bytes));
    }

    // Points the context at a file as target resolution would have left it.
    void resolvedTo(const std::string& fullPath) {
        ASSERT_LT(fullPath.size(), kTargetCapacity);
        std::strcpy(context.path, fullPath.c_str());
        context.findData = {};
        ASSERT_TRUE(FindFirstFileAnsi(context.path, context.findData));
    }

    // The Last-Modified text target resolution's find data gives for this file.
    std::string dateOf(const std::string& fullPath) {
        platform::FileRecord record;
        EXPECT_TRUE(FindFirstFileAnsi(fullPath.c_str(), record));
        HttpDate date;
        date.fromFileTime(record.lastWriteTime);
        return date.formatHttpDate();
    }

    // Runs one responder while the client reads, then ends the server side and returns
    // every byte the client received.
    std::string exchange(const std::function<int()>& respond) {
        std::thread server([&] {
            result = respond();
            context.Close();
        });
        std::string got;
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const int n = client.Receive(buffer.data(), std::uint32_t(buffer.size()), 0);
            if (n <= 0)
                break;
            got.append(buffer.data(), std::size_t(n));
        }
        server.join();
        return got;
    }

    std::string head(const std::string& statusLine, const char* connection,
                     unsigned long long length, const std::string& date, const char* type) {
        return "HTTP/1.1 " + statusLine + "\r\nServer: VELNOR/2.34\r\nConnection: " + connection +
               "\r\nContent-Length: " + std::to_string(length) + "\r\nLast-Modified: " + date +
               "\r\nContent-Type: " + type + "\r\n\r\n";
    }

    std::string bare(const std::string& statusLine, const char* connection) {
        return "HTTP/1.1 " + statusLine + "\r\nServer: VELNOR/2.34\r\nConnection: " + connection +
               "\r\n\r\n";
    }

    static std::string pattern(std::size_t size) {
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = char('a' + (i * 7 + i / 251) % 26);
        return text;
    }

    TempDir tree;
    std::string root;
    std::string scripts;
    MimeTable mime;
    ErrorDocumentTable errors;
    ServerConfig config;
    FakeGatewayRunner runner;
    SocketConnection listener;
    SocketConnection client;
    RequestContext context;
    int result = -1;
};

} // namespace velnor::test
