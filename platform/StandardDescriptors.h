// The three standard descriptors the process starts with.
#pragma once

namespace velnor::platform {

// Opens /dev/null on each of descriptors 0, 1 and 2 that the process was started without.
// A closed one would otherwise be handed to the first file, event or socket the server
// opens, and console output written to it (a status line into the listening socket, or
// into the stop event). Called before anything else is opened; false when a closed one
// could not be filled, and the program must not go on.
bool fillStandardDescriptors() noexcept;

} // namespace velnor::platform
