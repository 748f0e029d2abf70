// Client-status messages of a session, posted to a local HTTPS origin standing for the add-on
// service (test PKI trusted) from a configuration loaded off a temporary client tree; what
// cannot be posted lands in the session's eventcache.json.

#include "ktConfig/clientStatusHandler.h"

#include "configInternal.h"
#include "dataFiles.h"
#include "ktPlatform/strings.h"
#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"
#include "ktUtils/hostUtil.h"
#include "ktUtils/integritycheck.h"
#include "ktUtils/urlUtil.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace pt = boost::property_tree;
using ktTest::HttpReply;
using ktTest::logHas;

namespace {

// The session as the handler reads it.
class TestSession : public CUserConfigCommon {
public:
    std::string getUserKey() const override { return userKey; }
    int getTunnelStatus() const override { return tunnelStatus; }
    int getSessionId() const override { return sessionId; }
    int getActor() const override { return actor; }
    std::string getDeviceClassificationStatus() const override { return classification; }
    bool isFailCloseActive() const override { return failClose; }

    std::string userKey = "uk-1";
    int tunnelStatus = 17;
    int sessionId = 1;
    int actor = 1;
    std::string classification = "unknown";
    bool failClose = false;
};

pt::ptree parse(const std::string& json)
{
    pt::ptree tree;
    std::istringstream in(json);
    pt::read_json(in, tree);
    return tree;
}

std::vector<std::string> memberNames(const pt::ptree& tree)
{
    std::vector<std::string> names;
    for (const auto& member : tree) {
        names.push_back(member.first);
    }
    return names;
}

const std::string kSuccess = R"({"status":"success"})";

class ClientStatus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::TestPki::instance();
        ktTest::clearLog();
        m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", kSuccess));
    }

    // Loads config from the tree with these "clientConfig" members and the origin as the
    // add-on host, then sets up handler on the session's folder (the configuration folder
    // unless given) with the test's clock.
    // folder: the session's folder (the common one when empty); userHome: set when it is
    // the session user's own.
    void start(Config::Impl& config, ClientStatusHandler& handler, const std::string& clientConfig,
               const std::string& userConfig = "", const std::string& folder = "",
               const std::optional<std::string>& userHome = std::nullopt)
    {
        m_tree.writeConfigFile("ktuserconfig.json", R"({"ktUserConfig":{"host":"127.0.0.1:)" +
                                                        std::to_string(m_origin.port()) +
                                                        R"(","token":"ok-1")" + userConfig + "}}");
        m_tree.writeClientConfig("{\"clientConfig\":{" + clientConfig + "}}");
        // The branding is read after ktuserconfig.json, from the common folder or, with
        // per-user folders, from the user's.
        m_tree.writeBranding(branding());
        m_tree.writeBranding(branding(), false, false,
                             m_tree.tree().appDataRoot() + "/Kestrani/Merivon");
        ASSERT_TRUE(config.init());
        handler.init(&config, ktPlatform::toWide(folder.empty() ? m_tree.configFolder() : folder),
                     L"", userHome);
        handler.setClock([this] { return m_now; });
        ktTest::clearLog();
    }
    // The branding file's text: it names the origin too.
    std::string branding() const
    {
        return R"({"UserKey":"uk-1","OrgKey":"ok-1","OrgName":"Org One",)"
               R"("AddonManagerHost":"127.0.0.1:)" +
               std::to_string(m_origin.port()) +
               R"(","AddonCheckerHost":"checker.test","UserEmail":"u@test"})";
    }
    void start(const std::string& clientConfig = "\"secureAccess\":\"false\"")
    {
        start(m_config, m_handler, clientConfig);
    }

    bool report(const std::string& status = "")
    {
        return m_handler.handleClientStatus(&m_session, status);
    }

    // The "client_status" object of the last request the origin received.
    pt::ptree lastPosted()
    {
        const auto requests = m_origin.requests();
        EXPECT_FALSE(requests.empty());
        return requests.empty() ? pt::ptree()
                                : parse(requests.back().body).get_child("client_status");
    }

    std::string cacheFile() const { return m_tree.configFolder() + "/eventcache.json"; }

    // ktsteering.json in web mode with these further members, and its digest.
    void writeSteering(const std::string& members)
    {
        ktConfigTest::writeDataFile(m_tree, "ktsteering.json",
                                    R"({"traffic_mode":"web","domains":[],)" + members + "}", "d1");
    }

    void setDeviceRegistry()
    {
        const std::string sysInfo = "SYSTEM\\CurrentControlSet\\Control\\SystemInformation";
        m_tree.setRegistryValue(false, sysInfo, "SystemManufacturer", "Maker  Two");
        m_tree.setRegistryValue(false, sysInfo, "SystemProductName", "Model \"Q\"  7");
        m_tree.setRegistryValue(false, "SOFTWARE\\Kestrani\\Provisioning", "ktdeviceuid", "uid-1");
        m_tree.setRegistryValue(false, "SOFTWARE\\Microsoft\\Provisioning\\OMADM\\MDMDeviceID",
                                "DeviceClientId", "mdm-1");
        m_tree.setRegistryValue(true, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                "ReleaseId", "2009");
    }

    ktTest::ClientTree m_tree;
    ktTest::ClearProxyEnv m_noProxy;
    ktTest::ScopedEnv m_proxySettings{"KTDIAG_PROXY_SETTINGS_FILE",
                                      m_tree.tree().root() + "/no-proxy-settings.json"};
    ktTest::HttpsOrigin m_origin;
    Config::Impl m_config;
    ClientStatusHandler m_handler;
    TestSession m_session;
    std::int64_t m_now = 1700000000;
};

} // namespace

TEST_F(ClientStatus, EventAndActorByTunnelStatus)
{
    struct Case {
        int code;
        int actor;
        const char* event; // nullptr: rejected with logLine
        const char* actorText;
        const char* status;
        const char* logLine;
    };
    const Case cases[] = {
        {0, 2, "Tunnel Down", "System", "Disabled", nullptr},
        {1, 3, "User Disabled", "User", "Disabled", nullptr},
        {2, 2, "Admin Disabled", "Admin", "Disabled", nullptr},
        {3, 1, "Tunnel down due to secure forwarder", "System", "Disabled", nullptr},
        {4, 1, "Tunnel down due to GRE", "System", "Disabled", nullptr},
        {5, 1, "Tunnel down due to IPSec", "System", "Disabled", nullptr},
        {6, 1, "Tunnel down due to Data Plane on-premises", "System", "Disabled", nullptr},
        {7, 1, "Tunnel down due to error", "System", "Disabled", nullptr},
        {8, 1, "Tunnel down due to config error", "System", "Disabled", nullptr},
        {9, 1, "Uninstalled", "System", "Disabled", nullptr},
        {11, 1, "Change in network", "System", "Disabled", nullptr},
        {12, 3, "System shutdown", "System", "Disabled", nullptr},
        {17, 2, "User Enabled", "User", "Enabled", nullptr},
        {17, 3, "Admin Enabled", "Admin", "Enabled", nullptr},
        {17, 1, "Tunnel Up", "System", "Enabled", nullptr},
        {17, 0, "Tunnel Up", "System", "Enabled", nullptr},
        {10, 1, nullptr, nullptr, nullptr, "Invalid actor or event string"},
        {13, 1, nullptr, nullptr, nullptr, "Invalid actor or event string"},
        {15, 1, nullptr, nullptr, nullptr, "Invalid actor or event string"},
        {18, 3, nullptr, nullptr, nullptr, "Invalid actor or event string"},
        {14, 1, nullptr, nullptr, nullptr, "Invalid tunnel status: 14 for client status"},
        {16, 1, nullptr, nullptr, nullptr, "Invalid tunnel status: 16 for client status"},
        {-1, 1, nullptr, nullptr, nullptr, "Invalid tunnel status: -1 for client status"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " actor " + std::to_string(c.actor));
        ktTest::clearLog();
        m_session.tunnelStatus = c.code;
        m_session.actor = c.actor;
        const std::size_t before = m_origin.requests().size();
        if (c.event == nullptr) {
            EXPECT_FALSE(report());
            EXPECT_TRUE(logHas(c.logLine)) << ktTest::logText();
            EXPECT_EQ(m_origin.requests().size(), before);
            continue;
        }
        EXPECT_TRUE(report());
        ASSERT_EQ(m_origin.requests().size(), before + 1);
        const pt::ptree status = lastPosted();
        EXPECT_EQ(status.get<std::string>("event"), c.event);
        EXPECT_EQ(status.get<std::string>("actor"), c.actorText);
        EXPECT_EQ(status.get<std::string>("status"), c.status);
        EXPECT_TRUE(logHas("[sessId 1] Client status posted successfully"));
    }
    EXPECT_FALSE(fs::exists(cacheFile()));
}

TEST_F(ClientStatus, FailCloseHoldsBackOtherReportsOfATunnelThatIsDown)
{
    struct Case {
        int code;
        const char* status;
        bool failClose;
        bool heldBack;
    };
    const Case cases[] = {
        {0, "Fail Closed", true, false}, // fail-close's own report
        {7, "", true, true},
        {0, "Disabled", true, true},
        {7, "fail closed", true, true}, // the text must match exactly
        {7, "", false, false},
        {1, "", true, false},
        {17, "", true, false},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " '" + c.status + "'");
        ktTest::clearLog();
        m_session.tunnelStatus = c.code;
        m_session.failClose = c.failClose;
        const std::size_t before = m_origin.requests().size();
        EXPECT_EQ(report(c.status), !c.heldBack);
        EXPECT_EQ(m_origin.requests().size(), before + (c.heldBack ? 0 : 1));
        EXPECT_EQ(logHas("FailClosed:[sessId 1] discarded client status event: "), c.heldBack);
    }
    EXPECT_FALSE(fs::exists(cacheFile()));

    ktTest::clearLog();
    m_session.tunnelStatus = 7;
    m_session.failClose = true;
    EXPECT_FALSE(report());
    EXPECT_TRUE(logHas("FailClosed:[sessId 1] discarded client status event: Tunnel down due to "
                       "error, client status: Disabled, actor: System, time: "))
        << ktTest::logText();

    m_session.tunnelStatus = 0;
    EXPECT_TRUE(report("Fail Closed"));
    const pt::ptree status = lastPosted();
    EXPECT_EQ(status.get<std::string>("status"), "Fail Closed");
    EXPECT_EQ(status.get<std::string>("event"), "Tunnel Down");
    EXPECT_EQ(status.get<std::string>("actor"), "System");
}

TEST_F(ClientStatus, TimeStampsIncreaseStrictlyAndAre64Bit)
{
    start();
    const std::int64_t clock[] = {1000, 1000, 1000, 999, 2000, 1500, 5000000000};
    const char* const expected[] = {"1000", "1001", "1002", "1003", "2000", "2001", "5000000000"};
    for (std::size_t i = 0; i < sizeof(clock) / sizeof(clock[0]); ++i) {
        m_now = clock[i];
        ASSERT_TRUE(report());
        EXPECT_EQ(lastPosted().get<std::string>("timestamp"), expected[i]) << i;
    }
    // A second handler starts from the clock again.
    ClientStatusHandler other;
    other.init(&m_config, ktPlatform::toWide(m_tree.configFolder()), L"");
    other.setClock([] { return std::int64_t(1000); });
    ASSERT_TRUE(other.handleClientStatus(&m_session, ""));
    EXPECT_EQ(lastPosted().get<std::string>("timestamp"), "1000");
}

TEST_F(ClientStatus, ThePostedTextIsCompactAndKeepsTheBlanksInsideValues)
{
    setDeviceRegistry();
    start();
    ASSERT_TRUE(report());
    std::string host;
    ASSERT_TRUE(getComputerName(host));
    const std::string golden =
        R"({"client_status": {"type": "Event","timestamp": "1700000000",)"
        R"("client_version": "93.0.1.944","status": "Enabled","qpa_status": "Disabled",)"
        R"("device_classification_status": "unknown","host_info": {"hostname": ")" +
        host +
        R"j(","os": "Windows","os_version": "10.0 (2009)","device_make": "Maker  Two",)j"
        R"("device_model": "Model \"Q\"  7","ktdeviceuid": "uid-1","managementID": "mdm-1"},)"
        R"("event": "Tunnel Up","actor": "System"}})";
    const auto requests = m_origin.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, golden);
    EXPECT_TRUE(logHas("client status message: " + golden));
    EXPECT_EQ(
        memberNames(lastPosted()),
        (std::vector<std::string>{"type", "timestamp", "client_version", "status", "qpa_status",
                                  "device_classification_status", "host_info", "event", "actor"}));
}

TEST(CompactJsonText, RemovesTheIndentationOnly)
{
    struct Case {
        std::string indented;
        std::string compact;
    };
    const Case cases[] = {
        {"{\n    \"a\": \"x  y\",\n    \"b\": {\n        \"c\": \"1\"\n    }\n}\n",
         "{\"a\": \"x  y\",\"b\": {\"c\": \"1\"}}"},
        // An escaped quote does not end the string; an escaped backslash before the
        // closing quote does not hide it.
        {"{\n    \"a\": \"q\\\"  \\\\\",\n    \"b\": \"  \"\n}\n",
         "{\"a\": \"q\\\"  \\\\\",\"b\": \"  \"}"},
        {"{   \"a\":  \"b\"}", "{ \"a\":\"b\"}"},
        {"", ""},
        {"\"unterminated  ", "\"unterminated  "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compactJsonText(c.indented), c.compact) << c.indented;
    }
}

TEST_F(ClientStatus, KeyModeAndBearerMode)
{
    struct Case {
        const char* name;
        const char* noEnc;
        std::string target;
        std::string authorization;
    };
    const Case cases[] = {
        {"key", "false", "/v2/update/clientstatus?orgkey=ok-1&hashkey=uk-1", ""},
        {"bearer", "true", "/v5/update/clientstatus", "Bearer " + makeAuthToken("uk-1", "ok-1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Config::Impl config;
        ClientStatusHandler handler;
        start(config, handler, std::string("\"ktclient_api_security_no_enc\":\"") + c.noEnc + "\"");
        const std::size_t before = m_origin.requests().size();
        ASSERT_TRUE(handler.handleClientStatus(&m_session, ""));
        const auto requests = m_origin.requests();
        ASSERT_EQ(requests.size(), before + 1);
        const auto& request = requests.back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, c.target);
        EXPECT_EQ(request.header("Authorization"), c.authorization);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
        EXPECT_EQ(request.body.find('\n'), std::string::npos);
        EXPECT_EQ(request.body.rfind(R"({"client_status": {"type": "Event",)", 0), 0u);
        // The keys never reach the log.
        EXPECT_EQ(ktTest::logText().find("uk-1"), std::string::npos);
    }
}

TEST_F(ClientStatus, AFailedPostIsQueuedWithItsDigest)
{
    start();
    m_origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
    m_session.tunnelStatus = 0;
    EXPECT_TRUE(report("Fail Closed"));
    EXPECT_TRUE(logHas("[sessId 1] Failed to post Client status"));
    EXPECT_TRUE(
        logHas("[sessId 1] Failed to post client status, message will be cache in event queue"));
    EXPECT_TRUE(logHas("[sessId 1] Caching client status, event: Tunnel Down, client status: "
                       "Fail Closed, actor: System, time: 1700000000"));

    // An empty user key fails before any request; the message is queued all the same.
    m_session.userKey.clear();
    const std::size_t posted = m_origin.requests().size();
    m_now = 1700000100;
    EXPECT_TRUE(report());
    EXPECT_EQ(m_origin.requests().size(), posted);
    EXPECT_TRUE(logHas("Post Client Status addon userkey is empty"));

    const std::string stored = ktTest::readAll(cacheFile());
    EXPECT_TRUE(validateDigest(ktPlatform::toWide(m_tree.dataFolder()), stored, "d5"));
    EventCache cache;
    ASSERT_TRUE(cache.load(ktPlatform::toWide(m_tree.configFolder()), L"", ""));
    const std::list<std::string> events = cache.events();
    ASSERT_EQ(events.size(), 2u);
    // Queued in the indented form: compacted it is exactly what was posted.
    EXPECT_NE(events.front().find('\n'), std::string::npos);
    EXPECT_EQ(compactJsonText(events.front()), m_origin.requests().back().body);
    EXPECT_EQ(parse(events.back()).get<std::string>("client_status.timestamp"), "1700000100");
    EXPECT_EQ(m_handler.eventCache().events(), events);
}

TEST_F(ClientStatus, NeitherPostedNorCachedIsAFailure)
{
    start(m_config, m_handler, "", "", m_tree.tree().root() + "/no-such-folder");
    m_origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
    EXPECT_FALSE(report());
    EXPECT_TRUE(logHas("Failed to write eventscache.json"));
    EXPECT_TRUE(logHas("[sessId 1] Failed to cache client status, event: Tunnel Up"));
}

TEST_F(ClientStatus, PerUserFoldersCacheAsTheSessionsUser)
{
    // Root caches into the folder of the session's user, a test account, as that account.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string folder = home.path() + "/Merivon";
    fs::create_directories(folder);
    ktTest::writeAll(folder + "/ktbranding.json", branding());
    ktTest::chownTo(folder, account);
    ktTest::chownTo(folder + "/ktbranding.json", account);
    start(m_config, m_handler, "",
          R"(,"enablePerUserConfig":"true","configLocation":")" + folder + "\"", folder,
          account.home);
    ASSERT_TRUE(m_config.enablePerUserConfig());
    m_origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
    EXPECT_TRUE(report());
    EventCache cache;
    ASSERT_TRUE(cache.load(ktPlatform::toWide(folder), L"", ""));
    EXPECT_EQ(cache.events().size(), 1u);
    // Everything written there, the cache and its digest included, is the user's own.
    std::vector<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, account.uid) << e.path();
        written.push_back(fs::relative(e.path(), folder).string());
    }
    for (const char* cacheFile : {"eventcache.json", "data/ktinternal.json"}) {
        EXPECT_NE(std::find(written.begin(), written.end(), cacheFile), written.end()) << cacheFile;
    }
    EXPECT_FALSE(fs::exists(cacheFile()));
}

TEST_F(ClientStatus, PerUserFoldersCacheNothingWhenTheUserCannotBeActedAs)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only LOCAL SYSTEM acts as another account";
    }
    // The session's folder is its user's own (the process's user, root, here).
    const std::string folder = m_tree.tree().appDataRoot() + "/Kestrani/Merivon";
    start(m_config, m_handler, "", R"(,"enablePerUserConfig":"true")", folder, "/root");
    m_origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
    // The session's user is now one that passwd does not know.
    const ktTest::ConsoleSession ghost(54321);
    EXPECT_FALSE(report());
    EXPECT_TRUE(logHas("[sessId 1] Failed to cache client status, event: Tunnel Up, time: "
                       "1700000000: the session's user cannot be acted as"));
    EXPECT_FALSE(fs::exists(folder + "/eventcache.json"));
    EXPECT_FALSE(fs::exists(cacheFile()));
    EXPECT_TRUE(m_handler.eventCache().events().empty());
}

TEST_F(ClientStatus, WithoutTheUniqueDeviceIdHostInfoHasFiveMembers)
{
    setDeviceRegistry();
    start("\"deviceUniqueID\":\"false\"");
    ASSERT_TRUE(report());
    EXPECT_EQ(
        memberNames(lastPosted().get_child("host_info")),
        (std::vector<std::string>{"hostname", "os", "os_version", "device_make", "device_model"}));
    EXPECT_FALSE(logHas("unique device id is empty"));
}

TEST_F(ClientStatus, DeviceStringsThatAreNotUtf8AreSentAndCachedAsUtf8)
{
    // The maker and model as the firmware gives them: one byte that is not UTF-8, and a
    // sequence cut short.
    const std::string dmi = m_tree.tree().root() + "/host/sys/class/dmi/id";
    fs::create_directories(dmi);
    ktTest::writeAll(dmi + "/sys_vendor", "Ac\xffme\n");
    ktTest::writeAll(dmi + "/product_name", "Model \xc3\n");
    start();
    ASSERT_TRUE(report());
    EXPECT_EQ(lastPosted().get<std::string>("host_info.device_make"), "Ac\xef\xbf\xbdme");
    EXPECT_EQ(lastPosted().get<std::string>("host_info.device_model"), "Model \xef\xbf\xbd");

    m_origin.setReply(HttpReply::make("HTTP/1.1 500 Internal Server Error"));
    EXPECT_TRUE(report());
    EventCache cache;
    ASSERT_TRUE(cache.load(ktPlatform::toWide(m_tree.configFolder()), L"", ""));
    ASSERT_EQ(cache.events().size(), 1u);
    EXPECT_EQ(parse(cache.events().front()).get<std::string>("client_status.host_info.device_make"),
              "Ac\xef\xbf\xbdme");
}

TEST_F(ClientStatus, EmptyDeviceValuesAreLoggedAndSent)
{
    start();
    ASSERT_TRUE(report());
    const pt::ptree info = lastPosted().get_child("host_info");
    EXPECT_EQ(info.get<std::string>("device_make"), "");
    EXPECT_EQ(info.get<std::string>("ktdeviceuid"), "");
    EXPECT_EQ(info.get<std::string>("managementID"), "");
    for (const char* line :
         {"Device manufacturer is empty", "Device model is empty", "unique device id is empty",
          "MDM device id (managementID) is empty"}) {
        EXPECT_TRUE(logHas(line)) << line;
    }
}

TEST_F(ClientStatus, QpaStatusFromTheConfiguration)
{
    struct Case {
        const char* what;
        const char* clientConfig;
        const char* steering; // members of ktsteering.json beside its mode; none: no file
        bool steeringEnabled;
        const char* expected; // no QPA certificate: "Allowed" once steering is enabled
    };
    const char* const secure = "\"secureAccess\":\"true\"";
    const char* const secureDynamic = "\"secureAccess\":\"true\",\"dynamicSteering\":\"true\"";
    const char* const insecureDynamic = "\"secureAccess\":\"false\",\"dynamicSteering\":\"true\"";
    const Case cases[] = {
        {"no secure access", "\"secureAccess\":\"false\"", nullptr, false, "Disabled"},
        {"no steering file", secure, nullptr, false, "Steering Disabled"},
        {"private apps off", secure, "\"private_apps_enabled\":false", false, "Steering Disabled"},
        {"private apps on", secure, "\"private_apps_enabled\":true", true, "Allowed"},
        {"private apps on, no secure access", "\"secureAccess\":\"false\"",
         "\"private_apps_enabled\":true", false, "Disabled"},
        // Dynamic steering in both files: the on- and off-premises flags decide.
        {"dynamic, off premises", secureDynamic,
         "\"dynamic_steering\":true,\"private_apps_off_prem\":true", true, "Allowed"},
        {"dynamic, on premises", secureDynamic,
         "\"dynamic_steering\":true,\"private_apps_on_prem\":true", true, "Allowed"},
        {"dynamic, only private apps on", secureDynamic,
         "\"dynamic_steering\":true,\"private_apps_enabled\":true", false, "Steering Disabled"},
        {"dynamic, no secure access", insecureDynamic,
         "\"dynamic_steering\":true,\"private_apps_off_prem\":true", false, "Disabled"},
        // Dynamic steering in the steering file alone is not active.
        {"dynamic in the steering file only", secure,
         "\"dynamic_steering\":true,\"private_apps_off_prem\":true", false, "Steering Disabled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(m_tree.dataFolder() + "/ktsteering.json");
        if (c.steering != nullptr) {
            writeSteering(c.steering);
        }
        Config::Impl config;
        ClientStatusHandler handler;
        start(config, handler, c.clientConfig);
        config.setQpaTunnelState(4);
        ASSERT_TRUE(handler.handleClientStatus(&m_session, ""));
        EXPECT_EQ(lastPosted().get<std::string>("qpa_status"), c.expected);
        EXPECT_EQ(config.isQpaSteeringEnabled(), c.steeringEnabled);
    }
}

TEST_F(ClientStatus, PrivateAppsOffReadTheSteeringFileAgain)
{
    writeSteering("\"private_apps_enabled\":false");
    start("\"secureAccess\":\"true\"");
    ASSERT_TRUE(report());
    EXPECT_EQ(lastPosted().get<std::string>("qpa_status"), "Steering Disabled");

    // The service turned private apps on since the configuration was loaded.
    writeSteering("\"private_apps_enabled\":true");
    ASSERT_TRUE(report());
    EXPECT_EQ(lastPosted().get<std::string>("qpa_status"), "Allowed");

    // Once on, the file is not read again.
    writeSteering("\"private_apps_enabled\":false");
    ASSERT_TRUE(report());
    EXPECT_EQ(lastPosted().get<std::string>("qpa_status"), "Allowed");
}

TEST(QpaStatusText, FirstRuleThatHolds)
{
    struct Case {
        bool secureAccess, steering, cert, enrollFailed;
        std::int32_t state;
        const char* expected;
    };
    const Case cases[] = {
        {false, true, true, true, 4, "Disabled"},
        {true, false, true, true, 4, "Steering Disabled"},
        {true, true, false, true, 4, "Unable to Enroll"},
        {true, true, false, false, 4, "Allowed"},
        {true, true, true, true, 4, "Connected"},
        {true, true, true, false, 6, "Disconnected"},
        {true, true, true, false, 0, "Enabled"},
        {true, true, true, false, 5, "Enabled"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(qpaStatusText(c.secureAccess, c.steering, c.cert, c.enrollFailed, c.state),
                     c.expected);
    }
    Config::Impl config;
    EXPECT_EQ(config.qpaTunnelState(), 0);
    EXPECT_FALSE(config.qpaEnrollFailed());
}

TEST_F(ClientStatus, MissingPiecesFail)
{
    EXPECT_FALSE(m_handler.handleClientStatus(nullptr, ""));
    EXPECT_TRUE(logHas("Client Status user config Object not provided"));

    std::string message = "unchanged";
    EXPECT_FALSE(prepareClientStatusMessage(message, nullptr, "unknown", 1, "Enabled", "Tunnel Up",
                                            "System"));
    EXPECT_TRUE(
        logHas("Client Status Common config Object not provided to prepare client status message"));
    // Before init the device information, host name included, is empty.
    EXPECT_FALSE(prepareClientStatusMessage(message, &m_config, "unknown", 1, "Enabled",
                                            "Tunnel Up", "System"));
    EXPECT_TRUE(logHas("Hostname is empty"));
    EXPECT_EQ(message, "unchanged");

    // A handler that was never given its configuration cannot prepare a message.
    ClientStatusHandler bare;
    EXPECT_FALSE(bare.handleClientStatus(&m_session, ""));
    EXPECT_TRUE(logHas("[sessId 1] Failed to prepare client status message, event: Tunnel Up, "
                       "client status: Enabled, actor: System, time: "));
    EXPECT_FALSE(postClientStatus(nullptr, 3, "uk-1", "{}"));
    EXPECT_TRUE(logHas("[sessId 3] Failed to post Client status"));
    EXPECT_TRUE(m_origin.requests().empty());
}
