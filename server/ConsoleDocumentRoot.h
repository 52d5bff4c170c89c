// The document root made at first start: the directory, its default page and the
// extension root.
#pragma once

#include <cstddef>

namespace velnor {

class ServerSettings;
class ConsoleDialogs;

// Where the default page's link points.
inline constexpr char kDefaultPageLink[] = "https://brellan.example/velnor/";

// The default page, exactly as it is written: no NUL and no line end.
inline constexpr char kDefaultPage[] =
    "<HTML><BODY><H1>Can you see me?</H1><BR><HR>VELNOR2 by<A HREF="
    "\"https://brellan.example/velnor/\""
    ">Brellan</A></BODY></HTML>";
inline constexpr std::size_t kDefaultPageLength = sizeof kDefaultPage - 1;

// 1 when the settings' document root is a directory, or after the operator agreed to
// "May I create default directory?" and the directory, its default document holding
// the default page, and the extension-root directory were all created; 0 otherwise.
int EnsureDocumentRoot(const ServerSettings& settings, ConsoleDialogs& dialogs) noexcept;

} // namespace velnor
