#include "ktPlatform/registry.h"

#include "ktPlatform/folders.h"
#include "ktPlatform/jsonDepth.h"
#include "platformText.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

namespace ktPlatform {

namespace {

namespace pt = boost::property_tree;

constexpr std::size_t kMaxRegistryFile = 1024 * 1024;
constexpr int kMaxRegistryDepth = 16;

const char* const kRootNames[kRegRootCount] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                               "HKEY_CLASSES_ROOT", "HKEY_USERS",
                                               "HKEY_CURRENT_CONFIG"};

const char* const kCryptographyKey = "hkey_local_machine\\software\\microsoft\\cryptography";
const char* const kSystemInformationKey =
    "hkey_local_machine\\system\\currentcontrolset\\control\\systeminformation";

struct KeyEntry {
    RegView view;
    std::string path; // lower case, no backslash at either end
    std::vector<RegKey::Value> values;
};

struct OsFacts {
    std::string version = "10.0";
    std::string productType = "workstation";
};

struct Image {
    std::vector<KeyEntry> keys;
    OsFacts os;
};

std::string lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string normalisedPath(const std::string& path)
{
    std::string::size_type begin = path.find_first_not_of('\\');
    if (begin == std::string::npos) {
        return std::string();
    }
    const std::string::size_type end = path.find_last_not_of('\\');
    return lower(path.substr(begin, end - begin + 1));
}

bool isRootName(const std::string& lowerName)
{
    for (const char* name : kRootNames) {
        if (lowerName == lower(name)) {
            return true;
        }
    }
    return false;
}

std::string littleEndian(std::uint64_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
    return out;
}

bool hexBytes(const std::string& text, std::string& out)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    out.clear();
    for (std::string::size_type i = 0; i < text.size(); i += 2) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[i + static_cast<std::string::size_type>(k)];
            int d = 0;
            if (c >= '0' && c <= '9') {
                d = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                d = c - 'A' + 10;
            } else {
                return false;
            }
            v = v * 16 + d;
        }
        out.push_back(static_cast<char>(v));
    }
    return true;
}

// One value: {"type": "REG_SZ", "data": ...}, data in the form of its type.
bool parseValue(const std::string& name, const pt::ptree& node, RegKey::Value& value)
{
    const std::string type = node.get<std::string>("type", "");
    const pt::ptree* data = nullptr;
    if (auto child = node.get_child_optional("data")) {
        data = &*child;
    }
    const std::string text = data != nullptr ? data->data() : std::string();
    value.name = name;
    std::uint64_t number = 0;
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        value.type = type == "REG_SZ" ? kRegSz : kRegExpandSz;
        value.data = text + '\0';
    } else if (type == "REG_DWORD" || type == "REG_QWORD") {
        const bool dword = type == "REG_DWORD";
        if (!parseUnsigned(text, dword ? 0xFFFFFFFFull : ~0ull, number)) {
            return false;
        }
        value.type = dword ? kRegDword : kRegQword;
        value.data = littleEndian(number, dword ? 4 : 8);
    } else if (type == "REG_BINARY") {
        value.type = kRegBinary;
        return hexBytes(text, value.data);
    } else if (type == "REG_MULTI_SZ") {
        value.type = kRegMultiSz;
        value.data.clear();
        if (data != nullptr) {
            for (const auto& item : *data) {
                if (!item.first.empty() || !item.second.empty()) {
                    return false;
                }
                value.data += item.second.data() + '\0';
            }
        }
        value.data += '\0';
    } else if (type == "REG_NONE") {
        value.type = kRegNone;
        value.data.clear();
    } else {
        return false;
    }
    return true;
}

// The property tree reads an array as members without names and a scalar as data.
bool isObject(const pt::ptree& node)
{
    if (!node.data().empty()) {
        return false;
    }
    for (const auto& member : node) {
        if (member.first.empty()) {
            return false;
        }
    }
    return true;
}

bool parseView(RegView view, const pt::ptree& node, Image& image)
{
    if (!isObject(node)) {
        return false;
    }
    for (const auto& key : node) {
        if (!isObject(key.second)) {
            return false;
        }
        KeyEntry entry{view, normalisedPath(key.first), {}};
        const std::string::size_type slash = entry.path.find('\\');
        if (!isRootName(entry.path.substr(0, slash))) {
            return false;
        }
        for (const auto& v : key.second) {
            RegKey::Value value;
            // "@" names the default value, as in .reg files.
            const std::string name = v.first == "@" ? std::string() : v.first;
            if (!isObject(v.second) || !parseValue(name, v.second, value)) {
                return false;
            }
            entry.values.push_back(value);
        }
        image.keys.push_back(entry);
    }
    return true;
}

std::optional<std::string> registryPath()
{
    std::optional<std::string> forced = getEnv("KTDIAG_REGISTRY_FILE");
    if (forced && !forced->empty()) {
        return forced;
    }
    std::optional<std::string> machine = machineFolder();
    if (!machine) {
        return std::nullopt;
    }
    return *machine + "/registry.json";
}

// False for a file that exists but is no registry file of this format.
bool loadFile(Image& image)
{
    std::optional<std::string> path = registryPath();
    std::string text;
    if (!path || !readSmallFile(*path, text, kMaxRegistryFile)) {
        return !path || errno == ENOENT;
    }
    if (!jsonNestingWithin(text, kMaxRegistryDepth)) {
        return false;
    }
    try {
        pt::ptree tree;
        std::istringstream in(text);
        pt::read_json(in, tree);
        if (!isObject(tree)) {
            return false;
        }
        image.os.version = tree.get<std::string>("os.version", image.os.version);
        image.os.productType = tree.get<std::string>("os.productType", image.os.productType);
        if (auto v = tree.get_child_optional("view32");
            v && !parseView(RegView::view32, *v, image)) {
            return false;
        }
        if (auto v = tree.get_child_optional("view64");
            v && !parseView(RegView::view64, *v, image)) {
            return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

std::string hostPath(const std::string& path)
{
    std::optional<std::string> root = getEnv("KTDIAG_HOST_ROOT");
    return root && !root->empty() ? *root + path : path;
}

KeyEntry* findKey(Image& image, RegView view, const std::string& path)
{
    for (KeyEntry& entry : image.keys) {
        if (entry.view == view && entry.path == path) {
            return &entry;
        }
    }
    return nullptr;
}

bool hasValue(const std::vector<RegKey::Value>& values, const std::string& name)
{
    for (const RegKey::Value& v : values) {
        if (lower(v.name) == lower(name)) {
            return true;
        }
    }
    return false;
}

// A Linux fact as a string value, unless the file already holds one of that name.
void addHostValue(Image& image, RegView view, const std::string& key, const std::string& name,
                  const std::string& text)
{
    KeyEntry* entry = findKey(image, view, key);
    if (entry == nullptr) {
        image.keys.push_back(KeyEntry{view, key, {}});
        entry = &image.keys.back();
    }
    if (!hasValue(entry->values, name)) {
        entry->values.push_back(RegKey::Value{name, kRegSz, text + '\0'});
    }
}

// /etc/machine-id holds 32 hexadecimal digits; Windows writes the GUID 8-4-4-4-12.
bool machineGuidFromHost(std::string& guid)
{
    std::string text;
    if (!readSmallFile(hostPath("/etc/machine-id"), text, 4096)) {
        return false;
    }
    const std::string id = lower(trimLineEnd(text));
    if (id.size() != 32 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    guid = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
           id.substr(16, 4) + "-" + id.substr(20);
    return true;
}

void addHostValues(Image& image)
{
    std::string guid;
    if (machineGuidFromHost(guid)) {
        addHostValue(image, RegView::view64, kCryptographyKey, "MachineGuid", guid);
    }
    const struct {
        const char* file;
        const char* name;
    } dmi[] = {{"/sys/class/dmi/id/sys_vendor", "SystemManufacturer"},
               {"/sys/class/dmi/id/product_name", "SystemProductName"}};
    for (const auto& d : dmi) {
        std::string text;
        if (readSmallFile(hostPath(d.file), text, 4096)) {
            for (RegView view : {RegView::view32, RegView::view64}) {
                addHostValue(image, view, kSystemInformationKey, d.name, trimLineEnd(text));
            }
        }
    }
}

bool loadImage(Image& image)
{
    if (!loadFile(image)) {
        return false;
    }
    addHostValues(image);
    return true;
}

bool parseVersion(const std::string& text, std::uint32_t& major, std::uint32_t& minor)
{
    const std::string::size_type dot = text.find('.');
    std::uint64_t ma = 0;
    std::uint64_t mi = 0;
    if (dot == std::string::npos || !parseUnsigned(text.substr(0, dot), 0xFFFF, ma) ||
        !parseUnsigned(text.substr(dot + 1), 0xFFFF, mi)) {
        return false;
    }
    major = static_cast<std::uint32_t>(ma);
    minor = static_cast<std::uint32_t>(mi);
    return true;
}

} // namespace

const char* regRootName(RegRoot root)
{
    const int index = static_cast<int>(root);
    return index >= 0 && index < kRegRootCount ? kRootNames[index] : "";
}

long regOpenKey(RegRoot root, const std::string& subkey, RegView view, RegKey& key)
{
    Image image;
    if (!loadImage(image)) {
        return kErrorBadDb;
    }
    const std::string sub = normalisedPath(subkey);
    const std::string path = lower(regRootName(root)) + (sub.empty() ? "" : "\\" + sub);
    bool exists = sub.empty();
    RegKey found;
    for (const KeyEntry& entry : image.keys) {
        if (entry.view != view) {
            continue;
        }
        if (entry.path == path) {
            exists = true;
            for (const RegKey::Value& v : entry.values) {
                if (!hasValue(found.values, v.name)) {
                    found.values.push_back(v);
                }
            }
        } else if (entry.path.compare(0, path.size() + 1, path + "\\") == 0) {
            exists = true;
        }
    }
    if (!exists) {
        return kErrorFileNotFound;
    }
    key = found;
    return kErrorSuccess;
}

long regGetValue(const RegKey& key, const char* name, std::uint32_t* type, void* data,
                 std::uint32_t* size)
{
    if (data != nullptr && size == nullptr) {
        return kErrorInvalidParameter;
    }
    const std::string wanted = lower(name != nullptr ? name : "");
    for (const RegKey::Value& v : key.values) {
        if (lower(v.name) != wanted) {
            continue;
        }
        if (type != nullptr) {
            *type = v.type;
        }
        const std::uint32_t needed = static_cast<std::uint32_t>(v.data.size());
        if (data != nullptr && *size < needed) {
            *size = needed;
            return kErrorMoreData;
        }
        if (data != nullptr && needed > 0) {
            std::memcpy(data, v.data.data(), needed);
        }
        if (size != nullptr) {
            *size = needed;
        }
        return kErrorSuccess;
    }
    return kErrorFileNotFound;
}

bool systemFileVersion(std::uint32_t& major, std::uint32_t& minor)
{
    Image image;
    if (!loadFile(image) || !parseVersion(image.os.version, major, minor)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool isWorkstationProduct()
{
    Image image;
    if (!loadFile(image)) {
        return true;
    }
    return image.os.productType != "server" && image.os.productType != "domainController";
}

} // namespace ktPlatform
