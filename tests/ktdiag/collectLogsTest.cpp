// The collection in this process, where the log lives outside the collection folder and the
// stand-in programs print nothing, so the archive's total is known to the byte.

#include "CKTDiag.h"
#include "collectLogsInternal.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/strings.h"

#include "ktTest/clientTree.h"
#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"
#include "ktTest/zipReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

void sparseFile(const std::string& path, std::uintmax_t size)
{
    ktTest::writeAll(path, "");
    fs::resize_file(path, size);
}

TEST(CollectLogs, ACommandOutputIsWrittenOnlyIntoTheFileThisRunMade)
{
    // Root makes each output new, moving aside what another account put at its name, and
    // writes every line through that one file. Should its name then lead elsewhere (another
    // account's file in its place, as a public folder without the sticky bit would let that
    // account make it), no line follows the name.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    ktTest::clearLog();
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs;
    ktTest::ClientTree client;
    const std::string collection = client.tree().publicFolder();
    fs::create_directories(collection);
    fs::create_directories(client.dataFolder());
    ::chmod(client.tree().root().c_str(), 0755);
    ::chmod(client.tree().publicRoot().c_str(), 0755);
    ::chmod(collection.c_str(), 01777);
    const std::vector<ktTest::CommandOutputText> outputs(std::begin(ktTest::kCommandOutputs),
                                                         std::end(ktTest::kCommandOutputs));
    // Another account's folder holds each name when the collection starts.
    for (const ktTest::CommandOutputText& o : outputs) {
        fs::create_directory(collection + "/" + o.name);
        ktTest::chownTo(collection + "/" + o.name, account);
    }

    // Once root made each output, before its first line: root's file is renamed to
    // "root-<name>", still in the folder, and the account's own file is put at the name.
    std::vector<std::string> swapped;
    setCommandLineHook([&](const std::string& file, const std::string&) {
        const std::string name = fs::path(file).filename().string();
        if (std::find(swapped.begin(), swapped.end(), name) == swapped.end()) {
            swapped.push_back(name);
            fs::rename(file, collection + "/root-" + name);
            ktTest::writeAll(file, "");
            ktTest::chownTo(file, account);
        }
    });
    const std::string archive = client.tree().root() + "/out.zip";
    bool collected = false;
    {
        CKTDiag diag;
        diag.start();
        collected = diag.collectLogs(archive, false);
    }
    setCommandLineHook(nullptr);
    ASSERT_TRUE(collected);
    const auto entries = ktTest::readZip(archive);
    ASSERT_TRUE(entries);
    const auto entry = [&](const std::string& name) -> std::optional<std::string> {
        for (const ktTest::ZipEntry& e : *entries) {
            if (e.name == name) {
                return e.data;
            }
        }
        return std::nullopt;
    };

    for (const ktTest::CommandOutputText& o : outputs) {
        SCOPED_TRACE(o.name);
        const std::string theirs = collection + "/" + o.name;
        const std::string roots = collection + "/root-" + o.name;
        EXPECT_NE(std::find(swapped.begin(), swapped.end(), o.name), swapped.end());
        struct stat st {};
        ASSERT_EQ(::lstat(theirs.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, account.uid) << "the swap did not happen";
        EXPECT_EQ(ktTest::readAll(theirs), "") << "root's lines followed the name";
        ASSERT_EQ(::lstat(roots.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(ktTest::readAll(roots), o.text);
        EXPECT_EQ(entry(std::string("root-") + o.name), o.text);
        EXPECT_EQ(entry(o.name), std::string());
        // The folder that held the name was moved aside, not followed or emptied.
        std::vector<std::string> aside;
        for (const auto& e : fs::directory_iterator(collection)) {
            const std::string name = e.path().filename().string();
            if (name.rfind(std::string(".") + o.name + ".", 0) == 0 && e.is_directory() &&
                ::lstat(e.path().c_str(), &st) == 0 && st.st_uid == account.uid) {
                aside.push_back(name);
            }
        }
        EXPECT_EQ(aside.size(), 1u);
    }
}

TEST(CollectLogs, OnlyTheUnfinishedFilesThisRunHoldsAreLeftOut)
{
    ktTest::clearLog();
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs(true);
    ktTest::ClientTree client;
    const std::string collection = client.tree().publicFolder();
    fs::create_directories(collection);
    // Named as this program names its unfinished files, but another program's.
    ktTest::writeAll(collection + "/.svcnotes.txt.a1b2c3", "the service's notes");
    ktPlatform::TemporaryPath held;
    std::string own;
    int fd = -1;
    ASSERT_TRUE(held.createFileBeside(collection + "/notes.txt", own, fd));
    ::close(fd);
    const std::string archive = client.tree().root() + "/out.zip";
    {
        CKTDiag diag;
        diag.start();
        ASSERT_TRUE(diag.collectLogs(archive, false));
    }
    const std::vector<std::string> names = ktTest::zipNames(ktTest::readZip(archive));
    EXPECT_NE(std::find(names.begin(), names.end(), ".svcnotes.txt.a1b2c3"), names.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), fs::path(own).filename().string()),
              names.end());
}

TEST(CollectLogs, UploadCapAtTheByte)
{
    ktTest::clearLog();
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs(true);
    std::string noAccount;
    const std::optional<ktTest::TestAccount> account = ktTest::testAccount(noAccount);

    struct Case {
        std::uint64_t other; // bytes of the other files
        std::vector<std::pair<std::string, std::uint64_t>> captures;
        std::vector<std::string> added;
        std::vector<std::string> skipLines; // "<name> , max allowed size reached=<total>"
        // The length of another account's sparse file in the collection folder: it cost that
        // account nothing, and counts nothing.
        std::uint64_t othersSparse = 0;
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
        {0, {{"a.pcap", 1000000}}, {"a.pcap"}, {}, 4ull << 30},
    };
    bool rowLeftOut = false;
    for (const Case& c : cases) {
        if (c.othersSparse > 0 && !account) {
            rowLeftOut = true;
            continue;
        }
        const std::string label = "case with " + std::to_string(c.other) + " other bytes" +
                                  (c.othersSparse > 0 ? " and another account's sparse file" : "");
        ktTest::clearLog();
        ktTest::ClientTree client;
        const std::string collection = client.tree().publicFolder();
        fs::create_directories(collection);
        fs::create_directories(client.dataFolder());
        if (c.other > 0) {
            sparseFile(client.dataFolder() + "/other.bin", c.other);
        }
        if (c.othersSparse > 0) {
            sparseFile(collection + "/theirs.bin", c.othersSparse);
            ktTest::chownTo(collection + "/theirs.bin", *account);
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
    if (rowLeftOut) {
        GTEST_SKIP() << "the row of another account's sparse file: " << noAccount;
    }
}

TEST(CollectLogs, TheLogFilesGoInAtTheirNewestTwentyMebibytesAndCountNoMore)
{
    // Any account can make the log files long, or sparse, at no cost: each goes in at its
    // newest 20 MiB from a line start (the first of them when the cut falls on one), and
    // counts no more than that towards the upload cap.
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    ktTest::ScopedEnv port("KTDIAG_SERVICE_PORT", std::to_string(service.port()));
    ktTest::FakePrograms programs(true);
    constexpr std::uint64_t kBound = 20 * 1024 * 1024;
    struct Case {
        const char* name;
        std::size_t width; // of its lines: 128 divides 20 MiB, 100 does not
    };
    for (const Case& c : {Case{"ktdebuglog.log", 128}, Case{"ktdebuglog_old.log", 100}}) {
        SCOPED_TRACE(c.name);
        ktTest::clearLog();
        ktTest::ClientTree client;
        const std::string collection = client.tree().publicFolder();
        fs::create_directories(collection);
        const std::string lines = ktTest::numberedLines(c.width, kBound + 1000);
        const std::string path = collection + "/" + c.name;
        sparseFile(path, 4ull << 30);
        std::ofstream(path, std::ios::binary | std::ios::app) << lines;
        ::chmod(path.c_str(), 0666);
        sparseFile(collection + "/a.pcap", 1000000);
        const std::string archive = client.tree().root() + "/upload.zip";
        {
            CKTDiag diag;
            diag.start();
            ASSERT_TRUE(diag.collectLogs(archive, true));
        }
        const auto entries = ktTest::readZip(archive, kBound);
        ASSERT_TRUE(entries);
        const std::string newest = lines.substr(lines.size() - (kBound - kBound % c.width));
        const auto entry =
            std::find_if(entries->begin(), entries->end(),
                         [&](const ktTest::ZipEntry& e) { return e.name == c.name; });
        ASSERT_NE(entry, entries->end());
        EXPECT_EQ(entry->size, newest.size());
        EXPECT_TRUE(entry->data == newest) << "not the newest whole lines";
        const std::vector<std::string> names = ktTest::zipNames(entries);
        EXPECT_NE(std::find(names.begin(), names.end(), "a.pcap"), names.end())
            << "the log counted beyond its bound";
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
