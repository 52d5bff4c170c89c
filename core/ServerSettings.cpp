#include "core/ServerSettings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "content/PathNormalizer.h"
#include "content/Strings.h"
#include "core/RegistryStore.h"
#include "platform/Utf.h"

namespace velnor {
namespace {

// A stored string may hold at most this many bytes of UTF-16, terminator included: the
// registry read offers a 260-unit area less one unit kept for the terminator.
constexpr std::size_t kStringDataLimit = 2 * kSettingTextCapacity - 2;

void copyText(char* out, std::size_t capacity, const char* text) {
    if (capacity == 0)
        return;
    std::size_t n = text ? std::strlen(text) : 0;
    if (n >= capacity)
        n = capacity - 1;
    if (n)
        std::memcpy(out, text, n);
    out[n] = 0;
}

// A root that climbs above its start ("..\\www", relative to the working directory) has
// no canonical form and is kept as written.
void normalizeRoot(char (&root)[kSettingTextCapacity]) {
    char canonical[kSettingTextCapacity];
    const long length = normalizeRootSetting(root, canonical, sizeof canonical);
    if (length >= 0)
        std::memcpy(root, canonical, static_cast<std::size_t>(length) + 1);
}

} // namespace

const char kHiveKeyPath[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\BRELLAN\\VELNOR";

namespace {

// Stands in for a store that could not be made: nothing is stored and nothing can be.
class NoStore final : public SettingsStore {
public:
    HiveState state() const noexcept override { return HiveState::Missing; }
    const char* writeRefusal() const noexcept override { return "there is no settings store"; }
    bool query(const char*, HiveValue&) const noexcept override { return false; }
    bool setValues(const HiveWrite*, std::size_t) noexcept override { return false; }
    const char* label() const noexcept override { return "Settings"; }
    const std::string& location() const noexcept override { return name_; }
    const std::string& describe() const noexcept override { return name_; }
    const char* subject() const noexcept override { return ""; }

private:
    std::string name_ = "(none)";
};

} // namespace

ServerSettings::ServerSettings(std::string hivePath)
    : ServerSettings(std::make_unique<SettingsHive>(std::move(hivePath), kHiveKeyPath)) {}

ServerSettings::ServerSettings(std::unique_ptr<SettingsStore> store) : store_(std::move(store)) {
    if (!store_)
        store_ = std::make_unique<NoStore>();
    load();
}

void ServerSettings::load() {
    // Defaults in place of a store that is there but cannot be used would otherwise pass
    // unnoticed; a missing one is the ordinary first start and says nothing.
    const HiveState state = store_->state();
    if (state == HiveState::NotRegular || state == HiveState::Unreadable)
        std::fprintf(stderr, "velnor: %s%s %s; the defaults are used\n", store_->subject(),
                     store_->location().c_str(),
                     state == HiveState::NotRegular ? "is not a regular file" : "cannot be read");
    port = ReadDword("Port", 80);
    timeout = ReadDword("Timeout", 3000);
    keepAlive = ReadDword("KeepAlive", 1);
    workerCount = ReadDword("StartServers", 8);
    ReadString("ServerSoftware", serverSoftware, sizeof serverSoftware, "VELNOR/2.34");
    ReadString("DocRoot", documentRoot, sizeof documentRoot, "\\wwwroot");
    ReadString("CgiRoot", extensionRoot, sizeof extensionRoot, "\\wwwroot\\scripts");
    ReadString("DefaultDoc", defaultDocument, sizeof defaultDocument, "index.html");
    ReadString("BasicAuthFile", passwordFileName, sizeof passwordFileName, "access.cha");
    ReadString("LogFile", logFilePath, sizeof logFilePath, "\\access_log.txt");
    logSize = ReadDword("LogSize", 102400);
    reverseLookup = ReadDword("DNSLookup", 0);
    maxBodySize = ReadDword("MaxBodySize", kDefaultMaxBodySize);
    NormalizeSettingPath(documentRoot);
    NormalizeSettingPath(extensionRoot);
    NormalizeSettingPath(logFilePath);
    // Requests are judged on canonical paths, so the roots they are compared with must
    // be canonical too: "\\srv\\www\\" or "\\srv\\.\\www" would match no request path.
    normalizeRoot(documentRoot);
    normalizeRoot(extensionRoot);
}

std::uint32_t ServerSettings::ReadDword(const char* name, std::uint32_t fallback) const {
    HiveValue value;
    if (!store_->query(name, value) || value.data.size() > 4)
        return fallback;
    // As a registry query into a 4-byte area holding the default: the stored bytes
    // overwrite its low end, whatever the stored type.
    unsigned char area[4] = {
        static_cast<unsigned char>(fallback), static_cast<unsigned char>(fallback >> 8),
        static_cast<unsigned char>(fallback >> 16), static_cast<unsigned char>(fallback >> 24)};
    std::memcpy(area, value.data.data(), value.data.size());
    return area[0] | area[1] << 8 | area[2] << 16 | static_cast<std::uint32_t>(area[3]) << 24;
}

std::size_t ServerSettings::ReadString(const char* name, char* out, std::size_t capacity,
                                       const char* fallback) const {
    if (!out || capacity == 0)
        return 0;
    HiveValue value;
    const std::size_t limit = std::min(2 * capacity - 2, kStringDataLimit);
    if (!store_->query(name, value) || value.data.size() > limit) {
        copyText(out, capacity, fallback);
        return std::strlen(out);
    }
    // The data read into a zero-filled work area: text up to the first NUL unit.
    char16_t work[kSettingTextCapacity] = {};
    std::size_t units = value.data.size() / 2;
    for (std::size_t i = 0; i < units; ++i)
        work[i] = static_cast<char16_t>(value.data[2 * i] | value.data[2 * i + 1] << 8);
    if (platform::utf16ToUtf8(work, platform::wideLength(work), out, capacity) < 0)
        copyText(out, capacity, fallback);
    return std::strlen(out);
}

namespace {

// The registry form of a text: UTF-16LE units with their terminating NUL. False when the
// text is not valid UTF-8.
bool encodeText(const char* text, std::string& data) {
    platform::HeapPtr<char16_t> wide = platform::wideFromUtf8(text);
    if (!wide)
        return false;
    const std::size_t units = platform::wideLength(wide.get()) + 1;
    data.assign(units * 2, '\0');
    for (std::size_t i = 0; i + 1 < units; ++i) {
        data[2 * i] = static_cast<char>(wide.get()[i] & 0xFF);
        data[2 * i + 1] = static_cast<char>(wide.get()[i] >> 8);
    }
    return true;
}

} // namespace

int ServerSettings::WriteString(const char* name, const char* text) {
    if (!text)
        return 0;
    const PendingValue value{name, text, 0};
    return WriteValues(&value, 1);
}

int ServerSettings::WriteValues(const PendingValue* values, std::size_t count) {
    if (!values || count == 0)
        return 0;
    std::vector<std::string> texts(count);
    std::vector<std::array<unsigned char, 4>> numbers(count);
    std::vector<HiveWrite> writes(count);
    for (std::size_t i = 0; i < count; ++i) {
        const PendingValue& value = values[i];
        if (value.text) {
            if (!encodeText(value.text, texts[i]))
                return 0;
            writes[i] = HiveWrite{value.name, kHiveString, texts[i].data(), texts[i].size()};
        } else {
            numbers[i] = {static_cast<unsigned char>(value.number),
                          static_cast<unsigned char>(value.number >> 8),
                          static_cast<unsigned char>(value.number >> 16),
                          static_cast<unsigned char>(value.number >> 24)};
            writes[i] = HiveWrite{value.name, kHiveDword, numbers[i].data(), 4};
        }
    }
    return store_->setValues(writes.data(), count) ? 1 : 0;
}

int ServerSettings::WriteDword(const char* name, std::uint32_t value) {
    const PendingValue pending{name, nullptr, value};
    return WriteValues(&pending, 1);
}

void ServerConfig::fill(const ServerSettings& settings) {
    port = settings.port;
    serverSoftware = settings.serverSoftware;
    documentRoot = settings.documentRoot;
    extensionRoot = settings.extensionRoot;
    defaultDocument = settings.defaultDocument;
    passwordFileName = settings.passwordFileName;
    logPath = AnsiToWide(settings.logFilePath);
    logSize = settings.logSize;
    reverseLookup = settings.reverseLookup;
    maxBodySize = settings.maxBodySize;
}

std::string HivePath(const char* commandLinePath) {
    if (commandLinePath && *commandLinePath)
        return commandLinePath;
    if (const char* env = std::getenv("VELNOR_REGISTRY"); env && *env)
        return env;
    char16_t dir[kSettingTextCapacity];
    ProgramDirectory(dir, kSettingTextCapacity);
    platform::HeapPtr<char> narrow = platform::utf8FromWide(dir);
    std::string path = narrow ? narrow.get() : "";
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path + "/velnor.reg";
}

SettingsSource ChooseSettingsSource(const char* commandLinePath, bool hostHasRegistry) {
    SettingsSource source;
    const char* env = std::getenv("VELNOR_REGISTRY");
    const bool fileNamed = (commandLinePath && *commandLinePath) || (env && *env);
    if (hostHasRegistry && !fileNamed)
        source.registry = true;
    else
        source.hivePath = HivePath(commandLinePath);
    return source;
}

std::unique_ptr<SettingsStore> OpenSettingsStore(const char* commandLinePath) {
    SettingsSource source = ChooseSettingsSource(commandLinePath, RegistryStore::available());
    if (source.registry)
        return std::make_unique<RegistryStore>(kHiveKeyPath);
    return std::make_unique<SettingsHive>(std::move(source.hivePath), kHiveKeyPath);
}

platform::HeapPtr<char16_t> AnsiToWide(const char* text) {
    return platform::wideFromUtf8(text);
}

void ProgramDirectory(char16_t* buffer, std::size_t capacity) {
    platform::programDirectory(buffer, capacity);
}

bool FindFirstFileAnsi(const char* path, platform::FileRecord& record) {
    // Measured, not converted: the text is checked once as UTF-8 that would fit a wide
    // area of a setting's size, and the 8-bit path itself goes to the file system.
    if (!path)
        return false;
    const long units = platform::utf8ToUtf16(path, std::strlen(path), nullptr, 0);
    if (units < 0 || std::size_t(units) >= kSettingTextCapacity)
        return false;
    return platform::lookUpName(path, record);
}

std::uint32_t GetFileAttributesAnsi(const char* path) {
    platform::FileRecord record;
    return FindFirstFileAnsi(path, record) ? record.attributes : platform::kInvalidAttributes;
}

void NormalizeSettingPath(char* path) {
    slashesToBackslashes(path);
}

} // namespace velnor
