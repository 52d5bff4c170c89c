#include "server/ConfigCheck.h"

#include <cstdarg>
#include <cstring>

#include "content/PathNormalizer.h"
#include "core/ServerSettings.h"
#include "platform/FileSystem.h"
#include "platform/Probes.h"
#include "platform/SharedLibrary.h"
#include "server/ServerThread.h"

namespace velnor {
namespace {

using check::Findings;
using check::kShownPathCapacity;
using check::showPath;

// The server thread builds no worker table past this count and does not start.
constexpr std::uint32_t kMostWorkers = 65536;
constexpr char kLogEntryName[] = "fnVelnorLog";
// A finding names at most two paths and a few words.
constexpr std::size_t kFindingCapacity = 2 * kShownPathCapacity + 160;

bool isSeparator(char c) noexcept {
    return c == '\\' || c == '/';
}

std::size_t rootLength(const char* root) noexcept {
    std::size_t length = std::strlen(root);
    while (length > 0 && isSeparator(root[length - 1]))
        --length;
    return length;
}

// Whether request paths can reach the extension root. The server joins the document root
// with a canonical request path ("\" separators) and takes it for a gateway when it
// begins with the extension root name by name, compared exactly.
bool reachesExtensionRoot(const char* documentRoot, const char* extensionRoot) noexcept {
    char canonical[kSettingTextCapacity];
    if (normalizeRootSetting(extensionRoot, canonical, sizeof canonical) < 0)
        return false;
    const std::size_t documentLength = rootLength(documentRoot);
    const std::size_t extensionLength = rootLength(extensionRoot);
    if (extensionLength < documentLength)
        return false;
    for (std::size_t i = 0; i < documentLength; ++i) {
        const char a = documentRoot[i];
        const char b = extensionRoot[i];
        if (isSeparator(a) != isSeparator(b) || (!isSeparator(a) && a != b))
            return false;
    }
    return extensionLength == documentLength || isSeparator(extensionRoot[documentLength]);
}

// True when the document root is a directory, so that what lies under it can be judged.
bool checkRoots(const ServerSettings& settings, Findings& findings) noexcept {
    // An empty document root joins as nothing: requests start at the file-system root.
    const char* documentRoot = settings.documentRoot[0] ? settings.documentRoot : "\\";
    char shownRoot[kShownPathCapacity];
    showPath(documentRoot, shownRoot);
    const platform::PathKind kind = platform::pathKind(shownRoot);
    if (kind == platform::PathKind::Missing)
        findings.add("DocRoot: %s does not exist", shownRoot);
    else if (kind == platform::PathKind::Other)
        findings.add("DocRoot: %s is not a directory", shownRoot);
    const bool usable = kind == platform::PathKind::Directory;
    // An empty extension root is the way to turn programs off.
    const char* extensionRoot = settings.extensionRoot;
    if (extensionRoot[0] == '\0')
        return usable;
    char shownExtensions[kShownPathCapacity];
    showPath(extensionRoot, shownExtensions);
    if (!reachesExtensionRoot(settings.documentRoot, extensionRoot))
        findings.add("CgiRoot: %s is not inside DocRoot %s", shownExtensions, shownRoot);
    else if (rootLength(extensionRoot) == rootLength(settings.documentRoot))
        findings.add("CgiRoot: %s is DocRoot itself: every request runs a program",
                     shownExtensions);
    return usable;
}

void checkListener(const ServerSettings& settings, const CheckPlace& place,
                   Findings& findings) noexcept {
    const std::uint32_t port = settings.port;
    if (port > 0xFFFF) {
        findings.add("Port: %u is not a TCP port (0 to 65535): the server will not start", port);
    } else if (port != 0) {
        const std::uint8_t* a = place.bindAddress;
        switch (platform::probeListen(std::uint16_t(port), place.bindAddress)) {
        case platform::ListenProbe::Free:
            break;
        case platform::ListenProbe::InUse:
            findings.add("Port: %u is in use", port);
            break;
        case platform::ListenProbe::NotPermitted:
            findings.add("Port: %u needs root or CAP_NET_BIND_SERVICE", port);
            break;
        case platform::ListenProbe::NotLocal:
            findings.add("Port: %u cannot be listened on at %u.%u.%u.%u: no such local address",
                         port, a[0], a[1], a[2], a[3]);
            break;
        case platform::ListenProbe::Failed:
            findings.add("Port: %u cannot be listened on", port);
            break;
        }
    }
    const std::uint32_t workers = settings.workerCount;
    if (workers == 0)
        findings.add("StartServers: 0 workers: every request is answered 503");
    else if (workers > kMostWorkers)
        findings.add("StartServers: %u is more than %u: the server will not start", workers,
                     kMostWorkers);
}

void checkLogFile(const ServerSettings& settings, Findings& findings) noexcept {
    // An empty log path turns the log off.
    if (settings.logFilePath[0] == '\0')
        return;
    char file[kShownPathCapacity];
    showPath(settings.logFilePath, file);
    char directory[kShownPathCapacity];
    // The system's form of the path: "/" here, "\" (or "/") on Windows.
    const char* slash = nullptr;
    for (const char* p = file; *p != '\0'; ++p)
        if (isSeparator(*p))
            slash = p;
    if (slash == nullptr)
        std::snprintf(directory, sizeof directory, ".");
    else if (slash == file)
        std::snprintf(directory, sizeof directory, "/");
    else
        std::snprintf(directory, sizeof directory, "%.*s", int(slash - file), file);

    const platform::PathKind fileKind = platform::pathKind(file);
    if (fileKind == platform::PathKind::Directory) {
        findings.add("LogFile: %s is a directory: no access log will be written", file);
        return;
    }
    if (fileKind == platform::PathKind::Other && !platform::mayWrite(file)) {
        findings.add("LogFile: %s is not writable: no access log will be written", file);
        return;
    }
    switch (platform::pathKind(directory)) {
    case platform::PathKind::Missing:
        findings.add("LogFile: directory %s does not exist: no access log will be written",
                     directory);
        return;
    case platform::PathKind::Other:
        findings.add("LogFile: %s is not a directory: no access log will be written", directory);
        return;
    case platform::PathKind::Directory:
        break;
    }
    // Rotation renames the log within its directory, so a log that exists and can be
    // written still needs the directory once it reaches LogSize.
    if (!platform::mayWriteDirectory(directory)) {
        if (fileKind == platform::PathKind::Missing)
            findings.add("LogFile: directory %s is not writable: no access log will be written",
                         directory);
        else
            findings.add("LogFile: directory %s is not writable: the log cannot be rotated",
                         directory);
    }
}

void checkLogPlugin(const CheckPlace& place, Findings& findings) noexcept {
    char16_t path[kSettingTextCapacity + sizeof kLogPluginName / sizeof(char16_t)] = {};
    std::size_t used = 0;
    for (const char16_t* p = place.programDirectory; p && *p && used < kSettingTextCapacity; ++p)
        path[used++] = *p;
    for (std::size_t i = 0; kLogPluginName[i] != 0; ++i)
        path[used + i] = kLogPluginName[i];
    char directory[kShownPathCapacity] = {};
    if (!platform::toOsPath(place.programDirectory ? place.programDirectory : u"", directory,
                            sizeof directory))
        directory[0] = '\0';
    if (platform::fileAttributes(path) == platform::kInvalidAttributes) {
        findings.add(VELNOR_LOG_PLUGIN ": not found in %s: no access log", directory);
        return;
    }
    platform::SharedLibrary plugin;
    if (!plugin.open(path))
        findings.add(VELNOR_LOG_PLUGIN ": cannot be loaded from %s: no access log", directory);
    else if (plugin.symbol(kLogEntryName) == nullptr)
        findings.add(VELNOR_LOG_PLUGIN ": has no entry %s: no access log", kLogEntryName);
}

class StreamSink : public FindingSink {
public:
    StreamSink(std::FILE* out, const char* prefix) noexcept : out_(out), prefix_(prefix) {}
    void finding(const char* text) noexcept override {
        std::fprintf(out_, "%s%s\n", prefix_, text);
    }

private:
    std::FILE* out_;
    const char* prefix_;
};

CheckPlace placeOf(const std::uint8_t (&bindAddress)[4], char16_t* programDirectory) noexcept {
    ProgramDirectory(programDirectory, kSettingTextCapacity);
    CheckPlace place;
    place.programDirectory = programDirectory;
    std::memcpy(place.bindAddress, bindAddress, sizeof place.bindAddress);
    return place;
}

} // namespace

namespace check {

void Findings::add(const char* format, ...) noexcept {
    char text[kFindingCapacity];
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    ++count_;
    sink_.finding(text);
}

void showPath(const char* serverPath, char (&out)[kShownPathCapacity]) noexcept {
    if (!platform::toOsPath(serverPath, out, sizeof out))
        std::snprintf(out, sizeof out, "%s", serverPath);
}

} // namespace check

std::size_t CheckConfiguration(const ServerSettings& settings, const CheckPlace& place,
                               FindingSink& sink) noexcept {
    Findings findings(sink);
    const bool documentRootUsable = checkRoots(settings, findings);
    checkListener(settings, place, findings);
    checkLogFile(settings, findings);
    checkLogPlugin(place, findings);
    check::checkTypeTable(settings, place.programDirectory, findings);
    check::checkErrorDocuments(settings, place.programDirectory, documentRootUsable, findings);
    return findings.count();
}

int RunCheckCommand(const ServerSettings& settings, const std::uint8_t (&bindAddress)[4],
                    std::FILE* out) noexcept {
    char16_t programDirectory[kSettingTextCapacity] = {};
    const CheckPlace place = placeOf(bindAddress, programDirectory);
    StreamSink sink(out, "");
    std::size_t problems = 0;
    // The load has said this on standard error already (the server says it at start);
    // for the test it is a problem like any other: the server would run on the defaults.
    const SettingsStore& store = settings.store();
    const HiveState state = store.state();
    if (state == HiveState::NotRegular || state == HiveState::Unreadable) {
        Findings findings(sink);
        findings.add("%s: %s %s: the defaults are used", store.label(), store.location().c_str(),
                     state == HiveState::NotRegular ? "is not a regular file" : "cannot be read");
        problems += findings.count();
    }
    problems += CheckConfiguration(settings, place, sink);
    if (problems == 0) {
        std::fputs("velnor check: settings OK\n", out);
        return 0;
    }
    std::fprintf(out, "velnor check: %zu problem%s\n", problems, problems == 1 ? "" : "s");
    return 1;
}

void WarnAboutConfiguration(const ServerSettings& settings, const std::uint8_t (&bindAddress)[4],
                            std::FILE* errors) noexcept {
    char16_t programDirectory[kSettingTextCapacity] = {};
    const CheckPlace place = placeOf(bindAddress, programDirectory);
    StreamSink sink(errors, "velnor: warning: ");
    CheckConfiguration(settings, place, sink);
    std::fflush(errors);
}

} // namespace velnor
