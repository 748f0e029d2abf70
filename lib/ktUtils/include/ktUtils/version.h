#pragma once
// The OS version: the version of the system's core library and the product type.

#include <string>

// Fills the major and minor product version of the system's core library (kernel32.dll on
// Windows), each cut to 8 bits; false, logged, when it cannot be read (values untouched).
bool getKernel32FileVersion(unsigned int& major, unsigned int& minor);

// Replaces version with "major.minor" ("0.0" when the version cannot be read); always true.
bool getOSVersionNumber(std::string& version);

// True on a server edition or a domain controller.
bool isWindowsServer();

// "Windows NT 10.0", or "Windows Server 10.0" on a server edition.
std::string getOSVersionString();
