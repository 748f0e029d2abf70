#pragma once
// The bounds checked before JSON text is handed to a tree-building parser. It lives here
// because the platform layer parses JSON files of its own (the registry file).

#include <cstddef>
#include <string>

namespace ktPlatform {

// True when no object or array in text nests deeper than maxDepth (strings are skipped).
bool jsonNestingWithin(const std::string& text, int maxDepth);

// True when, besides that, text holds at most maxValues values and keys: every string (a key
// or a value), number, literal, object and array counts once. Both are read in one pass, so a
// text's cost as a tree is known before a node is built.
bool jsonWithin(const std::string& text, int maxDepth, std::size_t maxValues);

} // namespace ktPlatform
