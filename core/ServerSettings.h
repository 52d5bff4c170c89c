// The server's settings: the record loaded once from the settings store, the read-only
// snapshot every request reads, and the small path and text helpers they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/SettingsHive.h"
#include "platform/FileSystem.h"
#include "platform/HeapBlock.h"

namespace velnor {

class MimeTable;
class ErrorDocumentTable;

// Every text setting fits this area with its NUL, as the hive reader guarantees.
constexpr std::size_t kSettingTextCapacity = 260;
// The body limit when the hive names none: large enough for form posts and uploads of
// ordinary files, small enough that a handful of workers cannot exhaust memory.
constexpr std::uint32_t kDefaultMaxBodySize = 16u * 1024 * 1024;

extern const char kHiveKeyPath[]; // "HKEY_LOCAL_MACHINE\SOFTWARE\BRELLAN\VELNOR"

/// The process-wide settings record, read from its store once at start.
///
/// Texts live in fixed areas of the record rather than separate heap blocks, so
/// loading cannot fail for want of memory: a setting is its stored value or its default.
class ServerSettings {
public:
    // The settings of a hive file.
    explicit ServerSettings(std::string hivePath);
    // The settings of any store; null reads every default and stores nothing.
    explicit ServerSettings(std::unique_ptr<SettingsStore> store);
    virtual ~ServerSettings() = default;
    ServerSettings(const ServerSettings&) = delete;
    ServerSettings& operator=(const ServerSettings&) = delete;

    // The stored 32-bit value, or `fallback` when it is missing or longer than 4 bytes.
    std::uint32_t ReadDword(const char* name, std::uint32_t fallback) const;
    // Fills `out` (capacity bytes with its NUL) with the stored text, or the fallback when
    // the value is missing, holds more than 259 UTF-16 units, or does not convert into
    // the area. Returns the length of the text.
    std::size_t ReadString(const char* name, char* out, std::size_t capacity,
                           const char* fallback) const;
    // 1 on success, 0 on failure. The record itself does not change.
    int WriteString(const char* name, const char* text);
    int WriteDword(const char* name, std::uint32_t value);
    // One setting to store with others: a text (when `text` is not null) or a number.
    struct PendingValue {
        const char* name;
        const char* text;
        std::uint32_t number;
    };
    // Stores every value at once: all of them, or none. 1 or 0.
    int WriteValues(const PendingValue* values, std::size_t count);

    // Where the settings came from, to be named and queried again.
    const SettingsStore& store() const noexcept { return *store_; }

    char serverSoftware[kSettingTextCapacity] = {};
    char documentRoot[kSettingTextCapacity] = {};
    char extensionRoot[kSettingTextCapacity] = {};
    char defaultDocument[kSettingTextCapacity] = {};
    char passwordFileName[kSettingTextCapacity] = {};
    char logFilePath[kSettingTextCapacity] = {};
    std::uint32_t logSize = 0;
    std::uint32_t port = 0;
    std::uint32_t workerCount = 0;
    std::uint32_t timeout = 0;
    std::uint32_t keepAlive = 0;
    std::uint32_t reverseLookup = 0;
    // The largest request body accepted, in bytes; 0 accepts any length.
    std::uint32_t maxBodySize = 0;

private:
    void load();
    std::unique_ptr<SettingsStore> store_;
};

/// The read-only snapshot handed to every request context. Texts point into the
/// settings record; the UTF-16 log path is the snapshot's own (null when it could not
/// be converted, which turns logging off).
struct ServerConfig {
    std::uint32_t port = 0;
    const char* serverSoftware = nullptr;
    const char* documentRoot = nullptr;
    const char* extensionRoot = nullptr;
    const char* defaultDocument = nullptr;
    const char* passwordFileName = nullptr;
    platform::HeapPtr<char16_t> logPath;
    std::uint32_t logSize = 0;
    std::uint32_t reverseLookup = 0;
    std::uint32_t maxBodySize = 0;
    // The tables built from the program directory at start; read-only while serving.
    const MimeTable* mimeTable = nullptr;
    const ErrorDocumentTable* errorDocuments = nullptr;

    void fill(const ServerSettings& settings);
};

// Where the hive is: the command line's file, else $VELNOR_REGISTRY, else velnor.reg
// in the program directory.
std::string HivePath(const char* commandLinePath);

// Where the settings are kept: the command line's file, else $VELNOR_REGISTRY; with
// neither, the registry key kHiveKeyPath on a host that has a registry, and velnor.reg in
// the program directory on one that has not.
struct SettingsSource {
    bool registry = false;
    std::string hivePath; // when not in the registry
};
SettingsSource ChooseSettingsSource(const char* commandLinePath, bool hostHasRegistry);

// The store of that choice on this host.
std::unique_ptr<SettingsStore> OpenSettingsStore(const char* commandLinePath);

// A new zero-filled UTF-16 copy of 8-bit text, or null. Freed by its owner.
platform::HeapPtr<char16_t> AnsiToWide(const char* text);

// The program directory as UTF-16 with "\" separators and no trailing separator;
// callers pass 260 units and append names that begin with "\".
void ProgramDirectory(char16_t* buffer, std::size_t capacity);

// File lookups on 8-bit paths; a path that does not fit 260 UTF-16 units (or is not
// valid text) is not found.
bool FindFirstFileAnsi(const char* path, platform::FileRecord& record);
std::uint32_t GetFileAttributesAnsi(const char* path);

// Turns "/" into "\" so that settings written either way behave the same.
void NormalizeSettingPath(char* path);

} // namespace velnor
