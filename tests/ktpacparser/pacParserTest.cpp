// The real PAC program, run the way proxy detection runs it: through the process runner,
// its output in a proxy.dat file.

#include "ktPlatform/process.h"
#include "ktUtils/process.h"

#include "ktTest/runner.h"
#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

const char* const kCompanyPac = R"(// Company proxies by host.
function FindProxyForURL(url, host) {
    if (isPlainHostName(host) || dnsDomainIs(host, ".intranet.test"))
        return "DIRECT";
    if (shExpMatch(url, "*/messy*"))
        return " proxy  c:1 ;; Socks s:2;PROXY\tbad entry x;PROXY d:4";
    if (shExpMatch(host, "*.example.com"))
        return "PROXY a:8080; PROXY b; DIRECT";
    return "PROXY fallback:3128";
}
)";

const char* const kSchemePac = R"(function FindProxyForURL(url, host) {
    if (shExpMatch(url, "*/echo*"))
        return "PROXY " + host + ":9";
    if (url.substring(0, 6) == "https:")
        return "PROXY secure:3128";
    return "PROXY plain:80; DIRECT";
}
)";

class PacParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::writeAll(path("company.pac"), kCompanyPac);
        ktTest::writeAll(path("scheme.pac"), kSchemePac);
    }
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }

    // Runs the program with the URL and PAC file; false when the run itself failed.
    bool evaluate(const std::string& url, const std::string& pacFile, std::uint32_t& code,
                  std::string& output, std::chrono::milliseconds timeout = kCommandTimeout)
    {
        const std::string command = "\"" + std::string(KTPACPARSER) + "\" " + url + " " + pacFile;
        code = 12345;
        const bool ran =
            ExecCommandWithExitCode(command.c_str(), &code, path("proxy.dat"), timeout);
        output = ktTest::readAll(path("proxy.dat"));
        return ran;
    }

    ktTest::TempDir m_dir;
};

TEST_F(PacParserTest, EvaluatesTwoPacFiles)
{
    const struct {
        std::string url;
        std::string pac;
        std::string result;
    } cases[] = {
        {"https://www.example.com/index.html", "company.pac", "PROXY a:8080; PROXY b; DIRECT"},
        {"https://other.test/", "company.pac", "PROXY fallback:3128"},
        {"https://wiki.intranet.test/", "company.pac", "DIRECT"},
        {"http://printer/", "company.pac", "DIRECT"},
        // Trimmed, keywords in upper case, empty entries dropped, cut at a malformed one.
        {"https://www.example.com/messy", "company.pac", "PROXY c:1; SOCKS s:2"},
        {"https://api.test/v1", "scheme.pac", "PROXY secure:3128"},
        {"http://api.test/v1", "scheme.pac", "PROXY plain:80; DIRECT"},
        // The host handed to the script: no user information, port or brackets.
        {"https://user:pw@Inner.Example.com:8443/echo?q=1", "scheme.pac",
         "PROXY Inner.Example.com:9"},
        {"http://[::1]:8080/echo", "scheme.pac", "PROXY ::1:9"},
        {"http://h.test#/echo", "scheme.pac", "PROXY h.test:9"},
    };
    for (const auto& c : cases) {
        std::uint32_t code = 0;
        std::string output;
        ASSERT_TRUE(evaluate(c.url, path(c.pac), code, output)) << c.url;
        EXPECT_EQ(code, 0u) << c.url << ": " << output;
        EXPECT_EQ(output, c.result) << c.url;
    }
}

TEST_F(PacParserTest, FailuresExitWithOne)
{
    ktTest::writeAll(path("syntax.pac"), "function FindProxyForURL(url, host) { return ");
    ktTest::writeAll(path("nofunction.pac"), "var x = 1;\n");
    ktTest::writeAll(path("throws.pac"), "function FindProxyForURL(u, h) { throw 'no'; }\n");
    ktTest::writeAll(path("huge.pac"), std::string(16 * 1024 * 1024 + 1, ' '));
    fs::create_directory(path("folder.pac"));
    const struct {
        std::string url;
        std::string pac;
    } cases[] = {
        {"https://a.test/", "missing.pac"}, {"https://a.test/", "folder.pac"},
        {"https://a.test/", "syntax.pac"},  {"https://a.test/", "nofunction.pac"},
        {"https://a.test/", "throws.pac"},  {"https://a.test/", "huge.pac"},
        {"no-scheme", "company.pac"},       {"https:///path", "company.pac"},
        {"ht!tp://a.test/", "company.pac"},
    };
    for (const auto& c : cases) {
        std::uint32_t code = 0;
        std::string output;
        ASSERT_TRUE(evaluate(c.url, path(c.pac), code, output)) << c.pac;
        EXPECT_EQ(code, 1u) << c.url << " " << c.pac << ": " << output;
        EXPECT_EQ(output.find("PROXY"), std::string::npos) << c.pac;
    }

    const ktTest::RunResult usage = ktTest::runProgram(KTPACPARSER, {"https://a.test/"});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, "usage: ktpacparser <url> <pac file>\n");
}

TEST_F(PacParserTest, AWorkingScriptLargerThan16MiBIsRefused)
{
    // The company script, which evaluates, padded past the cap with a comment.
    std::string script = kCompanyPac;
    const std::size_t cap = 16 * 1024 * 1024;
    script += "/*" + std::string(cap + 1 - script.size() - 4, 'x') + "*/";
    ASSERT_EQ(script.size(), cap + 1);
    ktTest::writeAll(path("padded.pac"), script);
    const ktTest::RunResult r =
        ktTest::runProgram(KTPACPARSER, {"https://other.test/", path("padded.pac")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ktpacparser: cannot read PAC file " + path("padded.pac") + ": larger than 16 MiB\n");
}

TEST_F(PacParserTest, UrlsThatWouldBreakOutOfTheScriptAreRefused)
{
    for (const std::string url : {"https://a.test/\");x(\"", "https://a.test/\\",
                                  "https://a.test/'", "https://a.test/\n"}) {
        const ktTest::RunResult r = ktTest::runProgram(KTPACPARSER, {url, path("company.pac")});
        EXPECT_EQ(r.exitCode, 1) << url;
        EXPECT_EQ(r.out, "") << url;
    }
}

TEST_F(PacParserTest, EndlessScriptIsStoppedAtTheTimeOut)
{
    ktTest::writeAll(path("loop.pac"), "function FindProxyForURL(u, h) { for (;;) {} }\n");
    std::uint32_t code = 0;
    std::string output;
    EXPECT_FALSE(evaluate("https://a.test/", path("loop.pac"), code, output,
                          std::chrono::milliseconds(300)));
}

TEST_F(PacParserTest, ScriptsThatAllocateOrLoopWithoutEndStopAtTheProgramsOwnLimits)
{
    // The program caps its own processor time at 5 s (SIGXCPU; SIGKILL at 6 s) and its address
    // space at 256 MiB. Both count only the program's own use, so they are checked on its
    // processor time and resident memory, which a busy machine does not stretch as it does
    // wall time; the runner's time-out only catches a script that nothing stopped.
    // A sanitizer's shadow memory needs the whole address space, and its limit on resident
    // memory is polled, so a script that doubles a string outgrows it before it is seen:
    // there only the processor-time cap is checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool kAddressSpaceCapped = false;
#else
    constexpr bool kAddressSpaceCapped = true;
#endif
    constexpr long kPeakBoundKiB = 256 * 1024;
    constexpr std::chrono::milliseconds kHardCpuLimitWithSlack(7000);
    constexpr int kNothingStoppedItMs = 120000;
    const struct {
        const char* name;
        const char* script;
        std::chrono::milliseconds leastCpu;
    } cases[] = {
        {"allocates", "function FindProxyForURL(u, h) { var s = 'x'; for (;;) { s = s + s; } }\n",
         std::chrono::milliseconds(0)},
        {"allocates in small pieces",
         "function FindProxyForURL(u, h) { var a = []; for (;;) { a.push({n: a.length}); } }\n",
         std::chrono::milliseconds(0)},
        {"loops", "function FindProxyForURL(u, h) { var i = 0; for (;;) { i++; } }\n",
         std::chrono::milliseconds(4500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ktTest::writeAll(path("endless.pac"), c.script);
        const ktTest::RunResult r = ktTest::runProgram(
            KTPACPARSER, {"https://a.test/", path("endless.pac")}, {}, kNothingStoppedItMs);
        // It ended by itself, with a failure code or its limit's signal, not by the runner.
        EXPECT_TRUE(r.exitCode > 0 || r.signal != 0) << r.exitCode << " " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_GE(r.cpu.count(), c.leastCpu.count());
        EXPECT_LT(r.cpu.count(), kHardCpuLimitWithSlack.count());
        if (kAddressSpaceCapped) {
            EXPECT_LT(r.peakResidentKiB, kPeakBoundKiB);
        }
    }
}

} // namespace
