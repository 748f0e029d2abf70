// The cached files of the data folder on a client tree: the fixed order with its critical
// and minor failures, the digests of the three guarded lists, and tamper reports posted to
// a local HTTPS origin standing for the add-on service.

#include "configInternal.h"

#include "dataFiles.h"
#include "ktDownloader/ktHTTPClient.h"
#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/testLog.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ktConfigTest::writeDataFile;
using ktTest::HttpReply;
using ktTest::logHas;

namespace {

using Members = std::map<std::string, std::string>;

// The top-level members of a JSON object, or an empty map when it is not one.
Members members(const std::string& json)
{
    Members out;
    try {
        boost::property_tree::ptree tree;
        std::istringstream in(json);
        boost::property_tree::read_json(in, tree);
        for (const auto& member : tree) {
            out[member.first] = member.second.data();
        }
    } catch (const std::exception&) {
    }
    return out;
}

struct DataFile {
    const char* name;
    std::string content;
    const char* digestKey; // "" when not guarded
    std::function<std::string(Config::Impl&)> stored;
};

const char* const kSteeringCloud = R"({"traffic_mode":"cloud","domains":["a.test"]})";

std::vector<DataFile> dataFiles()
{
    return {
        {"ktsteering.json", kSteeringCloud, "d1", nullptr},
        {"ktcacert.pem", "-----BEGIN CERTIFICATE-----\nroot\n-----END CERTIFICATE-----\n", "",
         [](Config::Impl& c) { return c.rootCaCert(); }},
        {"kttenantcert.pem", "tenant\n", "", [](Config::Impl& c) { return c.tenantCert(); }},
        {"ktexception.json", R"({"Off Prem":{"domains":["x.test"]},"On Prem":{}})", "d3",
         [](Config::Impl& c) { return c.exceptionList(); }},
        {"ktbypass.json", R"({"bypass":["b.test"]})", "d2",
         [](Config::Impl& c) { return c.bypassList(); }},
        {"ktdeviceid.json", R"({"rules":[]})", "",
         [](Config::Impl& c) { return c.deviceIdRules(); }},
        {"ktbypasscat.json", R"({"categories":["c"]})", "d7",
         [](Config::Impl& c) { return c.bypassCategoryList(); }},
        {"ktoverlap.json", R"({"overlap":[]})", "",
         [](Config::Impl& c) { return c.overlapDomains(); }},
        {"kttunnelpolicy.json", R"({"policy":1})", "",
         [](Config::Impl& c) { return c.tunnelPolicy(); }},
    };
}

class CachedLists : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::clearLog();
        m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})"));
        writeClient();
        writeFiles();
    }
    void TearDown() override { setValidatePeerCert(true); }

    std::string originHost() const { return "127.0.0.1:" + std::to_string(m_origin.port()); }

    // ktconfig.json with its "d4" digest (protected and without digests when asked), and the
    // add-on host and organisation key of ktuserconfig.json and of the branding file.
    void writeClient(const std::string& clientConfig = "",
                     const std::string& ktgw = R"("host":"gw.test","port":"443")",
                     bool protectedForm = false)
    {
        m_tree.writeClientConfig(R"({"ktgw":{)" + ktgw + R"(},"clientConfig":{)" + clientConfig +
                                     "}}",
                                 protectedForm, !protectedForm);
        setAddonHost(originHost());
    }
    void setAddonHost(const std::string& host)
    {
        m_tree.writeConfigFile("ktuserconfig.json",
                               R"({"ktUserConfig":{"host":")" + host + R"(","token":"org-key"}})");
        m_tree.writeConfigFile("ktbranding.json",
                               R"({"UserKey":"user-key","OrgKey":"org-key","OrgName":"Org",
                                  "AddonManagerHost":")" +
                                   host + R"(","AddonCheckerHost":"checker.test"})");
    }
    // Every cached file with its digest (protected and without digests when asked).
    void writeFiles(const std::string& steering = kSteeringCloud, bool protectedForm = false)
    {
        for (DataFile& file : dataFiles()) {
            if (std::string(file.name) == "ktsteering.json") {
                file.content = steering;
            }
            writeDataFile(m_tree, file.name, file.content, protectedForm ? "" : file.digestKey,
                          protectedForm);
        }
    }
    // Changes a guarded file after its digest was stored.
    void tamper(const std::string& name)
    {
        const std::string path = m_tree.dataFolder() + "/" + name;
        ktTest::writeAll(path, ktTest::readAll(path) + " ");
    }
    std::string internalText() const
    {
        return ktTest::readAll(m_tree.dataFolder() + "/ktinternal.json");
    }

    // The steps of init up to the cached files.
    bool load(Config::Impl& config)
    {
        EXPECT_TRUE(config.initConfigLocation());
        config.readDevConfig();
        config.steeringConfig()->setSkipIntegrityCheck(config.devConfig().useDevConfig);
        EXPECT_TRUE(config.readClientConfig()) << ktTest::logText();
        return config.readSteeringFiles();
    }

    ktTest::ClientTree m_tree;
    ktTest::ClearProxyEnv m_noProxyEnv;
    ktTest::ScopedEnv m_noProxySettings{"KTDIAG_PROXY_SETTINGS_FILE",
                                        m_tree.tree().root() + "/no-proxy-settings.json"};
    ktTest::HttpsOrigin m_origin;
};

} // namespace

TEST_F(CachedLists, EveryFileReadAndStored)
{
    Config::Impl config;
    EXPECT_TRUE(load(config)) << ktTest::logText();
    EXPECT_TRUE(config.steeringFilesValid());
    for (const DataFile& file : dataFiles()) {
        if (file.stored) {
            EXPECT_EQ(file.stored(config), file.content) << file.name;
        }
    }
    EXPECT_EQ(config.steeringConfig()->domains(), std::vector<std::string>{"a.test"});
    EXPECT_TRUE(logHas("Validated integrity of bypass list successfully."));
    EXPECT_TRUE(logHas("Validated integrity of bypass category list successfully."));
    EXPECT_TRUE(logHas("Validated integrity of exception list successfully."));
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(CachedLists, EachMissingFileIsCriticalOrMinor)
{
    struct Case {
        const char* name;
        const char* logged;
        bool critical;
    };
    const Case cases[] = {
        {"ktsteering.json", "failed to read steering config file", true},
        {"ktcacert.pem", "failed to read ca cert file", true},
        {"kttenantcert.pem", "failed to read tenant cert file", true},
        {"ktexception.json", "failed to read exception list file", false},
        {"ktbypass.json", "failed to read bypass list file", false},
        {"ktdeviceid.json", "Failed to read deviceId rules file", false},
        {"ktbypasscat.json", "failed to read category list file", false},
        {"ktoverlap.json", "Failed to read overlapping domains file", false},
        {"kttunnelpolicy.json", "Failed to read kttunnelPolicy.json file", false},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        writeFiles();
        fs::remove(m_tree.dataFolder() + "/" + c.name);
        Config::Impl config;
        EXPECT_EQ(load(config), !c.critical) << c.name;
        EXPECT_FALSE(config.steeringFilesValid()) << c.name;
        EXPECT_TRUE(logHas(c.logged)) << c.name;
        // Every other file is still read.
        for (const DataFile& file : dataFiles()) {
            if (file.stored) {
                EXPECT_EQ(file.stored(config), c.name == std::string(file.name) ? "" : file.content)
                    << c.name << " / " << file.name;
            }
        }
    }
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(CachedLists, AMissingExceptionListIsCriticalForWebOrActiveDynamicSteering)
{
    struct Case {
        const char* name;
        const char* steering;
        const char* clientConfig;
        bool critical;
    };
    const Case cases[] = {
        {"cloud", kSteeringCloud, "", false},
        {"web", R"({"traffic_mode":"web","domains":[]})", "", true},
        {"dynamic steering only in the steering file",
         R"({"traffic_mode":"cloud","dynamic_steering":true,"domains":[]})", "", false},
        {"dynamic steering only in ktconfig.json", kSteeringCloud, R"("dynamicSteering":"true")",
         false},
        {"dynamic steering active",
         R"({"traffic_mode":"cloud","dynamic_steering":true,"domains":[]})",
         R"("dynamicSteering":"true")", true},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        writeClient(c.clientConfig);
        writeFiles(c.steering);
        fs::remove(m_tree.dataFolder() + "/ktexception.json");
        Config::Impl config;
        EXPECT_EQ(load(config), !c.critical) << c.name << ": " << ktTest::logText();
        EXPECT_FALSE(config.steeringFilesValid()) << c.name;
        EXPECT_TRUE(logHas("Failed to read exception list file.")) << c.name;
    }
}

TEST_F(CachedLists, NoGatewayIsCritical)
{
    for (const char* ktgw :
         {R"("host":"","port":"443")", R"("host":"gw.test","port":"")", R"("backupHost":"b")"}) {
        ktTest::clearLog();
        writeClient("", ktgw);
        Config::Impl config;
        EXPECT_FALSE(load(config)) << ktgw;
        EXPECT_FALSE(config.steeringFilesValid()) << ktgw;
        EXPECT_TRUE(logHas("ktgw info not available")) << ktgw;
        EXPECT_EQ(config.bypassList(), R"({"bypass":["b.test"]})");
    }
}

TEST_F(CachedLists, ATamperedListIsReportedAndNotStored)
{
    struct Case {
        const char* file;
        const char* logged;
        const char* message;
        const char* flag;
        std::function<std::string(Config::Impl&)> stored;
    };
    const Case cases[] = {
        {"ktbypass.json", "Failed to validate integrity of bypass list.",
         "Cached bypass list is found to be tampered", "df2",
         [](Config::Impl& c) { return c.bypassList(); }},
        {"ktbypasscat.json", "Failed to validate integrity of byapass category list.",
         "Cached bypass category list is found to be tampered", "df7",
         [](Config::Impl& c) { return c.bypassCategoryList(); }},
        {"ktexception.json", "Failed to validate integrity of exception list.",
         "Cached exception list is found to be tampered", "df3",
         [](Config::Impl& c) { return c.exceptionList(); }},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        writeFiles();
        tamper(c.file);
        const std::string before = internalText();
        const std::size_t posts = m_origin.requests().size();
        Config::Impl config;
        EXPECT_TRUE(load(config)) << c.file;
        EXPECT_FALSE(config.steeringFilesValid()) << c.file;
        EXPECT_TRUE(logHas(c.logged)) << c.file;
        EXPECT_TRUE(logHas("log msg posted successfully")) << c.file;
        EXPECT_EQ(c.stored(config), "") << c.file;
        // Delivered: no flag, nothing else written.
        EXPECT_EQ(internalText(), before) << c.file;

        const auto requests = m_origin.requests();
        ASSERT_EQ(requests.size(), posts + 1) << c.file;
        const ktTest::HttpRequestRecord& post = requests.back();
        EXPECT_EQ(post.method, "POST");
        EXPECT_EQ(post.target, "/client/supportlogging");
        const Members body = members(post.body);
        EXPECT_EQ(body.size(), 3u) << post.body;
        EXPECT_EQ(body.at("LogMsg"), c.message);
        EXPECT_EQ(body.at("OrgKey"), "org-key");
        EXPECT_EQ(body.at("UserKey"), config.branding().userKey);
    }
}

TEST_F(CachedLists, AReportNotDeliveredWritesItsFlagAndKeepsEveryDigest)
{
    const std::string longBody = R"({"status":"success","pad":")" + std::string(300, 'a') + "\"}";
    enum Host { origin, closedPort, none };
    struct Case {
        const char* name;
        HttpReply reply;
        Host host;
        const char* logged;
    };
    const HttpReply success = HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})");
    const Case cases[] = {
        {"closed port", success, closedPort, "Failed to post log msg, Error: -2"},
        {"no add-on host", success, none, "Failed to post log msg, no add-on manager host"},
        {"error status", HttpReply::make("HTTP/1.1 500 Internal Server Error", "{}"), origin,
         "Failed to post log msg, Error: -4"},
        {"refusal in the reply", HttpReply::make("HTTP/1.1 200 OK", R"({"status":"error"})"),
         origin, "Failed to post log msg, Error: -2"},
        {"over-long reply", HttpReply::make("HTTP/1.1 200 OK", longBody), origin,
         "Failed to post log msg, Error: -6"},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        fs::remove(m_tree.dataFolder() + "/ktinternal.json");
        writeClient();
        writeFiles();
        tamper("ktbypass.json");
        m_origin.setReply(c.reply);
        ktTest::ClosedPort closed;
        setAddonHost(c.host == origin       ? originHost()
                     : c.host == closedPort ? closed.address()
                                            : "");
        const std::size_t posts = m_origin.requests().size();
        Members expected = members(internalText());
        ASSERT_EQ(expected.size(), 5u) << internalText();
        expected["df2"] = "true";

        Config::Impl config;
        EXPECT_TRUE(load(config)) << c.name;
        EXPECT_TRUE(logHas(c.logged)) << c.name << ": " << ktTest::logText();
        EXPECT_EQ(m_origin.requests().size(), posts + (c.host == origin ? 1 : 0)) << c.name;
        EXPECT_EQ(members(internalText()), expected) << c.name;
        EXPECT_EQ(config.bypassList(), "") << c.name;
    }
}

TEST_F(CachedLists, AFailedReadKeepsWhatWasStored)
{
    writeClient(R"("encryptClientConfig":"true")", R"("host":"gw.test","port":"443")", true);
    writeFiles(kSteeringCloud, true);
    Config::Impl config;
    ASSERT_TRUE(load(config));
    // Protected forms that no longer decrypt.
    for (const DataFile& file : dataFiles()) {
        ktTest::writeAll(m_tree.dataFolder() + "/" + file.name + ".enc", "bm90IGEgYmxvYg==");
    }
    EXPECT_FALSE(config.readSteeringFiles());
    for (const DataFile& file : dataFiles()) {
        if (file.stored) {
            EXPECT_EQ(file.stored(config), file.content + std::string(1, '\0')) << file.name;
        }
    }
    EXPECT_EQ(config.steeringConfig()->domains(), std::vector<std::string>{"a.test"});
}

TEST_F(CachedLists, AnInternalFileThatCannotBeParsedIsNeverReplaced)
{
    ktTest::ClosedPort closed;
    setAddonHost(closed.address());
    for (const std::string& text : {std::string("{\"d2\": \"ab"), std::string("[\"df2\"]"),
                                    std::string(70, '[') + std::string(70, ']')}) {
        ktTest::clearLog();
        m_tree.writeInternal(text);
        Config::Impl config;
        ASSERT_TRUE(config.initConfigLocation());
        // Every guarded list fails its check against this file, so each tries to flag.
        config.readSteeringFiles();
        EXPECT_TRUE(logHas("Failed to post log msg, Error: -2"));
        EXPECT_TRUE(logHas("Error ")) << ktTest::logText();
        EXPECT_EQ(internalText(), text);
        EXPECT_FALSE(config.setInternalFlag(true, "df2"));
        EXPECT_EQ(internalText(), text);
    }
}

TEST_F(CachedLists, SetInternalFlag)
{
    Config::Impl config;
    ASSERT_TRUE(config.initConfigLocation());
    const std::string path = m_tree.dataFolder() + "/ktinternal.json";

    fs::remove(path);
    ASSERT_TRUE(config.setInternalFlag(true, "df3"));
    EXPECT_EQ(members(internalText()), (Members{{"df3", "true"}}));

    m_tree.writeInternal("");
    ASSERT_TRUE(config.setInternalFlag(true, "df7"));
    EXPECT_EQ(members(internalText()), (Members{{"df7", "true"}}));

    m_tree.writeInternal(R"({"d2":"aa","df3":"true"})");
    ASSERT_TRUE(config.setInternalFlag(false, "df3"));
    ASSERT_TRUE(config.setInternalFlag(true, "df2"));
    EXPECT_EQ(members(internalText()), (Members{{"d2", "aa"}, {"df3", "false"}, {"df2", "true"}}));

    // A folder in its place cannot be read: nothing is written.
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(config.setInternalFlag(true, "df2"));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_TRUE(logHas("Error cannot read the file, file " + path)) << ktTest::logText();
}

TEST_F(CachedLists, TheEncryptedConfigurationComparesNoDigest)
{
    fs::remove_all(m_tree.dataFolder());
    writeClient(R"("encryptClientConfig":"true")", R"("host":"gw.test","port":"443")", true);
    writeFiles(kSteeringCloud, true);
    ASSERT_FALSE(fs::exists(m_tree.dataFolder() + "/ktinternal.json"));
    Config::Impl config;
    EXPECT_TRUE(load(config)) << ktTest::logText();
    EXPECT_TRUE(config.steeringFilesValid());
    ASSERT_TRUE(config.configSec().encrypted());
    // Protected texts are kept with the zero byte that ends their plaintext.
    for (const DataFile& file : dataFiles()) {
        if (file.stored) {
            EXPECT_EQ(file.stored(config), file.content + std::string(1, '\0')) << file.name;
        }
    }
    EXPECT_TRUE(m_origin.requests().empty());
    EXPECT_TRUE(config.validateFileIntegrity(config.m_dataDir, config.m_dataDir + L"/x", "d2"));
}

TEST_F(CachedLists, TheDeveloperModeStoresTheListsUnchecked)
{
    const std::string steering = R"({"traffic_mode":"cloud","dynamic_steering":true,"domains":[]})";
    writeClient(R"("dynamicSteering":"true")");
    writeFiles(steering);
    fs::remove(m_tree.dataFolder() + "/ktinternal.json");
    const std::string noOffPrem = R"({"On Prem":{}})";
    writeDataFile(m_tree, "ktexception.json", noOffPrem);
    m_tree.writeDevConfig(R"({"devConfig":{"useDevConfig":"true"}})");
    Config::Impl config;
    EXPECT_TRUE(load(config)) << ktTest::logText();
    EXPECT_TRUE(config.steeringFilesValid());
    EXPECT_TRUE(config.isDynamicSteeringActive());
    EXPECT_EQ(config.exceptionList(), noOffPrem);
    EXPECT_EQ(config.bypassList(), R"({"bypass":["b.test"]})");
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(CachedLists, UnderActiveDynamicSteeringTheExceptionListNeedsOffPrem)
{
    const std::string dynamic = R"({"traffic_mode":"cloud","dynamic_steering":true,"domains":[]})";
    struct Case {
        const char* name;
        std::string steering;
        std::string list;
        bool stored;
        const char* logged;
    };
    const Case cases[] = {
        {"with it", dynamic, R"({"Off Prem":[]})", true, nullptr},
        {"without it", dynamic, R"({"On Prem":{}})", false,
         "error parsing domain exception list file, size: 14 error: No such node (Off Prem)"},
        {"not JSON", dynamic, "Off Prem", false,
         "error parsing domain exception list file, size: 8"},
        {"not active", kSteeringCloud, R"({"On Prem":{}})", true, nullptr},
    };
    writeClient(R"("dynamicSteering":"true")");
    for (const Case& c : cases) {
        ktTest::clearLog();
        writeFiles(c.steering);
        writeDataFile(m_tree, "ktexception.json", c.list, "d3");
        Config::Impl config;
        EXPECT_EQ(load(config), c.stored) << c.name;
        EXPECT_EQ(config.steeringFilesValid(), c.stored) << c.name;
        EXPECT_EQ(config.exceptionList(), c.stored ? c.list : "") << c.name;
        if (c.logged != nullptr) {
            EXPECT_TRUE(logHas(c.logged)) << c.name << ": " << ktTest::logText();
        }
    }
    EXPECT_TRUE(m_origin.requests().empty());
}

// ---- init: reports are held until the add-on service, its keys and proxies are known

TEST_F(CachedLists, InitPostsHeldReportsThroughTheDetectedProxy)
{
    ktTest::ConnectProxy proxy;
    const std::string settings = m_tree.tree().root() + "/proxy-settings.json";
    ktTest::writeAll(settings, R"({"proxy":")" + proxy.address() + R"("})");
    ktTest::ScopedEnv settingsEnv("KTDIAG_PROXY_SETTINGS_FILE", settings);
    tamper("ktbypass.json");
    tamper("ktbypasscat.json");
    const std::string before = internalText();

    Config::Impl config;
    ASSERT_TRUE(config.init()) << ktTest::logText();
    const auto requests = m_origin.requests();
    EXPECT_EQ(config.activeProxies(), std::vector<std::string>{proxy.address()});
    ASSERT_EQ(requests.size(), 2u) << ktTest::logText();
    EXPECT_EQ(members(requests[0].body).at("LogMsg"), "Cached bypass list is found to be tampered");
    EXPECT_EQ(members(requests[1].body).at("LogMsg"),
              "Cached bypass category list is found to be tampered");
    EXPECT_EQ(proxy.tunnelCount(), 2u);
    EXPECT_EQ(internalText(), before);
}

TEST_F(CachedLists, InitFlagsReportsItCouldNotPost)
{
    tamper("ktexception.json");
    m_origin.setReply(HttpReply::make("HTTP/1.1 503 Service Unavailable"));
    Config::Impl config;
    config.init();
    EXPECT_EQ(m_origin.requests().size(), 1u);
    EXPECT_EQ(members(internalText())["df3"], "true") << ktTest::logText();
}

TEST_F(CachedLists, InitEndingBeforeTheProxyDecisionFlagsHeldReports)
{
    ktTest::TempDir noSessions;
    ktTest::ScopedEnv sessions("KTDIAG_SESSIONS_DIR", noSessions.path());
    tamper("ktbypass.json");
    Members expected = members(internalText());
    expected["df2"] = "true";

    Config::Impl config;
    EXPECT_FALSE(config.init());
    EXPECT_TRUE(m_origin.requests().empty());
    EXPECT_TRUE(logHas("Tamper report not posted, no add-on service known: Cached bypass list is "
                       "found to be tampered"))
        << ktTest::logText();
    EXPECT_EQ(members(internalText()), expected);
    EXPECT_EQ(config.bypassList(), "");
}
