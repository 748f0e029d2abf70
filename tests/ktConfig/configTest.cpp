#include "configInternal.h"

#include "dataFiles.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktPlatform/strings.h"
#include "ktRestApi/addonmanapi.h"
#include "ktTest/clientTree.h"
#include "ktTest/testLog.h"
#include "ktUtils/hostUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;
using ktTest::ClientTree;
using ktTest::logHas;

namespace {

boost::property_tree::ptree parse(const std::string& json)
{
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
    return tree;
}

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ktTest::clearLog(); }
    void TearDown() override { setValidatePeerCert(true); }

    // A Config whose locations point into the tree.
    Config::Impl& located()
    {
        EXPECT_TRUE(m_config.initConfigLocation());
        return m_config;
    }

    ClientTree m_tree;
    Config::Impl m_config;
};

} // namespace

TEST_F(ConfigTest, ConstructorDefaults)
{
    const ClientConfigValues& c = m_config.clientConfig();
    EXPECT_EQ(c.configurationName, "Client Default");
    EXPECT_EQ(c.priority, -999);
    EXPECT_EQ(c.qpaPort, 443);
    EXPECT_EQ(c.qpaKeepaliveTimeout, 5);
    EXPECT_EQ(c.protocol, "tls");
    EXPECT_EQ(c.updateIntervalInMin, 240);
    EXPECT_EQ(c.heartbeatIntervalInMin, 30);
    EXPECT_EQ(c.metricsInterval, 360);
    EXPECT_EQ(c.metricsBackoffInterval, 720);
    EXPECT_EQ(c.onpremHttpTcpConnectionTimeout, 10);
    EXPECT_EQ(c.logLevel, 4);
    EXPECT_TRUE(c.userNotification);
    EXPECT_TRUE(c.localTrafficBypass);
    EXPECT_FALSE(c.checkSNI);
    EXPECT_EQ(m_config.devConfig().clientConfigExpiryTime, 86400);
    EXPECT_TRUE(m_config.devConfig().validatePeerCert);
    EXPECT_TRUE(m_config.devConfig().dtlsFallback);
    EXPECT_TRUE(m_config.m_configLocation.empty());
    EXPECT_EQ(m_config.getTrafficMode(), 1);
    EXPECT_NE(m_config.addonManApi(), nullptr);
}

TEST_F(ConfigTest, InitConfigLocationCreatesTheFolders)
{
    ASSERT_FALSE(fs::exists(m_tree.configFolder()));
    located();
    const std::string base = m_tree.configFolder();
    EXPECT_EQ(ktPlatform::toNarrow(m_config.m_configLocation), base);
    EXPECT_EQ(ktPlatform::toNarrow(m_config.m_configFilePath), base + "/ktconfig.json");
    EXPECT_EQ(ktPlatform::toNarrow(m_config.m_downloadDir), base + "/download");
    EXPECT_EQ(ktPlatform::toNarrow(m_config.m_dataDir), base + "/data");
    EXPECT_EQ(ktPlatform::toNarrow(m_config.m_tempImagesDir), base + "/tempImages");
    for (const char* sub : {"", "/download", "/data", "/tempImages"}) {
        EXPECT_TRUE(fs::is_directory(base + sub)) << sub;
    }
    EXPECT_EQ(m_config.steeringConfig()->dataDir(), base + "/data");
    EXPECT_TRUE(logHas("tenant config location: " + base));
}

TEST_F(ConfigTest, InitStopsWhenTheLocationIsUnavailable)
{
    m_tree.writeClientConfig(R"({"clientConfig":{"priority":"7"}})");
    ktTest::ScopedEnv noProgramData("ProgramData", std::string());
    setHttpUserAgent("unchanged");
    EXPECT_FALSE(m_config.init());
    EXPECT_TRUE(logHas("Failed to get config file path, initConfigLocation failed "));
    EXPECT_TRUE(m_config.m_configFilePath.empty());
    EXPECT_EQ(m_config.clientConfig().priority, -999);
    EXPECT_TRUE(m_config.device().m_osName.empty());
    EXPECT_EQ(httpUserAgent(), "unchanged");
}

TEST_F(ConfigTest, UserAgent)
{
    // Before the device information is read the host name is empty.
    m_config.setUserAgent();
    EXPECT_EQ(httpUserAgent(), "Windows NT 10.0;Kestrani Merivon 93.0.1.944;");
    EXPECT_TRUE(logHas("ktGetHostName failed"));

    std::string host;
    ASSERT_TRUE(getComputerName(host));
    m_tree.setOs("6.3", "server");
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.init());
    EXPECT_EQ(httpUserAgent(), "Windows Server 6.3;Kestrani Merivon 93.0.1.944;" + host);
    EXPECT_EQ(m_config.hostName(), host);
}

TEST(NormalizeHostPortList, RemovesTheDotBeforeTheColon)
{
    std::vector<std::string> list = {"a.:80", ".:80", ":80", "a:80", "a.b", "proxy.corp.:8080"};
    normalizeHostPortList(list);
    EXPECT_EQ(list,
              (std::vector<std::string>{"a:80", ":80", ":80", "a:80", "a.b", "proxy.corp:8080"}));
}

// ---- ktconfig.json

TEST_F(ConfigTest, EmptySectionTakesTheReadersOwnValues)
{
    m_tree.writeClientConfig(R"({"clientConfig":{}})");
    ASSERT_TRUE(located().readClientConfig());
    const ClientConfigValues& c = m_config.clientConfig();
    EXPECT_TRUE(logHas("Client config is validated, len "));
    EXPECT_EQ(c.qpaKeepaliveTimeout, 15);
    EXPECT_FALSE(c.dynamicSteering);
    EXPECT_TRUE(c.deviceUniqueID);
    EXPECT_TRUE(c.externalProxyConfig);
    EXPECT_EQ(c.logLevelText, "info");
    EXPECT_EQ(c.initialLogLevel, 4);
    EXPECT_TRUE(c.metricsHosts.empty());
    EXPECT_TRUE(logHas("Failed to find agent metric config error: "));
}

TEST_F(ConfigTest, KeysAreReadWithTheirTypes)
{
    m_tree.writeClientConfig(R"({
        "logLevel": "debug",
        "log": {"enablePktDump": "true"},
        "clientConfig": {
            "configurationName": "Tenant A", "priority": "abc", "userkey": "uk",
            "hideClientIcon": "1", "userNotification": "true", "dynamicSteering": "true",
            "mtu": "70000", "protocol": "dtls", "checkSNI": "1",
            "clientUpdate": {"updateIntervalInMin": "60"},
            "proxyAuth": "false",
            "externalProxyConfig": "false",
            "metrics": {"interval": "99", "hosts": ["m1", "m2"]}
        },
        "qpa": {"port": "8443", "keepalive_timeout": "x", "tenant": "t1",
                "cache": {"dns": {"ttl": "5000000000"}}},
        "cache": {"fpc": "c2VjcmV0", "configUpdateTimestamp": "-6000000000",
                  "dns": {"lastResolvedTime": "9000000000", "stats": {"failureCount": "4"}}},
        "ktgw": {"host": "gw", "backupHost": "gw2", "port": "443"},
        "sfCheck": {"SFCheckerIP": "10.0.0.1"},
        "failClose": {"fail_close": "true"}
    })");
    ASSERT_TRUE(located().readClientConfig());
    const ClientConfigValues& c = m_config.clientConfig();
    EXPECT_EQ(c.logLevel, 5);
    EXPECT_TRUE(c.enablePktDump);
    EXPECT_EQ(c.configurationName, "Tenant A");
    EXPECT_EQ(c.priority, -999);      // not a number: counts as absent
    EXPECT_EQ(c.mtu, 0);              // beyond 16 bits: counts as absent
    EXPECT_FALSE(c.userNotification); // forced off by hideClientIcon
    EXPECT_TRUE(logHas("Disabling user notifications as hideClientIcon is true"));
    EXPECT_TRUE(c.dynamicSteering);
    EXPECT_EQ(c.protocol, "dtls");
    EXPECT_TRUE(m_config.isCheckSNIEnabled());
    EXPECT_FALSE(m_config.isDynamicSteeringActive()); // the steering flag is still off
    EXPECT_EQ(c.updateIntervalInMin, 60);
    EXPECT_EQ(c.qpaPort, 8443);
    EXPECT_EQ(c.qpaKeepaliveTimeout, 15);
    EXPECT_EQ(m_config.getQpaTenant(), "t1");
    EXPECT_EQ(c.qpaDnsTtl, 5000000000LL);
    EXPECT_EQ(c.configUpdateTimestamp, -6000000000LL);
    EXPECT_EQ(c.dnsLastResolvedTime, 9000000000LL);
    EXPECT_EQ(c.dnsFailureCount, 4);
    EXPECT_EQ(m_config.branding().sfCheckerIP, "10.0.0.1");
    EXPECT_TRUE(m_config.failClose().isFailCloseEnabled());
    EXPECT_EQ(m_config.getProxyCredentials(), ""); // proxyAuth off: no credential
    EXPECT_EQ(m_config.requestProxySettings().credentials, "");
    EXPECT_EQ(c.metricsInterval, 99);
    EXPECT_EQ(c.metricsHosts, (std::vector<std::string>{"m1", "m2", "gw", "gw2"}));
}

TEST_F(ConfigTest, DigestMismatchReadsOnlyTheFirstRows)
{
    m_tree.writeClientConfig(
        R"({"logLevel":"error","log":{"enablePktDump":"1"},"clientConfig":{"priority":"5"}})",
        false, false);
    m_tree.writeDigest("d4", "another section");
    EXPECT_FALSE(located().readClientConfig());
    EXPECT_TRUE(logHas("Client config validation failed, len "));
    EXPECT_EQ(m_config.clientConfig().logLevel, 2);
    EXPECT_TRUE(m_config.clientConfig().enablePktDump);
    EXPECT_EQ(m_config.clientConfig().priority, -999);
}

TEST_F(ConfigTest, OnlyTheProtectedFormSkipsTheDigest)
{
    // The section asks to skip its own digest, which is wrong: read plain, the file is
    // refused; read in its protected form, which only the machine's key makes, it is taken.
    const std::string json = R"({"clientConfig":{"encryptClientConfig":"true","priority":"5"}})";
    for (const bool protectedForm : {false, true}) {
        SCOPED_TRACE(protectedForm ? "protected" : "plain");
        ktTest::ClientTree tree;
        tree.writeClientConfig(json, protectedForm, false);
        tree.writeDigest("d4", "another section");
        Config::Impl config;
        ASSERT_TRUE(config.initConfigLocation());
        ktTest::clearLog();
        EXPECT_EQ(config.readClientConfig(), protectedForm);
        EXPECT_EQ(config.clientConfig().priority, protectedForm ? 5 : -999);
        EXPECT_EQ(logHas("Client config validation failed"), !protectedForm);
    }
}

TEST_F(ConfigTest, WithoutTheSectionTheReadStopsAndSucceeds)
{
    const struct {
        const char* json;
        bool read;
        const char* logged;
        int logLevel; // the rows before the section are read either way
    } cases[] = {
        // Nothing to check and nothing more to read: the steering files are still read.
        {R"({"logLevel":"error","qpa":{"port":"1"}})", true,
         "Error in parsing ktconfig.json: No such node (clientConfig)", 2},
        // A section that is no object has no digest to match.
        {R"({"clientConfig":"text","qpa":{"port":"1"}})", false,
         "Client config validation failed, len 0", 4},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.json);
        ktTest::clearLog();
        m_tree.writeClientConfig(tc.json, false, false);
        m_tree.writeDigest("d4", "");
        EXPECT_EQ(located().readClientConfig(), tc.read);
        EXPECT_TRUE(logHas(tc.logged)) << ktTest::logText();
        EXPECT_FALSE(logHas("Client config is validated"));
        EXPECT_EQ(m_config.clientConfig().qpaPort, 443);
        EXPECT_EQ(m_config.clientConfig().logLevel, tc.logLevel);
    }
}

TEST_F(ConfigTest, WithoutTheSectionTheSteeringFileIsStillRead)
{
    m_tree.writeClientConfig(R"({"logLevel":"error"})", false, false);
    ktConfigTest::writeDataFile(m_tree, "ktsteering.json", R"({"traffic_mode":"web","domains":[]})",
                                "d1");
    m_config.init();
    EXPECT_EQ(m_config.getTrafficMode(), 2);
}

TEST_F(ConfigTest, DeveloperModeSkipsTheDigest)
{
    m_tree.writeDevConfig(R"({"devConfig":{"useDevConfig":"true"}})");
    m_tree.writeClientConfig(R"({"clientConfig":{"priority":"5"}})", false, false);
    ASSERT_TRUE(located().readDevConfig());
    EXPECT_TRUE(logHas("devconfig.json turns the integrity checks off"));
    ASSERT_TRUE(m_config.readClientConfig());
    EXPECT_FALSE(logHas("Client config"));
    EXPECT_EQ(m_config.clientConfig().priority, 5);

    // Without a section the read stops there but still succeeds.
    m_tree.writeClientConfig(R"({"qpa":{"port":"1"}})", false, false);
    ktTest::clearLog();
    EXPECT_TRUE(m_config.readClientConfig());
    EXPECT_TRUE(logHas("Error in parsing ktconfig.json: No such node (clientConfig)"));
    EXPECT_EQ(m_config.clientConfig().qpaPort, 443);
}

TEST_F(ConfigTest, MalformedFileIsKept)
{
    m_tree.writeClientConfig("{\"clientConfig\": {", false, false);
    EXPECT_FALSE(located().readClientConfig());
    EXPECT_TRUE(logHas("failed to read ktconfig.json: "));
    EXPECT_EQ(ktTest::readAll(m_tree.configFilePath()), "{\"clientConfig\": {");
}

TEST_F(ConfigTest, MissingAndEmptyFiles)
{
    EXPECT_FALSE(located().readClientConfig());
    EXPECT_TRUE(logHas("failed to read file " + m_tree.configFilePath()));
    m_tree.writeClientConfig("", false, false);
    EXPECT_FALSE(m_config.readClientConfig());
    EXPECT_TRUE(logHas("file: " + m_tree.configFilePath() + " is empty"));
}

TEST_F(ConfigTest, OnlyProtectedFormIsNeverRemoved)
{
    // Protected form only, and the section asks for the plain form: the .enc stays.
    m_tree.writeClientConfig(R"({"clientConfig":{"encryptClientConfig":"false"}})", true);
    ASSERT_TRUE(located().readClientConfig());
    EXPECT_TRUE(fs::exists(m_tree.configFilePath() + ".enc"));
    EXPECT_FALSE(m_config.configSec().encrypted());
}

TEST_F(ConfigTest, StalePlainFormIsRemovedBesideTheProtectedOne)
{
    m_tree.writeClientConfig(R"({"clientConfig":{"priority":"1"}})");
    m_tree.writeClientConfig(R"({"clientConfig":{"encryptClientConfig":"true","priority":"2"}})",
                             true);
    ASSERT_TRUE(located().readClientConfig());
    EXPECT_EQ(m_config.clientConfig().priority, 2);
    EXPECT_FALSE(fs::exists(m_tree.configFilePath()));
    EXPECT_TRUE(fs::exists(m_tree.configFilePath() + ".enc"));
    EXPECT_TRUE(m_config.configSec().encrypted());
}

TEST_F(ConfigTest, APlainFormIsRemovedOnlyOnceItsProtectedFormWasRead)
{
    const std::string plain = R"({"clientConfig":{"priority":"1"}})";
    const struct {
        const char* name;
        const char* sealed;   // text stored at ktconfig.json.enc; nullptr: a protected form
        const char* protects; // what that protected form holds
        bool read;
        bool plainKept;
        const char* logged;
    } cases[] = {
        {"empty", "", nullptr, false, true, "Invalid decryption of protected file: "},
        {"garbage", "bm90IGEgYmxvYg==", nullptr, false, true,
         "Invalid decryption of protected file: "},
        {"protects no JSON", nullptr, "{\"clientConfig\": ", false, true,
         "failed to read ktconfig.json: "},
        {"valid", nullptr, R"({"clientConfig":{"encryptClientConfig":"true","priority":"2"}})",
         true, false, "Client config is validated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        Config::Impl config;
        m_tree.writeClientConfig(plain, false, false);
        if (c.sealed == nullptr) {
            m_tree.writeClientConfig(c.protects, true, c.read);
        } else {
            ktTest::writeAll(m_tree.configFilePath() + ".enc", c.sealed);
        }
        ASSERT_TRUE(config.initConfigLocation());
        EXPECT_EQ(config.readClientConfig(), c.read);
        EXPECT_TRUE(config.configSec().encrypted()) << "the protected form is read";
        EXPECT_EQ(fs::exists(m_tree.configFilePath()), c.plainKept);
        EXPECT_EQ(ktTest::readAll(m_tree.configFilePath() + ".enc").empty(),
                  std::string(c.name) == "empty")
            << "the protected form is never removed";
        EXPECT_TRUE(logHas(c.logged));
        EXPECT_EQ(config.clientConfig().priority, c.read ? 2 : -999);
    }
}

struct ExternalProxyCase {
    const char* name;
    const char* proxies;             // the "externalProxy" member, or empty for none
    std::vector<std::string> listed; // products of m_externalProxies, as host names
    std::vector<std::string> all;    // the full proxy list
    bool error;
    std::vector<std::string> skipped = {}; // hosts of records left out for their port
};

class ExternalProxies : public ConfigTest,
                        public ::testing::WithParamInterface<ExternalProxyCase> {};

TEST_P(ExternalProxies, Read)
{
    const ExternalProxyCase& tc = GetParam();
    std::string section = R"({"clientConfig":{)";
    if (*tc.proxies != 0) {
        section += std::string(R"("externalProxy":)") + tc.proxies;
    }
    m_tree.writeClientConfig(section + "}}");
    ASSERT_TRUE(located().readClientConfig());
    std::vector<std::string> hosts;
    for (const ExternalProxyRecord& r : m_config.externalProxies()) {
        hosts.push_back(r.host);
    }
    EXPECT_EQ(hosts, tc.listed);
    EXPECT_EQ(m_config.allProxies(), tc.all);
    EXPECT_EQ(logHas("failed to read external proxy configuration: "), tc.error);
    const std::string log = ktTest::logText();
    std::size_t lines = 0;
    for (auto at = log.find(") skipped: port "); at != std::string::npos;
         at = log.find(") skipped: port ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, tc.skipped.size());
    for (const std::string& host : tc.skipped) {
        EXPECT_TRUE(logHas("(" + host + ") skipped: port ")) << host;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Config, ExternalProxies,
    ::testing::Values(
        ExternalProxyCase{"Products",
                          R"([{"product":"1","host":"p1","port":"81","description":"d"},
                              {"product":"2","host":"p2","port":"8080","description":"d"},
                              {"product":"3","host":"p3","port":"3128","description":"d"},
                              {"product":"2","host":"bare","port":"0","description":"d"}])",
                          {"p2", "p3", "bare"},
                          {"p2:8080", "bare"},
                          false},
        ExternalProxyCase{"Incomplete",
                          R"([{"product":"2","host":"p2","port":"8080","description":"d"},
                              {"product":"2","host":"p3","port":"8080"}])",
                          {"p2"},
                          {},
                          true},
        // A port that does not fit 16 bits leaves its record out, and only that one.
        ExternalProxyCase{"PortOutOfRange",
                          R"([{"product":"2","host":"p1","port":"65536","description":"d"},
                              {"product":"2","host":"p2","port":"65535","description":"d"},
                              {"product":"2","host":"p3","port":"-1","description":"d"},
                              {"product":"2","host":"p4","port":"99999999999999999999999",
                               "description":"d"},
                              {"product":"3","host":"p5","port":"3128","description":"d"}])",
                          {"p2", "p5"},
                          {"p2:65535"},
                          false,
                          {"p1", "p3", "p4"}},
        ExternalProxyCase{"PortNotANumber",
                          R"([{"product":"2","host":"p2","port":"8080","description":"d"},
                              {"product":"2","host":"p3","port":"80x","description":"d"},
                              {"product":"2","host":"p4","port":"81","description":"d"}])",
                          {"p2"},
                          {},
                          true},
        ExternalProxyCase{"Missing", "", {}, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigTest, ProductOneProxyTakesTheSlot)
{
    m_tree.writeClientConfig(R"({"clientConfig":{"externalProxy":[
        {"product":"1","host":"first","port":"81","description":"d"},
        {"product":"1","host":"second","port":"82","description":"d"},
        {"product":"2","host":"p2","port":"8080","description":"d"}]}})");
    ASSERT_TRUE(located().readClientConfig());
    EXPECT_EQ(m_config.clientConfig().productOneProxyFlag, 1);
    EXPECT_EQ(m_config.clientConfig().productOneProxyHost, "second");
    EXPECT_EQ(m_config.clientConfig().productOneProxyPort, 82);
    EXPECT_TRUE(logHas("Configured External Proxy List count 1"));
}

TEST_F(ConfigTest, ExternalProxyConfigOffLeavesTheListAlone)
{
    m_tree.writeClientConfig(R"({"clientConfig":{"externalProxyConfig":"false","externalProxy":[
        {"product":"2","host":"p2","port":"8080","description":"d"}]}})");
    ASSERT_TRUE(located().readClientConfig());
    EXPECT_TRUE(m_config.externalProxies().empty());
    EXPECT_FALSE(logHas("Configured External Proxy List count"));
}

TEST_F(ConfigTest, ProxyCredentialAndProbeUrl)
{
    m_tree.writeClientConfig(
        R"({"clientConfig":{"proxyAuth":"true"},"cache":{"fpc":"stored-form"}})");
    ASSERT_TRUE(located().readClientConfig());
    EXPECT_EQ(m_config.requestProxySettings().credentials, "stored-form");
    EXPECT_EQ(m_config.getOrgVersionUrl(), "https:///config/org/version?orgkey=&userkey=");
}

TEST(IsNewerThanBuildVersion, Table)
{
    const struct {
        const char* version;
        bool newer;
    } cases[] = {
        {"94", true},
        {"93.0.1.944", false},
        {"93.0.1.945", true},
        {"93.1", true},
        {"93.0.2", true},
        {"92.9.9.999", false},
        {"93..2", true},
        {"93.0.1.944.7", false},
        {"abc", false},
        {"", false},
        {"93.0.1.943", false},
        {"93a.0.1.945", true},
        {"99999999999999999999999", true},
        // Each field as atoi reads it: leading blanks, then a sign.
        {" 95.0.0.1", true},
        {"\t\n\v\f\r 95", true},
        {"+95", true},
        {"93.+1", true},
        {"93. 0.1.945", true},
        {"-95", false},
        {"93.-1.5", false},
        {"+ 95", false},
        {" ", false},
    };
    for (const auto& tc : cases) {
        EXPECT_EQ(Config::Impl::isNewerThanBuildVersion(tc.version), tc.newer) << tc.version;
    }
    // A long text is compared by its fields, never cut.
    EXPECT_TRUE(Config::Impl::isNewerThanBuildVersion(std::string(5000, '.') + "94"));
}

class UpdateCheck : public ConfigTest, public ::testing::WithParamInterface<bool> {
protected:
    // Writes the file with the two cache keys, reads it and returns the tree written back.
    boost::property_tree::ptree run(const std::string& version, const std::string& updated)
    {
        const bool protectedForm = GetParam();
        const std::string json = std::string(R"({"clientConfig":{"encryptClientConfig":")") +
                                 (protectedForm ? "true" : "false") +
                                 R"("},"cache":{"newClientVer":")" + version +
                                 R"(","lastClientUpdated":")" + updated + R"("},"keep":"me"})";
        m_tree.writeClientConfig(json, protectedForm);
        fs::create_directories(m_tree.dataFolder());
        ktTest::writeAll(installer(), "msi");
        if (!protectedForm) {
            fs::permissions(m_tree.configFilePath(), fs::perms(0640));
        }
        EXPECT_TRUE(located().readClientConfig());
        if (!protectedForm) {
            EXPECT_EQ(fs::status(m_tree.configFilePath()).permissions(), fs::perms(0640));
        }
        EXPECT_EQ(fs::exists(m_tree.configFilePath() + ".enc"), protectedForm);
        return parse(m_tree.readClientConfig(protectedForm));
    }
    std::string installer() const { return m_tree.dataFolder() + "/Merivon.msi"; }
};

TEST_P(UpdateCheck, GotUpdated)
{
    const auto tree = run("93.0.1.944", "true");
    EXPECT_TRUE(logHas("Client got updated, send a message to client UI"));
    EXPECT_EQ(tree.get<std::string>("cache.newClientVer"), "");
    EXPECT_EQ(tree.get<std::string>("cache.lastClientUpdated"), "0");
    EXPECT_EQ(tree.get<std::string>("keep"), "me");
    EXPECT_FALSE(fs::exists(installer()));
    EXPECT_FALSE(m_config.clientConfig().lastClientUpdated);
    EXPECT_TRUE(m_config.clientConfig().newClientVer.empty());
}

TEST_P(UpdateCheck, NotUpdatedResetsTheFlag)
{
    const auto tree = run("95.0.0.1", "true");
    EXPECT_TRUE(logHas("client didn't update, reset update flag"));
    EXPECT_EQ(tree.get<std::string>("cache.newClientVer"), "95.0.0.1");
    EXPECT_EQ(tree.get<std::string>("cache.lastClientUpdated"), "0");
    EXPECT_TRUE(fs::exists(installer()));
}

TEST_P(UpdateCheck, ABlankBeforeANewerVersionIsNoUpdate)
{
    const auto tree = run(" 95.0.0.1", "true");
    EXPECT_FALSE(logHas("Client got updated"));
    EXPECT_EQ(tree.get<std::string>("cache.newClientVer"), " 95.0.0.1");
    EXPECT_TRUE(fs::exists(installer()));
}

TEST_P(UpdateCheck, NothingToDo)
{
    const auto tree = run("", "true");
    EXPECT_EQ(tree.get<std::string>("cache.lastClientUpdated"), "true");
    EXPECT_TRUE(fs::exists(installer()));
    EXPECT_TRUE(m_config.clientConfig().lastClientUpdated);
}

INSTANTIATE_TEST_SUITE_P(Config, UpdateCheck, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Protected" : "Plain"; });

TEST_F(ConfigTest, AppendKeyWithoutFile)
{
    EXPECT_FALSE(located().appendKeyToConfigJson("cache.newClientVer", ""));
    EXPECT_TRUE(logHas("Failed to read ktConfig.json"));
    EXPECT_FALSE(fs::exists(m_tree.configFilePath()));
}

// ---- ktuserconfig.json

TEST_F(ConfigTest, UserConfigIsReadWithTheLocation)
{
    m_tree.writeConfigFile("ktuserconfig.json", R"({"ktUserConfig":{
        "enablePerUserConfig":"true","configLocation":"%APPDATA%\\Kestrani\\Merivon",
        "host":"addon.example","token":"org-key","autoupdate":"false",
        "failClose":{"disable":"true","exclude_qpa":"1"}},
        "cache":{"device_token":"secret-device-token"}})");
    located();
    EXPECT_TRUE(m_config.enablePerUserConfig());
    EXPECT_EQ(m_config.perUserConfigLocation(), L"%APPDATA%\\Kestrani\\Merivon");
    EXPECT_FALSE(m_config.autoUpdate());
    EXPECT_EQ(m_config.branding().addonManagerHost, "addon.example");
    EXPECT_EQ(m_config.addonManApi()->addonHost(), "addon.example");
    EXPECT_EQ(m_config.branding().orgKey, "org-key");
    EXPECT_EQ(m_config.clientConfig().deviceToken, "secret-device-token");
    EXPECT_TRUE(m_config.failClose().userDisable());
    EXPECT_TRUE(m_config.failClose().userExcludeQpa());
    EXPECT_TRUE(logHas("userconfig failcloseDisable: 1"));
    EXPECT_FALSE(logHas("secret-device-token"));
}

TEST_F(ConfigTest, UserConfigAbsentOrMalformed)
{
    located();
    EXPECT_TRUE(logHas("failed to read file " + m_tree.configFolder() + "/ktuserconfig.json"));
    EXPECT_FALSE(m_config.enablePerUserConfig());
    EXPECT_TRUE(m_config.autoUpdate());

    m_tree.writeConfigFile("ktuserconfig.json", "{\"ktUserConfig\":");
    EXPECT_TRUE(m_config.readUserConfig());
    EXPECT_TRUE(logHas("ktuserconfig.json parsing error: "));
    m_tree.writeConfigFile("ktuserconfig.json", "");
    EXPECT_FALSE(m_config.readUserConfig());
}

// ---- devconfig.json

TEST_F(ConfigTest, DevConfigAbsentKeepsDefaults)
{
    EXPECT_FALSE(located().readDevConfig());
    EXPECT_TRUE(logHas("failed to read file " + m_tree.configFolder() + "/devconfig.json"));
    EXPECT_TRUE(m_config.devConfig().validatePeerCert);
    EXPECT_TRUE(m_config.devConfig().dtlsFallback);
    EXPECT_EQ(m_config.devConfig().clientConfigExpiryTime, 86400);
}

TEST_F(ConfigTest, DevConfigSizesAbsentAreReset)
{
    m_tree.writeDevConfig(R"({"devConfig":{"tunnelPacketQueueSize":"7",
        "sendTcpBufferSizeInKBs":"8","receiveTcpBufferSizeInKBs":"9","dtlsFallback":"false",
        "clientConfigExpiryTime":"60","validatePeerCert":"false","tunnelPortList":"443"}})");
    ASSERT_TRUE(located().readDevConfig());
    const DevConfigValues& d = m_config.devConfig();
    EXPECT_EQ(d.tunnelPacketQueueSize, 7);
    EXPECT_FALSE(d.dtlsFallback);
    EXPECT_FALSE(d.validatePeerCert);
    EXPECT_TRUE(logHas("devconfig.json turns server certificate validation off"));

    m_tree.writeDevConfig(R"({"devConfig":{}})");
    ASSERT_TRUE(m_config.readDevConfig());
    EXPECT_EQ(d.tunnelPacketQueueSize, 0);
    EXPECT_EQ(d.sendTcpBufferSizeInKBs, 0);
    EXPECT_EQ(d.receiveTcpBufferSizeInKBs, 0);
    EXPECT_TRUE(d.dtlsFallback);
    EXPECT_EQ(d.clientConfigExpiryTime, 60);
    EXPECT_FALSE(d.validatePeerCert);
    EXPECT_EQ(d.tunnelPortList, (std::set<std::string>{"443"}));
}

TEST_F(ConfigTest, DevConfigMalformedAndEmpty)
{
    m_tree.writeDevConfig("{\"devConfig\":");
    EXPECT_FALSE(located().readDevConfig());
    EXPECT_TRUE(logHas("failed to read devConfig.json: "));
    m_tree.writeDevConfig("");
    EXPECT_FALSE(m_config.readDevConfig());
    EXPECT_TRUE(logHas("is empty"));
    EXPECT_TRUE(m_config.devConfig().validatePeerCert);
}

TEST_F(ConfigTest, TunnelPortList)
{
    const struct {
        const char* list;
        std::set<std::string> ports;
    } cases[] = {
        {"443,8443,443", {"443", "8443"}},
        {"443, 8443", {"443", " 8443"}},
        {"443,,80", {"", "443", "80"}},
        {",443,", {"", "443"}},
        {"", {"", "443"}}, // an empty list leaves the set as it was
    };
    located();
    for (const auto& tc : cases) {
        m_tree.writeDevConfig(std::string(R"({"devConfig":{"tunnelPortList":")") + tc.list +
                              "\"}}");
        ASSERT_TRUE(m_config.readDevConfig());
        EXPECT_EQ(m_config.devConfig().tunnelPortList, tc.ports) << tc.list;
    }
}

// ---- fail-close

TEST(FailCloseConfig, TruthTable)
{
    const struct {
        const char* policy;
        const char* user;
        bool enabled;
    } cases[] = {
        {"false", "false", false}, {"true", "false", true}, {"true", "true", false},
        {"false", "true", false},  {"true", "yes", true},   {"yes", "false", false},
    };
    for (const auto& tc : cases) {
        FailCloseConfig failClose;
        EXPECT_TRUE(
            failClose.readConfig(parse(std::string(R"({"failClose":{"fail_close":")") + tc.policy +
                                       R"(","exclude_qpa":"1","notification":"0",)"
                                       R"("captive_portal_timeout":"30"}})")));
        boost::property_tree::wptree user;
        user.put(L"ktUserConfig.failClose.disable", ktPlatform::toWide(tc.user));
        user.put(L"ktUserConfig.failClose.exclude_qpa", L"true");
        EXPECT_TRUE(failClose.readUserConfig(user));
        EXPECT_EQ(failClose.isFailCloseEnabled(), tc.enabled) << tc.policy << " " << tc.user;
        EXPECT_TRUE(failClose.excludeQpa());
        EXPECT_FALSE(failClose.notification());
        EXPECT_EQ(failClose.captivePortalTimeout(), 30);
        EXPECT_TRUE(failClose.userExcludeQpa());
    }
}

// ---- identity provider

TEST_F(ConfigTest, IdentityProvider)
{
    const struct {
        const char* json; // nullptr: no file
        bool loaded;
        const char* domain;
        const char* tenant;
        bool requestEmail;
        const char* logged;
    } cases[] = {
        {nullptr, false, "", "", false, "failed to read ktidpconfig.json file, "},
        {"", false, "", "", false, "is empty"},
        {"{\"serviceProvider\":", false, "", "", false, "ktidpconfig.json parsing error: "},
        {R"({"serviceProvider":{"domain":"a","tenant":"t"}})", true, "", "t", false,
         "idpconfig has service provider domain name empty"},
        {R"({"serviceProvider":{"domain":"ab.example"},"requestEmail":"true"})", true, "ab.example",
         "", true, "idpconfig has service provider tenant name empty"},
    };
    located();
    for (const auto& tc : cases) {
        ktTest::clearLog();
        fs::remove(m_tree.configFolder() + "/ktidpconfig.json");
        if (tc.json != nullptr) {
            m_tree.writeIdpConfig(tc.json);
        }
        idpConfig idp;
        idp.m_location = m_config.m_configLocation;
        EXPECT_EQ(idp.readIdpConfig(), tc.loaded) << tc.logged;
        EXPECT_EQ(idp.m_domain, tc.domain);
        EXPECT_EQ(idp.m_tenant, tc.tenant);
        EXPECT_EQ(idp.m_requestEmail, tc.requestEmail);
        EXPECT_TRUE(logHas(tc.logged)) << tc.logged;
    }
}

// ---- device information

TEST_F(ConfigTest, DeviceInformationFromTheRegistry)
{
    const std::string sysInfo = "SYSTEM\\CurrentControlSet\\Control\\SystemInformation";
    m_tree.setRegistryValue(true, sysInfo, "SystemManufacturer", "Maker 64");
    m_tree.setRegistryValue(false, sysInfo, "SystemProductName", std::string(300, 'm'));
    m_tree.setRegistryValue(true, sysInfo, "SystemProductName", std::string(300, 'm'));
    m_tree.setRegistryValue(false, "SOFTWARE\\Kestrani\\Provisioning", "ktdeviceuid", "uid-1");
    m_tree.setRegistryValue(true, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId",
                            "2009");
    deviceInfo info;
    getDeviceInfo(info);
    EXPECT_EQ(info.m_osName, "Windows");
    EXPECT_EQ(info.m_osVersion, "10.0 (2009)");
    EXPECT_EQ(info.m_manufacturer, "Maker 64"); // the 64-bit view after the 32-bit one
    EXPECT_TRUE(logHas("Device Make: Maker 64"));
    EXPECT_EQ(info.m_model, ""); // longer than the room: refused, not cut
    EXPECT_TRUE(logHas("Failed to get Hardware model from registry, error 234"));
    EXPECT_EQ(info.m_deviceUid, "uid-1");
    EXPECT_TRUE(logHas("DeviceId, ktDeviceUid: [uid-1]"));
    EXPECT_EQ(info.m_managementId, "");
    EXPECT_TRUE(logHas("managementID is empty"));
    std::string host;
    ASSERT_TRUE(getComputerName(host));
    EXPECT_EQ(info.m_hostName, host);
}

TEST_F(ConfigTest, DeviceInformationOnAnOlderServer)
{
    m_tree.setOs("6.3", "server");
    m_tree.setRegistryValue(true, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ReleaseId",
                            "2009");
    m_tree.setRegistryValue(false, "SOFTWARE\\Microsoft\\Provisioning\\OMADM\\MDMDeviceID",
                            "DeviceClientId", "mdm-7");
    deviceInfo info;
    getDeviceInfo(info);
    EXPECT_EQ(info.m_osName, "Windows Server");
    EXPECT_EQ(info.m_osVersion, "6.3");
    EXPECT_EQ(info.m_managementId, "mdm-7");
    EXPECT_TRUE(logHas("Failed to get device vendor from registry, error 2"));
    EXPECT_TRUE(logHas("ktdeviceuid is empty"));
}

// ---- the whole load

TEST_F(ConfigTest, InitRunsTheBuiltStepsInOrder)
{
    m_tree.writeDevConfig(R"({"devConfig":{"useDevConfig":"true","validatePeerCert":"false"}})");
    // No digest: only the developer mode read before it lets this file through.
    m_tree.writeClientConfig(R"({"clientConfig":{"priority":"3"}})", false, false);
    m_tree.writeIdpConfig(R"({"serviceProvider":{"tenant":"idp-t"}})");
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.init());
    EXPECT_EQ(m_config.clientConfig().priority, 3);
    EXPECT_TRUE(m_config.steeringConfig()->skipIntegrityCheck());
    EXPECT_FALSE(validatePeerCert());
    EXPECT_TRUE(m_config.idp().m_loaded);
    EXPECT_EQ(m_config.idp().m_tenant, "idp-t");
    EXPECT_EQ(m_config.idp().m_location, m_config.m_configLocation);
    EXPECT_FALSE(m_config.device().m_osName.empty());
    EXPECT_NE(httpUserAgent().find(";Kestrani Merivon 93.0.1.944;"), std::string::npos);
    const std::string log = ktTest::logText();
    const auto dev = log.find("devconfig.json turns the integrity checks off");
    const auto agent = log.find("Windows NT 10.0;Kestrani Merivon");
    const auto idp = log.find("idpconfig has service provider tenant name idp-t");
    ASSERT_NE(dev, std::string::npos);
    ASSERT_NE(agent, std::string::npos);
    ASSERT_NE(idp, std::string::npos);
    EXPECT_LT(log.find("tenant config location"), log.find("managementID is empty"));
    EXPECT_LT(log.find("managementID is empty"), dev);
    EXPECT_LT(dev, agent);
    EXPECT_LT(agent, idp);
}

TEST_F(ConfigTest, InitWithoutAnActiveSessionFailsAfterTheReaders)
{
    ktTest::TempDir noSessions;
    ktTest::ScopedEnv sessions("KTDIAG_SESSIONS_DIR", noSessions.path());
    m_tree.writeClientConfig(R"({"clientConfig":{"priority":"3"}})");
    m_tree.writeIdpConfig(R"({"serviceProvider":{"tenant":"idp-t"}})");
    EXPECT_FALSE(m_config.init());
    EXPECT_EQ(m_config.clientConfig().priority, 3);
    EXPECT_TRUE(m_config.idp().m_loaded);
    EXPECT_EQ(httpUserAgent().rfind("Windows NT 10.0;Kestrani Merivon 93.0.1.944;", 0), 0u);
}

TEST_F(ConfigTest, InitWithoutClientConfigStillBuildsTheUserAgent)
{
    setHttpUserAgent("unchanged");
    m_tree.writeBranding(ClientTree::brandingJson());
    EXPECT_TRUE(m_config.init());
    EXPECT_TRUE(validatePeerCert());
    EXPECT_EQ(httpUserAgent().rfind("Windows NT 10.0;Kestrani Merivon 93.0.1.944;", 0), 0u);
    EXPECT_FALSE(m_config.idp().m_loaded);
}
