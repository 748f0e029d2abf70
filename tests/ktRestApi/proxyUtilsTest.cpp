#include "ktRestApi/proxyUtils.h"

#include "restTestEnv.h"

#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <boost/thread/exceptions.hpp>

#include <algorithm>
#include <cerrno>

namespace {

using ktTest::ClosedPort;
using ktTest::ConnectProxy;
using ktTest::HttpsOrigin;

const std::string kProductId = "00330-80000-00000-AA123";

class StoredCredentials : public ::testing::Test {
protected:
    void SetUp() override { ktTest::clearLog(); }
    void TearDown() override { restTest::setProductId(kProductId); }
};

TEST_F(StoredCredentials, DecryptVectorsOfTheCommandLineTool)
{
    struct Case {
        std::string productId;
        std::string plain;
    };
    const Case cases[] = {
        {kProductId, "alice:s3cret-Pw"},
        {"1", "bob:pw"},                                 // short key, padded
        {"0123456789abcdef0123456789abcdef", "carol:x"}, // a key of exactly 32 bytes
        {kProductId, "dave:" + std::string(100, 'p')},   // several blocks
        {kProductId, "eve:16-bytes-pw!"},                // a whole block of padding
        {kProductId, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.productId + " / " + c.plain);
        restTest::setProductId(c.productId);
        const std::string stored = restTest::storedCredentials(c.productId, c.plain);
        std::string plain = "stale";
        EXPECT_TRUE(decryptProxyCredentials(stored, plain));
        EXPECT_EQ(plain, c.plain);
    }
    EXPECT_FALSE(ktTest::logHas("s3cret")) << "credentials reached the log";
}

TEST_F(StoredCredentials, FailuresGiveFalseAndAnEmptyResult)
{
    const std::string stored = restTest::storedCredentials(kProductId, "alice:s3cret-Pw");
    struct Case {
        const char* name;
        std::optional<std::string> productId; // nullopt: the registry has none
        std::string stored;
        std::string message;
    };
    const Case cases[] = {
        {"another machine's product id", std::string("00330-80000-00000-AA124"), stored,
         "failed to encrypt proxy credentials"},
        {"no product id", std::nullopt, stored, "failed to retrive system product id"},
        {"not base64", kProductId, "!!!!", "failed to encrypt proxy credentials"},
        {"cut short", kProductId, stored.substr(0, stored.size() - 8),
         "failed to encrypt proxy credentials"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        restTest::setProductId(c.productId);
        std::string plain = "stale";
        EXPECT_FALSE(decryptProxyCredentials(c.stored, plain));
        EXPECT_EQ(plain, "");
        EXPECT_TRUE(ktTest::logHas(c.message)) << ktTest::logText();
        EXPECT_FALSE(ktTest::logHas("s3cret"));
    }
}

TEST_F(StoredCredentials, EmptyTextDoesNotReadTheProductId)
{
    restTest::setProductId(std::nullopt);
    std::string plain = "stale";
    EXPECT_FALSE(decryptProxyCredentials("", plain));
    EXPECT_EQ(plain, "");
    EXPECT_EQ(ktTest::logText(), "");
}

// --- reachability probe ---------------------------------------------------------------

ExternalProxyRecord record(std::int32_t product, std::uint16_t port)
{
    return ExternalProxyRecord{product, "127.0.0.1", port, "test proxy"};
}

std::vector<std::string> sorted(std::vector<std::string> list)
{
    std::sort(list.begin(), list.end());
    return list;
}

class ProxyProbe : public ::testing::Test {
protected:
    void SetUp() override { ktTest::clearLog(); }
    HttpsOrigin m_origin;
    std::string m_url = m_origin.url("/config/org/version?orgkey=o&userkey=u");
};

TEST_F(ProxyProbe, ReportsTheReachableProxyAndSkipsAClosedOne)
{
    ConnectProxy reachable;
    ClosedPort closed;
    ConnectProxy otherProduct;
    CProxyHealthCheck check;
    check.setUserProxies(
        {record(2, closed.port()), record(2, reachable.port()), record(3, otherProduct.port())});
    EXPECT_TRUE(ktTest::logHas("Configured External Proxy List count 3"));

    EXPECT_EQ(check.checkUserProxies(m_url, true), std::vector<std::string>{reachable.address()});
    EXPECT_EQ(reachable.tunnelCount(), 1u);
    EXPECT_EQ(reachable.requests().at(0).target, "127.0.0.1:" + std::to_string(m_origin.port()));
    EXPECT_FALSE(reachable.requests().at(0).credentials.has_value() &&
                 *reachable.requests().at(0).credentials != ":")
        << "the probe sends no proxy credentials";
    EXPECT_TRUE(otherProduct.requests().empty());
    EXPECT_TRUE(m_origin.requests().empty()) << "a probe only connects";
    EXPECT_TRUE(ktTest::logHas("User configured Proxy " + reachable.address() + " is reachable"));
    EXPECT_TRUE(ktTest::logHas("User configured Proxy " + closed.address() + " is not reachable"));
    EXPECT_FALSE(ktTest::logHas(otherProduct.address()));
    EXPECT_TRUE(
        ktTest::logHas("User configured reachable proxy count 1 (after reachability check)"));

    // A report probes nothing and gives what the last check found.
    ktTest::clearLog();
    EXPECT_EQ(check.checkUserProxies(m_url, false), std::vector<std::string>{reachable.address()});
    EXPECT_EQ(reachable.connectCount(), 1u);
    EXPECT_TRUE(ktTest::logHas("User configured reachable proxy count 1"));

    // A new check starts from an empty list.
    ktTest::clearLog();
    check.setUserProxies({record(2, closed.port())});
    EXPECT_TRUE(check.checkUserProxies(m_url, true).empty());
    EXPECT_TRUE(ktTest::logHas("Flushes reachable proxies 1"));
}

TEST_F(ProxyProbe, AllProxiesAreProbedAtOnce)
{
    std::vector<std::unique_ptr<ConnectProxy>> proxies;
    std::vector<ExternalProxyRecord> records;
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) {
        proxies.push_back(std::make_unique<ConnectProxy>());
        records.push_back(record(2, proxies.back()->port()));
        expected.push_back(proxies.back()->address());
    }
    CProxyHealthCheck check;
    check.setUserProxies(records);
    EXPECT_EQ(sorted(check.checkUserProxies(m_url, true)), sorted(expected));
    check.flushReachableProxies();
    EXPECT_TRUE(check.checkUserProxies(m_url, false).empty());
}

TEST_F(ProxyProbe, PortZeroProbesTheBareHost)
{
    CProxyHealthCheck check;
    check.setUserProxies({record(2, 0)});
    check.checkUserProxies(m_url, true);
    EXPECT_TRUE(ktTest::logHas("User configured Proxy 127.0.0.1 is ")) << ktTest::logText();
}

// Fails to start the probe thread of one chosen proxy.
class FailingStart : public CProxyHealthCheck {
public:
    explicit FailingStart(std::string failing) : m_failing(std::move(failing)) {}

protected:
    void startProbe(boost::thread_group& group, const std::string& url,
                    const ktProxyParams& params) override
    {
        if (params.proxy == m_failing) {
            throw boost::thread_resource_error(EAGAIN, "no more threads");
        }
        CProxyHealthCheck::startProbe(group, url, params);
    }

private:
    std::string m_failing;
};

TEST_F(ProxyProbe, AThreadThatCannotStartIsLoggedAndTheOthersRun)
{
    ConnectProxy first;
    ConnectProxy second;
    ConnectProxy third;
    FailingStart check(second.address());
    check.setUserProxies(
        {record(2, first.port()), record(2, second.port()), record(2, third.port())});
    EXPECT_EQ(sorted(check.checkUserProxies(m_url, true)),
              sorted({first.address(), third.address()}));
    EXPECT_TRUE(second.requests().empty());
    EXPECT_TRUE(
        ktTest::logHas("Failed to start the reachability check of proxy " + second.address()));
}

} // namespace
