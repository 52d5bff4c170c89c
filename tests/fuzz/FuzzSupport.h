// What every fuzz target shares: a property check that stops the run with a readable
// reason, and a small document tree in a temporary directory, made once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/ServerSettings.h"

// The entry libFuzzer calls; the replay program calls it once per stored input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void(0) : ::velnor::fuzz::fail(#condition, __FILE__, __LINE__))

namespace velnor::fuzz {

// abort() rather than a failed test: libFuzzer and the replay both report it as a crash
// and keep the input that caused it.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A temporary directory removed when the process ends normally.
class TempDirectory {
public:
    explicit TempDirectory(const char* label);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// www/ with index.html, a.txt, docs/index.html, docs/page.html, an empty directory, a CGI
// root cgi/ holding run.exe and sub/tool.exe; secret.txt and www-old/ beside www/. The
// settings name www as document root and www\cgi as CGI root, in the server's "\" form.
struct DocumentTree {
    DocumentTree();
    TempDirectory directory{"tree"};
    std::string documentRoot;  // "\tmp\...\www"
    std::string extensionRoot; // "\tmp\...\www\cgi"
    ServerConfig config;
};

// The one tree of this process.
DocumentTree& documentTree();

} // namespace velnor::fuzz
