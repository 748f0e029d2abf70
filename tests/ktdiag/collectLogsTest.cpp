// The collection in this process, where the log lives outside the collection folder and the
// stand-in programs print nothing, so the archive's total is known to the byte.

#include "CKTDiag.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"

#include "ktTest/clientTree.h"
#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/testLog.h"
#include "ktTest/zipReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

void sparseFile(const std::string& path, std::uintmax_t size)
{
    ktTest::writeAll(path, "");
    fs::resize_file(path, size);
}

TEST(CollectLogs, UploadCapAtTheByte)
{
    ktTest::clearLog();
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs(true);

    struct Case {
        std::uint64_t other; // bytes of the other files
        std::vector<std::pair<std::string, std::uint64_t>> captures;
        std::vector<std::string> added;
        std::vector<std::string> skipLines; // "<name> , max allowed size reached=<total>"
    };
    const Case cases[] = {
        {1000000,
         {{"c.cab", 15000000}, {"a.pcap", 10000000}, {"b.etl", 10000000}},
         {"a.pcap", "b.etl"},
         {"c.cab , max allowed size reached=21000000 bytes"}},
        {20000000,
         {{"a.pcap", 10000000}},
         {},
         {"a.pcap , max allowed size reached=20000000 bytes"}},
        {20000000, {{"a.pcap", 9999999}}, {"a.pcap"}, {}},
        {1,
         {{"trace.ETL", 29999999}, {"x.Dmp", 29999998}},
         {"x.Dmp"},
         {"trace.ETL , max allowed size reached=29999999 bytes"}},
        {0, {{"empty.pcap", 0}, {"one.cab", 1}}, {"one.cab"}, {}},
    };
    for (const Case& c : cases) {
        const std::string label = "case with " + std::to_string(c.other) + " other bytes";
        ktTest::clearLog();
        ktTest::ClientTree client;
        const std::string collection = client.tree().publicFolder();
        fs::create_directories(collection);
        fs::create_directories(client.dataFolder());
        if (c.other > 0) {
            sparseFile(client.dataFolder() + "/other.bin", c.other);
        }
        for (const auto& [name, size] : c.captures) {
            sparseFile(collection + "/" + name, size);
        }
        const std::string archive = client.tree().root() + "/upload.zip";
        {
            CKTDiag diag;
            diag.start();
            ASSERT_TRUE(diag.collectLogs(archive, true)) << label;
        }

        std::vector<std::string> captures;
        for (const std::string& name : ktTest::zipNames(ktTest::readZip(archive, 0))) {
            const bool isCapture =
                std::any_of(c.captures.begin(), c.captures.end(),
                            [&](const auto& capture) { return capture.first == name; });
            if (isCapture) {
                captures.push_back(name);
            }
        }
        EXPECT_EQ(captures, c.added) << label;
        const std::string log = ktTest::logText();
        for (const std::string& line : c.skipLines) {
            EXPECT_NE(log.find("skipped file from log upload " + collection + "/" + line),
                      std::string::npos)
                << label << ": " << line << "\n"
                << log;
        }
        if (c.skipLines.empty()) {
            EXPECT_EQ(log.find("skipped file from log upload"), std::string::npos) << label;
        }
    }
}

TEST(CollectLogs, ASilentServiceCostsTheReadinessWaitAndTheArchiveIsWritten)
{
    // The service accepts the connection and never acknowledges the handshake, so only the
    // readiness wait's own time-out ends the request for its diagnostics.
    ktTest::clearLog();
    ktTest::FakeService service;
    service.setAck(ktTest::AckMode::silent);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs(true);
    ktTest::ClientTree client;
    fs::create_directories(client.tree().publicFolder());
    const std::string archive = client.tree().root() + "/silent.zip";
    // Longer than the standard readiness wait (5 s), so the lower bound shows that this one
    // governs however long the collection itself takes on a busy machine; the upper bound
    // tells one wait from two.
    KTDiagTimeouts timeouts;
    timeouts.readyMs = 8000;
    const auto began = std::chrono::steady_clock::now();
    {
        CKTDiag diag;
        diag.setTimeouts(timeouts);
        diag.start();
        EXPECT_TRUE(diag.collectLogs(archive, false));
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    EXPECT_GE(took.count(), timeouts.readyMs);
    EXPECT_LT(took.count(), 2 * timeouts.readyMs);
    EXPECT_TRUE(fs::exists(archive));
    EXPECT_TRUE(service.waitForHandshakes(1, std::chrono::seconds(5)));
    EXPECT_TRUE(service.messages().empty());
}

TEST(CollectLogs, CopyProtectedFile)
{
    ktTest::clearLog();
    ktTest::ClientTree client;
    const std::string root = client.tree().root();
    // The plaintext of a protected file ends in a zero byte; data after a zero is cut too.
    ASSERT_TRUE(CKTEncryptedFile(ktPlatform::toWide(root + "/a.json"), false)
                    .write(std::string("{}\0hidden", 9)));
    fs::create_directories(root + "/out");

    std::string written = "untouched";
    ASSERT_TRUE(CKTDiag::copyProtectedFile(root + "/a.json", "copy.json", root + "/out", written));
    EXPECT_EQ(written, root + "/out/copy.json");
    EXPECT_EQ(ktTest::readAll(written), "{}");

    struct Failure {
        std::string source, folder, line;
    };
    const Failure failures[] = {
        {root + "/missing.json", root + "/out", "Failed to read file = " + root + "/missing.json"},
        {root + "/a.json", root + "/no/such",
         "Failed to write file = " + root + "/no/such/copy.json"},
    };
    for (const Failure& f : failures) {
        ktTest::clearLog();
        written = "untouched";
        EXPECT_FALSE(CKTDiag::copyProtectedFile(f.source, "copy.json", f.folder, written));
        EXPECT_EQ(written, "untouched");
        EXPECT_TRUE(ktTest::logHas(f.line)) << f.line;
    }
}

} // namespace
