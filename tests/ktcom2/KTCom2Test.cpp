// The service client against the fake service over loopback.

#include "ktcom2/KTCom2.h"

#include "ktPlatform/sockets.h"
#include "ktmsg2/KTMsg2.h"

#include "ktTest/connectProxy.h"
#include "ktTest/fakeService.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ktTest::AckMode;
using ktTest::fakeJson;
using ktTest::FakeReply;
using ktTest::fakeUnit;

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

constexpr auto kWait = 5s;

struct Event {
    enum Kind { message, connected, error, disconnected };
    Kind kind;
    int code = 0;
    std::string text;
    std::string peer;
    std::thread::id thread;
};

class RecordingListener : public IKTCom2Listener {
public:
    void onMessage(const std::string& message, const std::string& peer) override
    {
        add({Event::message, 0, message, peer, {}});
    }
    void onConnected() override
    {
        add({Event::connected, 0, "", "", {}});
        if (whenConnected) {
            whenConnected();
        }
    }
    void onError(int code, const std::string& peer) override
    {
        add({Event::error, code, "", peer, {}});
    }
    void onDisconnected(int code, const std::string& peer) override
    {
        add({Event::disconnected, code, "", peer, {}});
    }

    // True once count events of kind arrived.
    bool waitFor(Event::Kind kind, std::size_t count, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return countLocked(kind) >= count; });
    }
    // The first event that is a connection or an error.
    std::optional<Event> firstOutcome(std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::optional<Event> found;
        m_changed.wait_for(lock, timeout, [&] {
            for (const Event& e : m_events) {
                if (e.kind == Event::connected || e.kind == Event::error) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::size_t count(Event::Kind kind)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return countLocked(kind);
    }
    std::vector<Event> events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::vector<std::string> messages()
    {
        std::vector<std::string> out;
        for (const Event& e : events()) {
            if (e.kind == Event::message) {
                out.push_back(e.text);
            }
        }
        return out;
    }

    std::function<void()> whenConnected; // set before start

private:
    void add(Event e)
    {
        e.thread = std::this_thread::get_id();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(e));
        }
        m_changed.notify_all();
    }
    std::size_t countLocked(Event::Kind kind) const
    {
        std::size_t n = 0;
        for (const Event& e : m_events) {
            n += e.kind == kind ? 1 : 0;
        }
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
};

// Every listener call came from one thread, and not from the test's.
void expectWorkerThreadOnly(RecordingListener& listener)
{
    const std::vector<Event> events = listener.events();
    for (const Event& e : events) {
        EXPECT_NE(e.thread, std::this_thread::get_id()) << "event kind " << e.kind;
        EXPECT_EQ(e.thread, events.front().thread) << "event kind " << e.kind;
    }
}

KTCom2Timing fastTiming()
{
    KTCom2Timing timing;
    timing.connectMs = 2000;
    timing.handshakeWaitMs = 2000;
    timing.pingIntervalMs = 60000;
    timing.retryDelayMs = 20;
    return timing;
}

std::string messageText(int id, const std::vector<std::pair<std::string, std::string>>& items = {})
{
    KTMsg2 msg;
    msg.m_msgId = id;
    for (const auto& [key, value] : items) {
        msg.AddItem<std::string>(key, value);
    }
    std::string text;
    EXPECT_TRUE(msg.detach(text));
    return text;
}

// A loopback port where nothing listens. It stays bound for the whole run, so no other
// test can take it and no connect to it can meet its own source port.
std::uint16_t closedPort()
{
    static const ktTest::ClosedPort closed;
    return closed.port();
}

class ServiceLink : public ::testing::Test {
protected:
    void TearDown() override
    {
        com.reset();
        expectWorkerThreadOnly(listener);
    }

    void startClient(const KTCom2Timing& timing = fastTiming(), std::uint16_t port = 0)
    {
        env = std::make_unique<ktTest::ScopedEnv>("KTDIAG_SERVICE_PORT",
                                                  std::to_string(port ? port : fake.port()));
        com = std::make_unique<CKTCom2>();
        ASSERT_TRUE(com->setTiming(timing));
        ASSERT_TRUE(com->start(&listener, "ktDiag_s1"));
    }

    void startConnected(const KTCom2Timing& timing = fastTiming())
    {
        startClient(timing);
        ASSERT_TRUE(listener.waitFor(Event::connected, 1));
    }

    ktTest::FakeService fake;
    RecordingListener listener;
    std::unique_ptr<ktTest::ScopedEnv> env;
    std::unique_ptr<CKTCom2> com;
};

TEST_F(ServiceLink, HandshakeRequestBytes)
{
    startConnected();
    EXPECT_EQ(fake.lastRequest(), std::string("\x00\x00\x00\x1b"
                                              "KesTr4ni\x01\x00\x00\x00\x00\x0d"
                                              "\x00\x00\x00\x09"
                                              "ktDiag_s1",
                                              31));
    EXPECT_EQ(fake.handshakeProblem(), "");
    EXPECT_EQ(fake.clientName(), "ktDiag_s1");
}

TEST(ServiceLinkHandshake, AcknowledgementTable)
{
    const struct {
        AckMode mode;
        int code; // 0: connected
    } cases[] = {
        {AckMode::valid, 0},           {AckMode::withTlvs, 0},      {AckMode::badSignature, -1},
        {AckMode::version2, -1},       {AckMode::type0, -1},        {AckMode::prefix10001, -1},
        {AckMode::prefix10000, 0},     {AckMode::truncated, 10054}, {AckMode::silent, 10054},
        {AckMode::oneBytePerWrite, 0}, {AckMode::withMessage, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        ktTest::FakeService fake;
        fake.setAck(c.mode);
        ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(fake.port()));
        RecordingListener listener;
        {
            CKTCom2 com;
            KTCom2Timing timing = fastTiming();
            timing.handshakeWaitMs = 200;
            timing.retryDelayMs = 60000;
            ASSERT_TRUE(com.setTiming(timing));
            ASSERT_TRUE(com.start(&listener, "ktDiag_s1"));
            const std::optional<Event> outcome = listener.firstOutcome();
            ASSERT_TRUE(outcome);
            if (c.code == 0) {
                EXPECT_EQ(outcome->kind, Event::connected);
            } else {
                EXPECT_EQ(outcome->kind, Event::error);
                EXPECT_EQ(outcome->code, c.code);
                EXPECT_EQ(outcome->peer, "");
            }
            if (c.mode == AckMode::withMessage) {
                // The message behind the acknowledgement belongs to the pump.
                ASSERT_TRUE(listener.waitFor(Event::message, 1));
                EXPECT_EQ(listener.messages().front(), fakeJson(121, {{"status", "true"}}));
            }
        }
        expectWorkerThreadOnly(listener);
    }
}

TEST_F(ServiceLink, SplitsTheStreamIntoUnits)
{
    startConnected();
    const std::string a = fakeJson(121, {{"status", "true"}});
    const std::string b = fakeJson(104, {{"tunnelstatus", "17"}});
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const struct {
        const char* what;
        std::string bytes;
        bool oneByteEach;
        std::vector<std::string> delivered;
    } cases[] = {
        {"two units in one write", fakeUnit(a) + fakeUnit(b), false, {a, b}},
        {"a unit byte by byte", fakeUnit(b), true, {b}},
        {"a lone empty unit", fakeUnit(""), false, {""}},
        {"a lone one-byte unit", fakeUnit("x"), false, {"x"}},
        {"empty and one-byte units behind a unit",
         fakeUnit(a) + fakeUnit("") + fakeUnit("y"),
         false,
         {a, "", "y"}},
        {"a ping is not delivered", fakeUnit(fakeJson(124, {})) + fakeUnit(a), false, {a}},
        {"a broken text under the ping's id is delivered",
         fakeUnit("{\"124\": \"\"") + fakeUnit(a),
         false,
         {"{\"124\": \"\"", a}},
        {"text that is not JSON", fakeUnit("{\"121\": oops"), false, {"{\"121\": oops"}},
        {"100,000-deep nesting", fakeUnit(deep) + fakeUnit(b), false, {deep, b}},
    };
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(fake.sendRaw(c.bytes, c.oneByteEach));
        ASSERT_TRUE(listener.waitFor(Event::message, seen + c.delivered.size()));
        const std::vector<std::string> messages = listener.messages();
        ASSERT_EQ(messages.size(), seen + c.delivered.size());
        for (std::size_t i = 0; i < c.delivered.size(); ++i) {
            EXPECT_EQ(messages[seen + i], c.delivered[i]);
        }
        seen = messages.size();
    }
    for (const Event& e : listener.events()) {
        if (e.kind == Event::message) {
            EXPECT_EQ(e.peer, "ktDiag_s1");
        }
    }
    EXPECT_EQ(listener.count(Event::disconnected), 0u);
}

TEST_F(ServiceLink, UnitsUpTo16MiBAreDeliveredLongerOnesEndTheConnection)
{
    startConnected();
    const std::size_t limit = 16u * 1024u * 1024u;
    ASSERT_TRUE(fake.sendRaw(fakeUnit(std::string(limit, 'x'))));
    ASSERT_TRUE(listener.waitFor(Event::message, 1, 20s));
    EXPECT_EQ(listener.messages().front().size(), limit);

    ASSERT_TRUE(fake.sendRaw(std::string("\x01\x00\x00\x01", 4)));
    ASSERT_TRUE(listener.waitFor(Event::disconnected, 1));
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    EXPECT_EQ(listener.count(Event::message), 1u);
}

TEST_F(ServiceLink, MaximalPrefixEndsTheConnectionWithoutBufferingAndReconnects)
{
    startConnected();
    fake.setReply(GET_STATUS, FakeReply{FakeReply::Kind::oversized, "", 0});
    ASSERT_TRUE(com->SendMsg(messageText(GET_STATUS), ""));
    ASSERT_TRUE(listener.waitFor(Event::disconnected, 1, 20s));
    ASSERT_TRUE(listener.waitFor(Event::connected, 2, 20s));
    EXPECT_TRUE(fake.waitForHandshakes(2, kWait));
    // The client dropped the stream instead of reading the 64 MiB behind the prefix.
    EXPECT_LT(fake.oversizedBytesWritten(), 64u * 1024u * 1024u);
    EXPECT_EQ(listener.count(Event::message), 0u);
    EXPECT_NE(ktTest::logText().find("Not enough buffer to process incoming message."),
              std::string::npos);
}

TEST_F(ServiceLink, SendsAPingWhenIdle)
{
    KTCom2Timing timing = fastTiming();
    timing.pingIntervalMs = 50;
    startConnected(timing);
    const std::optional<ktTest::FakeMessage> ping = fake.waitFor(CLIENT_PING, kWait);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->raw, "{\n    \"124\": \"\"\n}\n");
    EXPECT_TRUE(ping->items.empty());
    EXPECT_TRUE(fake.waitFor(CLIENT_PING, kWait)); // and again after the next idle interval
    EXPECT_EQ(listener.count(Event::error), 0u);
}

TEST_F(ServiceLink, MessagesReachTheServiceWithTheirItemsInOrder)
{
    startConnected();
    const std::string text =
        messageText(START_OUTER_PKT_CAPTURE, {{"Capture", "ktouterpktdump.etl"},
                                              {"sessionID", "1"},
                                              {"clientName", "ktDiag"},
                                              {"captureSize", "0"}});
    ASSERT_TRUE(com->SendMsg(text, ""));
    const std::optional<ktTest::FakeMessage> got = fake.waitFor(START_OUTER_PKT_CAPTURE, kWait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, text);
    const ktTest::FakeItems expected = {{"Capture", "ktouterpktdump.etl"},
                                        {"sessionID", "1"},
                                        {"clientName", "ktDiag"},
                                        {"captureSize", "0"}};
    EXPECT_EQ(got->items, expected);
}

TEST_F(ServiceLink, ScriptedRepliesReachTheListener)
{
    startConnected();
    const std::string late = fakeJson(RESP_START_PKT_CAPTURE, {{"status", "true"}});
    fake.setReply(START_PKT_CAPTURE, FakeReply{FakeReply::Kind::message, late, 30});
    fake.setReply(GET_DIAG, FakeReply{FakeReply::Kind::silence, "", 0});
    fake.setReply(STOP_PKT_CAPTURE, FakeReply{FakeReply::Kind::malformed, "", 0});
    ASSERT_TRUE(com->SendMsg(messageText(START_PKT_CAPTURE), ""));
    ASSERT_TRUE(com->SendMsg(messageText(GET_DIAG), ""));
    ASSERT_TRUE(com->SendMsg(messageText(STOP_PKT_CAPTURE), ""));
    ASSERT_TRUE(listener.waitFor(Event::message, 2));
    EXPECT_EQ(listener.messages(), (std::vector<std::string>{late, "{\"121\": oops"}));
    EXPECT_TRUE(fake.waitFor(GET_DIAG, kWait));
}

TEST_F(ServiceLink, SendsQueueWhileTheServiceDoesNotReadAndLeaveInOrder)
{
    startConnected();
    fake.setReading(false);
    // 8 MiB: more than the socket buffers of both ends hold.
    const std::string base =
        messageText(GET_STATUS, {{"seq", "00"}, {"pad", std::string(256 * 1024, 'p')}});
    const std::size_t seq = base.find("\"00\"") + 1;
    std::vector<std::string> texts;
    for (int i = 0; i < 32; ++i) {
        texts.push_back(base);
        texts.back()[seq] = static_cast<char>('0' + i / 10);
        texts.back()[seq + 1] = static_cast<char>('0' + i % 10);
        ASSERT_TRUE(com->SendMsg(texts.back(), "")) << i;
    }
    fake.setReading(true);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_STATUS, 20s);
        ASSERT_TRUE(got) << i;
        EXPECT_TRUE(got->raw == texts[i]) << i;
    }
    EXPECT_EQ(listener.count(Event::error), 0u);
}

TEST_F(ServiceLink, ServiceClosingLeadsToDisconnectedAndANewHandshake)
{
    startConnected();
    ASSERT_TRUE(fake.closeClient());
    ASSERT_TRUE(listener.waitFor(Event::disconnected, 1));
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    EXPECT_TRUE(fake.waitForHandshakes(2, kWait));
    for (const Event& e : listener.events()) {
        if (e.kind == Event::disconnected) {
            EXPECT_EQ(e.code, 0);
            EXPECT_EQ(e.peer, "");
        }
    }
    EXPECT_EQ(listener.count(Event::error), 0u);
}

TEST_F(ServiceLink, EachConnectionStartsACleanStream)
{
    startConnected();
    // Queued output of a connection that ends never reaches the next one.
    fake.setReading(false);
    const std::string queued = messageText(GET_STATUS, {{"pad", std::string(1024 * 1024, 'q')}});
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(com->SendMsg(queued, ""));
    }
    ASSERT_TRUE(fake.resetClient());
    fake.setReading(true);
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    const std::string fresh = messageText(GET_DIAG, {{"Diag", "/tmp/d"}});
    ASSERT_TRUE(com->SendMsg(fresh, ""));
    const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_DIAG, kWait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, fresh);
    EXPECT_EQ(fake.messages().size(), 1u);

    // Nor does a partial unit received before the end.
    ASSERT_TRUE(fake.sendRaw(std::string("\x00\x00\x00\x64", 4) + "0123456789"));
    ASSERT_TRUE(fake.closeClient());
    ASSERT_TRUE(listener.waitFor(Event::connected, 3));
    const std::string a = fakeJson(121, {{"status", "true"}});
    ASSERT_TRUE(fake.sendRaw(fakeUnit(a)));
    ASSERT_TRUE(listener.waitFor(Event::message, 1));
    EXPECT_EQ(listener.messages(), std::vector<std::string>{a});
}

TEST_F(ServiceLink, ResetDuringSendsEndsInAReconnect)
{
    startConnected();
    fake.setReply(GET_STATUS, FakeReply{FakeReply::Kind::reset, "", 0});
    const std::string text = messageText(GET_STATUS, {{"pad", std::string(64 * 1024, 'r')}});
    bool refused = false;
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (!refused && std::chrono::steady_clock::now() < until) {
        refused = !com->SendMsg(text, "");
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(refused);
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    EXPECT_GE(listener.count(Event::disconnected) + listener.count(Event::error), 1u);
}

// The system's send and connect again when a test that replaced them ends, however it ends.
struct SystemSockets {
    ~SystemSockets()
    {
        ktPlatform::setSendFunction(nullptr);
        ktPlatform::setConnectFunction(nullptr);
    }
};

// Fails every send of a unit that carries the marker, as a reset stream would.
long failMarkedSends(ktPlatform::Socket socket, const char* data, std::size_t length)
{
    if (memmem(data, length, "FAILME", 6) != nullptr) {
        errno = ECONNRESET;
        return -1;
    }
    return static_cast<long>(::send(socket, data, length, MSG_NOSIGNAL));
}

TEST_F(ServiceLink, HardSendErrorIsReportedByTheWorkerOnAFreshStream)
{
    ktPlatform::setSendFunction(failMarkedSends);
    startConnected();
    EXPECT_FALSE(com->SendMsg(messageText(GET_STATUS, {{"x", "FAILME"}}), ""));
    ASSERT_TRUE(listener.waitFor(Event::error, 1));
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    const std::string after = messageText(GET_DIAG, {{"Diag", "/tmp/d"}});
    ASSERT_TRUE(com->SendMsg(after, ""));
    const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_DIAG, kWait);
    ktPlatform::setSendFunction(nullptr);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, after);
    for (const Event& e : listener.events()) {
        if (e.kind == Event::error) {
            EXPECT_EQ(e.code, 10054);
        }
    }
    EXPECT_EQ(listener.count(Event::error), 1u);
    EXPECT_EQ(fake.messages().size(), 1u); // nothing of the failed unit reached the service
}

// The first send of a unit that carries the marker takes nothing, as a full socket would,
// so the unit is queued; the pump's write of it then fails as a reset stream would.
std::atomic<int> g_queuedThenFailed{0};

long queueThenFailMarked(ktPlatform::Socket socket, const char* data, std::size_t length)
{
    if (memmem(data, length, "QUEUEME", 7) != nullptr) {
        errno = g_queuedThenFailed++ == 0 ? EAGAIN : ECONNRESET;
        return -1;
    }
    return static_cast<long>(::send(socket, data, length, MSG_NOSIGNAL));
}

TEST_F(ServiceLink, FailedQueuedWriteIsReportedByThePumpAndByTheWorker)
{
    g_queuedThenFailed = 0;
    SystemSockets restore;
    ktPlatform::setSendFunction(queueThenFailMarked);
    startConnected();
    EXPECT_TRUE(com->SendMsg(messageText(GET_STATUS, {{"x", "QUEUEME"}}), ""));
    ASSERT_TRUE(listener.waitFor(Event::connected, 2));
    EXPECT_EQ(g_queuedThenFailed, 2);
    // The pump reports its write's error, then the worker the pump's result, and it
    // reconnects; the service closed nothing.
    std::vector<std::pair<Event::Kind, int>> seen;
    for (const Event& e : listener.events()) {
        seen.emplace_back(e.kind, e.code);
    }
    const std::vector<std::pair<Event::Kind, int>> expected = {
        {Event::connected, 0}, {Event::error, 10054}, {Event::error, 10054}, {Event::connected, 0}};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(fake.messages().empty());
}

TEST_F(ServiceLink, StartStopAndSendRefusals)
{
    env = std::make_unique<ktTest::ScopedEnv>("KTDIAG_SERVICE_PORT", std::to_string(fake.port()));
    com = std::make_unique<CKTCom2>();
    ASSERT_TRUE(com->setTiming(fastTiming()));
    EXPECT_FALSE(com->SendMsg("{}", ""));
    EXPECT_FALSE(com->stop());
    EXPECT_FALSE(com->start(nullptr, "ktDiag_s1"));
    EXPECT_FALSE(com->start(&listener, ""));
    ASSERT_TRUE(com->start(&listener, "ktDiag_s1"));
    EXPECT_FALSE(com->setTiming(fastTiming()));
    EXPECT_FALSE(com->start(&listener, "ktDiag_s1"));
    ASSERT_TRUE(listener.waitFor(Event::connected, 1));
    EXPECT_TRUE(com->stop());
    EXPECT_TRUE(fake.waitForClientGone(kWait));
    EXPECT_FALSE(com->stop());
    EXPECT_FALSE(com->SendMsg("{}", ""));
    EXPECT_FALSE(com->start(&listener, "ktDiag_s1"));
    const std::string log = ktTest::logText();
    EXPECT_NE(log.find("SendMsg: Client/Server not running"), std::string::npos);
    EXPECT_NE(log.find("start failed, Invalid argument"), std::string::npos);
    EXPECT_NE(log.find("attempt to start, Already Started"), std::string::npos);
    EXPECT_NE(log.find("ktcom2 client started"), std::string::npos);
}

TEST_F(ServiceLink, StopFromAListenerIsRefused)
{
    std::optional<bool> fromListener;
    listener.whenConnected = [&] { fromListener = com->stop(); };
    startConnected();
    EXPECT_TRUE(com->stop());
    ASSERT_TRUE(fromListener);
    EXPECT_FALSE(*fromListener);
}

TEST_F(ServiceLink, FailedAttemptsAreReportedOnce)
{
    KTCom2Timing timing = fastTiming();
    timing.retryDelayMs = 5;
    startClient(timing, closedPort());
    ASSERT_TRUE(listener.waitFor(Event::error, 1));
    std::this_thread::sleep_for(300ms);
    const std::vector<Event> events = listener.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events.front().code, 10061);
    EXPECT_NE(ktTest::logText().find("client socket connect failed 10061"), std::string::npos);
}

// Connection attempts through the connect seam: when each began, and which of them reach
// the service; the others are refused.
struct ScriptedConnects {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::chrono::steady_clock::time_point> began;
    std::set<std::size_t> letThrough; // attempt numbers, from 1
};
ScriptedConnects g_connects;

void scriptConnects(std::set<std::size_t> letThrough)
{
    std::lock_guard<std::mutex> lock(g_connects.mutex);
    g_connects.began.clear();
    g_connects.letThrough = std::move(letThrough);
}

int scriptedConnect(ktPlatform::Socket socket, const ktPlatform::SocketAddress& address)
{
    bool through = false;
    {
        std::lock_guard<std::mutex> lock(g_connects.mutex);
        g_connects.began.push_back(std::chrono::steady_clock::now());
        through = g_connects.letThrough.count(g_connects.began.size()) != 0;
    }
    g_connects.changed.notify_all();
    if (through) {
        return ::connect(socket, reinterpret_cast<const sockaddr*>(address.bytes), address.length);
    }
    errno = ECONNREFUSED;
    return -1;
}

// When each of the first count attempts began; fewer when they did not come within timeout.
std::vector<std::chrono::steady_clock::time_point> attemptsBegun(std::size_t count,
                                                                 std::chrono::seconds timeout)
{
    std::unique_lock<std::mutex> lock(g_connects.mutex);
    g_connects.changed.wait_for(lock, timeout, [&] { return g_connects.began.size() >= count; });
    return g_connects.began;
}

TEST_F(ServiceLink, TheStandardRetryDelayIsTenSeconds)
{
    scriptConnects({});
    SystemSockets restore;
    ktPlatform::setConnectFunction(scriptedConnect);
    startClient(KTCom2Timing{}, closedPort());
    const auto began = attemptsBegun(2, 60s);
    ASSERT_GE(began.size(), 2u);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(began[1] - began[0]).count(),
              10000);
}

TEST_F(ServiceLink, AConnectionStartsANewSeriesOfReportedFailures)
{
    // Refused, connected and then closed by the service, refused again and again.
    scriptConnects({2});
    SystemSockets restore;
    ktPlatform::setConnectFunction(scriptedConnect);
    startClient();
    ASSERT_TRUE(listener.waitFor(Event::connected, 1));
    ASSERT_TRUE(fake.closeClient());
    ASSERT_TRUE(listener.waitFor(Event::error, 2));
    ASSERT_GE(attemptsBegun(6, kWait).size(), 6u);
    com.reset();
    std::vector<std::pair<Event::Kind, int>> seen;
    for (const Event& e : listener.events()) {
        seen.emplace_back(e.kind, e.code);
    }
    const std::vector<std::pair<Event::Kind, int>> expected = {{Event::error, 10061},
                                                               {Event::connected, 0},
                                                               {Event::disconnected, 0},
                                                               {Event::error, 10061}};
    EXPECT_EQ(seen, expected);
}

// Refuses every connection attempt, noting before each how many connect failures the log
// held, so a test can tell which attempts were logged.
struct RefusedAttempts {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::size_t> loggedBefore; // one entry per attempt
};
RefusedAttempts g_refused;

std::size_t connectFailuresLogged()
{
    const std::string log = ktTest::logText();
    const std::string line = "client socket connect failed 10061";
    std::size_t count = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++count;
    }
    return count;
}

int refuseAndCount(ktPlatform::Socket, const ktPlatform::SocketAddress&)
{
    const std::size_t logged = connectFailuresLogged();
    {
        std::lock_guard<std::mutex> lock(g_refused.mutex);
        g_refused.loggedBefore.push_back(logged);
    }
    g_refused.changed.notify_all();
    errno = ECONNREFUSED;
    return -1;
}

TEST_F(ServiceLink, ConnectFailuresAreLoggedOnADoublingCadence)
{
    ktTest::clearLog();
    {
        std::lock_guard<std::mutex> lock(g_refused.mutex);
        g_refused.loggedBefore.clear();
    }
    SystemSockets restore;
    ktPlatform::setConnectFunction(refuseAndCount);
    KTCom2Timing timing = fastTiming();
    timing.retryDelayMs = 1;
    startClient(timing, closedPort());
    constexpr std::size_t kAttempts = 128;
    {
        std::unique_lock<std::mutex> lock(g_refused.mutex);
        ASSERT_TRUE(g_refused.changed.wait_for(
            lock, 30s, [] { return g_refused.loggedBefore.size() >= kAttempts; }));
    }
    com.reset();
    std::vector<std::size_t> before;
    {
        std::lock_guard<std::mutex> lock(g_refused.mutex);
        before = g_refused.loggedBefore;
    }
    // Attempt n (from 1) was logged when the count grew before attempt n + 1 began.
    std::vector<std::size_t> logged;
    for (std::size_t n = 1; n < before.size() && n < kAttempts; ++n) {
        if (before[n] > before[n - 1]) {
            logged.push_back(n);
        }
    }
    EXPECT_EQ(logged, (std::vector<std::size_t>{2, 6, 14, 30, 62, 94, 126}));
    const std::vector<Event> events = listener.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events.front().kind, Event::error);
    EXPECT_EQ(events.front().code, 10061);
}

// The waits of a worker with the standard timing: stop and destruction cut them short. A
// wait left to run would take seconds more than these bounds, which a busy machine cannot.
const long long kHalfRetryDelayMs = KTCom2Timing{}.retryDelayMs / 2;
const long long kHalfHandshakeWaitMs = KTCom2Timing{}.handshakeWaitMs / 2;

long long msSince(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin)
        .count();
}

TEST_F(ServiceLink, StopWhileWaitingToRetryCutsTheWaitShort)
{
    startClient(KTCom2Timing{}, closedPort());
    ASSERT_TRUE(listener.waitFor(Event::error, 1));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(com->stop());
    EXPECT_LT(msSince(begin), kHalfRetryDelayMs);
}

TEST_F(ServiceLink, StopDuringAHandshakeWaitCutsTheWaitShort)
{
    fake.setAck(AckMode::silent);
    startClient(KTCom2Timing{});
    ASSERT_TRUE(fake.waitForHandshakes(1, kWait));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(com->stop());
    EXPECT_LT(msSince(begin), kHalfHandshakeWaitMs);
    EXPECT_EQ(listener.count(Event::error), 0u);
}

TEST_F(ServiceLink, DestroyingAClientThatWaitsToRetryCutsTheWaitShort)
{
    startClient(KTCom2Timing{}, closedPort());
    ASSERT_TRUE(listener.waitFor(Event::error, 1));
    const auto begin = std::chrono::steady_clock::now();
    com.reset();
    EXPECT_LT(msSince(begin), kHalfRetryDelayMs);
}

} // namespace
