// The server thread run in-process on 127.0.0.1 with a port the OS picks, a temporary
// document root and its own settings hive; and a client whose every read is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerSettings.h"
#include "core/SocketConnection.h"
#include "platform/Utf.h"
#include "server/ServerThread.h"
#include "server/StatusBoard.h"
#include "tests/support/RegText.h"
#include "tests/support/TempDir.h"

namespace velnor {
namespace test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint8_t kLoopback[4] = {127, 0, 0, 1};
constexpr char kPage[] = "<p>hello</p>";

inline std::string hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// A client connection whose every read is bounded, so a lost hand-off fails the test
// instead of hanging it.
class Client {
public:
    explicit Client(std::uint16_t port) {
        connection_.handle = platform::socketCreate();
        if (connection_.handle != -1 &&
            platform::socketConnect(connection_.handle, kLoopback, port, 2000) != 0)
            connection_.Close();
        connection_.WaitSeconds = 5;
    }
    bool connected() const { return connection_.handle != -1; }
    bool send(const std::string& bytes) {
        return connection_.SendAll(bytes.data(), std::uint32_t(bytes.size()), 0) ==
               std::int64_t(bytes.size());
    }
    // One answer: the head, then Content-Length bytes of body. Empty on timeout.
    std::string readResponse() {
        std::string::size_type end;
        while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
            if (!fill())
                return take(pending_.size());
        std::size_t length = 0;
        const auto at = pending_.find("Content-Length: ");
        if (at != std::string::npos && at < end)
            length = std::strtoul(pending_.c_str() + at + 16, nullptr, 10);
        while (pending_.size() < end + 4 + length)
            if (!fill())
                break;
        return take(std::min(pending_.size(), end + 4 + length));
    }
    std::string readUntilClose() {
        while (fill()) {
        }
        return take(pending_.size());
    }
    // True when the server ends the connection within the read wait.
    bool closedByPeer() {
        while (fill()) {
        }
        return closed_;
    }

private:
    bool fill() {
        char buffer[4096];
        const int got = connection_.Receive(buffer, sizeof buffer, 0);
        if (got > 0)
            pending_.append(buffer, std::size_t(got));
        closed_ = closed_ || got < 0;
        return got > 0;
    }
    std::string take(std::size_t n) {
        std::string head = pending_.substr(0, n);
        pending_.erase(0, n);
        return head;
    }

    SocketConnection connection_;
    std::string pending_;
    bool closed_ = false;
};

inline std::string statusLineOf(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

class ServerThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "www" / "scripts");
        dir.write("www/index.html", kPage);
        dir.write("www/scripts/run.exe", "");
        control.board = &board;
        control.bindAddress[0] = 127;
        control.bindAddress[3] = 1;
        control.listenWaitMs = 200;
        missingPlugin = dir.file("missing.so");
        usePlugin(missingPlugin);
    }

    void TearDown() override {
        if (server.joinable())
            stop();
#ifdef _WIN32
        _putenv_s("VELNOR_TEST_LOG_RECORD", "");
        _putenv_s("VELNOR_TEST_LOG_SLEEP_MS", "");
#else
        unsetenv("VELNOR_TEST_LOG_RECORD");
        unsetenv("VELNOR_TEST_LOG_SLEEP_MS");
#endif
    }

    void usePlugin(const std::string& path) {
        pluginPath = platform::wideFromUtf8(path.c_str());
        control.logPluginPath = pluginPath.get();
    }

    void configure(std::uint32_t workers, std::uint32_t keepAlive = 1, std::uint32_t port = 0) {
        const std::string docRoot = (dir.path() / "www").string();
        dir.write("velnor.reg", "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR]\n"
                                "\"Port\"=dword:" +
                                    hex8(port) + "\n\"StartServers\"=dword:" + hex8(workers) +
                                    "\n\"KeepAlive\"=dword:" + hex8(keepAlive) +
                                    "\n\"DocRoot\"=" + regString(docRoot) +
                                    "\n\"CgiRoot\"=" + regString(docRoot + "/scripts") +
                                    "\n\"LogFile\"=" + regString(dir.file("access.log")) + "\n");
        settings = std::make_unique<ServerSettings>(dir.file("velnor.reg"));
        control.settings = settings.get();
    }

    // Starts the server thread and waits for its listener.
    std::uint16_t start(std::uint32_t workers, std::uint32_t keepAlive = 1) {
        configure(workers, keepAlive);
        // Ready for another run in the same test.
        control.runFlag.store(1);
        control.ended.store(0);
        board.setListeningPort(0);
        launch();
        const auto deadline = Clock::now() + 5s;
        while (board.listeningPort() == 0 && !control.ended.load() && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        return board.listeningPort();
    }

    void launch() {
        server = std::thread([this] { exitCode = ServerThreadMain(&control); });
    }

    // Asks for the stop and returns how long the server thread took to end.
    Clock::duration stop() {
        const auto begin = Clock::now();
        control.runFlag.store(0);
        server.join();
        return Clock::now() - begin;
    }

    std::vector<std::string> statusHistory() const {
        StatusBoard::Entry entries[StatusBoard::kHistoryLength];
        const std::size_t n = board.textsAfter(0, entries, StatusBoard::kHistoryLength);
        std::vector<std::string> texts;
        for (std::size_t i = 0; i < n; ++i)
            texts.push_back(entries[i].text);
        return texts;
    }

    std::string statusText() const {
        char text[StatusBoard::kTextCapacity];
        board.statusText(text, sizeof text);
        return text;
    }

    test::TempDir dir;
    StatusBoard board;
    ServerControl control;
    std::unique_ptr<ServerSettings> settings;
    platform::HeapPtr<char16_t> pluginPath;
    std::string missingPlugin;
    std::thread server;
    int exitCode = -1;
};

} // namespace test
} // namespace velnor
