// The configuration and capture requests against the fake service over loopback.

#include "ktConfig/ConfigSync.h"

#include "ktcom2/KTCom2.h"
#include "ktmsg2/KTMsg2.h"

#include "ktTest/fakeService.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ktTest::FakeItems;

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

class ConnectListener : public IKTCom2Listener {
public:
    void onMessage(const std::string&, const std::string&) override {}
    void onConnected() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connected = true;
        }
        m_changed.notify_all();
    }
    bool waitConnected()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_connected; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
};

struct Request {
    const char* logLine;
    std::function<bool(CConfigSync&)> call;
    int id;
    FakeItems items; // as the service received them, in order
};

// Every request, sent from session 7.
const std::vector<Request>& requests()
{
    static const std::vector<Request> table = {
        {"check for configuration update started",
         [](CConfigSync& s) { return s.checkForConfigUpdate("ktDiag"); },
         127,
         {{"sessionID", "7"}, {"clientName", "ktDiag"}}},
        {"Synchronize Configuration started",
         [](CConfigSync& s) { return s.synchronizeConfig("ktDiag"); },
         125,
         {{"sessionID", "7"}, {"clientName", "ktDiag"}}},
        {"Set log level from KTDiag started",
         [](CConfigSync& s) {
             return s.setLogLevel("ktClientUI",
                                  static_cast<KtLogLevel>(ktLogLevelFromString("warning")));
         },
         158,
         {{"clientName", "ktClientUI"}, {"logLevel", "3"}, {"sessionID", "7"}}},
        {"Set log size from KTDiag started 1024",
         [](CConfigSync& s) { return s.setLogSize("ktClientUI", 1024); },
         159,
         {{"clientName", "ktClientUI"}, {"logsize", "1024"}, {"sessionID", "7"}}},
        {"start outer packet capture started",
         [](CConfigSync& s) {
             return s.startOuterPacketCapture("ktDiag", "ktouterpktdump.etl", 0);
         },
         134,
         {{"Capture", "ktouterpktdump.etl"},
          {"sessionID", "7"},
          {"clientName", "ktDiag"},
          {"captureSize", "0"}}},
        {"stop outer packet capture started",
         [](CConfigSync& s) { return s.stopOuterPacketCapture("ktDiag"); },
         136,
         {{"clientName", "ktDiag"}, {"sessionID", "7"}}},
        {"get outer packet capture status started",
         [](CConfigSync& s) { return s.getOuterPacketCaptureStatus("ktDiag"); },
         138,
         {{"clientName", "ktDiag"}, {"sessionID", "7"}}},
        {"start driver log packet capture started",
         [](CConfigSync& s) { return s.startDriverLogCapture("ktDiag", "ktDriverLogs.etl"); },
         130,
         {{"driverCaptureLogFile", "ktDriverLogs.etl"},
          {"sessionID", "7"},
          {"clientName", "ktDiag"}}},
        {"stop driver log packet capture started",
         [](CConfigSync& s) { return s.stopDriverLogCapture("ktDiag"); },
         132,
         {{"sessionID", "7"}, {"clientName", "ktDiag"}}},
        {"get driver log capture status started",
         [](CConfigSync& s) { return s.getDriverLogCaptureStatus("ktDiag"); },
         140,
         {{"clientName", "ktDiag"}, {"sessionID", "7"}}},
    };
    return table;
}

// Fails at the step that writes the message text.
class FailingDetach : public CConfigSync {
public:
    using CConfigSync::CConfigSync;

protected:
    bool detachMessage(KTMsg2&, std::string&) override { return false; }
};

class ConfigSyncTest : public ::testing::Test {
protected:
    void connect()
    {
        KTCom2Timing timing;
        timing.connectMs = 2000;
        timing.handshakeWaitMs = 2000;
        timing.retryDelayMs = 20;
        ASSERT_TRUE(com.setTiming(timing));
        ASSERT_TRUE(com.start(&listener, "ktDiag_s7"));
        ASSERT_TRUE(listener.waitConnected());
    }

    // The service received nothing before this request: it is the first message.
    void expectOnlyMessageIsNext()
    {
        CConfigSync sync(&com);
        ASSERT_TRUE(sync.stopDriverLogCapture("ktDiag"));
        ASSERT_TRUE(fake.waitFor(132, 5s));
        const std::vector<ktTest::FakeMessage> received = fake.messages();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(received.front().id, 132);
    }

    ktTest::FakeService fake;
    ktTest::ScopedEnv port{"KTDIAG_SERVICE_PORT", std::to_string(fake.port())};
    ktTest::ScopedEnv session{"KTDIAG_SESSION_ID", std::string("7")};
    ConnectListener listener;
    CKTCom2 com; // after the listener: stopped before it goes
};

TEST_F(ConfigSyncTest, SendsEachRequestWithItsItemsInOrder)
{
    connect();
    CConfigSync sync(&com);
    for (const Request& r : requests()) {
        SCOPED_TRACE(r.logLine);
        ktTest::clearLog();
        EXPECT_TRUE(r.call(sync));
        const std::optional<ktTest::FakeMessage> received = fake.waitFor(r.id, 5s);
        ASSERT_TRUE(received);
        EXPECT_EQ(received->items, r.items);
        EXPECT_TRUE(ktTest::logHas(std::string("CConfigSync ") + r.logLine));
    }
    EXPECT_EQ(fake.messages().size(), requests().size());
}

TEST_F(ConfigSyncTest, NotConnectedFailsAfterLoggingTheRequest)
{
    CConfigSync sync(&com);
    for (const Request& r : requests()) {
        SCOPED_TRACE(r.logLine);
        ktTest::clearLog();
        EXPECT_FALSE(r.call(sync));
        EXPECT_TRUE(ktTest::logHas(std::string("CConfigSync ") + r.logLine));
        EXPECT_TRUE(ktTest::logHas("SendMsg: Client/Server not running"));
    }
}

TEST_F(ConfigSyncTest, NullClientFailsBeforeTheSessionLookup)
{
    ktTest::ScopedEnv badSession("KTDIAG_SESSION_ID", std::string("bad"));
    auto sync = std::make_shared<CConfigSync>(nullptr);
    for (const Request& r : requests()) {
        SCOPED_TRACE(r.logLine);
        ktTest::clearLog();
        EXPECT_FALSE(r.call(*sync));
        EXPECT_TRUE(ktTest::logHas("CConfigSync invalid ktcom client object"));
        EXPECT_FALSE(ktTest::logHas(r.logLine));
        EXPECT_FALSE(ktTest::logHas("ProcessIdToSessionId failed"));
    }
}

TEST_F(ConfigSyncTest, FailedSessionLookupSendsNothing)
{
    connect();
    {
        ktTest::ScopedEnv badSession("KTDIAG_SESSION_ID", std::string("bad"));
        CConfigSync sync(&com);
        for (const Request& r : requests()) {
            SCOPED_TRACE(r.logLine);
            ktTest::clearLog();
            EXPECT_FALSE(r.call(sync));
            EXPECT_TRUE(ktTest::logHas("ProcessIdToSessionId failed 22"));
        }
    }
    expectOnlyMessageIsNext();
}

TEST_F(ConfigSyncTest, FailedDetachSendsNothing)
{
    connect();
    std::unique_ptr<CConfigSync> failing = std::make_unique<FailingDetach>(&com);
    for (const Request& r : requests()) {
        SCOPED_TRACE(r.logLine);
        EXPECT_FALSE(r.call(*failing));
    }
    expectOnlyMessageIsNext();
}

} // namespace
