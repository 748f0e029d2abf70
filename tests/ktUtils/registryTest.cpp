#include "ktUtils/osUtils.h"
#include "ktUtils/registry.h"
#include "ktUtils/version.h"

#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

using ktPlatform::RegRoot;

const char* const kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// A registry file and a host root (standing for "/") of the test's own.
class Registry {
public:
    explicit Registry(const std::string& json, const std::map<std::string, std::string>& host = {})
        : m_file("KTDIAG_REGISTRY_FILE", m_dir.path() + "/registry.json"),
          m_host("KTDIAG_HOST_ROOT", m_dir.path() + "/host")
    {
        if (!json.empty()) {
            ktTest::writeAll(m_dir.path() + "/registry.json", json);
        }
        for (const auto& f : host) {
            const fs::path path = m_dir.path() + "/host" + f.first;
            fs::create_directories(path.parent_path());
            ktTest::writeAll(path.string(), f.second);
        }
    }

private:
    ktTest::TempDir m_dir;
    ktTest::ScopedEnv m_file;
    ktTest::ScopedEnv m_host;
};

const char* const kFixture = R"({
  "view64": {
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion": {
      "ReleaseId": { "type": "REG_SZ", "data": "2009" },
      "ProductId": { "type": "REG_SZ", "data": "00330-80000-00000-AA123" }
    },
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrani\\Values\\": {
      "Dword": { "type": "REG_DWORD", "data": 2009 },
      "Qword": { "type": "REG_QWORD", "data": "4294967296" },
      "Binary": { "type": "REG_BINARY", "data": "00ff10" },
      "Multi": { "type": "REG_MULTI_SZ", "data": ["a", "bc"] },
      "Expand": { "type": "REG_EXPAND_SZ", "data": "%PUBLIC%" },
      "@": { "type": "REG_SZ", "data": "default" }
    }
  },
  "view32": {
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrani\\Only32": {
      "Value": { "type": "REG_SZ", "data": "x" }
    }
  }
})";

TEST(Registry, ReadRegValueCases)
{
    Registry registry(kFixture);
    struct Case {
        const char* name;
        const char* subkey;
        int view;
        const char* value;
        std::uint32_t room;
        long status;
        std::uint32_t type;
        std::string data;
    };
    const std::string none;
    const Case cases[] = {
        {"string, 64-bit view", kCurrentVersion, 1, "ReleaseId", 260, 0, 1,
         std::string("2009\0", 5)},
        {"not in the 32-bit view", kCurrentVersion, 0, "ReleaseId", 260, 2, 0, none},
        {"only in the 32-bit view", "SOFTWARE\\Kestrani\\Only32", 0, "Value", 260, 0, 1,
         std::string("x\0", 2)},
        {"names ignore case, end separators ignored", "software\\KESTRANI\\values\\", 1, "dword",
         260, 0, 4, std::string("\xd9\x07\0\0", 4)},
        {"qword", "SOFTWARE\\Kestrani\\Values", 1, "Qword", 260, 0, 11,
         std::string("\0\0\0\0\1\0\0\0", 8)},
        {"binary", "SOFTWARE\\Kestrani\\Values", 1, "Binary", 260, 0, 3,
         std::string("\0\xff\x10", 3)},
        {"multi-string", "SOFTWARE\\Kestrani\\Values", 1, "Multi", 260, 0, 7,
         std::string("a\0bc\0\0", 6)},
        {"expandable string", "SOFTWARE\\Kestrani\\Values", 1, "Expand", 260, 0, 2,
         std::string("%PUBLIC%\0", 9)},
        {"null value name is the default value", "SOFTWARE\\Kestrani\\Values", 1, nullptr, 260, 0,
         1, std::string("default\0", 8)},
        {"missing key", "SOFTWARE\\Nowhere", 1, "ReleaseId", 260, 2, 0, none},
        {"a key above a stored key exists, its value does not", "SOFTWARE\\Kestrani", 1, "Value",
         260, 2, 0, none},
        {"missing value", kCurrentVersion, 1, "Nothing", 260, 2, 0, none},
        {"room too small", kCurrentVersion, 1, "ReleaseId", 4, 234, 1, none},
        {"both names null", nullptr, 1, nullptr, 260, 87, 0, none},
        {"both names empty", "", 1, "", 260, 87, 0, none},
    };
    for (const Case& c : cases) {
        char buffer[260];
        std::fill(std::begin(buffer), std::end(buffer), '?');
        std::uint32_t size = c.room;
        std::uint32_t type = 0;
        EXPECT_EQ(
            readRegValue(RegRoot::localMachine, c.subkey, c.view, c.value, buffer, &size, &type),
            c.status)
            << c.name;
        if (c.status == 0) {
            EXPECT_EQ(type, c.type) << c.name;
            EXPECT_EQ(std::string(buffer, size), c.data) << c.name;
        }
        if (c.status == 234) {
            EXPECT_EQ(size, 5u) << c.name << ": the size needed";
            EXPECT_EQ(buffer[0], '?') << c.name << ": nothing copied";
        }
    }
}

TEST(Registry, MissingKeyAndBadParametersAreLoggedAsThePartsSay)
{
    Registry registry(kFixture);
    std::uint32_t size = 4;
    char buffer[4];
    ktTest::clearLog();
    EXPECT_EQ(
        readRegValue(RegRoot::localMachine, "SOFTWARE\\Nowhere", 0, "v", buffer, &size, nullptr),
        2);
    const std::string log = ktTest::logText();
    EXPECT_NE(log.find("debug registry.cpp"), std::string::npos) << log;
    EXPECT_NE(log.find("RegOpenKeyEx failed to open key: SOFTWARE\\Nowhere, flag: 512, err: 2"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(" error "), std::string::npos) << "level 5 only: " << log;
    ktTest::clearLog();
    EXPECT_EQ(readRegValue(RegRoot::localMachine, nullptr, 0, nullptr, buffer, &size, nullptr), 87);
    EXPECT_TRUE(ktTest::logHas("invalid params"));
}

TEST(Registry, FilesThatAreNoRegistryGiveBadDb)
{
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    const char* const views[] = {
        "{",
        "[1, 2]",
        R"({"view64": {"NOT_A_ROOT\\key": {}}})",
        R"({"view64": {"HKEY_USERS\\k": {"v": {"type": "REG_FOO", "data": "x"}}}})",
        R"({"view64": {"HKEY_USERS\\k": {"v": {"type": "REG_DWORD", "data": "abc"}}}})",
        R"({"view64": {"HKEY_USERS\\k": {"v": {"type": "REG_DWORD", "data": "4294967296"}}}})",
        R"({"view64": {"HKEY_USERS\\k": {"v": {"type": "REG_BINARY", "data": "0g"}}}})",
    };
    std::vector<std::string> files(std::begin(views), std::end(views));
    files.push_back(deep);
    for (const std::string& json : files) {
        Registry registry(json);
        std::uint32_t size = 0;
        EXPECT_EQ(readRegValue(RegRoot::users, "k", 1, "v", nullptr, &size, nullptr), 1009) << json;
    }
    // No file at all is an empty registry.
    Registry empty("");
    std::uint32_t size = 0;
    EXPECT_EQ(readRegValue(RegRoot::users, "k", 1, "v", nullptr, &size, nullptr), 2);
}

TEST(Registry, RootAndTypeNames)
{
    const struct {
        const char* name;
        bool ok;
        RegRoot root;
    } roots[] = {
        {"HKEY_LOCAL_MACHINE", true, RegRoot::localMachine},
        {"HKEY_CURRENT_USER", true, RegRoot::currentUser},
        {"HKEY_CLASSES_ROOT", true, RegRoot::classesRoot},
        {"HKEY_USERS", true, RegRoot::users},
        {"HKEY_CURRENT_CONFIG", true, RegRoot::currentConfig},
        {"hkey_local_machine", false, RegRoot::localMachine},
        {"HKLM", false, RegRoot::localMachine},
    };
    for (const auto& c : roots) {
        RegRoot root = RegRoot::users;
        EXPECT_EQ(getRootKey(c.name, root), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(root, c.root) << c.name;
        }
    }
    const struct {
        const char* name;
        bool ok;
        std::uint32_t code;
    } types[] = {
        {"REG_NONE", true, 0},
        {"REG_SZ", true, 1},
        {"REG_EXPAND_SZ", true, 2},
        {"REG_BINARY", true, 3},
        {"REF_BINARY", true, 3},
        {"REG_DWORD", true, 4},
        {"REG_DWORD_LITTLE_ENDIAN", true, 4},
        {"REG_DWORD_BIG_ENDIAN", true, 5},
        {"REG_LINK", true, 6},
        {"REG_MULTI_SZ", true, 7},
        {"REG_RESOURCE_LIST", true, 8},
        {"REG_FULL_RESOURCE_DESCRIPTOR", true, 9},
        {"REG_RESOURCE_REQUIREMENTS_LIST", true, 10},
        {"REG_QWORD", true, 11},
        {"REG_QWORD_LITTLE_ENDIAN", true, 11},
        {"reg_sz", false, 0},
        {"REG_SZ ", false, 0},
    };
    for (const auto& c : types) {
        std::uint32_t code = 99;
        EXPECT_EQ(getRegValueType(c.name, code), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(code, c.code) << c.name;
        }
    }
}

// A registry file with one value under CurrentVersion.
std::string currentVersion(const std::string& view, const std::string& name,
                           const std::string& value)
{
    return R"({")" + view +
           R"(": {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion": {")" +
           name + "\": " + value + "}}}";
}

std::string releaseKey(const std::string& view, const std::string& value)
{
    return currentVersion(view, "ReleaseId", value);
}

TEST(OsFacts, ReleaseId)
{
    const struct {
        std::string json;
        int id;
    } cases[] = {
        {releaseKey("view64", R"({"type": "REG_SZ", "data": "2009"})"), 2009},
        {releaseKey("view32", R"({"type": "REG_SZ", "data": "1909"})"), 1909},
        {releaseKey("view64", R"({"type": "REG_SZ", "data": "21H2"})"), 21},
        {releaseKey("view64", R"({"type": "REG_SZ", "data": "abc"})"), 0},
        {releaseKey("view64", R"({"type": "REG_SZ", "data": "99999999999"})"), 2147483647},
        {releaseKey("view64", R"({"type": "REG_DWORD", "data": 2009})"), 0},
        {"{}", 0},
    };
    for (const auto& c : cases) {
        Registry registry(c.json);
        EXPECT_EQ(getReleaseId(), c.id) << c.json;
    }
    Registry missing("{}");
    ktTest::clearLog();
    EXPECT_EQ(getReleaseId(), 0);
    const std::string log = ktTest::logText();
    EXPECT_NE(log.find("Failed to get device vendor from registry, error 2"), std::string::npos)
        << log;
}

TEST(OsFacts, ProductIdIsBoundedByTheReturnedSize)
{
    {
        Registry registry(kFixture);
        std::string id;
        ASSERT_TRUE(getProductId(id));
        EXPECT_EQ(id, "00330-80000-00000-AA123");
    }
    {
        // 260 bytes without a terminating zero fill the buffer exactly.
        Registry registry(
            currentVersion("view64", "ProductId",
                           R"({"type": "REG_BINARY", "data": ")" + std::string(520, '4') + "\"}"));
        std::string id;
        ASSERT_TRUE(getProductId(id));
        EXPECT_EQ(id, std::string(260, 'D'));
    }
    {
        Registry registry(
            currentVersion("view64", "ProductId",
                           R"({"type": "REG_SZ", "data": ")" + std::string(300, 'x') + "\"}"));
        std::string id = "untouched";
        ktTest::clearLog();
        EXPECT_FALSE(getProductId(id));
        EXPECT_EQ(id, "untouched");
        EXPECT_TRUE(ktTest::logHas("failed to query registry key " + std::string(kCurrentVersion)));
    }
    {
        Registry registry("{}");
        std::string id;
        EXPECT_FALSE(getProductId(id));
        EXPECT_TRUE(ktTest::logHas("failed to open registry key"));
    }
}

TEST(OsFacts, MachineGuid)
{
    const std::string machineId = "3d1219c7c4c5404aaa1f6d2a48adfda4\n";
    {
        // From /etc/machine-id, found in the 64-bit view on the second attempt.
        Registry registry("{}", {{"/etc/machine-id", machineId}});
        std::string guid;
        ASSERT_TRUE(readMachineGuid(guid));
        EXPECT_EQ(guid, "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
    }
    {
        Registry registry(
            R"({"view32": {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography": {"MachineGuid": {"type": "REG_SZ", "data": "from-file"}}}})",
            {{"/etc/machine-id", machineId}});
        std::string guid;
        ASSERT_TRUE(readMachineGuid(guid));
        EXPECT_EQ(guid, "from-file");
    }
    {
        Registry registry(
            R"({"view64": {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography": {"MachineGuid": {"type": "REG_DWORD", "data": 7}}}})",
            {{"/etc/machine-id", machineId}});
        std::string guid = "untouched";
        ktTest::clearLog();
        EXPECT_FALSE(readMachineGuid(guid));
        EXPECT_EQ(guid, "untouched");
        EXPECT_TRUE(ktTest::logHas("matching data type: 1 not found")) << ktTest::logText();
    }
    {
        Registry registry("{}", {{"/etc/machine-id", "not-an-id\n"}});
        std::string guid;
        ktTest::clearLog();
        EXPECT_FALSE(readMachineGuid(guid));
        EXPECT_TRUE(ktTest::logHas("Failed to read from subkey SOFTWARE\\Microsoft\\Cryptography "
                                   "value MachineGuid error = 2"))
            << ktTest::logText();
    }
}

TEST(OsFacts, MakerAndModelComeFromTheHostInBothViews)
{
    Registry registry("{}", {{"/sys/class/dmi/id/sys_vendor", "QEMU\n"},
                             {"/sys/class/dmi/id/product_name", "Standard PC (Q35)\n"}});
    const char* const key = "SYSTEM\\CurrentControlSet\\Control\\SystemInformation";
    for (int view : {0, 1}) {
        char buffer[260] = {};
        std::uint32_t size = sizeof(buffer);
        ASSERT_EQ(readRegValue(RegRoot::localMachine, key, view, "SystemManufacturer", buffer,
                               &size, nullptr),
                  0);
        EXPECT_STREQ(buffer, "QEMU");
        size = sizeof(buffer);
        ASSERT_EQ(readRegValue(RegRoot::localMachine, key, view, "SystemProductName", buffer, &size,
                               nullptr),
                  0);
        EXPECT_STREQ(buffer, "Standard PC (Q35)");
    }
}

TEST(OsFacts, VersionStrings)
{
    const struct {
        std::string json;
        std::string text;
        bool server;
        bool versionRead;
    } cases[] = {
        {"", "Windows NT 10.0", false, true},
        {R"({"os": {"version": "6.3"}})", "Windows NT 6.3", false, true},
        {R"({"os": {"productType": "workstation"}})", "Windows NT 10.0", false, true},
        {R"({"os": {"productType": "server"}})", "Windows Server 10.0", true, true},
        {R"({"os": {"version": "6.3", "productType": "domainController"}})", "Windows Server 6.3",
         true, true},
        {R"({"os": {"version": "ten"}})", "Windows NT 0.0", false, false},
        {"{", "Windows NT 0.0", false, false},
    };
    for (const auto& c : cases) {
        Registry registry(c.json);
        EXPECT_EQ(getOSVersionString(), c.text) << c.json;
        EXPECT_EQ(isWindowsServer(), c.server) << c.json;
        unsigned int major = 99;
        unsigned int minor = 99;
        EXPECT_EQ(getKernel32FileVersion(major, minor), c.versionRead) << c.json;
        std::string number = "previous";
        EXPECT_TRUE(getOSVersionNumber(number));
        EXPECT_EQ(c.text.substr(c.text.rfind(' ') + 1), number) << c.json;
    }
}

} // namespace
