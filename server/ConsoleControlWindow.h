// The control window on a console: start-up, the live status display, and the close
// sequence.
#pragma once

namespace velnor {

class ServerSettings;
struct CommandLine;

// The window's caption: fixed, whatever the "ServerSoftware" setting says.
inline constexpr char kWindowCaption[] = "VELNOR/2.34";

// Runs the server under the control window until a stop signal (SIGINT, SIGTERM, SIGHUP)
// and the orderly close, or until the server thread gives up at start-up. Called before
// any other thread exists: it blocks the stop signals for the threads it starts and takes
// them itself. Returns the exit status: 0 after the close, 1 when the server could not
// start, 128 + the signal when one ended a start-up question.
int RunControlWindow(ServerSettings& settings, const CommandLine& line) noexcept;

} // namespace velnor
