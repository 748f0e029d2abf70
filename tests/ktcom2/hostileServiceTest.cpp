// The service client against a hostile service: what it sends is bounded, and whatever
// arrives the client keeps working or reports the failure, within a fixed resident memory.

#include "ktcom2/KTCom2.h"
#include "ktcom2/KTUnitSplitter.h"

#include "ktPlatform/memory.h"
#include "ktmsg2/KTMsg2.h"

#include "ktTest/fakeService.h"
#include "ktTest/sharedSetUp.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ktTest::fakeJson;
using ktTest::fakeUnit;

const auto* const g_log = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

// The heap as the tool's main sets it up, once before any test of this binary runs: the
// large blocks of tests that ran earlier in the same process then go back to the system
// instead of staying resident, however the tests are run.
class ProcessHeapEnvironment : public ktTest::SharedSetUp {
public:
    void setUp() override { ktPlatform::initProcessHeap(); }
};
const auto* const g_heap = ::testing::AddGlobalTestEnvironment(new ProcessHeapEnvironment);

constexpr auto kWait = 10s;
constexpr auto kPingInterval = 60s;
constexpr std::size_t kMiB = 1024 * 1024;

// What the client may hold resident, whatever the service does, above what the process
// held when the test began. The fake service and the test count too. A sanitizer's shadow memory
// and quarantine are resident by design, so instrumented builds run the same streams without the
// bound.
constexpr std::size_t kResidentBound = 64 * kMiB;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentBoundHolds = false;
#else
constexpr bool kResidentBoundHolds = true;
#endif

std::size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Samples the process's resident memory every millisecond, for the life of the object.
class PeakResidentMemory {
public:
    PeakResidentMemory() : m_thread([this] { run(); }) {}
    ~PeakResidentMemory()
    {
        m_stop = true;
        m_thread.join();
    }
    std::size_t peak() const { return m_peak; }

private:
    void run()
    {
        do {
            const std::size_t now = residentBytes();
            if (now > m_peak) {
                m_peak = now;
            }
            std::this_thread::sleep_for(1ms);
        } while (!m_stop);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_peak{0};
    std::thread m_thread;
};

// Parses every message as the tool's listener does, and keeps only small texts.
class Listener : public IKTCom2Listener {
public:
    void onMessage(const std::string& message, const std::string&) override
    {
        KTMsg2 parsed;
        const bool attached = parsed.attach(message);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_messages;
        m_lastSize = message.size();
        m_lastAttached = attached;
        if (message.size() <= 1024) {
            m_small.push_back(message);
        }
        m_changed.notify_all();
    }
    void onConnected() override { bump(m_connected); }
    void onError(int, const std::string&) override { bump(m_errors); }
    void onDisconnected(int, const std::string&) override { bump(m_disconnected); }

    // True once the counter reaches count within the wait.
    bool waitMessages(std::size_t count, std::chrono::milliseconds wait = kWait)
    {
        return waitFor(m_messages, count, wait);
    }
    bool waitConnected(std::size_t count) { return waitFor(m_connected, count, kWait); }
    // True once the link was lost count times, reported either way.
    bool waitLosses(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_disconnected + m_errors >= count; });
    }

    std::size_t messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    std::size_t connected()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connected;
    }
    std::size_t losses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_disconnected + m_errors;
    }
    std::vector<std::string> small()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_small;
    }
    std::size_t lastSize()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastSize;
    }
    bool lastAttached()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastAttached;
    }

private:
    void bump(std::size_t& counter)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++counter;
        m_changed.notify_all();
    }
    bool waitFor(std::size_t& counter, std::size_t count, std::chrono::milliseconds wait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, wait, [&] { return counter >= count; });
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_messages = 0;
    std::size_t m_connected = 0;
    std::size_t m_errors = 0;
    std::size_t m_disconnected = 0;
    std::size_t m_lastSize = 0;
    bool m_lastAttached = false;
    std::vector<std::string> m_small;
};

std::string messageText(int id, const std::string& pad = "")
{
    KTMsg2 msg;
    msg.m_msgId = id;
    msg.AddItem<std::string>("pad", pad);
    std::string text;
    EXPECT_TRUE(msg.detach(text));
    return text;
}

std::string prefix(std::uint32_t length)
{
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
            static_cast<char>(length >> 8), static_cast<char>(length)};
}

class HostileService : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_baseline = residentBytes();
        KTCom2Timing timing;
        timing.connectMs = 2000;
        timing.handshakeWaitMs = 2000;
        timing.pingIntervalMs = static_cast<int>(kPingInterval / 1ms);
        timing.retryDelayMs = 20;
        env =
            std::make_unique<ktTest::ScopedEnv>("KTDIAG_SERVICE_PORT", std::to_string(fake.port()));
        com = std::make_unique<CKTCom2>(); // takes the port when made
        ASSERT_TRUE(com->setTiming(timing));
        ASSERT_TRUE(com->start(&listener, "ktDiag_s1"));
        ASSERT_TRUE(listener.waitConnected(1));
    }

    void TearDown() override
    {
        // Stop wakes the pump, which would otherwise sleep until its next keep-alive.
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(com->stop());
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - begin)
                      .count(),
                  (kPingInterval / 2) / 1ms);
        if (kResidentBoundHolds) {
            EXPECT_LT(memory.peak() - std::min(m_baseline, memory.peak()), kResidentBound)
                << "peak resident bytes " << memory.peak() << ", at the start " << m_baseline;
        }
    }

    // The link works both ways: a reply reaches the listener, a request the service.
    void expectWorkingLink()
    {
        const std::string reply = fakeJson(121, {{"status", "true"}});
        const std::size_t before = listener.messages();
        ASSERT_TRUE(fake.sendRaw(fakeUnit(reply)));
        ASSERT_TRUE(listener.waitMessages(before + 1));
        EXPECT_EQ(listener.small().back(), reply);
        EXPECT_TRUE(listener.lastAttached());
        const std::string request = messageText(GET_DIAG, "after");
        ASSERT_TRUE(com->SendMsg(request, ""));
        const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_DIAG, kWait);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->raw, request);
    }

    PeakResidentMemory memory;
    std::size_t m_baseline = 0;
    ktTest::FakeService fake;
    Listener listener;
    std::unique_ptr<ktTest::ScopedEnv> env;
    std::unique_ptr<CKTCom2> com;
};

TEST_F(HostileService, OversizedPrefixesEndTheConnectionBeforeAnyBuffering)
{
    const std::uint32_t prefixes[] = {kMaxUnitLength + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    std::size_t connections = 1;
    for (const std::uint32_t length : prefixes) {
        SCOPED_TRACE(length);
        EXPECT_LT(fake.flood(prefix(length), 64 * kMiB), 64 * kMiB);
        ASSERT_TRUE(listener.waitLosses(connections));
        ASSERT_TRUE(listener.waitConnected(++connections));
        EXPECT_EQ(listener.messages(), 0u);
    }
    EXPECT_TRUE(ktTest::logHas("Not enough buffer to process incoming message."));
    expectWorkingLink();
}

TEST_F(HostileService, AUnitThatDoesNotEndIsHeldOnceWhileTheLinkKeepsWorking)
{
    // The longest unit accepted, a valid message, sent but for its last byte; made piece
    // by piece, so the test holds no copy of it.
    const std::string head = "{\"121\":{\"pad\":\"";
    const std::string tail = "\"}}";
    std::size_t left = kMaxUnitLength - head.size() - tail.size();
    ASSERT_TRUE(fake.sendRaw(prefix(kMaxUnitLength) + head));
    while (left > 0) {
        const std::size_t piece = std::min(left, kMiB);
        ASSERT_TRUE(fake.sendRaw(std::string(piece, 'p')));
        left -= piece;
    }
    ASSERT_TRUE(fake.sendRaw(tail.substr(0, tail.size() - 1)));
    // Sending goes on meanwhile.
    const std::string request = messageText(GET_STATUS, "while waiting");
    ASSERT_TRUE(com->SendMsg(request, ""));
    const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_STATUS, kWait);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->raw, request);
    EXPECT_EQ(listener.messages(), 0u);

    ASSERT_TRUE(fake.sendRaw(tail.substr(tail.size() - 1)));
    // Parsed twice, by the client and its listener: seconds under ThreadSanitizer.
    ASSERT_TRUE(listener.waitMessages(1, 60s));
    EXPECT_EQ(listener.lastSize(), kMaxUnitLength);
    EXPECT_TRUE(listener.lastAttached());

    // Then bytes without end: the first four read as a prefix far beyond the limit.
    EXPECT_LT(fake.flood("", 64 * kMiB), 64 * kMiB);
    ASSERT_TRUE(listener.waitLosses(1));
    ASSERT_TRUE(listener.waitConnected(2));
    EXPECT_EQ(listener.messages(), 1u);
    expectWorkingLink();
}

TEST_F(HostileService, HundredThousandDeepJsonReachesTheListenerUnparsed)
{
    const std::string texts[] = {
        std::string(100000, '[') + std::string(100000, ']'),
        "{\"121\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
        [] {
            std::string deep;
            for (int i = 0; i < 100000; ++i) {
                deep += "{\"a\":";
            }
            return "{\"121\":" + deep + "\"\"" + std::string(100001, '}');
        }(),
        "{\"121\":" + std::string(100000, '['), // never closed
    };
    std::size_t seen = 0;
    for (const std::string& text : texts) {
        ASSERT_TRUE(fake.sendRaw(fakeUnit(text)));
        ASSERT_TRUE(listener.waitMessages(++seen));
        EXPECT_EQ(listener.lastSize(), text.size());
        EXPECT_FALSE(listener.lastAttached());
    }
    EXPECT_EQ(listener.losses(), 0u);
    expectWorkingLink();
}

TEST_F(HostileService, UnitsSplitAtEveryByteArriveWholeAndInOrder)
{
    const std::string a = fakeJson(121, {{"status", "true"}});
    const std::string b = fakeJson(105, {{"tunnelstatus", "\"17\"\n"}});
    const std::string stream =
        fakeUnit(a) + fakeUnit("") + fakeUnit(fakeJson(124, {})) + fakeUnit("x") + fakeUnit(b);
    ASSERT_TRUE(fake.sendRaw(stream, true));
    ASSERT_TRUE(listener.waitMessages(4));
    EXPECT_EQ(listener.small(), (std::vector<std::string>{a, "", "x", b}));
    EXPECT_EQ(listener.losses(), 0u);
    expectWorkingLink();
}

TEST_F(HostileService, ResetsMidUnitDropThePartialUnitAndReconnect)
{
    const std::string unit = fakeUnit(fakeJson(121, {{"status", "cut short"}}));
    // Inside the prefix, right behind it, inside the text, one byte short.
    const std::size_t cuts[] = {2, 4, 20, unit.size() - 1};
    std::size_t connections = 1;
    for (const std::size_t cut : cuts) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(fake.sendRaw(unit.substr(0, cut)));
        std::this_thread::sleep_for(5ms); // read by the client before the reset
        ASSERT_TRUE(fake.resetClient());
        ASSERT_TRUE(listener.waitLosses(connections));
        ASSERT_TRUE(listener.waitConnected(++connections));
    }
    EXPECT_EQ(listener.messages(), 0u);
    expectWorkingLink();
    EXPECT_EQ(listener.messages(), 1u);
}

TEST_F(HostileService, APeerThatNeverReadsGetsABoundedQueueAndRefusals)
{
    // Only the head of each message is kept, where its number is.
    constexpr std::size_t kHead = 64;
    fake.setRecordLimit(kHead);
    fake.setReading(false);
    const std::string pad(kMiB, 'q');
    std::vector<std::string> accepted;
    std::size_t acceptedBytes = 0;
    bool refused = false;
    for (int i = 0; i < 128 && !refused; ++i) {
        const std::string text = messageText(GET_STATUS, std::to_string(i) + pad);
        if (com->SendMsg(text, "")) {
            accepted.push_back(text.substr(0, kHead));
            acceptedBytes += 4 + text.size();
        } else {
            refused = true;
        }
    }
    ASSERT_TRUE(refused);
    EXPECT_GE(accepted.size(), kMaxQueuedBytes / (kMiB + kHead));
    EXPECT_TRUE(ktTest::logHas("message refused"));
    EXPECT_EQ(listener.losses(), 0u);

    // Once the service reads again every accepted message arrives whole, in order, and
    // nothing of the refused one.
    fake.setReading(true);
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        const std::optional<ktTest::FakeMessage> got = fake.waitFor(GET_STATUS, kWait);
        ASSERT_TRUE(got) << i;
        EXPECT_EQ(got->raw, accepted[i]) << i;
    }
    EXPECT_EQ(fake.receivedBytes(), acceptedBytes);
    expectWorkingLink();
}

} // namespace
