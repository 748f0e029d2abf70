// -g and -r run as the real binary: the argument grammar, the timed request against the
// local origin, and the packet action the fake service receives around it.

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakeService.h"
#include "ktTest/httpsOrigin.h"
#include "ktTest/runner.h"
#include "ktTest/testPki.h"

#include "expectedUsage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ktTest::FakeItems;
using ktTest::HttpReply;

namespace {

std::string label(const std::vector<std::string>& args)
{
    std::string text;
    for (const auto& a : args) {
        text += "[" + a + "]";
    }
    return text;
}

// The eight timing lines, as a pattern.
const std::string kTimings = "NameLookupTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "ConnectTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "AppConnectTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "PretransferTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "StarttransferTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "TotalTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "RedirectTime: [0-9]+\\.[0-9]{4} seconds\n"
                             "DownloadSpeed: [0-9]+\\.[0-9]{2} bytes/sec \n";

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

class SpeedCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::TestPki::instance();
        fs::create_directories(m_client.tree().publicFolder());
        m_usage = ktTest::expectedUsage(m_client.tree().publicFolder());
        m_fake.setReplier(ktTest::plausibleReply);
        m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(5000, 'b')));
        m_missing.setReply(HttpReply::make("HTTP/1.1 404 Not Found", "gone"));
    }

    std::map<std::string, std::optional<std::string>> env() const
    {
        return {{"KTDIAG_SERVICE_PORT", std::to_string(m_fake.port())},
                {"KTDIAG_SESSION_ID", "3"},
                // No settings: no system proxy for the speed test.
                {"KTDIAG_PROXY_SETTINGS_FILE", m_client.tree().root() + "/no-proxy-settings"}};
    }

    std::string invalid(const std::string& argument, const std::string& reason = " ") const
    {
        return "Invalid argument: " + argument + ", " + reason + "\n\n" + m_usage;
    }

    ktTest::RunResult run(const std::vector<std::string>& args) const
    {
        return ktTest::runKtdiag(args, env());
    }

    // The branding names the speed-test host: 127.0.0.1 on port.
    void setSpeedTestHost(std::uint16_t port)
    {
        m_client.writeConfigFile("ktbranding.json",
                                 R"({"UserKey":"uk","OrgKey":"ok","OrgName":"Org",)"
                                 R"("AddonManagerHost":")" +
                                     m_closed.address() + R"(","AddonCheckerHost":"127.0.0.1:)" +
                                     std::to_string(port) + "\"}");
    }

    ktTest::ClientTree m_client;
    ktTest::ClearProxyEnv m_noProxy;
    ktTest::FakeService m_fake;
    ktTest::HttpsOrigin m_origin;
    ktTest::HttpsOrigin m_missing;
    ktTest::HttpsOrigin m_plain{{false, ktTest::CertKind::good, false}};
    ktTest::HttpsOrigin m_rootIssued{{true, ktTest::CertKind::rootIssued, false}};
    ktTest::ClosedPort m_closed;
    std::string m_usage;
};

} // namespace

TEST_F(SpeedCommandTest, SpeedTestArguments)
{
    struct Row {
        std::vector<std::string> args;
        std::string out;
        int code;
    };
    // No speed-test host is configured here: an accepted command line fails the test.
    const std::string inProgress = "Speed Test in progress...\n";
    const Row rows[] = {
        {{"-g", "Upload", "-s", "1mb"}, invalid("Upload"), 0},
        {{"-g", "upload", "-x", "1mb"}, invalid("-x"), 0},
        {{"-g", "upload", "s", "1mb"}, invalid("s"), 0},
        {{"-g", "upload", "-", "1mb"}, invalid("-"), 0},
        {{"-g", "upload", "-s", "5mb"}, invalid("5mb"), 0},
        {{"-g", "download", "-s", "1MB"}, invalid("1MB"), 0},
        {{"-g", "upload", "-s", "1mb", "x"}, invalid("-g"), 1},
        {{"-g", "upload", "-sz", "1mb"},
         inProgress + "Failed to perform upload Speed Test for file size = 1mb.\n",
         0},
        {{"-g", "download", "-s", "100mb"},
         inProgress + "Failed to perform download Speed Test for file size = 100mb.\n",
         0},
    };
    for (const Row& row : rows) {
        const ktTest::RunResult r = run(row.args);
        EXPECT_EQ(r.exitCode, row.code) << label(row.args) << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << label(row.args);
    }
    EXPECT_EQ(m_fake.connections(), 0);
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(SpeedCommandTest, SpeedTestAgainstTheConfiguredHost)
{
    setSpeedTestHost(m_origin.port());
    m_origin.setReply(HttpReply::make("HTTP/1.1 200 OK", std::string(1048576, 'd')));
    // The origin's port is named only by the branding file: a request there shows the host
    // was taken from it.
    const ktTest::RunResult r = run({"-g", "download", "-s", "1mb"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("Speed Test in progress...\n"
                          "download Speed Test successful for file size = 1mb.\n"
                          "Result: \nThroughput = [0-9.e+]+ [MK]bps\nTime Elapsed = .+\\.\n")))
        << r.out;
    ASSERT_EQ(m_origin.requests().size(), 1u);
    EXPECT_EQ(m_origin.requests()[0].target, "/downloadsize=1mb");
}

TEST_F(SpeedCommandTest, ARedirectLoopEndsWithTheCommandsFailure)
{
    struct Row {
        std::vector<std::string> args; // "{url}" stands for the looping origin's URL
        std::string target;
        std::string out;
        std::size_t requests; // the first and every redirect followed
    };
    const Row rows[] = {
        {{"-g", "upload", "-s", "1mb"},
         "/uploadsize=1mb",
         "Speed Test in progress...\nFailed to perform upload Speed Test for file size = 1mb.\n",
         11},
        {{"-g", "download", "-s", "1mb"},
         "/downloadsize=1mb",
         "Speed Test in progress...\nFailed to perform download Speed Test for file size = 1mb.\n",
         11},
        // The timed request follows none: the redirect is its answer, whose body it refuses.
        {{"-r", "{url}"}, "/loop", "latency test failed\n", 1},
    };
    const char* const statusLines[] = {"HTTP/1.1 307 Temporary Redirect", "HTTP/1.1 302 Found"};
    for (const char* statusLine : statusLines) {
        for (const Row& row : rows) {
            ktTest::HttpsOrigin origin;
            setSpeedTestHost(origin.port());
            // To itself, without end; past 50 it gives up, so a tool without a bound still
            // ends.
            std::atomic<int> seen{0};
            origin.setHandler([&](const ktTest::HttpRequestRecord& request) {
                if (++seen > 50) {
                    return HttpReply::make("HTTP/1.1 404 Not Found");
                }
                return HttpReply::make(statusLine, "moved", {"Location: " + request.target});
            });
            std::vector<std::string> args = row.args;
            std::replace(args.begin(), args.end(), std::string("{url}"), origin.url(row.target));
            const std::string name = label(args) + " " + statusLine;
            const ktTest::RunResult r = run(args);
            EXPECT_EQ(r.exitCode, 0) << name << "\n" << r.err;
            EXPECT_EQ(r.out, row.out) << name;
            EXPECT_EQ(origin.requests().size(), row.requests) << name;
        }
    }
}

TEST_F(SpeedCommandTest, LatencyArguments)
{
    const std::string url = m_origin.url("/");
    const std::string onlyHttp = "Only http and https URLs are supported";
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"-r"}, m_usage},
        {{"-r", url, "-m"}, m_usage},
        {{"-r", url, "-x", "tunnel"}, m_usage},
        {{"-r", url, "-m", "fast"}, m_usage},
        {{"-r", url, "-m", "Tunnel"}, m_usage},
        {{"-r", url, "extra", "-m", "tunnel"}, m_usage},
        {{"-r", "ftp://127.0.0.1:1/x"}, invalid("ftp://127.0.0.1:1/x", onlyHttp)},
        {{"-r", "file:///etc/hostname", "-m", "tunnel"}, invalid("file:///etc/hostname", onlyHttp)},
        {{"-r", "file:/etc/hostname"}, invalid("file:/etc/hostname", onlyHttp)},
        {{"-r", "gopher:/127.0.0.1:1/x"}, invalid("gopher:/127.0.0.1:1/x", onlyHttp)},
    };
    for (const auto& [args, out] : rows) {
        const ktTest::RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 0) << label(args) << "\n" << r.err;
        EXPECT_EQ(r.out, out) << label(args);
    }
    EXPECT_EQ(m_fake.connections(), 0);
    EXPECT_TRUE(m_origin.requests().empty());
}

TEST_F(SpeedCommandTest, LatencyRequests)
{
    struct Row {
        std::vector<std::string> args;
        std::string out; // a pattern
        std::vector<FakeItems> sent;
    };
    const std::string good = m_origin.url("/page");
    // Without a scheme a URL is taken as http, whatever its host name looks like.
    const std::string noScheme = "127.0.0.1:" + std::to_string(m_plain.port()) + "/plain";
    // A machine root's leaf, sent alone, as an inspecting proxy would send it.
    const std::string rootIssued = m_rootIssued.url("/page");
    const std::string missing = m_missing.url("/missing");
    const std::string closed = "https://" + m_closed.address() + "/";
    const std::string set = "Packet action set correctly\n";
    const std::string unset = "Packet action unset correctly\n";
    const std::string failed = "latency test failed\n";
    const Row rows[] = {
        {{"-r", good}, kTimings, {}},
        {{"-r", noScheme}, kTimings, {}},
        {{"-r", rootIssued}, kTimings, {}},
        {{"-r", missing}, failed, {}},
        {{"-r", closed}, failed, {}},
        {{"-r", good, "-m", "tunnel"}, set + kTimings + unset, {setItems("1"), kClear}},
        {{"-r", good, "-m", "bypass"}, set + kTimings + unset, {setItems("3"), kClear}},
        // A failed request still clears the action it set.
        {{"-r", closed, "-m", "bypass"}, set + failed + unset, {setItems("3"), kClear}},
        {{"-r", missing, "-m", "tunnelbypass"}, set + failed + unset, {setItems("4"), kClear}},
    };
    for (const Row& row : rows) {
        const int before = static_cast<int>(m_fake.messages().size());
        const ktTest::RunResult r = run(row.args);
        EXPECT_EQ(r.exitCode, 0) << label(row.args) << "\n" << r.err;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(row.out))) << label(row.args) << "\n"
                                                                  << r.out;
        if (!row.sent.empty()) {
            EXPECT_TRUE(m_fake.waitForClientGone(5s)) << label(row.args);
        }
        const auto messages = m_fake.messages();
        ASSERT_EQ(messages.size() - before, row.sent.size()) << label(row.args);
        for (std::size_t i = 0; i < row.sent.size(); ++i) {
            EXPECT_EQ(messages[before + i].id, 161) << label(row.args);
            EXPECT_EQ(messages[before + i].items, row.sent[i]) << label(row.args);
        }
    }
    // Only the commands with a mode connected.
    EXPECT_EQ(m_fake.connections(), 4);
    ASSERT_EQ(m_plain.requests().size(), 1u);
    EXPECT_EQ(m_plain.requests()[0].target, "/plain");
    EXPECT_EQ(m_rootIssued.requests().size(), 1u);
}

TEST_F(SpeedCommandTest, NoServiceStillMeasures)
{
    const std::map<std::string, std::optional<std::string>> noService = {
        {"KTDIAG_SERVICE_PORT", std::to_string(m_closed.port())}, {"KTDIAG_SESSION_ID", "3"}};
    const auto began = std::chrono::steady_clock::now();
    const ktTest::RunResult r =
        ktTest::runKtdiag({"-r", m_origin.url("/"), "-m", "tunnel"}, noService);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Three failed sends, the request all the same, then the clear, which fails too.
    EXPECT_TRUE(std::regex_match(r.out, std::regex("Failed to set packet action\n" + kTimings +
                                                   "Failed to set packet action\n")))
        << r.out;
}
