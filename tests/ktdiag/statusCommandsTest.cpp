// The status, QPA-status and enable commands on a session object with short waits, and
// the name tables they print from.

#include "CKTDiag.h"
#include "printedBy.h"
#include "statusCommands.h"

#include "ktTest/clientTree.h"
#include "ktTest/fakeService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <functional>
#include <string>

using namespace std::chrono_literals;
using ktTest::FakeReply;

namespace {

TEST(StatusNames, TunnelStatus)
{
    const struct {
        int value;
        const char* name;
    } cases[] = {
        {0, "KTTUNNEL_DISCONNECTED"},
        {1, "KTTUNNEL_DISCONNECTED_BYUSER"},
        {8, "KTTUNNEL_DISCONNECTED_CONFIG_NOTREADY"},
        {10, "KTTUNNEL_DISCONNECTED_BYUSER_DISABLE_NE"},
        {13, "KTTUNNEL_DISCONNECTED_BYCONFIG_CHANGE"},
        {14, "KTTUNNEL_DISCONNECTING"},
        {15, "KTTUNNEL_DISCONNECTED_FAIL_CLOSED"},
        {16, "KTTUNNEL_CONNECTING"},
        {17, "KTTUNNEL_CONNECTED"},
        {18, "18"},
        {-1, "-1"},
        {INT_MAX, "2147483647"},
        {INT_MIN, "-2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tunnelStatusName(c.value), c.name) << c.value;
    }
}

TEST(StatusNames, TrafficMode)
{
    const struct {
        int mode;
        const char* name;
    } cases[] = {
        {1, "Cloud Apps Only"}, {2, "All Web Traffic"}, {3, "All Traffic"},
        {0, "INVALID"},         {4, "INVALID"},         {-1, "INVALID"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(trafficModeName(c.mode), c.name) << c.mode;
    }
}

FakeReply reply(FakeReply::Kind kind, const std::string& bytes = std::string())
{
    FakeReply r;
    r.kind = kind;
    r.bytes = bytes;
    return r;
}

class StatusCommandsTest : public ::testing::Test {
protected:
    StatusCommandsTest()
        : m_port("KTDIAG_SERVICE_PORT", std::to_string(m_fake.port())),
          m_session("KTDIAG_SESSION_ID", std::string("3"))
    {
        m_fake.setReplier(ktTest::plausibleReply);
        m_timeouts.statusMs = 300;
        m_timeouts.enableMs = 300;
    }

    // Runs command on a started session; returns what it printed and how long it took.
    std::string run(const std::function<void(CKTDiag&)>& command, std::chrono::milliseconds& took)
    {
        CKTDiag diag;
        diag.setTimeouts(m_timeouts);
        diag.start();
        return printedBy(diag, command, took);
    }

    ktTest::ClientTree m_client;
    ktTest::FakeService m_fake;
    ktTest::ScopedEnv m_port;
    ktTest::ScopedEnv m_session;
    KTDiagTimeouts m_timeouts;
};

struct Command {
    int request;
    std::function<void(CKTDiag&)> run;
    std::string failed;
};

const Command kCommands[] = {
    // Without an answer the status still shows what the tool's own files say.
    {103, [](CKTDiag& d) { d.getClientStatus(); },
     "Failed to get client status.\nOrgname:: .\nConfig:: Client Default.\nEmail:: .\n"
     "Peruser config:: FALSE.\nDynamic Steering:: FALSE.\nSNI Enable:: FALSE.\n"
     "Traffic Mode:: Cloud Apps Only.\n"},
    {144, [](CKTDiag& d) { d.getQpaStatus(); }, "Failed to get QPA status.\n"},
    {104, [](CKTDiag& d) { d.enableClient(true); }, "Enable/disable client failed\n"},
};

TEST_F(StatusCommandsTest, AnAnswerThatNeverComesIsAFailureAfterTheWait)
{
    // Silence, a text that is no message, and an answer of another kind all leave the
    // command without its answer.
    const FakeReply replies[] = {
        reply(FakeReply::Kind::silence),
        reply(FakeReply::Kind::malformed),
        reply(FakeReply::Kind::message, ktTest::fakeJson(106, {{"status", "true"}})),
    };
    for (const Command& c : kCommands) {
        for (const FakeReply& r : replies) {
            m_fake.setReply(c.request, r);
            std::chrono::milliseconds took{};
            EXPECT_EQ(run(c.run, took), c.failed) << c.request;
            EXPECT_GE(took, 300ms) << c.request;
            EXPECT_LT(took, 5s) << c.request;
            EXPECT_TRUE(m_fake.waitForClientGone(5s));
        }
    }
}

TEST_F(StatusCommandsTest, ALinkResetEndsTheWaitAtOnce)
{
    m_timeouts.statusMs = 60000;
    m_timeouts.enableMs = 60000;
    for (const Command& c : kCommands) {
        m_fake.setReply(c.request, reply(FakeReply::Kind::reset));
        std::chrono::milliseconds took{};
        EXPECT_EQ(run(c.run, took), c.failed) << c.request;
        EXPECT_LT(took, 5s) << c.request;
    }
}

TEST_F(StatusCommandsTest, NoServiceSendsNothing)
{
    ktTest::ScopedEnv nobody("KTDIAG_SERVICE_PORT", std::string("1"));
    m_timeouts.readyMs = 300;
    for (const Command& c : kCommands) {
        std::chrono::milliseconds took{};
        EXPECT_EQ(run(c.run, took), "Failed to connect with Service.\n") << c.request;
        EXPECT_LT(took, 5s) << c.request;
    }
    EXPECT_TRUE(m_fake.messages().empty());
}

TEST_F(StatusCommandsTest, AnItemMissingFromTheAnswerKeepsWhatAnEarlierAnswerLeft)
{
    m_fake.setReply(
        103, reply(FakeReply::Kind::message, ktTest::fakeJson(104, {{"tunnelstatus", "16"}})));
    std::chrono::milliseconds took{};
    const std::string out = run(
        [](CKTDiag& d) {
            d.onMessage(ktTest::fakeJson(104, {{"tunnelstatus", "17"},
                                               {"status", "enable"},
                                               {"gatewayHost", "gw.example.net"}}),
                        std::string());
            d.getClientStatus();
        },
        took);
    EXPECT_NE(out.find("Tunnel status:: KTTUNNEL_CONNECTING.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Client status:: enable.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Gateway:: gw.example.net.\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Gateway IP:: .\n"), std::string::npos) << out;
}

TEST_F(StatusCommandsTest, AnEarlierQpaStatusIsNotTakenForTheAnswer)
{
    // The status is cleared before the request: an answer without it prints none.
    m_fake.setReply(144, reply(FakeReply::Kind::message, ktTest::fakeJson(145, {})));
    std::chrono::milliseconds took{};
    EXPECT_EQ(run(
                  [](CKTDiag& d) {
                      d.onMessage(ktTest::fakeJson(145, {{"qpaStatus", "enabled"}}), std::string());
                      d.getQpaStatus();
                  },
                  took),
              "QPA status is .\n");
}

} // namespace
