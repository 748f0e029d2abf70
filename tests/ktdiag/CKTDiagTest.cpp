// A session object against the fake service with short waits: replies that never come,
// stray messages, and a link that fails while a command waits.

#include "CKTDiag.h"
#include "printedBy.h"

#include "ktTest/clientTree.h"
#include "ktTest/fakeService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <string>

using namespace std::chrono_literals;
using ktTest::FakeReply;

namespace {

FakeReply silence()
{
    FakeReply r;
    r.kind = FakeReply::Kind::silence;
    return r;
}

FakeReply answer(int id, const ktTest::FakeItems& items)
{
    FakeReply r;
    r.bytes = ktTest::fakeJson(id, items);
    return r;
}

class CKTDiagTest : public ::testing::Test {
protected:
    CKTDiagTest()
        : m_port("KTDIAG_SERVICE_PORT", std::to_string(m_fake.port())),
          m_session("KTDIAG_SESSION_ID", std::string("3"))
    {
        m_fake.setReplier(ktTest::plausibleReply);
    }

    // Runs command on a started session with the given waits; returns what it printed
    // and how long it took.
    std::string run(const KTDiagTimeouts& timeouts, const std::function<void(CKTDiag&)>& command,
                    std::chrono::milliseconds& took)
    {
        CKTDiag diag;
        diag.setTimeouts(timeouts);
        diag.start();
        return printedBy(diag, command, took);
    }

    ktTest::ClientTree m_client;
    ktTest::FakeService m_fake;
    ktTest::ScopedEnv m_port;
    ktTest::ScopedEnv m_session;
};

KTDiagTimeouts shortWaits()
{
    KTDiagTimeouts t;
    t.captureMs = 300;
    t.outerStopMs = 300;
    t.configCheckMs = 300;
    t.configDownloadMs = 300;
    return t;
}

// Waits long enough that only the awaited reply or the link's failure can end them.
KTDiagTimeouts longWaits()
{
    KTDiagTimeouts t;
    t.captureMs = 60000;
    t.outerStopMs = 60000;
    t.configCheckMs = 60000;
    t.configDownloadMs = 60000;
    return t;
}

TEST_F(CKTDiagTest, TheHandshakeNamesTheToolAndItsSession)
{
    const struct {
        const char* session;
        const char* name;
    } cases[] = {
        {"3", "ktDiag_s3"},
        {"4000000000", "ktDiag_s4000000000"}, // unsigned, past what an int holds
        {"no number", "ktDiag_s0"},           // the lookup failed
    };
    int handshakes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string(c.session));
        {
            CKTDiag diag;
            diag.start();
            ASSERT_TRUE(m_fake.waitForHandshakes(++handshakes, 5s));
            EXPECT_EQ(m_fake.clientName(), c.name);
        }
        EXPECT_TRUE(m_fake.waitForClientGone(5s));
    }
}

TEST_F(CKTDiagTest, ARequestWithoutAnswerPrintsItsFailureAfterItsWait)
{
    struct Case {
        int silentRequest;
        std::function<void(CKTDiag&)> command;
        std::string out;
    };
    const Case cases[] = {
        {120, [](CKTDiag& d) { d.startPacketCapture("", 0); }, "Failed to start packet capture\n"},
        {122, [](CKTDiag& d) { d.stopPacketCapture(); }, "Failed to stop packet capture\n"},
        {136, [](CKTDiag& d) { d.stopOuterPacketCapture(); },
         "Stopping outer packet capture...\nFailed to stop outer packet capture.\n"},
        {130,
         [](CKTDiag& d) {
             std::string name;
             d.startDriverLogCapture(name);
         },
         "Failed to start driver log capture.\n"},
        {127, [](CKTDiag& d) { d.updateConfig(); }, "Failed to check for configuration updates.\n"},
        {125, [](CKTDiag& d) { d.updateConfig(); },
         "Configuration update is available.\nSynchronizing configuration...\n"
         "Failed to download configuration updates.\n"},
    };
    for (const Case& c : cases) {
        m_fake.setReply(c.silentRequest, silence());
        m_fake.setReply(140, answer(141, {{"status", "false"}}));
        m_fake.setReply(127, c.silentRequest == 127 ? silence()
                                                    : answer(128, {{"updateStatus", "true"},
                                                                   {"updateCheckStatus", "true"}}));
        std::chrono::milliseconds took{};
        EXPECT_EQ(run(shortWaits(), c.command, took), c.out) << c.silentRequest;
        EXPECT_GE(took, 300ms) << c.silentRequest;
        EXPECT_LT(took, 5s) << c.silentRequest;
        EXPECT_TRUE(m_fake.waitForClientGone(5s));
        m_fake.setReply(c.silentRequest, *ktTest::plausibleReply({c.silentRequest, {}, {}}));
    }
}

TEST_F(CKTDiagTest, AStrayMessageDoesNotEndTheWait)
{
    // The check is first answered by a message nobody asked for; its answer follows.
    FakeReply stray;
    stray.kind = FakeReply::Kind::raw;
    stray.bytes = ktTest::fakeUnit(ktTest::fakeJson(145, {{"qpaStatus", "enabled"}}));
    m_fake.setReply(127, stray);
    std::promise<void> asked;
    m_fake.setObserver([&asked](const ktTest::FakeMessage& message, const FakeReply*) {
        if (message.id == 127) {
            asked.set_value();
        }
    });
    std::thread answerLater([&] {
        asked.get_future().wait();
        std::this_thread::sleep_for(200ms);
        m_fake.sendRaw(ktTest::fakeUnit(
            ktTest::fakeJson(128, {{"updateStatus", "false"}, {"updateCheckStatus", "true"}})));
    });
    std::chrono::milliseconds took{};
    EXPECT_EQ(run(
                  longWaits(), [](CKTDiag& d) { d.updateConfig(); }, took),
              "Already up to date.\n");
    EXPECT_LT(took, 5s);
    answerLater.join();
    m_fake.setObserver(nullptr);
}

TEST_F(CKTDiagTest, AnEarlyAnswerEndsTheWaitAtOnce)
{
    std::chrono::milliseconds took{};
    EXPECT_EQ(run(
                  longWaits(), [](CKTDiag& d) { d.stopPacketCapture(); }, took),
              "Packet capture stopped successfully\n");
    EXPECT_LT(took, 5s);
}

TEST_F(CKTDiagTest, ALinkResetEndsTheWaitAndTheNextSendFails)
{
    FakeReply reset;
    reset.kind = FakeReply::Kind::reset;
    m_fake.setReply(138, reset);
    std::chrono::milliseconds took{};
    std::string name;
    EXPECT_EQ(run(
                  longWaits(), [&](CKTDiag& d) { d.startOuterPacketCapture(name, 0); }, took),
              "Failed to connect with Service.\n");
    EXPECT_LT(took, 5s);
}

TEST_F(CKTDiagTest, NoServiceIsReportedAfterTheReadinessWait)
{
    ktTest::ScopedEnv nobody("KTDIAG_SERVICE_PORT", std::string("1"));
    KTDiagTimeouts t = longWaits();
    t.readyMs = 300;
    std::chrono::milliseconds took{};
    EXPECT_EQ(run(
                  t, [](CKTDiag& d) { d.setLogFileSize(5); }, took),
              "Failed to connect with Service.\nFailed to set log size, KTCom is not ready\n");
    EXPECT_LT(took, 5s);
}

TEST_F(CKTDiagTest, ASilentServiceEndsEachReadinessWaitAtItsTimeOut)
{
    // The service accepts the connection and never acknowledges the handshake, so only the
    // readiness wait's own time-out ends it.
    m_fake.setAck(ktTest::AckMode::silent);
    KTDiagTimeouts t = longWaits();
    t.readyMs = 300;
    t.statusMs = 60000;
    t.enableMs = 60000;
    t.pktActionMs = 60000;
    t.pktActionRetryMs = 10;
    const std::string noService = "Failed to connect with Service.\n";
    struct Case {
        const char* what;
        std::function<void(CKTDiag&)> command;
        std::string out;
    };
    const Case cases[] = {
        {"-c start", [](CKTDiag& d) { d.startPacketCapture("", 0); },
         "Failed to start packet capture\n"},
        {"-c stop", [](CKTDiag& d) { d.stopPacketCapture(); }, "Failed to stop packet capture\n"},
        {"-p start",
         [](CKTDiag& d) {
             std::string name;
             d.startOuterPacketCapture(name, 0);
         },
         noService},
        {"-p stop", [](CKTDiag& d) { d.stopOuterPacketCapture(); }, noService},
        {"-d start",
         [](CKTDiag& d) {
             std::string name;
             d.startDriverLogCapture(name);
         },
         noService},
        {"-d stop", [](CKTDiag& d) { d.stopDriverLogCapture(); }, noService},
        {"-u", [](CKTDiag& d) { d.updateConfig(); }, noService},
        {"-m", [](CKTDiag& d) { d.setLogFileSize(5); },
         noService + "Failed to set log size, KTCom is not ready\n"},
        {"-f", [](CKTDiag& d) { d.getClientStatus(); }, noService},
        {"-n", [](CKTDiag& d) { d.getQpaStatus(); }, noService},
        {"-t", [](CKTDiag& d) { d.enableClient(true); }, noService},
        {"-r set", [](CKTDiag& d) { d.setPacketAction(1); }, "Failed to set packet action\n"},
        {"-r clear", [](CKTDiag& d) { d.unsetPacketAction(); }, "Failed to set packet action\n"},
    };
    int handshakes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::chrono::milliseconds took{};
        EXPECT_EQ(run(t, c.command, took), c.out);
        EXPECT_GE(took.count(), 300);
        // Sooner than the standard readiness wait, which would end it if this one did not.
        EXPECT_LT(took.count(), KTDiagTimeouts{}.readyMs);
        // It did reach the service and waited on its handshake.
        EXPECT_TRUE(m_fake.waitForHandshakes(++handshakes, 5s));
        EXPECT_TRUE(m_fake.waitForClientGone(5s));
    }
    EXPECT_TRUE(m_fake.messages().empty());
}

} // namespace
