#include "server/ConsoleCommands.h"

#include <cstring>

#include "content/PathNormalizer.h"
#include "content/Strings.h"
#include "core/RegistryStore.h"
#include "core/ServerSettings.h"
#include "platform/Socket.h"
#include "platform/Utf.h"

namespace velnor {
namespace {

enum class SettingType { Number, Text };

// The settings table: every value the server reads, in the order the record keeps them.
struct SettingEntry {
    const char* name;
    SettingType type;
    const char* defaultText;
};

constexpr SettingEntry kSettingTable[] = {
    {"Port", SettingType::Number, "80"},
    {"Timeout", SettingType::Number, "3000"},
    {"KeepAlive", SettingType::Number, "1"},
    {"StartServers", SettingType::Number, "8"},
    {"ServerSoftware", SettingType::Text, "VELNOR/2.34"},
    {"DocRoot", SettingType::Text, "\\wwwroot"},
    {"CgiRoot", SettingType::Text, "\\wwwroot\\scripts"},
    {"DefaultDoc", SettingType::Text, "index.html"},
    {"BasicAuthFile", SettingType::Text, "access.cha"},
    {"LogFile", SettingType::Text, "\\access_log.txt"},
    {"LogSize", SettingType::Number, "102400"},
    {"DNSLookup", SettingType::Number, "0"},
    {"MaxBodySize", SettingType::Number, "16777216"},
};

const SettingEntry* findSetting(const char* name) noexcept {
    for (const SettingEntry& entry : kSettingTable)
        if (compareNoCase(entry.name, name) == 0)
            return &entry;
    return nullptr;
}

// The effective value of one setting, as the server reads it.
constexpr char kUnusableMark[] = " (default: the stored value cannot be used)";

// Whether the value the hive holds is the one in effect: a hand-edited text too long
// for its area, or a number longer than four bytes, leaves the default in force.
bool storedValueIsUsed(const ServerSettings& settings, const SettingEntry& entry,
                       const HiveValue& stored) noexcept {
    if (entry.type == SettingType::Number)
        return stored.data.size() <= 4;
    // Converted text is valid UTF-8, which never holds this byte.
    constexpr char kNotRead[] = "\xff";
    char probe[kSettingTextCapacity];
    settings.ReadString(entry.name, probe, sizeof probe, kNotRead);
    return std::strcmp(probe, kNotRead) != 0;
}

void effectiveValue(const ServerSettings& settings, const SettingEntry& entry, char* out,
                    std::size_t capacity) noexcept {
    const std::uint32_t numbers[] = {settings.port,
                                     settings.timeout,
                                     settings.keepAlive,
                                     settings.workerCount,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     settings.logSize,
                                     settings.reverseLookup,
                                     settings.maxBodySize};
    const char* texts[] = {nullptr,
                           nullptr,
                           nullptr,
                           nullptr,
                           settings.serverSoftware,
                           settings.documentRoot,
                           settings.extensionRoot,
                           settings.defaultDocument,
                           settings.passwordFileName,
                           settings.logFilePath,
                           nullptr,
                           nullptr,
                           nullptr};
    const std::size_t index = static_cast<std::size_t>(&entry - kSettingTable);
    if (entry.type == SettingType::Number)
        std::snprintf(out, capacity, "%u", numbers[index]);
    else
        std::snprintf(out, capacity, "%s", texts[index] ? texts[index] : "");
}

bool isRootSetting(const SettingEntry& entry) noexcept {
    return std::strcmp(entry.name, "DocRoot") == 0 || std::strcmp(entry.name, "CgiRoot") == 0;
}

// Whether a text reads back from the hive exactly as given: valid UTF-8 on one line,
// within the 258 UTF-16 units a stored string may hold and within the record's 260-byte
// area with its NUL (a two-byte character counts one unit but two bytes).
bool textReadsBack(const char* text) noexcept {
    const std::size_t bytes = std::strlen(text);
    const long units = platform::utf8ToUtf16(text, bytes, nullptr, 0);
    return units >= 0 && units <= static_cast<long>(kSettingTextCapacity - 2) &&
           bytes < kSettingTextCapacity && std::strpbrk(text, "\r\n") == nullptr;
}

bool isOption(const char* arg, const char* name) noexcept {
    return std::strcmp(arg, name) == 0;
}

// The commands: their word, a one-line summary for the overview, and what
// `velnor COMMAND --help` shows.
struct CommandEntry {
    const char* name;
    ConsoleCommand command;
    const char* summary;
    const char* usage;
    const char* details;
};

constexpr CommandEntry kCommandTable[] = {
    {"setup", ConsoleCommand::Setup,
     "store the document root, extension root, port and worker count",
     "velnor setup [--docroot D] [--extroot E] [--port N] [--servers N] [--yes]",
     "Stores the document root, the extension root (inside the document root), the port\n"
     "(1-65534) and the worker count (1-16) for the next start. Omitted fields keep their\n"
     "values; on a terminal with no field given it asks for each in turn. Without a\n"
     "terminal, --yes answers the question whether to save. Exit status 0 when saved.\n"},
    {"about", ConsoleCommand::About, "show the server software text (also --version)",
     "velnor about | velnor --version", "Shows the ServerSoftware setting and the notice.\n"},
    {"settings", ConsoleCommand::Settings, "show the effective settings and where the hive is",
     "velnor settings [--registry FILE]",
     "Shows every setting the server reads, marks the ones that are defaults, and names\n"
     "the hive they come from.\n"},
    {"set", ConsoleCommand::Set, "store one setting: velnor set NAME VALUE",
     "velnor set NAME VALUE [--registry FILE]",
     "Stores one setting in the hive: numbers in decimal or 0x hex, texts as given (one\n"
     "line, at most 258 characters). It takes effect at the next start. Exit status 1\n"
     "when the name is unknown or the value is refused.\n"},
    {"check", ConsoleCommand::Check, "test the settings and the program directory",
     "velnor check [--registry FILE] [--bind ADDRESS]",
     "Loads the settings as the server would and names every problem on its own line,\n"
     "the setting or file it concerns first: roots that are missing or apart, a port that\n"
     "cannot be listened on, a log that cannot be written, the log plug-in, and the\n"
     "lines of AddType.txt and ErrorDocument.txt the server ignores. Ends with\n"
     "\"velnor check: settings OK\" (exit status 0) or the number of problems (exit\n"
     "status 1). The server names the same problems as warnings when it starts.\n"},
    {"help", ConsoleCommand::Help, "show this text; velnor help COMMAND shows one command's",
     "velnor help [COMMAND]", nullptr},
};

const CommandEntry* findCommand(const char* word) noexcept {
    for (const CommandEntry& entry : kCommandTable)
        if (std::strcmp(entry.name, word) == 0)
            return &entry;
    return nullptr;
}

} // namespace

bool ParseSettingNumber(const char* text, std::uint32_t& value) noexcept {
    if (!text || *text == 0)
        return false;
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (*text == 0)
            return false;
    }
    std::uint64_t result = 0;
    for (const char* p = text; *p; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<std::uint32_t>(result);
    return true;
}

bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::FILE* errors) noexcept {
    bool haveCommand = false;
    bool helpAsked = false;
    std::size_t positional = 0;
    auto fail = [&](const char* why, const char* arg) {
        std::fprintf(errors, "velnor: %s: %s\n", why, arg);
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto takeValue = [&](const char*& into) {
            if (!hasValue)
                return false;
            into = argv[++i];
            return true;
        };
        if (isOption(arg, "--help") || isOption(arg, "-h")) {
            helpAsked = true;
        } else if (isOption(arg, "--version")) {
            line.command = ConsoleCommand::About;
            haveCommand = true;
        } else if (isOption(arg, "--yes") || isOption(arg, "-y")) {
            line.answerYes = true;
        } else if (isOption(arg, "--registry")) {
            if (!takeValue(line.registry))
                return fail("option needs a file", arg);
        } else if (isOption(arg, "--bind")) {
            const char* address = nullptr;
            if (!takeValue(address))
                return fail("option needs an address", arg);
            if (!platform::parseIpv4Address(address, line.bindAddress))
                return fail("not an IPv4 address", address);
        } else if (isOption(arg, "--docroot") || isOption(arg, "--extroot") ||
                   isOption(arg, "--port") || isOption(arg, "--servers")) {
            const char** field = isOption(arg, "--docroot")   ? &line.documentRoot
                                 : isOption(arg, "--extroot") ? &line.extensionRoot
                                 : isOption(arg, "--port")    ? &line.port
                                                              : &line.servers;
            if (!takeValue(*field))
                return fail("option needs a value", arg);
        } else if (arg[0] == '-' && arg[1] != 0) {
            return fail("unknown option", arg);
        } else if (!haveCommand) {
            haveCommand = true;
            const CommandEntry* entry = findCommand(arg);
            if (!entry)
                return fail("unknown command", arg);
            line.command = entry->command;
        } else if (line.command == ConsoleCommand::Help && positional == 0) {
            // `velnor help COMMAND`.
            const CommandEntry* entry = findCommand(arg);
            if (!entry)
                return fail("unknown command", arg);
            ++positional;
            line.helpTopic = entry->command;
        } else if (line.command == ConsoleCommand::Set && positional < 2) {
            (positional++ == 0 ? line.name : line.value) = arg;
        } else {
            return fail("unexpected argument", arg);
        }
    }
    // Help is given whatever else the line lacks: it is how one learns what it needs.
    if (helpAsked) {
        line.helpTopic = haveCommand ? line.command : ConsoleCommand::Help;
        line.command = ConsoleCommand::Help;
        return true;
    }
    if (line.command == ConsoleCommand::Help)
        return true;
    if (line.anySetupField() && line.command != ConsoleCommand::Setup)
        return fail("only the setup command takes", "--docroot, --extroot, --port, --servers");
    if (line.command == ConsoleCommand::Set && positional != 2)
        return fail("set needs", "NAME VALUE");
    return true;
}

// How an operator stops the server on this system.
#ifdef _WIN32
#define VELNOR_STOP_HINT "Ctrl-C, Ctrl-Break or the console closes"
#else
#define VELNOR_STOP_HINT "Ctrl-C or SIGTERM"
#endif

void PrintUsage(std::FILE* out) noexcept {
    std::fputs("usage: velnor [COMMAND] [--registry FILE] [--bind ADDRESS] [--yes]\n"
               "\n"
               "commands:\n"
               "  (none)      run the server until " VELNOR_STOP_HINT "\n",
               out);
    for (const CommandEntry& entry : kCommandTable)
        std::fprintf(out, "  %-11s %s\n", entry.name, entry.summary);
    std::fputs("\n"
               "options:\n",
               out);
    // Without a file named, a host with a registry keeps the settings there.
    std::fputs(
        RegistryStore::available()
            ? "  --registry FILE  settings hive (default: $VELNOR_REGISTRY, else the\n"
              "                   registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR)\n"
            : "  --registry FILE  settings hive (default: $VELNOR_REGISTRY, else velnor.reg\n"
              "                   in the program directory)\n",
        out);
    std::fputs("  --bind ADDRESS   listen on this IPv4 address only (default: every address)\n"
               "  --yes            answer Yes to every question (without it and without a\n"
               "                   terminal the answer is No)\n"
               "  --help           show this text; after a command, that command's usage\n",
               out);
}

void PrintCommandHelp(ConsoleCommand command, std::FILE* out) noexcept {
    for (const CommandEntry& entry : kCommandTable) {
        if (entry.command == command && entry.details != nullptr) {
            std::fprintf(out, "usage: %s\n\n%s", entry.usage, entry.details);
            return;
        }
    }
    PrintUsage(out);
}

void PrintAbout(const ServerSettings& settings, std::FILE* out) noexcept {
    std::fprintf(out, "%s\n", settings.serverSoftware);
    std::fputs("VELNOR2 by Brellan: a small, self-contained HTTP server.\n", out);
    std::fputs("Built for Linux; serves, runs CGI programs and extensions, and logs.\n", out);
}

void PrintSettings(const ServerSettings& settings, std::FILE* out) noexcept {
    const SettingsStore& store = settings.store();
    std::fprintf(out, "%s: %s\n", store.label(), store.location().c_str());
    for (const SettingEntry& entry : kSettingTable) {
        char value[kSettingTextCapacity + 16];
        effectiveValue(settings, entry, value, sizeof value);
        HiveValue stored;
        const bool isStored = store.query(entry.name, stored);
        const char* mark = !isStored                                    ? " (default)"
                           : storedValueIsUsed(settings, entry, stored) ? ""
                                                                        : kUnusableMark;
        std::fprintf(out, "%s=%s%s\n", entry.name, value, mark);
    }
}

int SetSetting(ServerSettings& settings, const char* name, const char* value, std::FILE* out,
               std::FILE* errors) noexcept {
    const SettingEntry* entry = name ? findSetting(name) : nullptr;
    if (!entry) {
        std::fprintf(errors, "velnor: unknown setting: %s (known:", name ? name : "");
        for (const SettingEntry& known : kSettingTable)
            std::fprintf(errors, " %s", known.name);
        std::fputs(")\n", errors);
        return kExitFailure;
    }
    int stored = 0;
    char canonical[kSettingTextCapacity];
    if (entry->type == SettingType::Number) {
        std::uint32_t number = 0;
        if (!ParseSettingNumber(value, number)) {
            std::fprintf(errors,
                         "velnor: %s takes a number from 0 to 4294967295 (or 0x hex), not: %s\n",
                         entry->name, value ? value : "");
            return kExitFailure;
        }
        stored = settings.WriteDword(entry->name, number);
    } else {
        // Any other text would read back as the default (or not at all), so it is refused
        // here rather than stored and silently ignored.
        const char* text = value ? value : "";
        if (!textReadsBack(text)) {
            std::fprintf(errors,
                         "velnor: %s takes a text of at most %zu characters and %zu bytes of "
                         "UTF-8, on one line\n",
                         entry->name, kSettingTextCapacity - 2, kSettingTextCapacity - 1);
            return kExitFailure;
        }
        // The roots are stored canonical, as the server compares them.
        if (isRootSetting(*entry) && normalizeRootSetting(text, canonical, sizeof canonical) >= 0)
            text = canonical;
        stored = settings.WriteString(entry->name, text);
        value = text;
    }
    if (!stored) {
        const char* why = settings.store().writeRefusal();
        std::fprintf(errors, "velnor: cannot store %s in %s%s%s\n", entry->name,
                     settings.store().describe().c_str(), why ? ": " : "", why ? why : "");
        return kExitFailure;
    }
    std::fprintf(out, "%s=%s stored in %s; it takes effect at the next start.\n", entry->name,
                 value ? value : "", settings.store().describe().c_str());
    return kExitSuccess;
}

} // namespace velnor
