#include "ktRestApi/addonmanapi.h"
#include "ktRestApi/restapi.h"

#include "restTestEnv.h"

#include "ktCrypto/ktConfigSec.h"
#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"
#include "ktUtils/urlUtil.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

using ktTest::ClosedPort;
using ktTest::ConnectProxy;
using ktTest::HttpReply;
using ktTest::HttpsOrigin;

// Keys that must never reach the log; the user key needs no escaping in a query.
const std::string kUserKey = "uk-SECRET&1";
const std::string kOrgKey = "ok-SECRET2";

TEST(CheckResponseStatus, Cases)
{
    struct Case {
        std::string reply;
        bool accepted;
    };
    const Case cases[] = {
        {R"({"status":"success","domains":[]})", true},
        {R"({"domains":["a.example"]})", true}, // no status: success
        {R"({"status":"error"})", false},
        {R"({"status":"ERROR"})", true}, // exact match only
        {R"({"status":"failed"})", true},
        {R"({"status":{"code":"error"}})", true},
        {"[]", true},
        {"", false},
        {"OK", false},
        {R"({"status":"success")", false},
        {std::string(100, '[') + std::string(100, ']'), false}, // nested past the bound
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.substr(0, 40));
        ktTest::clearLog();
        EXPECT_EQ(CRestApi::checkResponseStatus(c.reply), c.accepted);
        if (!c.accepted) {
            EXPECT_TRUE(ktTest::logHas("read_json failed, error: ") ||
                        ktTest::logHas("REST API returned error status."));
        }
    }
}

class AddonApi : public ::testing::Test {
protected:
    AddonApi() : m_api("unused", &m_sec)
    {
        ktTest::clearLog();
        m_api.setAddonHost("127.0.0.1:" + std::to_string(m_origin.port()));
    }
    std::string output() const { return m_dir.path() + "/domains.json"; }
    // Nothing secret was logged by the calls of the test.
    void expectNoSecretsLogged() const
    {
        const std::string log = ktTest::logText();
        EXPECT_EQ(log.find("SECRET"), std::string::npos) << log;
        EXPECT_EQ(log.find(makeAuthToken(kUserKey, kOrgKey)), std::string::npos);
    }

    ktTest::TempDir m_dir;
    HttpsOrigin m_origin;
    ktConfigSec m_sec;
    CAddonManApi m_api;
};

TEST_F(AddonApi, DomainListVersionsInKeyAndBearerMode)
{
    const std::string list = R"({"status":"success","domains":["a.example","b.example"]})";
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", list));
    const std::string keyQuery = "?orgkey=" + kOrgKey + "&userkey=" + kUserKey + "&os=linux%206";
    struct Case {
        int version;
        bool bearer;
        std::string target;
    };
    const Case cases[] = {
        {4, false, "/v4/config/org/domains" + keyQuery},
        {5, false, "/steering/domains" + keyQuery},
        {6, false, "/v1/steering/domains" + keyQuery},
        {7, false, "/v1/steering/domains" + keyQuery},
        {4, true, "/v4/config/org/domains?os=linux%206"},
        {5, true, "/steering/domains?os=linux%206"},
        {6, true, "/v1/steering/domains?os=linux%206"},
        {7, true, "/v6/steering/domains?os=linux%206"},
    };
    const std::string bearer = "Bearer " + makeAuthToken(kUserKey, kOrgKey);
    std::size_t seen = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + (c.bearer ? " bearer" : " key"));
        fs::remove(output());
        m_api.setApiSecurityNoEnc(c.bearer);
        EXPECT_TRUE(m_api.downloadDomainList(kUserKey, "linux%206", kOrgKey, output(), c.version));
        const auto requests = m_origin.requests();
        ASSERT_EQ(requests.size(), ++seen);
        const ktTest::HttpRequestRecord& request = requests.back();
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, c.target); // "&" and "%20" go out as given
        EXPECT_EQ(request.header("Authorization"), c.bearer ? bearer : "");
        EXPECT_EQ(ktTest::readAll(output()), list);
    }
    EXPECT_TRUE(ktTest::logHas("domain list downloaded successfully"));
    expectNoSecretsLogged();
}

TEST_F(AddonApi, InvalidVersionsMakeNoRequest)
{
    for (int version : {3, 8, 0, -1}) {
        for (bool bearer : {false, true}) {
            ktTest::clearLog();
            m_api.setApiSecurityNoEnc(bearer);
            EXPECT_FALSE(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, output(), version));
            EXPECT_TRUE(ktTest::logHas("Addon api version is invalid"));
        }
    }
    EXPECT_TRUE(m_origin.requests().empty());
    EXPECT_FALSE(fs::exists(output()));
}

TEST_F(AddonApi, OnlyAValidListIsWritten)
{
    struct Case {
        const char* name;
        HttpReply reply;
        bool written;
        std::string message;
    };
    const Case cases[] = {
        {"no status", HttpReply::make("HTTP/1.1 200 OK", R"({"domains":[]})"), true, ""},
        {"status error", HttpReply::make("HTTP/1.1 200 OK", R"({"status":"error"})"), false,
         "downloaded config is invalid"},
        {"not JSON", HttpReply::make("HTTP/1.1 200 OK", "<html>"), false,
         "downloaded config is invalid"},
        {"404", HttpReply::make("HTTP/1.1 404 Not Found", "gone"), false,
         "Failed to download domain list, Error: -4"},
        {"401", HttpReply::make("HTTP/1.1 401 Unauthorized"), false,
         "Failed to download domain list, Error: -5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        fs::remove(output());
        m_origin.setReply(c.reply);
        EXPECT_EQ(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, output(), 6), c.written);
        EXPECT_EQ(fs::exists(output()), c.written);
        if (!c.written) {
            EXPECT_TRUE(ktTest::logHas(c.message)) << ktTest::logText();
            EXPECT_TRUE(ktTest::logHas("Failed to download domain list"));
        }
    }
}

TEST_F(AddonApi, ListIsWrittenInTheFormOfTheMode)
{
    const std::string list = R"({"status":"success"})";
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", list));
    m_sec.apply(true, L"", {});
    EXPECT_TRUE(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, output(), 5));
    EXPECT_FALSE(fs::exists(output()));
    std::string data;
    EXPECT_TRUE(m_sec.readFile(output(), data));
    EXPECT_EQ(data.substr(0, list.size()), list);

    // A folder that is missing cannot take the file.
    ktTest::clearLog();
    const std::string nowhere = m_dir.path() + "/missing/domains.json";
    EXPECT_FALSE(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, nowhere, 5));
    EXPECT_TRUE(ktTest::logHas("Failed to write config to " + nowhere));
}

TEST_F(AddonApi, ClientStatusInKeyAndBearerMode)
{
    const std::string body = R"({"deviceId":"d-1","status":"connected"})";
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})"));

    std::string reply;
    EXPECT_TRUE(m_api.postClientStatus(kUserKey, kOrgKey, body, reply));
    EXPECT_EQ(reply, R"({"status":"success"})");
    m_api.setApiSecurityNoEnc(true);
    reply.clear();
    EXPECT_TRUE(m_api.postClientStatus(kUserKey, kOrgKey, body, reply));

    const auto requests = m_origin.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target,
              "/v2/update/clientstatus?orgkey=" + kOrgKey + "&hashkey=" + kUserKey);
    EXPECT_EQ(requests[0].header("Authorization"), "");
    EXPECT_EQ(requests[1].target, "/v5/update/clientstatus");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer " + makeAuthToken(kUserKey, kOrgKey));
    for (const auto& request : requests) {
        EXPECT_EQ(request.body, body);
        EXPECT_EQ(request.header("Content-Type"), "application/json");
    }
    EXPECT_TRUE(ktTest::logHas("client status posted successfully"));
    expectNoSecretsLogged();
}

TEST_F(AddonApi, ClientStatusNeedsBothKeysAndAHost)
{
    struct Case {
        std::string userKey;
        std::string orgKey;
        std::string host;
        std::string message;
    };
    const std::string host = m_api.addonHost();
    const Case cases[] = {
        {"", "", "", "Post Client Status addon userkey is empty"},
        {kUserKey, "", host, "Post Client Status addon orgkey is empty"},
        {kUserKey, kOrgKey, "", "Post Client Status addon host is empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ktTest::clearLog();
        m_api.setAddonHost(c.host);
        std::string reply;
        EXPECT_FALSE(m_api.postClientStatus(c.userKey, c.orgKey, "{}", reply));
        EXPECT_EQ(reply, "");
        EXPECT_TRUE(ktTest::logHas(c.message));
    }
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(AddonApi, ClientStatusRepliesThatFail)
{
    struct Case {
        const char* name;
        HttpReply reply;
        std::string message;
    };
    const Case cases[] = {
        {"status error", HttpReply::make("HTTP/1.1 200 OK", R"({"status":"error"})"),
         "Failed to post client status , Error: -2"},
        {"reply over 8192 bytes", HttpReply::make("HTTP/1.1 200 OK", std::string(8193, ' ')),
         "Failed to post client status , Error: -6"},
        {"500", HttpReply::make("HTTP/1.1 500 Internal Server Error"),
         "Failed to post client status , Error: -4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        m_origin.setReply(c.reply);
        std::string reply;
        EXPECT_FALSE(m_api.postClientStatus(kUserKey, kOrgKey, "{}", reply));
        EXPECT_EQ(reply, "");
        EXPECT_TRUE(ktTest::logHas(c.message)) << ktTest::logText();
    }
    // Exactly 8192 bytes fit.
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(8192, ' ')));
    std::string reply;
    EXPECT_TRUE(m_api.postClientStatus(kUserKey, kOrgKey, "{}", reply));
    EXPECT_EQ(reply.size(), 8192u);
}

TEST_F(AddonApi, StoredCredentialsReachTheProxyDecryptedAndNeverTheLog)
{
    const std::string productId = "00330-80000-00000-AA123";
    const std::string stored = restTest::storedCredentials(productId, "alice:s3cret-Pw");
    ConnectProxy proxy("alice:s3cret-Pw");
    ClosedPort closed;
    m_api.setProxies({closed.address(), proxy.address()});
    m_api.setEncryptedProxyCredentials(stored);
    EXPECT_EQ(m_api.getProxySettings(), "alice:s3cret-Pw");

    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", R"({"status":"success"})"));
    EXPECT_TRUE(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, output(), 6));
    std::string reply;
    EXPECT_TRUE(m_api.postClientStatus(kUserKey, kOrgKey, "{}", reply));
    EXPECT_EQ(proxy.tunnelCount(), 2u);
    EXPECT_EQ(proxy.requests().back().credentials, std::optional<std::string>("alice:s3cret-Pw"));
    EXPECT_EQ(m_origin.requests().size(), 2u);
    const std::string log = ktTest::logText();
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(log.find("YWxpY2U6czNjcmV0LVB3"), std::string::npos); // its base64 form

    // Credentials that do not decrypt are not sent: the proxy refuses.
    ktTest::clearLog();
    m_api.setEncryptedProxyCredentials(restTest::storedCredentials("another-id", "alice:x"));
    EXPECT_EQ(m_api.getProxySettings(), "");
    EXPECT_FALSE(m_api.downloadDomainList(kUserKey, "linux", kOrgKey, output(), 6));
    EXPECT_TRUE(ktTest::logHas("Failed to download domain list, Error: -5"));
    EXPECT_EQ(m_origin.requests().size(), 2u);
}

TEST(RestApi, DownloadGivesTheBytesReceived)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "twelve bytes"));
    CRestApi api("");
    char buffer[16] = {};
    std::uint32_t size = sizeof(buffer);
    EXPECT_TRUE(api.download(origin.url("/x"), buffer, size, "thing", "X-Test: 1"));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::string(buffer, size), "twelve bytes");
    EXPECT_EQ(origin.requests().at(0).header("X-Test"), "1");

    size = 8; // too small
    EXPECT_FALSE(api.download(origin.url("/x"), buffer, size, "thing", ""));
    EXPECT_EQ(size, 8u);
    EXPECT_TRUE(ktTest::logHas("Failed to download thing, Error: -6"));
}

} // namespace
