#pragma once
// Host facts.

#include <string>

// The computer's host name; false, logged, when it cannot be read.
bool getComputerName(std::string& name);

// True for a 32-bit process on 64-bit Windows; never on Linux.
bool isWow64Process();
