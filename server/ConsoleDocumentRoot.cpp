#include "server/ConsoleDocumentRoot.h"

#include <cstdio>
#include <cstring>

#include "core/ServerSettings.h"
#include "platform/FileSystem.h"
#include "platform/Utf.h"
#include "server/ConsoleDialogs.h"

namespace velnor {

int EnsureDocumentRoot(const ServerSettings& settings, ConsoleDialogs& dialogs) noexcept {
    const char* root = settings.documentRoot;
    char16_t wide[kSettingTextCapacity];
    if (platform::utf8ToUtf16(root, std::strlen(root), wide, kSettingTextCapacity) < 0)
        return 0;
    platform::FileRecord record;
    if (platform::findFile(wide, record) && (record.attributes & platform::kAttributeDirectory))
        return 1;
    if (!dialogs.AskYesNo("May I create default directory?", ConsoleDialogs::DefaultAnswer::Yes))
        return 0;
    if (!platform::createDirectory(root))
        return 0;
    // The page's path must fit the same 260-unit area as every other path.
    char page[kSettingTextCapacity];
    const int length = std::snprintf(page, sizeof page, "%s\\%s", root, settings.defaultDocument);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof page)
        return 0;
    platform::File file;
    if (!file.open(page, platform::File::Mode::WriteReplace))
        return 0;
    if (!file.writeAll(kDefaultPage, kDefaultPageLength))
        return 0;
    file.close();
    return platform::createDirectory(settings.extensionRoot) ? 1 : 0;
}

} // namespace velnor
