// The timed request and the packet-action requests of -r on a session object: time-outs
// of the request, and what the fake service receives.

#include "CKTDiag.h"
#include "printedBy.h"
#include "speedCommands.h"

#include "ktDownloader/ktHTTPClient.h"

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakeService.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/testLog.h"
#include "ktTest/testPki.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

using namespace std::chrono_literals;
using ktTest::FakeItems;
using ktTest::HttpReply;
using ktTest::HttpsOrigin;

namespace {

class LatencyTest : public ::testing::Test {
protected:
    LatencyTest()
        : m_port("KTDIAG_SERVICE_PORT", std::to_string(m_fake.port())),
          m_session("KTDIAG_SESSION_ID", std::string("3"))
    {
        ktTest::TestPki::instance();
        m_fake.setReplier(ktTest::plausibleReply);
    }
    ~LatencyTest() override { setStallWindow(30s); }

    // Runs command on a session with these waits; what it printed, and how long it took.
    std::string run(const KTDiagTimeouts& timeouts, bool started,
                    const std::function<void(CKTDiag&)>& command, std::chrono::milliseconds& took)
    {
        CKTDiag diag;
        diag.setTimeouts(timeouts);
        if (started) {
            diag.start();
        }
        return printedBy(diag, command, took);
    }

    int measure(const std::string& url, LatencyTimes& times, const KTDiagTimeouts& timeouts,
                std::chrono::milliseconds& took)
    {
        int rc = 1;
        run(
            timeouts, false, [&](CKTDiag& d) { rc = d.measureLatency(url, times); }, took);
        return rc;
    }

    ktTest::ClientTree m_client;
    ktTest::ClearProxyEnv m_noProxy;
    ktTest::FakeService m_fake;
    ktTest::ScopedEnv m_port;
    ktTest::ScopedEnv m_session;
};

FakeItems setItems(const std::string& action)
{
    return {{"pktAction", action},
            {"clientName", "ktDiag"},
            {"sessionID", "3"},
            {"ktdiagEnable", "true"}};
}

const FakeItems kClear = {{"pktAction", "0"},
                          {"clientName", "ktClientUI"},
                          {"sessionID", "3"},
                          {"ktdiagEnable", "false"}};

} // namespace

TEST_F(LatencyTest, ASuccessfulRequestFillsEveryTiming)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(20000, 'b')));
    LatencyTimes times;
    std::chrono::milliseconds took{};
    ASSERT_EQ(measure(origin.url("/page"), times, KTDiagTimeouts(), took), 0);
    EXPECT_GT(times.connectTime, 0.0);
    EXPECT_GE(times.appConnectTime, times.connectTime);
    EXPECT_GE(times.preTransferTime, times.appConnectTime);
    EXPECT_GE(times.startTransferTime, times.preTransferTime);
    EXPECT_GE(times.totalTime, times.startTransferTime);
    EXPECT_GE(times.nameLookupTime, 0.0);
    EXPECT_EQ(times.redirectTime, 0.0);
    EXPECT_GT(times.downloadSpeed, 0.0);
    EXPECT_EQ(origin.requests().size(), 1u);
}

TEST_F(LatencyTest, FailedRequestsGiveTheClientsCodeAndNoTimings)
{
    HttpsOrigin origin;
    origin.setReply(HttpReply::make("HTTP/1.1 404 Not Found", "gone"));
    ktTest::ClosedPort closed;
    const std::pair<std::string, int> cases[] = {
        {origin.url("/missing"), -4},
        {"https://" + closed.address() + "/", -2},
        {"http://[::1", -2}, // not a URL libcurl can parse
    };
    for (const auto& [url, code] : cases) {
        LatencyTimes times;
        std::chrono::milliseconds took{};
        EXPECT_EQ(measure(url, times, KTDiagTimeouts(), took), code) << url;
        EXPECT_EQ(times.totalTime, 0.0) << url;
        EXPECT_EQ(times.connectTime, 0.0) << url;
    }
}

TEST_F(LatencyTest, AnUnresponsiveServerEndsAtTheConnectTimeOutOrTheStallWatch)
{
    HttpsOrigin::Options silentOptions;
    silentOptions.silent = true;
    HttpsOrigin silent(silentOptions);
    HttpsOrigin stalling;
    HttpReply stall = HttpReply::make("HTTP/1.1 200 OK", std::string(1000, 'b'));
    stall.stallAfter = 60; // the head and a little of the body
    stalling.setReply(stall);

    struct Case {
        std::string url;
        int connectMs;
        std::chrono::milliseconds stallWindow;
        std::chrono::milliseconds atLeast; // the limit less the slack of libcurl's timer
    };
    const Case cases[] = {
        // No TLS handshake ever: the connect time-out ends it.
        {silent.url("/"), 300, 60s, 250ms},
        // Connected, then silent in the middle of the body: the stall watch ends it.
        {stalling.url("/"), 60000, 700ms, 650ms},
    };
    for (const Case& c : cases) {
        KTDiagTimeouts timeouts;
        timeouts.latencyConnectMs = c.connectMs;
        setStallWindow(c.stallWindow);
        LatencyTimes times;
        std::chrono::milliseconds took{};
        EXPECT_EQ(measure(c.url, times, timeouts, took), -2) << c.url;
        EXPECT_GE(took, c.atLeast) << c.url;
        EXPECT_LT(took, 10s) << c.url;
    }
}

TEST_F(LatencyTest, ATransferThatKeepsMovingIsMeasuredHoweverLongItTakes)
{
    // Ten bytes 400 ms apart: four seconds, four stall windows and four connect bounds,
    // always above 1 byte/s.
    setStallWindow(1000ms);
    KTDiagTimeouts timeouts;
    timeouts.latencyConnectMs = 1000;
    HttpsOrigin origin;
    HttpReply slow = HttpReply::make("HTTP/1.1 200 OK", std::string(10, 't'));
    slow.trickle = 400ms;
    origin.setReply(slow);
    LatencyTimes times;
    std::chrono::milliseconds took{};
    EXPECT_EQ(measure(origin.url("/slow"), times, timeouts, took), 0);
    EXPECT_GE(times.totalTime, 3.5);
    EXPECT_GE(took, 3500ms);
}

TEST_F(LatencyTest, SetThenClearWithTheirClientNames)
{
    std::chrono::milliseconds took{};
    bool sent = false;
    const std::string out = run(
        KTDiagTimeouts(), true,
        [&](CKTDiag& d) {
            sent = d.setPacketAction(4);
            d.unsetPacketAction();
        },
        took);
    EXPECT_TRUE(sent);
    EXPECT_EQ(out, "Packet action set correctly\nPacket action unset correctly\n");
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(m_fake.waitForClientGone(5s));
    const auto messages = m_fake.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].id, 161);
    EXPECT_EQ(messages[0].items, setItems("4"));
    EXPECT_EQ(messages[1].id, 161);
    EXPECT_EQ(messages[1].items, kClear);
}

TEST_F(LatencyTest, OnlyTheServicesConsentCountsAsDone)
{
    const auto answer = [](const FakeItems& items) {
        ktTest::FakeReply r;
        r.bytes = ktTest::fakeJson(162, items);
        return r;
    };
    ktTest::FakeReply silence;
    silence.kind = ktTest::FakeReply::Kind::silence;
    struct Case {
        ktTest::FakeReply reply;
        std::string set;
        std::string unset;
    };
    const std::string failed = "Failed to set packet action\n";
    const Case cases[] = {
        {answer({{"status", "true"}}), "Packet action set correctly\n",
         "Packet action unset correctly\n"},
        {answer({{"status", "false"}}), failed, failed},
        {answer({}), failed, failed},
        {silence, failed, failed},
    };
    KTDiagTimeouts timeouts;
    timeouts.pktActionMs = 300;
    for (const Case& c : cases) {
        m_fake.setReply(161, c.reply);
        std::chrono::milliseconds took{};
        EXPECT_EQ(run(
                      timeouts, true,
                      [](CKTDiag& d) {
                          EXPECT_TRUE(d.setPacketAction(1));
                          d.unsetPacketAction();
                      },
                      took),
                  c.set + c.unset)
            << c.reply.bytes;
        EXPECT_LT(took, 5s);
        EXPECT_TRUE(m_fake.waitForClientGone(5s));
    }
}

TEST_F(LatencyTest, WithoutServiceTheSetIsTriedThreeTimes)
{
    ktTest::ClosedPort closed;
    ktTest::ScopedEnv nobody("KTDIAG_SERVICE_PORT", std::to_string(closed.port()));
    KTDiagTimeouts timeouts;
    timeouts.readyMs = 2000;
    timeouts.pktActionRetryMs = 100;
    ktTest::clearLog();
    std::chrono::milliseconds took{};
    bool sent = true;
    EXPECT_EQ(run(
                  timeouts, true, [&](CKTDiag& d) { sent = d.setPacketAction(3); }, took),
              "Failed to set packet action\n");
    EXPECT_FALSE(sent);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    const std::string log = ktTest::logText();
    int failures = 0;
    for (auto at = log.find("Send Message to merivonsvc failed"); at != std::string::npos;
         at = log.find("Send Message to merivonsvc failed", at + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, 3);
}
