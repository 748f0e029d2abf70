#pragma once
// Commands whose handlers are not in this build yet.

// Says on standard error that the command is not built yet; returns exit code 1.
int commandNotBuilt(const char* option);
