// The setup dialog: four settings edited for the next start.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velnor {

class ServerSettings;
class ConsoleDialogs;

/// The setup dialog's four fields as the operator typed them.
struct SetupFields {
    // Larger than any setting, so that over-long input reaches the checks whole.
    static constexpr std::size_t kCapacity = 1024;

    char documentRoot[kCapacity] = {};
    char extensionRoot[kCapacity] = {};
    char port[kCapacity] = {};
    char servers[kCapacity] = {};

    // The fields as the dialog opens: the values of the settings loaded at start.
    static SetupFields FromSettings(const ServerSettings& settings) noexcept;
};

// The messages of the checks, shown with the caption "VELNOR".
inline constexpr char kExtRootOutsideMessage[] = "Please be sure to place a ExtRoot under DocRoot.";
inline constexpr char kPortRangeMessage[] = "Listen port must be between 1 and 65534.";
inline constexpr char kServersRangeMessage[] = "Server threads must be between 1 and 16.";
inline constexpr char kSavedMessage[] = "This setup becomes effective after a restart.";
inline constexpr char kSaveFailedMessage[] = "Save setup failed.";
inline constexpr char kSaveQuestion[] = "May I save this setup?";

// Checks the fields and stores them ("DocRoot", "CgiRoot", "Port", "StartServers", in
// that order, stopping at the first store that fails), then makes sure the document
// root of the settings loaded at start exists. 1 after storing; 0 after a refusal (with
// its message) or a failed store (without one).
int SaveSetup(ServerSettings& settings, const SetupFields& fields,
              ConsoleDialogs& dialogs) noexcept;

// The text of a number field as the window reads it: decimal digits only, else 0.
std::uint32_t ReadFieldNumber(const char* text) noexcept;

// Runs the dialog: the fields are edited when the operator can (on a terminal and with
// `askFields`), then "May I save this setup?" is asked and, on Yes, the setup saved;
// a refused setup is shown "Save setup failed." and, on a terminal, edited again.
// 1 when saved, 0 otherwise.
int RunSetupDialog(ServerSettings& settings, SetupFields fields, bool askFields,
                   ConsoleDialogs& dialogs) noexcept;

} // namespace velnor
