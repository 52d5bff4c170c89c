// The settings test: every problem the server would meet with its settings and its
// program directory, named before it serves, by `velnor check` and at start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The Windows build formats with the C99 printf of its runtime, which the compiler checks
// under a name of its own.
#ifdef __MINGW32__
#define VELNOR_PRINTF_FORMAT gnu_printf
#else
#define VELNOR_PRINTF_FORMAT printf
#endif

namespace velnor {

class ServerSettings;

// Receives the findings, one line each without its line end, the setting or file it
// concerns first ("DocRoot: /srv/www does not exist").
class FindingSink {
public:
    virtual ~FindingSink() = default;
    virtual void finding(const char* text) noexcept = 0;
};

// Where the settings are put to use.
struct CheckPlace {
    // UTF-16, "\" separators, no trailing separator: where AddType.txt,
    // ErrorDocument.txt and dunmark.so are looked for.
    const char16_t* programDirectory = nullptr;
    // The listener's address (network order; 0.0.0.0 is every address).
    std::uint8_t bindAddress[4] = {0, 0, 0, 0};
};

// Checks everything and returns the number of findings.
std::size_t CheckConfiguration(const ServerSettings& settings, const CheckPlace& place,
                               FindingSink& sink) noexcept;

// `velnor check`: the findings, then "velnor check: N problem(s)" or "velnor check:
// settings OK", on `out`. Exit status 0 without findings, 1 with any.
int RunCheckCommand(const ServerSettings& settings, const std::uint8_t (&bindAddress)[4],
                    std::FILE* out) noexcept;

// At start: each finding as a "velnor: warning: " line on `errors`.
void WarnAboutConfiguration(const ServerSettings& settings, const std::uint8_t (&bindAddress)[4],
                            std::FILE* errors) noexcept;

namespace check {

// Counts the findings and words them into a bounded line.
class Findings {
public:
    explicit Findings(FindingSink& sink) noexcept : sink_(sink) {}
    void add(const char* format, ...) noexcept __attribute__((format(VELNOR_PRINTF_FORMAT, 2, 3)));
    std::size_t count() const noexcept { return count_; }

private:
    FindingSink& sink_;
    std::size_t count_ = 0;
};

// A finding names paths as the system spells them: "\" written as "/".
constexpr std::size_t kShownPathCapacity = 520;
void showPath(const char* serverPath, char (&out)[kShownPathCapacity]) noexcept;

// The AddType.txt and ErrorDocument.txt lines the server ignores, and (with
// `resolveDocuments`, when there is a document root to look in) error documents that do
// not resolve under the document root.
void checkTypeTable(const ServerSettings& settings, const char16_t* programDirectory,
                    Findings& findings) noexcept;
void checkErrorDocuments(const ServerSettings& settings, const char16_t* programDirectory,
                         bool resolveDocuments, Findings& findings) noexcept;

} // namespace check
} // namespace velnor
