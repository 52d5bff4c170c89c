#include "server/ConsoleSetupDialog.h"

#include <cstdio>
#include <cstring>

#include "content/PathNormalizer.h"
#include "content/Strings.h"
#include "core/ServerSettings.h"
#include "platform/Utf.h"
#include "server/ConsoleDialogs.h"
#include "server/ConsoleDocumentRoot.h"

namespace velnor {
namespace {

// A path field holds at most this many UTF-16 units.
constexpr std::size_t kFieldUnits = 258;

// A path field as it is stored: at most 258 UTF-16 units, one trailing separator ("\"
// or "/") removed, then in canonical form, in a 260-byte area. False when the text is longer than
// the field or the area (the window would cut it silently and store another path than the one
// typed), is not valid text, or holds a line break (a hive line cannot). Every field is
// judged before the first is stored, so a refusal leaves the hive as it was.
bool readPathField(const char* typed, char (&out)[kSettingTextCapacity]) noexcept {
    const std::size_t length = std::strlen(typed);
    const long units = platform::utf8ToUtf16(typed, length, nullptr, 0);
    if (units < 0 || static_cast<std::size_t>(units) > kFieldUnits ||
        length >= kSettingTextCapacity || std::strpbrk(typed, "\r\n") != nullptr)
        return false;
    std::memcpy(out, typed, length + 1);
    if (length > 0 && (out[length - 1] == '\\' || out[length - 1] == '/'))
        out[length - 1] = 0;
    // Stored canonical, as the server compares it; a root it cannot normalise (one that
    // climbs above its start) is stored as typed.
    char canonical[kSettingTextCapacity];
    const long canonicalLength = normalizeRootSetting(out, canonical, sizeof canonical);
    if (canonicalLength >= 0)
        std::memcpy(out, canonical, static_cast<std::size_t>(canonicalLength) + 1);
    return true;
}

inline bool isSeparator(char c) noexcept {
    return c == '\\' || c == '/';
}

// The first strlen(root) characters of `under` match `root`, ignoring ASCII case; "\" and
// "/" are the same separator, as they are everywhere else a path setting is used.
bool startsWithRoot(const char* under, const char* root) noexcept {
    for (std::size_t i = 0; root[i] != 0; ++i) {
        const char a = under[i];
        const char b = root[i];
        if (a == 0)
            return false;
        if (isSeparator(a) && isSeparator(b))
            continue;
        if (foldAscii(static_cast<unsigned char>(a)) != foldAscii(static_cast<unsigned char>(b)))
            return false;
    }
    return true;
}

} // namespace

SetupFields SetupFields::FromSettings(const ServerSettings& settings) noexcept {
    SetupFields fields;
    // The paths as they are stored ("/srv/www" stays so) rather than as the record
    // normalizes them; both name the same place, and the operator typed this one.
    settings.ReadString("DocRoot", fields.documentRoot, kSettingTextCapacity,
                        settings.documentRoot);
    settings.ReadString("CgiRoot", fields.extensionRoot, kSettingTextCapacity,
                        settings.extensionRoot);
    std::snprintf(fields.port, sizeof fields.port, "%u", settings.port);
    std::snprintf(fields.servers, sizeof fields.servers, "%u", settings.workerCount);
    return fields;
}

std::uint32_t ReadFieldNumber(const char* text) noexcept {
    if (!text || *text == 0)
        return 0;
    std::uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 0xFFFFFFFFu)
            return 0; // too large for the field's number: not a number
    }
    return static_cast<std::uint32_t>(value);
}

int SaveSetup(ServerSettings& settings, const SetupFields& fields,
              ConsoleDialogs& dialogs) noexcept {
    char documentRoot[kSettingTextCapacity] = {};
    char extensionRoot[kSettingTextCapacity] = {};
    if (!readPathField(fields.documentRoot, documentRoot)) {
        dialogs.ShowMessage(
            "Document root must be at most 258 characters (259 bytes) of valid text on one line.");
        return 0;
    }
    if (!readPathField(fields.extensionRoot, extensionRoot)) {
        dialogs.ShowMessage(
            "Extension root must be at most 258 characters (259 bytes) of valid text on one line.");
        return 0;
    }
    if (!startsWithRoot(extensionRoot, documentRoot)) {
        dialogs.ShowMessage(kExtRootOutsideMessage);
        return 0;
    }
    const std::uint32_t port = ReadFieldNumber(fields.port);
    if (port < 1 || port > 65534) {
        dialogs.ShowMessage(kPortRangeMessage);
        return 0;
    }
    const std::uint32_t servers = ReadFieldNumber(fields.servers);
    if (servers < 1 || servers > 16) {
        dialogs.ShowMessage(kServersRangeMessage);
        return 0;
    }
    // The four values land together or not at all.
    const ServerSettings::PendingValue values[] = {{"DocRoot", documentRoot, 0},
                                                   {"CgiRoot", extensionRoot, 0},
                                                   {"Port", nullptr, port},
                                                   {"StartServers", nullptr, servers}};
    if (!settings.WriteValues(values, sizeof values / sizeof values[0]))
        return 0;
    EnsureDocumentRoot(settings, dialogs);
    dialogs.ShowMessage(kSavedMessage);
    return 1;
}

int RunSetupDialog(ServerSettings& settings, SetupFields fields, bool askFields,
                   ConsoleDialogs& dialogs) noexcept {
    for (;;) {
        if (askFields && dialogs.interactive()) {
            if (!dialogs.EditField("Document root", fields.documentRoot,
                                   sizeof fields.documentRoot) ||
                !dialogs.EditField("Extension root", fields.extensionRoot,
                                   sizeof fields.extensionRoot) ||
                !dialogs.EditField("Listen port", fields.port, sizeof fields.port) ||
                !dialogs.EditField("Servers", fields.servers, sizeof fields.servers))
                return 0;
        }
        if (!dialogs.AskYesNo(kSaveQuestion, ConsoleDialogs::DefaultAnswer::No))
            return 0;
        if (SaveSetup(settings, fields, dialogs))
            return 1;
        dialogs.ShowMessage(kSaveFailedMessage);
        // The window leaves the dialog open with the refused fields; a console can only
        // do that when the operator is there to edit them again.
        if (!askFields || !dialogs.interactive())
            return 0;
    }
}

} // namespace velnor
