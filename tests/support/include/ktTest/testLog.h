#pragma once
// The log of a test process: on first use it is started in a temporary folder at the debug
// level, so tests can read back what the code logged. The folder and file are open to every
// account, so lines written while impersonating another user arrive too.

#include <string>

namespace ktTest {

// Starts the log if needed and empties it.
void clearLog();
// Everything logged since the last clearLog.
std::string logText();
// True when some line holds text.
bool logHas(const std::string& text);

} // namespace ktTest
