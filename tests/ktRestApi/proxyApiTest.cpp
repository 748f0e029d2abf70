// The speed test against the local origin, with a configuration of the test's own that
// names the origin as the speed-test host.

#include "ktRestApi/ktproxyapi.h"

#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using ktTest::HttpReply;
using ktTest::HttpsOrigin;

constexpr std::uint32_t k1mb = 1048576;
constexpr std::uint32_t k10mb = 10485760;

class FakeConfig : public SpeedTestConfig {
public:
    void detectAddonProxies() override { ++detections; }
    ProxySettings requestProxySettings() override { return settings; }
    std::string getProxyCredentials() override { return credentials; }
    std::string speedTestHost() override { return host; }

    int detections = 0;
    ProxySettings settings;
    std::string credentials;
    std::string host;
};

class SpeedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::clearLog();
        m_config.host = "127.0.0.1:" + std::to_string(m_origin.port());
        m_api.m_config = &m_config;
    }

    HttpsOrigin m_origin;
    FakeConfig m_config;
    CProxyApi m_api{std::string()};
    SpeedTestResult m_result;
};

} // namespace

TEST_F(SpeedTest, DownloadOfEachSizeFromTheConfiguredHost)
{
    const std::pair<std::uint32_t, std::string> cases[] = {{k1mb, "1mb"}, {k10mb, "10mb"}};
    for (const auto& [size, label] : cases) {
        m_origin.setReply(
            HttpReply::make("HTTP/1.1 200 OK", std::string(size, 'x'), {"x-kt-hostpop: ams"}));
        SpeedTestResult result;
        ASSERT_TRUE(m_api.speedTest(2, size, &result)) << label;
        EXPECT_EQ(m_origin.requests().back().target, "/downloadsize=" + label);
        EXPECT_EQ(m_origin.requests().back().method, "GET");
        EXPECT_EQ(result.hostPop, "ams");
        EXPECT_GT(result.speed, 0.0);
        EXPECT_TRUE(ktTest::logHas("Performing download Speed Test for " + label + " file size"));
        EXPECT_TRUE(ktTest::logHas("Speed Test Successful for " + label + " file size."));
    }
    EXPECT_EQ(m_config.detections, 2);
}

TEST_F(SpeedTest, UploadPostsTheZeroedPayloadWithoutExpect)
{
    m_origin.setHandler([](const ktTest::HttpRequestRecord& request) {
        const bool whole = request.body.size() == k1mb &&
                           request.body.find_first_not_of('\0') == std::string::npos;
        return HttpReply::make(whole ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request",
                               "{\"status\":\"success\"}");
    });
    ASSERT_TRUE(m_api.speedTest(1, k1mb, &m_result));
    ASSERT_EQ(m_origin.requests().size(), 1u);
    EXPECT_EQ(m_origin.requests()[0].method, "POST");
    EXPECT_EQ(m_origin.requests()[0].target, "/uploadsize=1mb");
    EXPECT_EQ(m_origin.requests()[0].header("Expect"), "");
    EXPECT_GT(m_result.speed, 0.0);
    EXPECT_TRUE(ktTest::logHas("Performing upload Speed Test for 1mb file size"));
}

TEST_F(SpeedTest, ProxiesOfTheConfigurationWithItsStoredCredentials)
{
    ktTest::ClosedPort closed;
    ktTest::ConnectProxy proxy(std::string("alice:pw-1"));
    // The copy's own credentials give way to the stored ones.
    m_config.settings = ProxySettings{{closed.address(), proxy.address()}, "stale:x"};
    m_config.credentials = "alice:pw-1";
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(100, 'x')));
    ASSERT_TRUE(m_api.speedTest(2, k1mb, &m_result));
    EXPECT_EQ(proxy.tunnelCount(), 1u);
    ASSERT_FALSE(proxy.requests().empty());
    EXPECT_EQ(proxy.requests().back().credentials, std::optional<std::string>("alice:pw-1"));
    EXPECT_FALSE(ktTest::logHas("pw-1"));
}

TEST_F(SpeedTest, RefusedSettingsFailWithTheirMessage)
{
    struct Case {
        int operation;
        std::uint32_t size;
        std::string host;
        std::string logged;
    };
    const std::string host = m_config.host;
    const Case cases[] = {
        {2, 5, host, "Invalid file size selection"},
        {1, 104857601, host, "Invalid file size selection"},
        {3, k1mb, host, "Invalid Speed Test operation selected 3."},
        {2, k1mb, "", "Speed Test host is not configured"},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        m_config.detections = 0;
        m_config.host = c.host;
        EXPECT_FALSE(m_api.speedTest(c.operation, c.size, &m_result)) << c.logged;
        EXPECT_TRUE(ktTest::logHas(c.logged)) << c.logged;
        // The proxies were refreshed before the size was looked at.
        EXPECT_EQ(m_config.detections, 1) << c.logged;
    }
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(SpeedTest, AFailedTransferFailsTheTest)
{
    struct Case {
        HttpReply reply;
        std::string logged;
    };
    const Case cases[] = {
        {HttpReply::make("HTTP/1.1 200 OK", std::string(k1mb + 1, 'x')),
         "Speed Test failed, operationType = 2 Error: -6"},
        {HttpReply::make("HTTP/1.1 503 Service Unavailable", "busy"),
         "Speed Test failed, operationType = 2 Error: -4"},
    };
    for (const Case& c : cases) {
        ktTest::clearLog();
        m_origin.setReply(c.reply);
        EXPECT_FALSE(m_api.speedTest(2, k1mb, &m_result)) << c.logged;
        EXPECT_TRUE(ktTest::logHas(c.logged)) << c.logged;
    }
}

TEST(SpeedTestSetUp, WithoutConfigurationNothingIsSent)
{
    CProxyApi api{std::string()};
    SpeedTestResult result;
    EXPECT_FALSE(api.speedTest(2, k1mb, &result));
}
