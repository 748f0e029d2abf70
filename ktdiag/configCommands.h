#pragma once
// -l and -m: the service's log level and log-file size.

// -l <word>: returns the exit code.
int setLogLevelCmd(int argc, char** argv);

// -m <megabytes>: returns the exit code.
int setLogFileSizeCmd(int argc, char** argv);
