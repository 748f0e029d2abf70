#include "ktUtils/jsonUtil.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/jsonDepth.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <stdexcept>

static const char* const kLogModule = "ktUtils";

bool jsonNestingWithin(const std::string& text, int maxDepth)
{
    return ktPlatform::jsonNestingWithin(text, maxDepth);
}

bool jsonWithin(const std::string& text, int maxDepth, std::size_t maxValues)
{
    return ktPlatform::jsonWithin(text, maxDepth, maxValues);
}

void readJsonBounded(const std::string& text, boost::property_tree::ptree& tree)
{
    if (!jsonNestingWithin(text)) {
        throw std::runtime_error("JSON nesting too deep");
    }
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
}

template <typename T>
bool appendToJson(const std::string& json, const std::string& key, T value, std::string& result)
{
    if (json.empty()) {
        KTLOG(KT_LOG_ERROR, "json is empty");
        return false;
    }
    if (!jsonNestingWithin(json)) {
        KTLOG(KT_LOG_ERROR, "read json error: %s", "nesting too deep");
        return false;
    }
    boost::property_tree::ptree tree;
    try {
        std::istringstream in(json);
        boost::property_tree::read_json(in, tree);
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "read json error: %s", e.what());
        return false;
    }
    try {
        tree.put(boost::property_tree::ptree::path_type(key, '.'), value);
        std::ostringstream out;
        boost::property_tree::write_json(out, tree, true);
        result = out.str();
    } catch (const std::exception& e) {
        KTLOG(KT_LOG_ERROR, "json error: %s", e.what());
        return false;
    }
    return true;
}

template bool appendToJson<const char*>(const std::string&, const std::string&, const char*,
                                        std::string&);
template bool appendToJson<int>(const std::string&, const std::string&, int, std::string&);
