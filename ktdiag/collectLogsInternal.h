#pragma once
// Seams of the collection for tests; not for production callers.

#include <functional>
#include <string>

// Called on the collecting thread before each line of a system command runs into
// outputFile, once that file was made; empty (the default): nothing is called.
using CommandLineHook = std::function<void(const std::string& outputFile, const std::string& line)>;
void setCommandLineHook(CommandLineHook hook);
