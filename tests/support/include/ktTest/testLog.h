#pragma once
// The log of a test process: on first use it is started in a temporary folder at the debug
// level, so tests can read back what the code logged. The log shares its folder and file
// with every account, so lines written while impersonating another user arrive too.

#include "ktTest/sharedSetUp.h"

#include <string>

namespace ktTest {

// Starts the log if needed and empties it.
void clearLog();
// Everything logged since the last clearLog.
std::string logText();
// True when some line holds text.
bool logHas(const std::string& text);
// The public folder the log was started in (<PUBLIC>/Kestrani, shared by every account).
std::string logFolder();

// Starts the log before the first test, for programs whose code logs before a test reads.
class TestLogEnvironment : public SharedSetUp {
protected:
    void setUp() override { clearLog(); }
};

} // namespace ktTest
