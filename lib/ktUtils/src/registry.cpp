#include "ktUtils/registry.h"

#include "ktLog/ktLog.h"
#include "ktWinUtils/impersonate.h"

#include <algorithm>
#include <cstring>
#include <vector>

static const char* const kLogModule = "registry";

namespace {

bool isEmpty(const char* text)
{
    return text == nullptr || *text == '\0';
}

const struct {
    const char* name;
    std::uint32_t code;
} kValueTypes[] = {
    {"REG_NONE", 0},
    {"REG_SZ", 1},
    {"REG_EXPAND_SZ", 2},
    {"REG_BINARY", 3},
    {"REF_BINARY", 3}, // the name older callers pass
    {"REG_DWORD", 4},
    {"REG_DWORD_LITTLE_ENDIAN", 4},
    {"REG_DWORD_BIG_ENDIAN", 5},
    {"REG_LINK", 6},
    {"REG_MULTI_SZ", 7},
    {"REG_RESOURCE_LIST", 8},
    {"REG_FULL_RESOURCE_DESCRIPTOR", 9},
    {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
    {"REG_QWORD", 11},
    {"REG_QWORD_LITTLE_ENDIAN", 11},
};

constexpr std::uint32_t kStringRoom = 16384;

// Reads valueName under root\subkey as the expected type (REG_SZ or REG_DWORD) into text.
bool readRegString(const std::string& rootName, const char* subkey, const char* valueName,
                   const std::string& typeName, std::string& text)
{
    std::vector<char> buffer(kStringRoom, '\0');
    ktPlatform::RegRoot root = ktPlatform::RegRoot::localMachine;
    if (!getRootKey(rootName, root)) {
        return false;
    }
    if (root != ktPlatform::RegRoot::localMachine && root != ktPlatform::RegRoot::currentUser) {
        KTLOG(KT_LOG_ERROR, "not supported rootkey: %d", static_cast<int>(root));
        return false;
    }
    ImpersonationGuard guard;
    if (root == ktPlatform::RegRoot::currentUser && !impersonateActiveUser(guard, 0)) {
        KTLOG(KT_LOG_ERROR, "impersonate as current user failed");
        return false;
    }
    std::uint32_t expected = 0;
    if (!getRegValueType(typeName, expected)) {
        return false;
    }
    std::uint32_t number = 0;
    const bool isNumber = expected == ktPlatform::kRegDword;
    void* data = isNumber ? static_cast<void*>(&number) : static_cast<void*>(buffer.data());
    const std::uint32_t room = isNumber ? sizeof(number) : kStringRoom;
    std::uint32_t size = room;
    std::uint32_t type = 0;
    long status = readRegValue(root, subkey, 0, valueName, data, &size, &type);
    if (status != ktPlatform::kErrorSuccess) {
        std::fill(buffer.begin(), buffer.end(), '\0');
        number = 0;
        size = room;
        status = readRegValue(root, subkey, 1, valueName, data, &size, &type);
    }
    if (status != ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_ERROR, "Failed to read from subkey %s value %s error = %d", subkey, valueName,
              static_cast<int>(status));
        return false;
    }
    revertImpersonation(guard);
    if (type != expected) {
        KTLOG(KT_LOG_ERROR, "matching data type: %d not found", static_cast<int>(expected));
        return false;
    }
    if (type == ktPlatform::kRegSz) {
        text.assign(buffer.data(), ::strnlen(buffer.data(), size));
    } else if (type == ktPlatform::kRegDword) {
        text = std::to_string(number);
    } else {
        KTLOG(KT_LOG_ERROR, "unexpected value type: %d", static_cast<int>(type));
        return false;
    }
    return true;
}

} // namespace

long readRegValue(ktPlatform::RegRoot root, const char* subkey, int view, const char* valueName,
                  void* data, std::uint32_t* size, std::uint32_t* type)
{
    if (isEmpty(subkey) && isEmpty(valueName)) {
        KTLOG(KT_LOG_ERROR, "invalid params");
        return ktPlatform::kErrorInvalidParameter;
    }
    const bool wide = view == 1;
    const int flag = wide ? 256 : 512;
    ktPlatform::RegKey key;
    long status = ktPlatform::regOpenKey(
        root, subkey != nullptr ? subkey : "",
        wide ? ktPlatform::RegView::view64 : ktPlatform::RegView::view32, key);
    if (status != ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_DEBUG, "RegOpenKeyEx failed to open key: %s, flag: %d, err: %d",
              subkey != nullptr ? subkey : "", flag, static_cast<int>(status));
        return status;
    }
    status = ktPlatform::regGetValue(key, valueName, type, data, size);
    if (status != ktPlatform::kErrorSuccess) {
        KTLOG(KT_LOG_DEBUG, "RegGetValue failed to read value: %s, flag: %d, err: %d",
              valueName != nullptr ? valueName : "", flag, static_cast<int>(status));
    }
    return status;
}

bool getRootKey(const std::string& name, ktPlatform::RegRoot& key)
{
    for (int i = 0; i < ktPlatform::kRegRootCount; ++i) {
        const auto root = static_cast<ktPlatform::RegRoot>(i);
        if (name == ktPlatform::regRootName(root)) {
            key = root;
            return true;
        }
    }
    KTLOG(KT_LOG_ERROR, "invalid root key");
    return false;
}

bool getRegValueType(const std::string& name, std::uint32_t& type)
{
    for (const auto& row : kValueTypes) {
        if (name == row.name) {
            type = row.code;
            return true;
        }
    }
    KTLOG(KT_LOG_ERROR, "invalid reg data type");
    return false;
}

bool readMachineGuid(std::string& guid)
{
    return readRegString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                         "REG_SZ", guid);
}
