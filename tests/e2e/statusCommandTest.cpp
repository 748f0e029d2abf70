// -f, -n and -t run as the real binary against the fake service and a fixture client tree:
// what the service received, what the tool printed and its exit code.

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"
#include "ktTest/testAccount.h"

#include "expectedUsage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ktTest::FakeItems;
using ktTest::FakeReply;

namespace {

// The 14 lines of the client status, with the values a plain client tree and the fake's
// usual answer give.
struct Status {
    std::string orgName;
    std::string config = "Client Default";
    std::string email;
    std::string perUser = "FALSE";
    std::string tunnel = "KTTUNNEL_CONNECTED";
    std::string client = "enable";
    std::string gateway = "gateway.example.net";
    std::string dynamicSteering = "FALSE";
    std::string onprem = "off-prem";
    std::string proxy = "none";
    std::string gatewayIp = "192.0.2.10";
    std::string protocol = "DTLS";
    std::string sni = "FALSE";
    std::string trafficMode = "Cloud Apps Only";

    std::string text() const
    {
        return "Orgname:: " + orgName + ".\nConfig:: " + config + ".\nEmail:: " + email +
               ".\nPeruser config:: " + perUser + ".\nTunnel status:: " + tunnel +
               ".\nClient status:: " + client + ".\nGateway:: " + gateway +
               ".\nDynamic Steering:: " + dynamicSteering + ".\nOnPremDetection:: " + onprem +
               ".\nExplicit Proxy:: " + proxy + ".\nGateway IP:: " + gatewayIp +
               ".\nTunnel Protocol:: " + protocol + ".\nSNI Enable:: " + sni +
               ".\nTraffic Mode:: " + trafficMode + ".\n";
    }

    // The lines whose values the tool reads from its own files, in the same order.
    std::string local() const
    {
        return "Orgname:: " + orgName + ".\nConfig:: " + config + ".\nEmail:: " + email +
               ".\nPeruser config:: " + perUser + ".\nDynamic Steering:: " + dynamicSteering +
               ".\nSNI Enable:: " + sni + ".\nTraffic Mode:: " + trafficMode + ".\n";
    }
};

FakeReply answer(int id, const FakeItems& items)
{
    FakeReply r;
    r.bytes = ktTest::fakeJson(id, items);
    return r;
}

FakeReply rawAnswer(const std::string& json)
{
    FakeReply r;
    r.bytes = json;
    return r;
}

FakeReply hangUp()
{
    FakeReply r;
    r.kind = FakeReply::Kind::disconnect;
    return r;
}

const FakeItems kFullStatus = {{"tunnelstatus", "17"},       {"status", "enable"},
                               {"onpremStatus", "off-prem"}, {"gatewayHost", "gateway.example.net"},
                               {"gtwIP", "192.0.2.10"},      {"tunnelProtocol", "DTLS"},
                               {"explicitProxy", "none"}};

FakeItems statusWithTunnel(const std::string& tunnel)
{
    FakeItems items = kFullStatus;
    items[0].second = tunnel;
    return items;
}

struct Row {
    std::string label;
    std::vector<std::string> args;
    std::optional<FakeReply> reply; // to the one request; the fake's usual answer otherwise
    std::vector<int> sentIds;
    FakeItems sentItems; // of the one request
    std::string out;
    int code = 0;
};

class StatusCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_client.tree().publicFolder());
        m_usage = ktTest::expectedUsage(m_client.tree().publicFolder());
    }

    void run(const Row& row)
    {
        ktTest::FakeService fake;
        fake.setReplier(ktTest::plausibleReply);
        if (row.reply && !row.sentIds.empty()) {
            fake.setReply(row.sentIds.front(), *row.reply);
        }
        const ktTest::RunResult r =
            ktTest::runKtdiag(row.args, {{"KTDIAG_SERVICE_PORT", std::to_string(fake.port())},
                                         {"KTDIAG_SESSION_ID", "3"}});
        EXPECT_TRUE(fake.waitForClientGone(5s)) << row.label;
        EXPECT_EQ(r.exitCode, row.code) << row.label << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.label;
        const std::vector<ktTest::FakeMessage> got = fake.messages();
        ASSERT_EQ(got.size(), row.sentIds.size()) << row.label;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, row.sentIds[i]) << row.label;
            EXPECT_EQ(got[i].items, row.sentItems) << row.label;
        }
    }

    std::string log() const
    {
        return ktTest::readAll(m_client.tree().publicFolder() + "/ktdebuglog.log");
    }

    ktTest::ClientTree m_client;
    std::string m_usage;
};

TEST_F(StatusCommandTest, ClientStatus)
{
    Status full;
    Status disconnected;
    disconnected.tunnel = "KTTUNNEL_DISCONNECTED";
    Status beyond = full;
    beyond.tunnel = "18";
    Status negative = full;
    negative.tunnel = "-1";
    Status bare;
    bare.tunnel = "KTTUNNEL_DISCONNECTED";
    bare.client = bare.gateway = bare.onprem = bare.proxy = bare.gatewayIp = bare.protocol = "";
    const Row rows[] = {
        {"full", {"-f"}, std::nullopt, {103}, {}, full.text()},
        {"first name", {"-f"}, answer(104, statusWithTunnel("0")), {103}, {}, disconnected.text()},
        {"outside the table",
         {"-f"},
         answer(104, statusWithTunnel("18")),
         {103},
         {},
         beyond.text()},
        {"negative", {"-f"}, answer(104, statusWithTunnel("-1")), {103}, {}, negative.text()},
        {"not a number",
         {"-f"},
         answer(104, statusWithTunnel("17x")),
         {103},
         {},
         disconnected.text()},
        // An answer without items is still an answer: the fields stay as they were.
        {"empty answer", {"-f"}, answer(104, {}), {103}, {}, bare.text()},
        {"no answer", {"-f"}, hangUp(), {103}, {}, "Failed to get client status.\n" + full.local()},
    };
    for (const Row& row : rows) {
        run(row);
    }
    EXPECT_NE(log().find("No answer to GET_STATUS from service"), std::string::npos);
}

TEST_F(StatusCommandTest, ClientStatusReadsTheConfiguration)
{
    const std::string perUser = R"({"ktUserConfig":{"enablePerUserConfig":"true"}})";
    const std::string steering = R"({"traffic_mode":"web","domains":[]})";
    struct Case {
        const char* name;
        std::function<void()> files;
        std::function<void(Status&)> expected;
        bool asRoot = false; // only LOCAL SYSTEM acts as another account
    };
    const Case cases[] = {
        {"configured",
         [&] {
             m_client.writeClientConfig(
                 R"({"clientConfig":{"configurationName":"Branch Offices","checkSNI":"true"}})");
             m_client.writeConfigFile("ktuserconfig.json", perUser);
         },
         [](Status& s) {
             s.config = "Branch Offices";
             s.sni = "TRUE";
             s.perUser = "TRUE";
         }},
        // Without its section the client configuration gives nothing, but the steering file,
        // with a digest of its own, is read.
        {"no client section",
         [&] {
             m_client.writeClientConfig(R"({"logLevel":"info"})", false, false);
             fs::create_directories(m_client.dataFolder());
             ktTest::writeAll(m_client.dataFolder() + "/ktsteering.json", steering);
             m_client.writeDigest("d1", steering);
         },
         [](Status& s) { s.trafficMode = "All Web Traffic"; }},
        // The console user has no account: the common folder's branding is shown.
        {"a user that cannot be acted as",
         [&] {
             m_client.writeConfigFile("ktuserconfig.json", perUser);
             m_client.writeBranding(ktTest::ClientTree::brandingJson());
         },
         [](Status& s) {
             s.orgName = "Org One";
             s.email = "user@branded.test";
             s.perUser = "TRUE";
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.asRoot && ::geteuid() != 0) {
            continue;
        }
        for (const std::string& file :
             {m_client.configFilePath(), m_client.configFolder() + "/ktuserconfig.json",
              m_client.configFolder() + "/ktbranding.json",
              m_client.dataFolder() + "/ktsteering.json"}) {
            fs::remove(file);
        }
        std::optional<ktTest::ConsoleSession> ghost;
        if (c.asRoot) {
            ghost.emplace(54321); // no passwd entry
        }
        c.files();
        Status expected;
        c.expected(expected);
        run({c.name, {"-f"}, std::nullopt, {103}, {}, expected.text()});
    }
}

TEST_F(StatusCommandTest, ClientStatusWithoutAnAnswerShowsWhatTheFilesSay)
{
    m_client.writeClientConfig(
        R"({"clientConfig":{"configurationName":"Branch Offices","checkSNI":"true"}})");
    m_client.writeBranding(ktTest::ClientTree::brandingJson());
    Status files;
    files.orgName = "Org One";
    files.config = "Branch Offices";
    files.email = "user@branded.test";
    files.sni = "TRUE";
    FakeReply silence;
    silence.kind = FakeReply::Kind::silence;
    FakeReply malformed;
    malformed.kind = FakeReply::Kind::malformed;
    FakeReply reset;
    reset.kind = FakeReply::Kind::reset;
    const std::string failed = "Failed to get client status.\n" + files.local();
    const Row rows[] = {
        {"silent", {"-f"}, silence, {103}, {}, failed},
        {"malformed", {"-f"}, malformed, {103}, {}, failed},
        {"hangs up", {"-f"}, hangUp(), {103}, {}, failed},
        {"resets", {"-f"}, reset, {103}, {}, failed},
    };
    for (const Row& row : rows) {
        run(row);
    }
}

TEST_F(StatusCommandTest, QpaStatus)
{
    const Row rows[] = {
        {"enabled", {"-n"}, std::nullopt, {144}, {}, "QPA status is enabled.\n"},
        {"disabled",
         {"-n"},
         answer(145, {{"qpaStatus", "disabled"}}),
         {144},
         {},
         "QPA status is disabled.\n"},
        {"item absent", {"-n"}, answer(145, {}), {144}, {}, "QPA status is .\n"},
        // The id is read as atoi reads it.
        {"key with a tail",
         {"-n"},
         rawAnswer(R"({"145abc":{"qpaStatus":"tailed"}})"),
         {144},
         {},
         "QPA status is tailed.\n"},
        {"no answer", {"-n"}, hangUp(), {144}, {}, "Failed to get QPA status.\n"},
    };
    for (const Row& row : rows) {
        run(row);
    }
}

TEST_F(StatusCommandTest, EnableAndDisable)
{
    const std::string done = "Enable/disable client successful\n";
    const Row rows[] = {
        {"enable", {"-t", "enable"}, std::nullopt, {104}, {{"status", "enable"}}, done},
        {"disable", {"-t", "disable"}, std::nullopt, {104}, {{"status", "disable"}}, done},
        // Any acknowledgement counts: it carries no result.
        {"acknowledged without items",
         {"-t", "disable"},
         answer(105, {}),
         {104},
         {{"status", "disable"}},
         done},
        {"no answer",
         {"-t", "enable"},
         hangUp(),
         {104},
         {{"status", "enable"}},
         "Enable/disable client failed\n"},
        {"bad word",
         {"-t", "Disable"},
         std::nullopt,
         {},
         {},
         "Invalid argument: Disable,  \n\n" + m_usage,
         1},
        {"empty word", {"-t", ""}, std::nullopt, {}, {}, "Invalid argument: ,  \n\n" + m_usage, 1},
        {"extra word",
         {"-t", "enable", "now"},
         std::nullopt,
         {},
         {},
         "Invalid argument: -t,  \n\n" + m_usage,
         1},
    };
    for (const Row& row : rows) {
        run(row);
    }
}

TEST_F(StatusCommandTest, NoServiceFailsWithinTheReadinessWait)
{
    const ktTest::ClosedPort closed; // refuses, and no other test's service can take it
    const std::uint16_t port = closed.port();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-f"}, {"-n"}, {"-t", "enable"}}) {
        const auto began = std::chrono::steady_clock::now();
        const ktTest::RunResult r = ktTest::runKtdiag(
            args, {{"KTDIAG_SERVICE_PORT", std::to_string(port)}, {"KTDIAG_SESSION_ID", "3"}});
        // The 5 s readiness wait and no other: a reply's 10 s wait on top would pass 10 s.
        EXPECT_LT(std::chrono::steady_clock::now() - began, 10s) << args[0];
        EXPECT_EQ(r.out, "Failed to connect with Service.\n") << args[0];
        EXPECT_EQ(r.exitCode, 0) << args[0];
    }
}

} // namespace
