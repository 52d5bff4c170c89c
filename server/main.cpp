// The velnor program: the control window and the commands that edit its settings.
#include <cstdio>

#include "core/ServerSettings.h"
#include "platform/ResourceLimits.h"
#include "platform/Signals.h"
#include "platform/StandardDescriptors.h"
#include "platform/Terminal.h"
#include "server/ConfigCheck.h"
#include "server/ConsoleCommands.h"
#include "server/ConsoleControlWindow.h"
#include "server/ConsoleDialogs.h"
#include "server/ConsoleSetupDialog.h"

namespace {

using namespace velnor;

// A field given on the command line replaces the current value.
void applyGiven(char* field, std::size_t capacity, const char* given) {
    if (given)
        std::snprintf(field, capacity, "%s", given);
}

int runSetup(ServerSettings& settings, const CommandLine& line) {
    StandardDialogs dialogs(platform::haveTerminal(), line.answerYes);
    SetupFields fields = SetupFields::FromSettings(settings);
    applyGiven(fields.documentRoot, sizeof fields.documentRoot, line.documentRoot);
    applyGiven(fields.extensionRoot, sizeof fields.extensionRoot, line.extensionRoot);
    applyGiven(fields.port, sizeof fields.port, line.port);
    applyGiven(fields.servers, sizeof fields.servers, line.servers);
    const bool askFields = !line.anySetupField() && !line.answerYes;
    if (RunSetupDialog(settings, fields, askFields, dialogs))
        return kExitSuccess;
    if (const auto stop = dialogs.stopRequest(); stop != platform::StopRequest::None)
        return platform::stopExitStatus(stop);
    return kExitFailure;
}

int run(const CommandLine& line) {
    ServerSettings settings(OpenSettingsStore(line.registry));
    switch (line.command) {
    case ConsoleCommand::Run:
        return RunControlWindow(settings, line);
    case ConsoleCommand::Setup:
        return runSetup(settings, line);
    case ConsoleCommand::About:
        PrintAbout(settings, stdout);
        return kExitSuccess;
    case ConsoleCommand::Settings:
        PrintSettings(settings, stdout);
        return kExitSuccess;
    case ConsoleCommand::Set:
        return SetSetting(settings, line.name, line.value, stdout, stderr);
    case ConsoleCommand::Check:
        return RunCheckCommand(settings, line.bindAddress, stdout);
    case ConsoleCommand::Help:
        break;
    }
    PrintCommandHelp(line.helpTopic, stdout);
    return kExitSuccess;
}

} // namespace

int main(int argc, char** argv) {
    // Nothing before the control window may outlast a stop signal, a hive that never
    // answers included; the window takes the signals over once it runs.
    if (!platform::endOnStopSignals()) {
        std::fputs("velnor: cannot handle the stop signals\n", stderr);
        return kExitFailure;
    }
    if (!platform::fillStandardDescriptors()) {
        std::fputs("velnor: cannot open /dev/null for a closed standard descriptor\n", stderr);
        return kExitFailure;
    }
    // A pool of workers, their files and their programs' pipes needs more descriptors
    // than the usual default allows; the hard limit is the host's own word on it.
    platform::raiseDescriptorLimit();
    CommandLine line;
    if (!ParseCommandLine(argc, argv, line, stderr)) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    try {
        return run(line);
    } catch (...) {
        std::fputs("velnor: out of memory\n", stderr);
        return kExitFailure;
    }
}
