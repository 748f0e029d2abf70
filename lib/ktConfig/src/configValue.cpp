#include "configValue.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"
#include "ktUtils/fileUtil.h"

#include <cerrno>
#include <charconv>
#include <stdexcept>

static const char* const kLogModule = "Config";

namespace ktConfigValue {

TextRead readConfigFile(const std::wstring& path, std::string& content,
                        const std::optional<std::string>& beneath)
{
    const bool read = beneath ? readFileBeneath(*beneath, path.c_str(), content)
                              : readFile(path.c_str(), content);
    if (!read) {
        const int error = errno;
        KTLOG(KT_LOG_ERROR, "failed to read file %ls", path.c_str());
        return beneath && (error == ELOOP || error == ENOTDIR) ? TextRead::refused
                                                               : TextRead::failed;
    }
    if (content.empty()) {
        KTLOG(KT_LOG_ERROR, "file: %ls is empty", path.c_str());
        return TextRead::empty;
    }
    return TextRead::ok;
}

bool readConfigText(const std::wstring& path, std::string& content)
{
    return readConfigFile(path, content) == TextRead::ok;
}

std::optional<bool> parseBool(const std::string& text)
{
    if (text == "true" || text == "1") {
        return true;
    }
    if (text == "false" || text == "0") {
        return false;
    }
    return std::nullopt;
}

std::optional<std::int64_t> parseInteger(const std::string& text, std::int64_t low,
                                         std::int64_t high)
{
    std::int64_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    // from_chars takes no leading "+"; the service writes none, a stray one is refused.
    const auto result = std::from_chars(first, last, value, 10);
    if (text.empty() || result.ec != std::errc() || result.ptr != last || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> text(const boost::property_tree::ptree& tree, const std::string& key)
{
    const auto child = tree.get_child_optional(boost::property_tree::ptree::path_type(key, '.'));
    if (!child) {
        return std::nullopt;
    }
    return child->data();
}

std::optional<std::string> text(const boost::property_tree::wptree& tree, const std::string& key)
{
    const auto child = tree.get_child_optional(
        boost::property_tree::wptree::path_type(ktPlatform::toWide(key), L'.'));
    if (!child) {
        return std::nullopt;
    }
    return ktPlatform::toNarrow(child->data());
}

std::string requireText(const boost::property_tree::ptree& tree, const std::string& key)
{
    auto value = text(tree, key);
    if (!value) {
        throw std::runtime_error("No such node (" + key + ")");
    }
    return *value;
}

std::int64_t requireInteger(const boost::property_tree::ptree& tree, const std::string& key,
                            std::int64_t low, std::int64_t high)
{
    const auto value = parseInteger(requireText(tree, key), low, high);
    if (!value) {
        throw std::runtime_error("conversion of data failed (" + key + ")");
    }
    return *value;
}

} // namespace ktConfigValue
