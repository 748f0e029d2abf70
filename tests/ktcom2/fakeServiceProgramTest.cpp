// The standalone fake service answers the tool's requests over the real client.

#include "ktcom2/KTCom2.h"

#include "ktmsg2/KTMsg2.h"

#include "ktTest/fakeService.h"
#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Generous: the program is instrumented too in sanitizer builds, on a machine that runs the
// other tests at the same time.
constexpr auto kWait = 30s;

class ReplyListener : public IKTCom2Listener {
public:
    void onMessage(const std::string& message, const std::string&) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back(message);
        }
        m_changed.notify_all();
    }
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
        return m_changed.wait_for(lock, kWait, [&] { return m_connected; });
    }
    // The next reply, attached.
    std::optional<KTMsg2> next()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, kWait, [&] { return m_taken < m_messages.size(); })) {
            return std::nullopt;
        }
        KTMsg2 msg;
        if (!msg.attach(m_messages[m_taken++])) {
            return std::nullopt;
        }
        return msg;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_connected = false;
    std::vector<std::string> m_messages;
    std::size_t m_taken = 0;
};

// Kills and reaps the program if the test leaves early, so that no child outlives it (one
// left running holds the test's output open and ctest waits for it).
struct ChildGuard {
    pid_t pid = -1;
    ~ChildGuard()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

TEST(FakeServiceProgram, AnswersRequestsWithPlausibleRepliesAndKeepsCaptureState)
{
    // On a port of its own choosing, which its first line names: a port found free here
    // could be taken by another test's service before the program binds it.
    // Read while the program runs; closed once it was reaped (the guard below goes first).
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> lines(nullptr, &std::fclose);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    std::vector<char*> argv = {const_cast<char*>(KTFAKESERVICE_BINARY), const_cast<char*>("0"),
                               nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, KTFAKESERVICE_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(spawned, 0);
    ChildGuard child{pid};
    lines.reset(::fdopen(out[0], "r"));
    ASSERT_NE(lines, nullptr);
    unsigned port = 0;
    const int got = std::fscanf(lines.get(), "ktfakeservice listening on 127.0.0.1:%u", &port);
    // Its later lines go on into the pipe, read by nobody: the pipe holds far more than
    // the few requests of this test print.
    ASSERT_EQ(got, 1);
    ASSERT_NE(port, 0u);
    const std::string portText = std::to_string(port);

    ReplyListener listener;
    {
        ktTest::ScopedEnv env("KTDIAG_SERVICE_PORT", portText);
        CKTCom2 com;
        KTCom2Timing timing;
        timing.retryDelayMs = 20; // until the program listens
        ASSERT_TRUE(com.setTiming(timing));
        ASSERT_TRUE(com.start(&listener, "ktDiag_s1"));
        ASSERT_TRUE(listener.waitConnected());

        const struct {
            int request;
            ktTest::FakeItems items;
            int reply;
            const char* key;
            const char* value;
        } cases[] = {
            {START_PKT_CAPTURE, {{"Capture", "c.pcap"}}, RESP_START_PKT_CAPTURE, "status", "true"},
            {GET_STATUS, {}, SET_STATUS, "tunnelstatus", "17"},
            {SET_STATUS, {{"status", "disable"}}, ACK_STATUS, "tunnelstatus", "1"},
            {IS_CONFIG_UPDATE_AVAILABLE, {}, CONFIG_UPDATE_AVAILABLE, "updateCheckStatus", "true"},
            {GET_QPA_STATUS, {}, SET_QPA_STATUS, "qpaStatus", "enabled"},
            {SET_PKT_ACTION, {{"pktAction", "1"}}, RESP_SET_PKT_ACTION, "status", "true"},
            // A capture runs from its start to its stop.
            {OUTER_PKT_CAPTURE_STATUS, {}, RESP_OUTER_PKT_CAPTURE_STATUS, "status", "false"},
            {START_OUTER_PKT_CAPTURE,
             {{"Capture", "o.etl"}},
             RESP_START_OUTER_PKT_CAPTURE,
             "status",
             "true"},
            {OUTER_PKT_CAPTURE_STATUS, {}, RESP_OUTER_PKT_CAPTURE_STATUS, "status", "true"},
            {DRIVER_LOG_CAPTURE_STATUS, {}, RESP_DRIVER_LOG_CAPTURE_STATUS, "status", "false"},
            {STOP_OUTER_PKT_CAPTURE, {}, RESP_STOP_OUTER_PKT_CAPTURE, "status", "true"},
            {OUTER_PKT_CAPTURE_STATUS, {}, RESP_OUTER_PKT_CAPTURE_STATUS, "status", "false"},
            {START_DRIVER_LOG_CAPTURE,
             {{"Capture", "d.etl"}},
             RESP_START_DRIVER_LOG_CAPTURE,
             "status",
             "true"},
            {DRIVER_LOG_CAPTURE_STATUS, {}, RESP_DRIVER_LOG_CAPTURE_STATUS, "status", "true"},
            {OUTER_PKT_CAPTURE_STATUS, {}, RESP_OUTER_PKT_CAPTURE_STATUS, "status", "false"},
            {STOP_DRIVER_LOG_CAPTURE, {}, RESP_STOP_DRIVER_LOG_CAPTURE, "status", "true"},
            {DRIVER_LOG_CAPTURE_STATUS, {}, RESP_DRIVER_LOG_CAPTURE_STATUS, "status", "false"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.request);
            ASSERT_TRUE(com.SendMsg(ktTest::fakeJson(c.request, c.items), ""));
            std::optional<KTMsg2> reply = listener.next();
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->m_msgId, c.reply);
            std::string value;
            reply->GetItem(c.key, value);
            EXPECT_EQ(value, c.value);
        }
    }
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    child.pid = -1;
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
