// The velnor command line: which command runs, and the small commands that only read
// or write settings.
#pragma once

#include <cstdint>
#include <cstdio>

namespace velnor {

class ServerSettings;

enum class ConsoleCommand {
    Run,      // the control window: serve until stopped
    Setup,    // the setup dialog
    About,    // the about box
    Settings, // the effective settings
    Set,      // one value into the hive
    Check,    // the settings test
    Help,
};

/// The parsed command line. Texts point into argv.
struct CommandLine {
    ConsoleCommand command = ConsoleCommand::Run;
    // With Help: the command whose usage is asked for; Help itself for the overview.
    ConsoleCommand helpTopic = ConsoleCommand::Help;
    const char* registry = nullptr;
    std::uint8_t bindAddress[4] = {0, 0, 0, 0};
    bool answerYes = false;
    // The setup fields given; null ones keep the current values.
    const char* documentRoot = nullptr;
    const char* extensionRoot = nullptr;
    const char* port = nullptr;
    const char* servers = nullptr;
    // `set NAME VALUE`.
    const char* name = nullptr;
    const char* value = nullptr;

    bool anySetupField() const noexcept { return documentRoot || extensionRoot || port || servers; }
};

// Exit statuses of the commands.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Reads argv into `line`. False after a message on `errors` for an unknown, misplaced or
// incomplete argument.
bool ParseCommandLine(int argc, char** argv, CommandLine& line, std::FILE* errors) noexcept;

// The overview: every command on one line, and the options.
void PrintUsage(std::FILE* out) noexcept;
// One command's usage and explanation (`velnor COMMAND --help`); the overview for Help
// and Run.
void PrintCommandHelp(ConsoleCommand command, std::FILE* out) noexcept;

// The about box: the "ServerSoftware" setting and the two notice lines.
void PrintAbout(const ServerSettings& settings, std::FILE* out) noexcept;

// The thirteen effective settings, each marked when it is the default, and the hive's path.
void PrintSettings(const ServerSettings& settings, std::FILE* out) noexcept;

// Stores `value` as the named setting, typed by the settings table: a number (decimal,
// or hexadecimal after "0x") for the number settings, the text for the others. Returns
// an exit status; refusals are explained on `errors`.
int SetSetting(ServerSettings& settings, const char* name, const char* value, std::FILE* out,
               std::FILE* errors) noexcept;

// A number setting's text: decimal, or hexadecimal after "0x", up to 0xFFFFFFFF. False
// for anything else.
bool ParseSettingNumber(const char* text, std::uint32_t& value) noexcept;

} // namespace velnor
