#include "content/ErrorDocumentTable.h"

#include <cstddef>
#include <cstdio>
#include <initializer_list>

#include "content/Strings.h"

namespace velnor {

namespace {

// A document is copied over the request target, whose area holds this many bytes with
// its terminator.
constexpr std::size_t kTargetArea = 260;

bool joinWide(char16_t* out, std::size_t capacity, const char16_t* directory,
              const char16_t* name) noexcept {
    std::size_t n = 0;
    for (const char16_t* part : {directory, name}) {
        for (const char16_t* p = part; *p; ++p) {
            if (n + 1 >= capacity)
                return false;
            out[n++] = *p;
        }
    }
    out[n] = 0;
    return true;
}

} // namespace

ErrorDocumentTable::~ErrorDocumentTable() = default;

void ErrorDocumentTable::load(const char16_t* programDirectory) noexcept {
    char16_t path[kTargetArea];
    if (programDirectory && joinWide(path, kTargetArea, programDirectory, u"\\ErrorDocument.txt"))
        loadFile(path);
}

const char* ErrorDocumentTable::documentFor(int code) const noexcept {
    // Room for any int, so "%3d" is never cut.
    char key[16];
    std::snprintf(key, sizeof key, "%3d", code);
    const char* document = lookupNoCase(key);
    // A line whose document cannot be a request target is in effect but unusable: the
    // status goes out bare rather than with a cut target naming some other file. An
    // empty document names nothing either.
    if (!document || document[0] == '\0' || stringLength(document) >= kTargetArea)
        return nullptr;
    return document;
}

} // namespace velnor
