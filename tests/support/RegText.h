// Text for the registry editor's export form, which tests write as settings hives.
#pragma once

#include <string>

namespace velnor::test {

// A quoted value: "\" and the quote itself are escaped, as a Windows path's separators
// must be or the hive reader refuses the value and the default stands in for it.
inline std::string regString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace velnor::test
