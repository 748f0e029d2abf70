#pragma once
// Typed reads of configuration keys from their text. A value that is absent or does not
// convert (a bool other than "true", "false", "1", "0"; a number that is not wholly decimal
// or out of the type's range) counts as absent.

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace ktConfigValue {

enum class TextRead { ok, empty, failed, refused };
// A whole plain configuration file, logged when it cannot be read or is empty. With beneath,
// the file lies in a folder another account controls: no link below beneath is followed
// (readFileBeneath), and one there or on the way gives refused.
TextRead readConfigFile(const std::wstring& path, std::string& content,
                        const std::optional<std::string>& beneath = std::nullopt);
// The same; false when it is missing or empty.
bool readConfigText(const std::wstring& path, std::string& content);

std::optional<bool> parseBool(const std::string& text);
std::optional<std::int64_t> parseInteger(const std::string& text, std::int64_t low,
                                         std::int64_t high);

// The text at the dotted key, or nullopt when absent.
std::optional<std::string> text(const boost::property_tree::ptree& tree, const std::string& key);
std::optional<std::string> text(const boost::property_tree::wptree& tree, const std::string& key);

template <typename Tree>
std::optional<bool> getBool(const Tree& tree, const std::string& key)
{
    const auto value = text(tree, key);
    return value ? parseBool(*value) : std::nullopt;
}

template <typename T, typename Tree>
std::optional<T> getNumber(const Tree& tree, const std::string& key)
{
    const auto value = text(tree, key);
    if (!value) {
        return std::nullopt;
    }
    const auto number = parseInteger(*value, std::numeric_limits<T>::min(),
                                     static_cast<std::int64_t>(std::numeric_limits<T>::max()));
    return number ? std::optional<T>(static_cast<T>(*number)) : std::nullopt;
}

// Reads into member only when the key is present and converts.
template <typename Tree>
void keepBool(const Tree& tree, const std::string& key, bool& member)
{
    if (const auto value = getBool(tree, key)) {
        member = *value;
    }
}
template <typename T, typename Tree>
void keepNumber(const Tree& tree, const std::string& key, T& member)
{
    if (const auto value = getNumber<T>(tree, key)) {
        member = *value;
    }
}
inline void keepText(const boost::property_tree::ptree& tree, const std::string& key,
                     std::string& member)
{
    if (auto value = text(tree, key)) {
        member = std::move(*value);
    }
}

// A required value: throws std::runtime_error naming the key when absent or unconvertible.
std::string requireText(const boost::property_tree::ptree& tree, const std::string& key);
std::int64_t requireInteger(const boost::property_tree::ptree& tree, const std::string& key,
                            std::int64_t low, std::int64_t high);

} // namespace ktConfigValue
