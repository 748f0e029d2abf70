#pragma once
// Small JSON helpers over the property tree.

#include <boost/property_tree/ptree_fwd.hpp>

#include <cstddef>
#include <sstream>
#include <string>

// Deepest object/array nesting accepted from files and peers.
constexpr int kMaxJsonDepth = 64;

// True when no object or array in text nests deeper than maxDepth (strings are skipped).
// The property-tree reader recurses per level, so deeper text is refused before parsing.
bool jsonNestingWithin(const std::string& text, int maxDepth = kMaxJsonDepth);

// True when text also holds at most maxValues values and keys (every string, number,
// literal, object and array once): what a tree of it would cost, read in the same pass.
bool jsonWithin(const std::string& text, int maxDepth, std::size_t maxValues);

// Parses text (nesting bounded by kMaxJsonDepth) into tree; throws a std::exception
// whose what() says why when it is too deep or not JSON.
void readJsonBounded(const std::string& text, boost::property_tree::ptree& tree);

// Parses json, puts value at the dotted key and writes the tree back indented into
// result (every value then is a JSON string). False, logged, on empty or bad JSON.
template <typename T>
bool appendToJson(const std::string& json, const std::string& key, T value, std::string& result);

extern template bool appendToJson<const char*>(const std::string&, const std::string&, const char*,
                                               std::string&);
extern template bool appendToJson<int>(const std::string&, const std::string&, int, std::string&);

// The value as a default string stream writes it: 57130, -1.
template <typename T>
std::string toString(const T& value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}
