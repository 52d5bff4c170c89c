// Target resolution and its path normaliser: whatever the client names, the canonical
// path has no "." or ".." names and no repeated separators, fits its area, the path the
// server goes on to use lies inside the document root, and one it answers from holds no
// stream, trailing dot or trailing space.
#include <cstring>
#include <string>
#include <vector>

#include "content/PathNormalizer.h"
#include "http/RequestContext.h"
#include "tests/fuzz/FuzzSupport.h"

using namespace velnor;

namespace {

// True when a "\"-separated name of `text` is "." or "..", or two separators meet.
bool hasDotOrEmptyName(const std::string& text) {
    const std::string wrapped = "\\" + text + "\\";
    return wrapped.find("\\.\\") != std::string::npos ||
           wrapped.find("\\..\\") != std::string::npos || text.find("\\\\") != std::string::npos;
}

// Whether a ".." among the names of `text` ("/" and "\" alike) climbs above its start.
bool climbsAboveStart(const std::string& text) {
    long depth = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("/\\", start);
        end = end == std::string::npos ? text.size() : end;
        const std::string name = text.substr(start, end - start);
        if (name == "..")
            --depth;
        else if (!name.empty() && name != ".")
            ++depth;
        if (depth < 0)
            return true;
        start = end + 1;
    }
    return false;
}

// True when a "\"-separated name of `text` holds a ':' or ends in a dot or a space: a stream
// or a name the file system would shorten, each naming some other file.
bool hasAliasName(const std::string& text) {
    const std::string wrapped = text + "\\";
    return text.find(':') != std::string::npos || wrapped.find(".\\") != std::string::npos ||
           wrapped.find(" \\") != std::string::npos;
}

void checkNormalizer(const std::string& input, std::size_t capacity) {
    std::vector<char> out(capacity, 'Z'); // exactly `capacity` bytes: an overrun is caught
    const long length = normalizePath(input.c_str(), out.data(), capacity);
    if (climbsAboveStart(input))
        FUZZ_CHECK(length == -1);
    else if (capacity > input.size() + 1)
        FUZZ_CHECK(length >= 0);
    if (length < 0) {
        FUZZ_CHECK(length == -1);
        FUZZ_CHECK(capacity == 0 || out[0] == '\0');
        return;
    }
    FUZZ_CHECK(std::size_t(length) < capacity);
    const std::string result(out.data(), std::size_t(length));
    FUZZ_CHECK(out[std::size_t(length)] == '\0' && result.find('\0') == std::string::npos);
    FUZZ_CHECK(result.find('/') == std::string::npos);
    FUZZ_CHECK(!hasDotOrEmptyName(result));
    FUZZ_CHECK(result.size() <= input.size() + 1);
    // The canonical form is its own canonical form.
    std::vector<char> again(capacity, 'Z');
    FUZZ_CHECK(normalizePath(result.c_str(), again.data(), capacity) == length);
    FUZZ_CHECK(result == again.data());
}

// A path the resolver went on with begins with the document root, whole names only, and
// names no place above it.
void checkResolvedPath(const char* path, const std::string& root) {
    const std::string resolved(path);
    FUZZ_CHECK(resolved.compare(0, root.size(), root) == 0);
    FUZZ_CHECK(resolved.size() == root.size() || resolved[root.size()] == '\\');
    FUZZ_CHECK(!hasDotOrEmptyName(resolved.substr(root.size())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the area's size, so small areas and the 260-byte one both
    // meet every kind of path.
    const std::size_t capacity = data[0] < 0x80 ? data[0] : kTargetCapacity;
    const std::string input(fuzz::bytesOf(data + 1, size - 1).substr(0, 4096));
    checkNormalizer(std::string(input.c_str()), capacity);

    if (std::strlen(input.c_str()) >= kTargetCapacity)
        return 0;
    const fuzz::DocumentTree& tree = fuzz::documentTree();
    RequestContext context;
    context.settings = &tree.config;
    std::strncpy(context.target, input.c_str(), sizeof context.target - 1);
    const int status = context.resolveTarget();
    FUZZ_CHECK(std::memchr(context.path, '\0', sizeof context.path) != nullptr);
    if (status == 200 || status == 304 || status == 404 || status == 999) {
        checkResolvedPath(context.path, tree.documentRoot);
    }
    // A path the server answers from holds no name that another file system reads as
    // another file.
    if (status == 200 || status == 304 || status == 999) {
        FUZZ_CHECK(!hasAliasName(std::string(context.path).substr(tree.documentRoot.size())));
    }
    return 0;
}
