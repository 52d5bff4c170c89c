// Programs and libraries placed into a test server's tree for the gateway tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/e2e/RawClient.h"
#include "tests/e2e/ServerProcess.h"

namespace velnor::e2e {

// The built examples, or empty texts when this build has none.
#ifdef EXAMPLE_HELLO_CGI
inline constexpr const char* kHelloCgi = EXAMPLE_HELLO_CGI;
#else
inline constexpr const char* kHelloCgi = "";
#endif
#ifdef EXAMPLE_HELLO_ZLX
inline constexpr const char* kHelloZlx = EXAMPLE_HELLO_ZLX;
#else
inline constexpr const char* kHelloZlx = "";
#endif
#ifdef EXAMPLE_HELLO_CAPI
inline constexpr const char* kHelloCapi = EXAMPLE_HELLO_CAPI;
#else
inline constexpr const char* kHelloCapi = "";
#endif
#ifdef EXAMPLE_UPPER_MOD
inline constexpr const char* kUpperMod = EXAMPLE_UPPER_MOD;
#else
inline constexpr const char* kUpperMod = "";
#endif
#ifdef EXAMPLE_ENV_SH
inline constexpr const char* kEnvScript = EXAMPLE_ENV_SH;
#else
inline constexpr const char* kEnvScript = "";
#endif

// Skips the test when the build lacks the example at `path`.
#define VELNOR_NEED_EXAMPLE(path)                                                                  \
    do {                                                                                           \
        if (std::string_view(path).empty())                                                        \
            GTEST_SKIP() << "this build has no " #path;                                            \
    } while (0)

// A program file below the document root, executable by its owner.
inline std::string writeProgram(ServerProcess& server, const std::string& relative,
                                const std::string& text) {
    std::string path = server.writeDocument(relative, text);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

// A copy of a built file at `destination`, with the source's permissions.
inline bool copyBuilt(const std::string& source, const std::filesystem::path& destination) {
    std::error_code failed;
    std::filesystem::create_directories(destination.parent_path(), failed);
    std::filesystem::copy_file(source, destination,
                               std::filesystem::copy_options::overwrite_existing, failed);
    return !failed;
}

// The head the server writes before a CGI program's own output.
inline std::string cgiPrefix(std::string_view version, std::string_view statusText = "200 OK") {
    return std::string(version) + " " + std::string(statusText) +
           "\r\nServer: VELNOR/2.34\r\nConnection: Close\r\n";
}

// The head the server writes before a ZLX extension's own head.
inline std::string zlxPrefix(std::string_view version, std::size_t bodyLength) {
    return cgiPrefix(version) + "Content-Length: " + std::to_string(bodyLength) + "\r\n";
}

// The pieces of an environment block (NAME=value entries separated by NUL bytes).
inline std::vector<std::string> splitBlock(std::string_view block) {
    std::vector<std::string> entries;
    while (!block.empty()) {
        std::size_t end = block.find('\0');
        if (end == std::string_view::npos)
            end = block.size();
        entries.emplace_back(block.substr(0, end));
        block.remove_prefix(end < block.size() ? end + 1 : end);
    }
    return entries;
}

// Every answer of `count` clients sending `request(i)` at the same moment, in client order.
template <typename MakeRequest>
std::vector<std::string> askTogether(int port, int count, MakeRequest request,
                                     std::chrono::milliseconds limit = 10s) {
    std::vector<std::string> answers(static_cast<std::size_t>(count));
    std::vector<std::thread> clients;
    for (int i = 0; i < count; ++i)
        clients.emplace_back(
            [&, i] { answers[static_cast<std::size_t>(i)] = roundTrip(port, request(i), limit); });
    for (auto& client : clients)
        client.join();
    return answers;
}

} // namespace velnor::e2e
