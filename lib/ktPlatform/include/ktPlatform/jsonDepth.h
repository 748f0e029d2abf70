#pragma once
// The nesting bound checked before JSON text is handed to a recursive parser. It lives
// here because the platform layer parses JSON files of its own (the registry file).

#include <string>

namespace ktPlatform {

// True when no object or array in text nests deeper than maxDepth (strings are skipped).
bool jsonNestingWithin(const std::string& text, int maxDepth);

} // namespace ktPlatform
