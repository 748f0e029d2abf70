#pragma once
// The Windows registry and the OS version, read from one JSON file of keys, values and
// types: KTDIAG_REGISTRY_FILE, else <ProgramData>/kestrani/registry.json (outside every
// folder the diagnostics collection walks). A missing file is an empty registry. Values
// the file does not hold come from Linux where it has them: "MachineGuid" (64-bit view
// only, as on Windows) from /etc/machine-id, "SystemManufacturer" and "SystemProductName"
// from /sys/class/dmi/id (KTDIAG_HOST_ROOT stands for "/" in those paths). The file's
// layout is in docs/platform.md. Results are Win32 error codes.

#include <cstdint>
#include <string>
#include <vector>

namespace ktPlatform {

constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
// ERROR_BADDB: the registry file is not a registry of this format.
constexpr long kErrorBadDb = 1009;

// Value types, with their Windows codes.
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

// Stands for the predefined root keys, in the order of regRootName.
enum class RegRoot { localMachine, currentUser, classesRoot, users, currentConfig };
constexpr int kRegRootCount = 5;
enum class RegView { view32, view64 };

// The root key's Windows name: "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
// "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG".
const char* regRootName(RegRoot root);

// Stands for an open HKEY: the values the key held when it was opened.
struct RegKey {
    struct Value {
        std::string name;
        std::uint32_t type = kRegNone;
        std::string data; // as RegGetValue returns it: strings with their terminating zero
    };
    std::vector<Value> values;
};

// Stands for RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_WOW64_32KEY or _64KEY): 0 when
// the key (or a key below it) is in that view of the file, 2 when not, 1009 for a file
// that cannot be read as a registry. Key names compare ignoring ASCII case.
long regOpenKey(RegRoot root, const std::string& subkey, RegView view, RegKey& key);

// Stands for RegGetValueA(key, nullptr, name, RRF_RT_ANY, type, data, size): a null name is
// the default value. Fills *type when type is not null; copies the data when data is not
// null and *size is enough, and sets *size to the bytes the value holds. 2 for a missing
// value, 234 (nothing copied) when *size is too small, 87 for data without size.
long regGetValue(const RegKey& key, const char* name, std::uint32_t* type, void* data,
                 std::uint32_t* size);

// Stands for the product version of kernel32.dll (GetFileVersionInfoA, VerQueryValueA):
// "os.version" of the file as major.minor, 10.0 when the file says nothing. False (errno
// EINVAL) when the file or its version cannot be read.
bool systemFileVersion(std::uint32_t& major, std::uint32_t& minor);

// Stands for VerifyVersionInfoA(VER_PRODUCT_TYPE equal to VER_NT_WORKSTATION): true unless
// "os.productType" of the file is "server" or "domainController".
bool isWorkstationProduct();

} // namespace ktPlatform
