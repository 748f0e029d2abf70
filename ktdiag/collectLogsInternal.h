#pragma once
// Seams of the collection for tests; not for production callers.

#include <functional>
#include <string>

// Called on the collecting thread after each line of a system command ran into outputFile,
// before the next line runs; empty (the default): nothing is called.
using CommandLineHook = std::function<void(const std::string& outputFile, const std::string& line)>;
void setCommandLineHook(CommandLineHook hook);
