#pragma once
// The reference the message and reply targets compare the project's readers against: the
// text read the plain way by the property tree, within the project's nesting bound.

#include "ktUtils/jsonUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <exception>
#include <optional>
#include <sstream>
#include <string>

namespace ktFuzz {

// The tree of text, or nullopt when it nests too deep or is not JSON.
inline std::optional<boost::property_tree::ptree> plainReading(const std::string& text)
{
    if (!jsonNestingWithin(text, kMaxJsonDepth)) {
        return std::nullopt;
    }
    boost::property_tree::ptree root;
    try {
        std::istringstream in(text);
        boost::property_tree::read_json(in, root);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return root;
}

} // namespace ktFuzz
