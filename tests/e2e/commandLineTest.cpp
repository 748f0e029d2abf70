// The command line of the real binary: output, exit code and the archive name rules.

#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"
#include "ktTest/tempTree.h"

#include "expectedUsage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>

namespace fs = std::filesystem;

namespace {

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(m_tree.publicFolder());
        fs::create_directories(m_tree.root() + "/dir");
        m_usage = ktTest::expectedUsage(m_tree.publicFolder());
    }

    std::map<std::string, std::optional<std::string>> env() const
    {
        std::map<std::string, std::optional<std::string>> e;
        for (const auto& [k, v] : m_tree.environment()) {
            e[k] = v;
        }
        return e;
    }

    std::string invalid(const std::string& argument) const
    {
        return "Invalid argument: " + argument + ",  \n\n" + m_usage;
    }

    ktTest::TempClientTree m_tree;
    ktTest::FakePrograms m_programs;
    std::string m_usage;
};

TEST_F(CommandLineTest, ArgumentTable)
{
    const std::string title = "Kestrani Client Diagnostics Tool\n";
    const std::string dir = m_tree.root() + "/dir";
    struct Row {
        std::vector<std::string> args;
        std::string out;
        int code;
    };
    const Row rows[] = {
        {{}, title + m_usage, 1},
        {{"-cx"}, invalid("-cx"), 1},
        {{"c"}, invalid("c"), 1},
        {{"-x"}, invalid("-x"), 0},
        {{"-C"}, invalid("-C"), 0},
        {{"-c"}, invalid("-c"), 1},
        {{"-g", "upload", "-s"}, invalid("-g"), 1},
        {{"-t", "Enable"}, invalid("Enable"), 1},
        {{"-t", "enable", "extra"}, invalid("-t"), 1},
        {{"-w"}, "Missing output zip file name with option: -o\n\n" + m_usage, 1},
        {{"-o"}, "Missing output zip file name with option: -o\n\n" + m_usage, 1},
        {{"-o", ""}, "Invalid argument: ,  File is not specified\n\n" + m_usage, 1},
        {{"-o", dir + "/"},
         "Invalid argument: " + dir + "/, File is not specified\n\n" + m_usage,
         1},
        // The root names no file: nothing may be written there.
        {{"-o", "/"}, "Invalid argument: /, File is not specified\n\n" + m_usage, 1},
        {{"-w", "//"}, "Invalid argument: //, File is not specified\n\n" + m_usage, 1},
        {{"-o", m_tree.root() + "/missing/report.zip"}, "", 1},
        // The name is completed, then the archive is collected.
        {{"-o", "report"},
         "Successfully saved diagnostics to " + m_tree.publicFolder() + "/report.zip\n",
         0},
        {{"-w", dir + "/report.ZIP"},
         "Successfully saved diagnostics to " + dir + "/report.ZIP.zip\n",
         0},
        {{"-o", dir + "/a.zip"}, "Successfully saved diagnostics to " + dir + "/a.zip\n", 0},
        {{"-v"},
         "Kestrani Client Diagnostics Tool version 93.0.1.944\n\n"
         "Copyright (c) Kestrani. All rights reserved.\n",
         0},
        {{"-h"}, title + m_usage, 0},
    };
    for (const Row& row : rows) {
        std::string label;
        for (const auto& a : row.args) {
            label += "[" + a + "]";
        }
        const ktTest::RunResult r = ktTest::runKtdiag(row.args, env());
        EXPECT_EQ(r.exitCode, row.code) << label << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << label;
    }
}

TEST_F(CommandLineTest, UnwritableFolderIsReportedOnStandardError)
{
    const auto r = ktTest::runKtdiag({"-o", m_tree.root() + "/missing/report.zip"}, env());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("Failed to create output file: ", 0), 0u) << r.err;
    EXPECT_NE(ktTest::readAll(m_tree.publicFolder() + "/ktdebuglog.log")
                  .find("Failed to create file as output location is not write accessible"),
              std::string::npos);
}

TEST_F(CommandLineTest, WriteProbeDeletesOnlyWhatItMade)
{
    const std::string dir = m_tree.root() + "/dir";
    ktTest::writeAll(dir + "/xyz$$xyz.txt", "a user's file");
    const auto r = ktTest::runKtdiag({"-o", dir + "/report"}, env());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ktTest::readAll(dir + "/xyz$$xyz.txt"), "a user's file");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"report.zip", "xyz$$xyz.txt"}));
}

TEST_F(CommandLineTest, BareNameWithoutPublicFolderFailsAsACollectionAndTouchesNothing)
{
    auto e = env();
    e["PUBLIC"] = std::string();
    for (const char* option : {"-o", "-w"}) {
        const auto r = ktTest::runKtdiag({option, "report"}, e);
        EXPECT_EQ(r.exitCode, 2) << option;
        EXPECT_EQ(r.out, "Failed to save diagnostics to report.zip\n") << option;
        EXPECT_EQ(r.err, "") << option;
    }
    EXPECT_FALSE(fs::exists("report.zip"));
    EXPECT_FALSE(fs::exists("/report.zip"));
}

TEST_F(CommandLineTest, UsageStillPrintsWhenThePublicFolderIsMissing)
{
    auto e = env();
    e["PUBLIC"] = m_tree.root() + "/absent/../nowhere";
    const auto r = ktTest::runKtdiag({"-h"}, e);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("default directory \"" + m_tree.root() + "/nowhere/Kestrani\""),
              std::string::npos)
        << r.out;
}

TEST_F(CommandLineTest, StartWritesTheLogUnderTheProgramName)
{
    ktTest::runKtdiag({"-o", m_tree.root() + "/dir/report"}, env());
    const std::string log = ktTest::readAll(m_tree.publicFolder() + "/ktdebuglog.log");
    EXPECT_NE(log.find(" ktdiag p"), std::string::npos) << log;
    EXPECT_NE(log.find(" info saveDiagnostics.cpp:"), std::string::npos) << log;
}

#ifdef FAILING_NEW
// main's last line: an allocation that fails where nothing else catches it ends the run
// with one line on standard error and exit code 2, never an abort. Every 1/60th of the
// allocations of a status run fails in turn.
TEST_F(CommandLineTest, AFailedAllocationAnywhereEndsTheRunWithOneLine)
{
    ktTest::FakeService fake;
    fake.setReplier(ktTest::plausibleReply);
    std::map<std::string, std::optional<std::string>> e = env();
    e["KTDIAG_SERVICE_PORT"] = std::to_string(fake.port());
    e["LD_PRELOAD"] = std::string(FAILING_NEW);
    e["KT_TEST_COUNT_NEW"] = std::string("1");
    const ktTest::RunResult counted = ktTest::runKtdiag({"-f"}, e);
    ASSERT_EQ(counted.exitCode, 0) << counted.err;
    const auto at = counted.err.rfind("allocations: ");
    ASSERT_NE(at, std::string::npos) << counted.err;
    const long total = std::stol(counted.err.substr(at + 13));
    e.erase("KT_TEST_COUNT_NEW");
    int endedByMain = 0;
    for (long n = 1; n <= total; n += std::max(1L, total / 60)) {
        fake.waitForClientGone(std::chrono::seconds(5));
        e["KT_TEST_FAIL_NEW_AT"] = std::to_string(n);
        const ktTest::RunResult r = ktTest::runKtdiag({"-f"}, e);
        ASSERT_NE(r.exitCode, -1) << "allocation " << n << " of " << total << ": " << r.err;
        if (r.err == "ktdiag: out of memory\n") {
            EXPECT_EQ(r.exitCode, 2) << n;
            ++endedByMain;
        }
    }
    EXPECT_GT(endedByMain, 0);
}
#endif

} // namespace
