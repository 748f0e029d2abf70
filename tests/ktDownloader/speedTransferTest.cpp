// The timed transfers of the speed test against the local origin, and the texts of its
// result.

#include "ktDownloader/ktHTTPClient.h"

#include "ktTest/connectProxy.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/sharedSetUp.h"
#include "ktTest/testLog.h"
#include "ktTest/testPki.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using ktTest::HttpReply;
using ktTest::HttpsOrigin;

class NetEnvironment : public ktTest::SharedSetUp {
public:
    void setUp() override
    {
        m_noProxy = std::make_unique<ktTest::ClearProxyEnv>();
        ktTest::TestPki::instance();
        ktTest::clearLog();
    }
    void TearDown() override { m_noProxy.reset(); }

private:
    std::unique_ptr<ktTest::ClearProxyEnv> m_noProxy;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new NetEnvironment);

struct Buffer {
    explicit Buffer(std::uint32_t capacity, char fill = '\0') : bytes(capacity, fill)
    {
        tb.data = bytes.data();
        tb.size = capacity;
    }
    std::vector<char> bytes;
    TransferBuffer tb;
};

constexpr std::uint32_t kSize = 1048576;

std::string speedText(double speed)
{
    SpeedTestResult r;
    r.speed = speed;
    std::string text = "stale";
    formatSpeed(r, text);
    return text;
}

std::string durationText(std::uint64_t ms)
{
    SpeedTestResult r;
    r.elapsedMs = ms;
    std::string text = "stale";
    formatDuration(r, text);
    return text;
}

} // namespace

TEST(SpeedTestText, Speed)
{
    const std::pair<double, std::string> cases[] = {
        {1562500, "12.5 Mbps"},
        {12345678, "98.77 Mbps"},
        {125000, "1000 Kbps"},
        {125001, "1 Mbps"},
        {100000, "800 Kbps"},
        {1, "0.008 Kbps"},
        {0, ""},
        {-5, ""},
    };
    for (const auto& [speed, text] : cases) {
        EXPECT_EQ(speedText(speed), text) << speed;
    }
}

TEST(SpeedTestText, Duration)
{
    const std::pair<std::uint64_t, std::string> cases[] = {
        {0, ""},
        {1, "1 Milliseconds"},
        {250, "250 Milliseconds"},
        {999, "999 Milliseconds"},
        {1000, "1 Second "},
        {1001, "1 Second 1 ms"},
        {2000, "2 Seconds "},
        {61500, "1 Min 1 Second 500 ms"},
        {120000, "2 Mins "},
        {3600000, "1 Hour "},
        {3601001, "1 Hour 1 Second 1 ms"},
        {7325000, "2 Hours 2 Mins 5 Seconds "},
        {90000000, "25 Hours "},
    };
    for (const auto& [ms, text] : cases) {
        EXPECT_EQ(durationText(ms), text) << ms;
    }
}

TEST(SpeedTransfer, DownloadOfExactSizeFillsTheResult)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(kSize, 'd'),
                                    {"x-kt-hostpop:  ams1 ", "x-kt-hostname: node-7.example"}));
    Buffer upload(0);
    Buffer download(kSize);
    SpeedTestResult result;
    ASSERT_EQ(KTHTTPClient::measureTransfer(origin.url("/downloadsize=1mb"), 2, upload.tb,
                                            download.tb, &result, ktProxyParams{}, ""),
              0);
    EXPECT_EQ(download.tb.length, kSize);
    EXPECT_TRUE(
        std::all_of(download.bytes.begin(), download.bytes.end(), [](char c) { return c == 'd'; }));
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0].method, "GET");
    EXPECT_EQ(result.hostPop, "ams1");
    EXPECT_EQ(result.hostName, "node-7.example");
    EXPECT_EQ(result.localIp, "127.0.0.1");
    EXPECT_EQ(result.remoteIp, "127.0.0.1");
    EXPECT_EQ(result.remotePort, origin.port());
    EXPECT_GT(result.localPort, 0);
    EXPECT_NE(result.localPort, result.remotePort);
    EXPECT_GT(result.speed, 0.0);
}

TEST(SpeedTransfer, OneByteTooManyFailsTheDownload)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(kSize + 1, 'd')));
    Buffer upload(0);
    Buffer download(kSize);
    SpeedTestResult result;
    ktTest::clearLog();
    EXPECT_EQ(KTHTTPClient::measureTransfer(origin.url("/downloadsize=1mb"), 2, upload.tb,
                                            download.tb, &result, ktProxyParams{}, ""),
              -6);
    EXPECT_EQ(download.tb.length, 0u);
    EXPECT_EQ(result.elapsedMs, 0u);
    EXPECT_TRUE(ktTest::logHas("Input buffer is not enough, needed"));
}

TEST(SpeedTransfer, UploadSendsThePayloadAndKeepsTheReplyApart)
{
    HttpsOrigin origin;
    origin.setHandler([](const ktTest::HttpRequestRecord& request) {
        const bool whole = request.body.size() == kSize &&
                           request.body.find_first_not_of('\0') == std::string::npos;
        return HttpReply::make(whole ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request",
                               "{\"received\":" + std::to_string(request.body.size()) + "}",
                               {"x-kt-hostpop: fra"});
    });
    Buffer upload(kSize);
    Buffer reply(64);
    SpeedTestResult result;
    ASSERT_EQ(KTHTTPClient::measureTransfer(origin.url("/uploadsize=1mb"), 1, upload.tb, reply.tb,
                                            &result, ktProxyParams{}, "Expect:"),
              0);
    ASSERT_EQ(origin.requests().size(), 1u);
    const ktTest::HttpRequestRecord request = origin.requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Expect"), "");
    EXPECT_EQ(std::string(reply.tb.data, reply.tb.length), "{\"received\":1048576}");
    // The payload is as it was sent.
    EXPECT_TRUE(
        std::all_of(upload.bytes.begin(), upload.bytes.end(), [](char c) { return c == '\0'; }));
    EXPECT_EQ(result.hostPop, "fra");
    EXPECT_GT(result.speed, 0.0);
}

TEST(SpeedTransfer, UploadReplyWithoutRoomFails)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", "ok"));
    Buffer upload(16);
    Buffer noReply(0);
    SpeedTestResult result;
    EXPECT_EQ(KTHTTPClient::measureTransfer(origin.url("/uploadsize=1mb"), 1, upload.tb, noReply.tb,
                                            &result, ktProxyParams{}, ""),
              -6);
    EXPECT_TRUE(
        std::all_of(upload.bytes.begin(), upload.bytes.end(), [](char c) { return c == '\0'; }));
}

TEST(SpeedTransfer, MissingResultRecord)
{
    Buffer upload(0);
    Buffer download(16);
    ktTest::clearLog();
    EXPECT_EQ(KTHTTPClient::measureTransfer("https://127.0.0.1:1/", 2, upload.tb, download.tb,
                                            nullptr, ktProxyParams{}, ""),
              -1);
    EXPECT_TRUE(ktTest::logHas("invalid connection info buffer."));
}

TEST(SpeedTransfer, AClosedProxyThenAGoodOne)
{
    HttpsOrigin origin;
    origin.setReply(
        HttpReply::make("HTTP/1.1 200 OK", std::string(1000, 'd'), {"x-kt-hostname: node-2"}));
    ktTest::ClosedPort closed;
    ktTest::ConnectProxy good(std::string("user:pw"));
    ktTest::ConnectProxy unused;
    Buffer upload(0);
    Buffer download(kSize);
    SpeedTestResult result;
    const ProxySettings proxies{{closed.address(), good.address(), unused.address()}, "user:pw"};
    ASSERT_EQ(KTHTTPClient::measureTransferViaProxies(origin.url("/downloadsize=1mb"), 2, upload.tb,
                                                      download.tb, &result, proxies, ""),
              0);
    EXPECT_EQ(download.tb.length, 1000u);
    EXPECT_EQ(good.tunnelCount(), 1u);
    EXPECT_EQ(unused.connectCount(), 0u);
    EXPECT_EQ(result.hostName, "node-2");
    // Through a proxy the remote end is the proxy.
    EXPECT_EQ(result.remotePort, good.port());
}

TEST(SpeedTransfer, EveryProxyFailingGivesTheLastResult)
{
    HttpsOrigin origin;
    ktTest::ClosedPort closed;
    ktTest::ConnectProxy refusing;
    refusing.setConnectReply(std::string("HTTP/1.1 502 Bad Gateway"));
    Buffer upload(0);
    Buffer download(16);
    SpeedTestResult result;
    const ProxySettings proxies{{closed.address(), refusing.address()}, ""};
    EXPECT_EQ(KTHTTPClient::measureTransferViaProxies(origin.url("/downloadsize=1mb"), 2, upload.tb,
                                                      download.tb, &result, proxies, ""),
              -4);
    EXPECT_TRUE(origin.requests().empty());
    EXPECT_EQ(result.elapsedMs, 0u);
}
