// ktsteering.json read through a located Config: traffic mode, dynamic steering, domains,
// port rules and the digest "d1".

#include "configInternal.h"

#include "dataFiles.h"
#include "ktPlatform/strings.h"
#include "ktTest/clientTree.h"
#include "ktTest/testLog.h"
#include "ktUtils/integritycheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using ktConfigTest::writeDataFile;
using ktTest::logHas;

namespace {

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class Steering : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::clearLog();
        ASSERT_TRUE(m_config.initConfigLocation());
    }

    // Writes ktsteering.json (with its digest unless told otherwise) and reads it.
    int read(const std::string& json, bool withDigest = true)
    {
        writeDataFile(m_tree, "ktsteering.json", json, withDigest ? "d1" : "");
        return steering().readConfig();
    }
    SteeringConfig& steering() { return *m_config.steeringConfig(); }

    ktTest::ClientTree m_tree;
    Config::Impl m_config;
};

} // namespace

TEST_F(Steering, TrafficModes)
{
    struct Case {
        const char* name;
        std::string members;
        const char* os;
        int result;
        int mode;
        const char* logged;
    };
    const Case cases[] = {
        {"web", R"("traffic_mode":"web")", "10.0", 0, 2, "Traffic Mode: web"},
        {"Web", R"("traffic_mode":"Web")", "10.0", 0, 2, "Traffic Mode: Web"},
        {"WEB", R"("traffic_mode":"WEB")", "10.0", 0, 2, "Successfully read steering config."},
        {"cloud", R"("traffic_mode":"Cloud")", "10.0", 0, 1, nullptr},
        {"all", R"("traffic_mode":"all")", "10.0", 0, 3, nullptr},
        {"all before 10", R"("traffic_mode":"all")", "6.3", 0, 2,
         "Firewall mode is not supported for Windows 7/8/8.1. Enforcing web mode."},
        {"firewall wins", R"("firewall_traffic_mode":"all","traffic_mode":"web")", "10.0", 0, 3,
         "Traffic Mode: all"},
        {"firewall wins before 10", R"("firewall_traffic_mode":"all","traffic_mode":"web")", "6.3",
         0, 2, nullptr},
        {"empty firewall falls back", R"("firewall_traffic_mode":"","traffic_mode":"web")", "10.0",
         0, 2, nullptr},
        {"invalid firewall does not", R"("firewall_traffic_mode":"any","traffic_mode":"web")",
         "10.0", 1, 1, "Invalid traffic mode any in steering config"},
        {"leading blank", R"("traffic_mode":" web")", "10.0", 1, 1,
         "Invalid traffic mode  web in steering config"},
        {"neither", R"("steering_config_name":"x")", "10.0", 1, 1,
         "Invalid traffic mode  in steering config"},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        m_tree.setOs(c.os, "workstation");
        Config::Impl config;
        ASSERT_TRUE(config.initConfigLocation());
        writeDataFile(m_tree, "ktsteering.json", R"({"domains":["a.test"],)" + c.members + "}",
                      "d1");
        EXPECT_EQ(config.steeringConfig()->readConfig(), c.result) << c.name;
        EXPECT_EQ(config.getTrafficMode(), c.mode) << c.name;
        if (c.logged != nullptr) {
            EXPECT_TRUE(logHas(c.logged)) << c.name << ": " << ktTest::logText();
        }
    }
}

TEST_F(Steering, DynamicSteeringMethods)
{
    struct Case {
        const char* name;
        std::string members;
        const char* os;
        int result;
        bool dynamic;
        int mode, onPrem, offPrem;
        const char* logged;
    };
    const Case cases[] = {
        {"off: methods ignored", R"("onprem_steering_method":7,"offprem_steering_method":9)",
         "10.0", 0, false, 2, 1, 2, nullptr},
        {"zero means the defaults",
         R"("dynamic_steering":true,"onprem_steering_method":0,"offprem_steering_method":"0")",
         "10.0", 0, true, 2, 1, 2, "Dynamic steering 1"},
        {"taken as written",
         R"("dynamic_steering":"1","onprem_steering_method":3,"offprem_steering_method":1)", "10.0",
         0, true, 2, 3, 1, nullptr},
        {"absent", R"("dynamic_steering":true)", "10.0", 0, true, 2, 1, 2, nullptr},
        {"on-prem 4", R"("dynamic_steering":true,"onprem_steering_method":4)", "10.0", 1, false, 1,
         1, 2, "Invalid on-prem traffic mode 4 in steering config"},
        {"on-prem -1", R"("dynamic_steering":true,"onprem_steering_method":-1)", "10.0", 1, false,
         1, 1, 2, "Invalid on-prem traffic mode -1 in steering config"},
        {"off-prem 4", R"("dynamic_steering":true,"offprem_steering_method":4)", "10.0", 1, false,
         1, 1, 2, "Invalid off-prem traffic mode 4 in steering config"},
        {"not a number", R"("dynamic_steering":true,"onprem_steering_method":"two")", "10.0", 0,
         true, 2, 1, 2, nullptr},
        {"beyond 32 bits", R"("dynamic_steering":true,"onprem_steering_method":4294967299)", "10.0",
         0, true, 2, 1, 2, nullptr},
        {"not a boolean", R"("dynamic_steering":"yes","onprem_steering_method":3)", "10.0", 0,
         false, 2, 1, 2, "Dynamic steering 0"},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        m_tree.setOs(c.os, "workstation");
        Config::Impl config;
        ASSERT_TRUE(config.initConfigLocation());
        writeDataFile(m_tree, "ktsteering.json",
                      R"({"traffic_mode":"web","domains":[],)" + c.members + "}", "d1");
        const SteeringConfig& s = *config.steeringConfig();
        EXPECT_EQ(config.steeringConfig()->readConfig(), c.result) << c.name;
        EXPECT_EQ(config.isDynamicSteeringEnabled(), c.dynamic) << c.name;
        EXPECT_EQ(s.trafficMode(), c.mode) << c.name;
        EXPECT_EQ(s.onPremSteeringMethod(), c.onPrem) << c.name;
        EXPECT_EQ(s.offPremSteeringMethod(), c.offPrem) << c.name;
        if (c.logged != nullptr) {
            EXPECT_TRUE(logHas(c.logged)) << c.name << ": " << ktTest::logText();
        }
    }
}

TEST_F(Steering, ModeAllForcesOffPremisesOnlyFromWindows10)
{
    const std::string json =
        R"({"traffic_mode":"all","dynamic_steering":true,"offprem_steering_method":1,
            "domains":[]})";
    ASSERT_EQ(read(json), 0);
    EXPECT_EQ(steering().trafficMode(), 3);
    EXPECT_EQ(steering().offPremSteeringMethod(), 3);
    EXPECT_TRUE(logHas("Enforcing off-prem steering traffic mode to app-cfw."));

    ktTest::clearLog();
    m_tree.setOs("6.1", "workstation");
    ASSERT_EQ(steering().readConfig(), 0);
    EXPECT_EQ(steering().trafficMode(), 2);
    EXPECT_EQ(steering().offPremSteeringMethod(), 1);
    EXPECT_FALSE(logHas("Enforcing off-prem"));
}

TEST_F(Steering, AllValuesStored)
{
    ASSERT_EQ(read(R"({"traffic_mode":"cloud","steering_config_name":"Corp steering",
        "private_apps_enabled":"true","private_apps_off_prem":"1","private_apps_on_prem":"0",
        "private_apps_other_steering_method":true,"domains":["a.test"]})"),
              0);
    EXPECT_EQ(steering().name(), "Corp steering");
    EXPECT_TRUE(steering().privateAppsEnabled());
    EXPECT_TRUE(steering().privateAppsOffPrem());
    EXPECT_FALSE(steering().privateAppsOnPrem());
    EXPECT_TRUE(steering().privateAppsOtherSteeringMethod());
    EXPECT_TRUE(
        logHas("Steering Config name: Corp steering Traffic Mode: cloud Dynamic steering 0"));

    // Flags that are not booleans count as absent: false.
    ASSERT_EQ(read(R"({"traffic_mode":"cloud","private_apps_enabled":"yes","domains":[]})"), 0);
    EXPECT_FALSE(steering().privateAppsEnabled());
    EXPECT_FALSE(steering().privateAppsOffPrem());
    EXPECT_EQ(steering().name(), "");
}

TEST_F(Steering, DomainsAndPortRules)
{
    ASSERT_EQ(read(R"({"traffic_mode":"web",
        "domains":["a.test","",{"x":"y"},["z"],"b.test"],
        "domain_ports":[
            {"ports":["1"]},
            {"domains":[],"ports":["2-3"]},
            {"domains":["c.test",""],"ports":["443","none","8000-8080"]}]})"),
              0);
    EXPECT_EQ(steering().domains(), (std::vector<std::string>{"a.test", "b.test"}));
    EXPECT_EQ(occurrences(ktTest::logText(), "Invalid domain entry found, skipping it."), 3u);
    const std::vector<DomainPortRule> rules = {
        {{"*"}, {{1, 0}}},
        {{}, {{2, 3}}},
        {{"c.test", ""}, {{443, 0}, {8000, 8080}}},
    };
    EXPECT_EQ(steering().domainPorts(), rules);
    EXPECT_EQ(steering().ports(), (std::vector<PortRange>{{1, 0}, {2, 3}, {443, 0}, {8000, 8080}}));
    EXPECT_TRUE(logHas("Skipping invalid port range: none"));

    // A new read replaces the lists.
    ASSERT_EQ(read(R"({"traffic_mode":"web","domains":["d.test"]})"), 0);
    EXPECT_EQ(steering().domains(), std::vector<std::string>{"d.test"});
    EXPECT_TRUE(steering().domainPorts().empty());
    EXPECT_TRUE(steering().ports().empty());
    EXPECT_TRUE(logHas("domain_ports tag is not provided."));
}

TEST(PortRangeText, Table)
{
    struct Case {
        const char* text;
        std::optional<PortRange> range;
    };
    const Case cases[] = {
        {"443", PortRange{443, 0}},
        {"8000-8080", PortRange{8000, 8080}},
        {"80-80", PortRange{80, 80}},
        {"1", PortRange{1, 0}},
        {"65535", PortRange{65535, 0}},
        {"80abc", PortRange{80, 0}},
        {" 80", PortRange{80, 0}},
        {"+80", PortRange{80, 0}},
        {"1-65535", PortRange{1, 65535}},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"90-80", std::nullopt},
        {"80-", std::nullopt},
        {"-80", std::nullopt},
        {"1-2-3", std::nullopt},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"1-65536", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"4294967377", std::nullopt}, // 2^32 + 81: no wrap to 81
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        std::vector<PortRange> ports = {{7, 0}};
        SteeringConfig::parsePortRange(c.text, ports);
        if (c.range) {
            EXPECT_EQ(ports, (std::vector<PortRange>{{7, 0}, *c.range})) << c.text;
        } else {
            EXPECT_EQ(ports, (std::vector<PortRange>{{7, 0}})) << c.text;
            EXPECT_TRUE(logHas(std::string("Skipping invalid port range: ") + c.text)) << c.text;
        }
    }
}

TEST_F(Steering, MalformedFilesFailAndKeepTheValues)
{
    ASSERT_EQ(read(R"({"traffic_mode":"web","domains":["a.test"],"steering_config_name":"n"})"), 0);
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    for (const std::string& json :
         {std::string("not json"), std::string(R"({"traffic_mode":"web"})"),
          std::string(R"({"traffic_mode":"web","domains":[],"domain_ports":[{"domains":[]}]})"),
          R"({"traffic_mode":"web","domains":)" + deep + "}", std::string()}) {
        ktTest::clearLog();
        EXPECT_EQ(read(json), 1) << json;
        EXPECT_TRUE(logHas("read_json failed, error: ")) << json;
        EXPECT_EQ(steering().trafficMode(), 2);
        EXPECT_EQ(steering().domains(), std::vector<std::string>{"a.test"});
        EXPECT_EQ(steering().name(), "n");
    }
}

TEST_F(Steering, ADirectoryInPlaceOfTheFileIsNotRead)
{
    std::filesystem::create_directories(m_tree.dataFolder() + "/ktsteering.json");
    EXPECT_EQ(steering().readConfig(), 1);
    EXPECT_TRUE(logHas("Failed to read steering config file."));
}

TEST_F(Steering, ATamperedFileIsRejectedWithTheOldValuesKept)
{
    ASSERT_EQ(read(R"({"traffic_mode":"web","domains":["a.test"],"steering_config_name":"n"})"), 0);
    // The same text plus one blank: its digest no longer matches.
    ktTest::clearLog();
    EXPECT_EQ(
        read(R"({"traffic_mode":"all","domains":["evil.test"],"dynamic_steering":true} )", false),
        1);
    EXPECT_TRUE(logHas("Failed to validate integrity of steering config."));
    EXPECT_EQ(m_config.getTrafficMode(), 2);
    EXPECT_FALSE(m_config.isDynamicSteeringEnabled());
    EXPECT_EQ(steering().domains(), std::vector<std::string>{"a.test"});
    EXPECT_EQ(steering().name(), "n");

    // No digest at all, or no ktinternal.json: the same.
    std::filesystem::remove(m_tree.dataFolder() + "/ktinternal.json");
    EXPECT_EQ(steering().readConfig(), 1);
    EXPECT_EQ(steering().domains(), std::vector<std::string>{"a.test"});

    // The developer mode skips the comparison.
    steering().setSkipIntegrityCheck(true);
    EXPECT_EQ(steering().readConfig(), 0);
    EXPECT_EQ(steering().domains(), std::vector<std::string>{"evil.test"});
}

TEST_F(Steering, TheProtectedFormIsReadWithoutDigest)
{
    m_config.configSec().apply(true, m_config.m_configFilePath, {});
    // The plaintext ends with a zero byte, which the parser must not see.
    writeDataFile(m_tree, "ktsteering.json", R"({"traffic_mode":"web","domains":["p.test"]})", "",
                  true);
    EXPECT_EQ(steering().readConfig(), 0) << ktTest::logText();
    EXPECT_EQ(steering().domains(), std::vector<std::string>{"p.test"});
    EXPECT_FALSE(std::filesystem::exists(m_tree.dataFolder() + "/ktinternal.json"));
}

TEST(SteeringFolder, ADataFolderOutsideAsciiIsFound)
{
    ktTest::ClientTree tree;
    const std::string programData = tree.tree().root() + "/Daten \xc3\xa9t\xc3\xa9";
    ktTest::ScopedEnv env("ProgramData", programData);
    Config::Impl config;
    ASSERT_TRUE(config.initConfigLocation());
    const std::string data = programData + "/kestrani/merivon/data";
    EXPECT_EQ(config.steeringConfig()->dataDir(), data);
    const std::string json = R"({"traffic_mode":"web","domains":[]})";
    ktTest::writeAll(data + "/ktsteering.json", json);
    ASSERT_TRUE(saveDigest(ktPlatform::toWide(data), json, "d1"));
    EXPECT_EQ(config.steeringConfig()->readConfig(), 0) << ktTest::logText();
    EXPECT_EQ(config.getTrafficMode(), 2);
}
