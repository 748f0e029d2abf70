// The commands that talk to the service, run as the real binary against the fake service:
// what the service received, what the tool printed and its exit code.

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"

#include "expectedUsage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ktTest::FakeItems;

namespace {

struct Sent {
    int id;
    FakeItems items;
};

struct Row {
    std::vector<std::string> args;
    std::map<int, FakeItems> replies; // replaces the fake's usual answer to that request
    std::vector<Sent> sent;
    std::string out;
    int code = 0;
};

class ServiceCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_client.tree().publicFolder());
        m_usage = ktTest::expectedUsage(m_client.tree().publicFolder());
    }

    std::map<std::string, std::optional<std::string>> env(std::uint16_t port) const
    {
        return {{"KTDIAG_SERVICE_PORT", std::to_string(port)}, {"KTDIAG_SESSION_ID", "3"}};
    }

    std::string invalid(const std::string& argument, const std::string& reason = " ") const
    {
        return "Invalid argument: " + argument + ", " + reason + "\n\n" + m_usage;
    }

    void run(const Row& row)
    {
        std::string label;
        for (const auto& a : row.args) {
            label += "[" + a + "]";
        }
        ktTest::FakeService fake;
        fake.setReplier(ktTest::plausibleReply);
        for (const auto& [request, items] : row.replies) {
            ktTest::FakeReply reply;
            reply.bytes = ktTest::fakeJson(request + 1, items);
            fake.setReply(request, reply);
        }
        const ktTest::RunResult r = ktTest::runKtdiag(row.args, env(fake.port()));
        EXPECT_TRUE(fake.waitForClientGone(5s)) << label;
        EXPECT_EQ(r.exitCode, row.code) << label << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << label;
        const std::vector<ktTest::FakeMessage> got = fake.messages();
        ASSERT_EQ(got.size(), row.sent.size()) << label;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, row.sent[i].id) << label << " message " << i;
            EXPECT_EQ(got[i].items, row.sent[i].items) << label << " message " << i;
        }
    }

    ktTest::ClientTree m_client;
    std::string m_usage;
};

const FakeItems kSession = {{"clientName", "ktDiag"}, {"sessionID", "3"}};
const FakeItems kCheck = {{"sessionID", "3"}, {"clientName", "ktDiag"}};

Sent innerStart(const std::string& name, const std::string& snap)
{
    return {120,
            {{"Capture", name},
             {"snapLen", snap},
             {"qpaInternalCapture", "qpatunnel.pcap"},
             {"qpaSnapLen", snap}}};
}

Sent outerStart(const std::string& name, const std::string& size)
{
    return {
        134,
        {{"Capture", name}, {"sessionID", "3"}, {"clientName", "ktDiag"}, {"captureSize", size}}};
}

Sent driverStart(const std::string& name)
{
    return {130, {{"driverCaptureLogFile", name}, {"sessionID", "3"}, {"clientName", "ktDiag"}}};
}

Sent logSize(const std::string& size)
{
    return {159, {{"clientName", "ktClientUI"}, {"logsize", size}, {"sessionID", "3"}}};
}

TEST_F(ServiceCommandTest, CaptureCommands)
{
    const std::string started = "Packet capture started successfully\n";
    const FakeItems off = {{"status", "false"}};
    const FakeItems on = {{"status", "true"}};
    const Row rows[] = {
        {{"-c", "start", "-s", "96", "-o", "dump.pcap"},
         {},
         {innerStart("dump.pcap", "96")},
         started},
        {{"-c", "start"}, {}, {innerStart("ktpktdump.pcap", "0")}, started},
        // A last option without its value reads as absent.
        {{"-c", "start", "-o"}, {}, {innerStart("ktpktdump.pcap", "0")}, started},
        {{"-c", "start", "-o", "a.pcap", "-s"}, {}, {innerStart("a.pcap", "0")}, started},
        {{"-c", "start", "-s", "-5"}, {}, {}, invalid("-5")},
        {{"-c", "start", "-o", "a/b.pcap"},
         {},
         {},
         invalid("a/b.pcap", " Argument should be file name only, not a path")},
        {{"-c", "start", "-o", ".."},
         {},
         {},
         invalid("..", " Argument should be file name only, not a path")},
        {{"-c", "start", "-o", "a:b.pcap"},
         {},
         {},
         invalid("a:b.pcap", " Special characters are there in file name")},
        {{"-c", "start", "-x", "5"}, {}, {}, invalid("-x")},
        {{"-c", "start", "-x", "5", "y", "6"}, {}, {}, invalid("y")},
        {{"-c", "start", "-o", "a", "-o", "b"}, {}, {}, invalid("-o")},
        {{"-c", "Start"}, {}, {}, invalid("Start")},
        {{"-c", "start"},
         {{120, off}},
         {innerStart("ktpktdump.pcap", "0")},
         "Failed to start packet capture\n"},
        {{"-c", "stop"}, {}, {{122, {}}}, "Packet capture stopped successfully\n"},
        {{"-c", "stop"}, {{122, off}}, {{122, {}}}, "Failed to stop packet capture\n"},
        {{"-p", "start", "-s", "0"},
         {{138, off}},
         {{138, kSession}, outerStart("ktouterpktdump.etl", "10")},
         "Outer packet capture started successfully.\n"},
        {{"-p", "start", "-s", "abc", "-o", "o.etl"},
         {{138, off}},
         {{138, kSession}, outerStart("o.etl", "10")},
         "Outer packet capture started successfully.\n"},
        {{"-p", "start", "-o", "a~b.etl"},
         {},
         {},
         invalid("a~b.etl", " Special characters are there in file name")},
        {{"-p", "start"}, {}, {{138, kSession}}, "Outer packet capture is already in progress.\n"},
        {{"-p", "start"},
         {{138, off}, {134, off}},
         {{138, kSession}, outerStart("ktouterpktdump.etl", "10")},
         "Failed to start outer packet capture.\n"},
        {{"-p", "stop"},
         {},
         {{138, kSession}, {136, kSession}},
         "Stopping outer packet capture...\nOuter packet capture stopped successfully.\n"},
        {{"-p", "stop"}, {{138, off}}, {{138, kSession}}, "No outer packet capture in progress.\n"},
        {{"-d", "start", "-o"},
         {{140, off}},
         {{140, kSession}, driverStart("ktDriverLogs.etl")},
         "Driver log capture started successfully.\n"},
        {{"-d", "start", "-o", "a.etl", "extra"}, {}, {}, invalid("extra")},
        {{"-d", "start", "-x"}, {}, {}, invalid("-x")},
        {{"-d", "start"}, {}, {{140, kSession}}, "Driver log capture is already in progress.\n"},
        {{"-d", "start"},
         {{140, off}, {130, off}},
         {{140, kSession}, driverStart("ktDriverLogs.etl")},
         "Failed to start driver log capture.\n"},
        {{"-d", "stop"},
         {{140, on}},
         {{140, kSession}, {132, kCheck}},
         "Driver log capture stopped successfully.\n"},
        {{"-d", "stop"}, {{140, off}}, {{140, kSession}}, "No driver log capture in progress.\n"},
    };
    for (const Row& row : rows) {
        run(row);
    }
}

TEST_F(ServiceCommandTest, ConfigurationLogLevelAndLogSize)
{
    const std::string outOfRange = "file size out of range \n" + m_usage;
    const std::string unreadable = "Invalid arguments \n" + m_usage;
    const std::string available =
        "Configuration update is available.\nSynchronizing configuration...\n";
    const Row rows[] = {
        {{"-u"}, {}, {{127, kCheck}}, "Already up to date.\n"},
        {{"-u"},
         {{127, {{"updateStatus", "true"}, {"updateCheckStatus", "true"}}}},
         {{127, kCheck}, {125, kCheck}},
         available + "Configuration synchronization successful.\n"},
        {{"-u"},
         {{127, {{"updateStatus", "true"}, {"updateCheckStatus", "false"}}}},
         {{127, kCheck}},
         "Failed to check for configuration updates.\n"},
        {{"-u"},
         {{127, {{"updateStatus", "true"}, {"updateCheckStatus", "true"}}},
          {125, {{"updateStatus", "false"}}}},
         {{127, kCheck}, {125, kCheck}},
         available + "Failed to download configuration updates.\n"},
        {{"-l", "debug"},
         {},
         {{158, {{"clientName", "ktClientUI"}, {"logLevel", "5"}, {"sessionID", "3"}}}},
         ""},
        {{"-l", "warning"},
         {},
         {{158, {{"clientName", "ktClientUI"}, {"logLevel", "3"}, {"sessionID", "3"}}}},
         ""},
        {{"-l", "Debug"}, {}, {}, invalid("Debug", "Unsupported log level"), 1},
        {{"-l"}, {}, {}, m_usage, 1},
        {{"-m", "1024"}, {}, {logSize("1024")}, "Successfully set logfile size to 1024 mb\n"},
        {{"-m", "1"}, {}, {logSize("1")}, "Successfully set logfile size to 1 mb\n"},
        {{"-m", "12abc"}, {}, {logSize("12")}, "Successfully set logfile size to 12 mb\n"},
        {{"-m", "1025"}, {}, {}, outOfRange, 1},
        {{"-m", "0"}, {}, {}, outOfRange, 1},
        {{"-m", "-5"}, {}, {}, outOfRange, 1},
        {{"-m", "abc"}, {}, {}, unreadable, 1},
        {{"-m", "99999999999"}, {}, {}, unreadable, 1},
        {{"-m"}, {}, {}, m_usage, 1},
        {{"-m", "1", "2"}, {}, {}, m_usage, 1},
    };
    for (const Row& row : rows) {
        run(row);
    }
}

TEST_F(ServiceCommandTest, CaptureRunningInTheConfigurationSendsNothing)
{
    m_client.writeClientConfig(R"({"clientConfig":{},"log":{"enablePktDump":"true"}})");
    run({{"-c", "start"}, {}, {}, "Packet capture already in progress."});
}

TEST_F(ServiceCommandTest, NoServiceFailsWithinTheReadinessWait)
{
    const ktTest::ClosedPort closed; // refuses, and no other test's service can take it
    const std::uint16_t port = closed.port();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-p", "start"}, {"-u"}, {"-m", "5"}}) {
        // Sooner than any wait beyond the readiness wait: the link's next attempt (10 s
        // after the refusal) or a reply's (12 s and more).
        const auto began = std::chrono::steady_clock::now();
        const ktTest::RunResult r = ktTest::runKtdiag(args, env(port));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
        EXPECT_EQ(r.out.rfind("Failed to connect with Service.\n", 0), 0u) << r.out;
    }
}

} // namespace
