// -o and -w run as the real binary on a client tree, with stand-ins for the system
// programs: what the archive holds, what the service was asked, and what stays on disk.

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"
#include "ktTest/zipReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Holes, not data: large captures cost no disk and deflate to almost nothing.
void sparseFile(const std::string& path, std::uintmax_t size)
{
    ktTest::writeAll(path, "");
    fs::resize_file(path, size);
}

void protectFile(const std::string& plainPath, const std::string& data)
{
    ASSERT_TRUE(CKTEncryptedFile(ktPlatform::toWide(plainPath), false).write(data)) << plainPath;
}

const ktTest::ZipEntry* findEntry(const std::optional<std::vector<ktTest::ZipEntry>>& entries,
                                  const std::string& name)
{
    if (!entries) {
        return nullptr;
    }
    for (const ktTest::ZipEntry& e : *entries) {
        if (e.name == name) {
            return &e;
        }
    }
    return nullptr;
}

// Every regular file under root whose bytes hold text, except the skipped one.
std::vector<std::string> filesHolding(const std::string& root, const std::string& text,
                                      const std::string& skipped)
{
    std::vector<std::string> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file() && e.path() != skipped &&
            ktTest::readAll(e.path().string()).find(text) != std::string::npos) {
            found.push_back(e.path().string());
        }
    }
    return found;
}

class CollectTest : public ::testing::Test {
protected:
    CollectTest()
    {
        fs::create_directories(m_client.tree().publicFolder());
        fs::create_directories(m_client.dataFolder());
        fs::create_directories(m_tmp);
        fs::create_directories(m_out);
    }

    std::string collection() const { return m_client.tree().publicFolder(); }
    std::string archive() const { return m_out + "/diag.zip"; }
    std::string log() const { return ktTest::readAll(collection() + "/ktdebuglog.log"); }

    // Runs -o (or -w) into archive() against the given service port.
    ktTest::RunResult collect(bool forUpload, std::uint16_t port,
                              std::map<std::string, std::optional<std::string>> env = {})
    {
        env["KTDIAG_SERVICE_PORT"] = std::to_string(port);
        env["TMPDIR"] = m_tmp;
        return ktTest::runKtdiag({forUpload ? "-w" : "-o", archive()}, env);
    }

    ktTest::RunResult collectWithoutService(bool forUpload = false)
    {
        return collect(forUpload, m_closed.port());
    }

    std::string saved() const { return "Successfully saved diagnostics to " + archive() + "\n"; }

    ktTest::ClientTree m_client;
    ktTest::FakePrograms m_programs;
    ktTest::ClosedPort m_closed;
    std::string m_tmp = m_client.tree().root() + "/tmp";
    std::string m_out = m_client.tree().root() + "/out";
};

TEST_F(CollectTest, WithoutThePublicFolderNothingRuns)
{
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    const auto r = collect(false, service.port(), {{"PUBLIC", std::string()}});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "Failed to save diagnostics to " + archive() + "\n");
    EXPECT_TRUE(m_programs.runs().empty());
    EXPECT_TRUE(service.messages().empty());
    EXPECT_FALSE(fs::exists(archive()));
}

TEST_F(CollectTest, WithoutAServiceTheArchiveIsStillWritten)
{
    // A second run: the network state of the first is replaced, not added to.
    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, saved());
    EXPECT_NE(log().find("Send Message to merivonsvc failed"), std::string::npos);

    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    struct Output {
        const char* name;
        std::string text;
    };
    const Output outputs[] = {
        {"network-state.log", "ip addr\ncat /etc/resolv.conf\nip route\ncat /proc/modules\n"
                              "ss -n -t\n"},
        {"SystemInfo.log", "uname -a\ncat /etc/os-release\ncat /proc/meminfo\n"},
        {"appInfo.log", "dpkg-query -W -f=${Package}\\t${Version}\\t${Maintainer}\\n\n"},
    };
    for (const Output& o : outputs) {
        const ktTest::ZipEntry* e = findEntry(entries, o.name);
        ASSERT_NE(e, nullptr) << o.name;
        EXPECT_EQ(e->data, o.text) << o.name;
        // The outputs stay in the collection folder.
        EXPECT_EQ(ktTest::readAll(collection() + "/" + o.name), o.text) << o.name;
    }
    const ktTest::ZipEntry* logEntry = findEntry(entries, "ktdebuglog.log");
    ASSERT_NE(logEntry, nullptr);
    EXPECT_NE(logEntry->data.find("======= Following log lines are collected during log "
                                  "collection and are for debugging purposes only ======="),
              std::string::npos);
    EXPECT_NE(logEntry->data.find("Product version: 93.0.1.944, Timezone: "), std::string::npos);
}

TEST_F(CollectTest, AMissingProgramIsLoggedAndTheRestRuns)
{
    m_programs.remove("ss");
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(log().find("CreateProcess() failed with error 2 running " + m_programs.folder() +
                         "/ss -n -t"),
              std::string::npos);
    EXPECT_EQ(ktTest::readAll(collection() + "/network-state.log"),
              "ip addr\ncat /etc/resolv.conf\nip route\ncat /proc/modules\n");
    EXPECT_EQ(ktTest::readAll(collection() + "/SystemInfo.log"),
              "uname -a\ncat /etc/os-release\ncat /proc/meminfo\n");
}

TEST_F(CollectTest, WhatTheServiceWritesOnRequestIsCollected)
{
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    service.setObserver([](const ktTest::FakeMessage& m, const ktTest::FakeReply*) {
        if (m.id == 115 && m.items.size() == 1) {
            ktTest::writeAll(m.items[0].second + "/servicediag.txt", "from the service");
        }
    });
    const auto r = collect(false, service.port());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(service.waitForClientGone(5s));
    const auto messages = service.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].id, 115);
    EXPECT_EQ(messages[0].items, (ktTest::FakeItems{{"Diag", collection()}}));
    const auto entries = ktTest::readZip(archive());
    const ktTest::ZipEntry* e = findEntry(entries, "servicediag.txt");
    ASSERT_NE(e, nullptr) << ::testing::PrintToString(ktTest::zipNames(entries));
    EXPECT_EQ(e->data, "from the service");
}

TEST_F(CollectTest, EntriesFollowTheListThenTheFolders)
{
    m_client.writeConfigFile("ktuserconfig.json", "{}");
    m_client.writeConfigFile("ktconfig.json", "{}");
    m_client.writeConfigFile("dps.json", "{}");
    m_client.writeConfigFile("eventcache.json", "{}");
    m_client.writeConfigFile("not-listed.json", "{}");
    ktTest::writeAll(m_client.dataFolder() + "/b.json", "b");
    ktTest::writeAll(m_client.dataFolder() + "/a.json", "a");
    ktTest::writeAll(collection() + "/z-first.txt", "z");
    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const std::vector<std::string> names = ktTest::zipNames(ktTest::readZip(archive()));
    const std::vector<std::string> expected = {
        "ktuserconfig.json", "ktconfig.json", "dps.json",
        "eventcache.json",   "a.json",        "b.json",
        "SystemInfo.log",    "appInfo.log",   "ktdebuglog.log",
        "network-state.log", "z-first.txt"};
    std::vector<std::string> seen;
    std::copy_if(names.begin(), names.end(), std::back_inserter(seen), [&](const std::string& n) {
        return std::find(expected.begin(), expected.end(), n) != expected.end();
    });
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(has(names, "not-listed.json")) << "not-listed.json";
}

TEST_F(CollectTest, ProtectedFilesAreDecryptedAndNoPlaintextStays)
{
    const std::string config = R"({"clientConfig":{"secret":"plain-config-marker"}})";
    m_client.writeClientConfig(config, true);
    protectFile(m_client.configFolder() + "/dps.json", "dps-from-program-data");
    protectFile(m_client.dataFolder() + "/dps.json", "dps-from-data");
    // Case counts: this one is not a protected file and goes in as it is.
    ktTest::writeAll(m_client.dataFolder() + "/ktexception.json.ENC", "left as it is");
    // A file of the collection folder with a copy's name is neither replaced nor lost.
    ktTest::writeAll(collection() + "/ktconfig.json", "the public folder's own");

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    std::multimap<std::string, std::string> data;
    for (const ktTest::ZipEntry& e : *entries) {
        data.emplace(e.name, e.data);
    }
    const auto values = [&](const std::string& name) {
        std::vector<std::string> out;
        for (auto [it, end] = data.equal_range(name); it != end; ++it) {
            out.push_back(it->second);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    // Cut at the zero byte that ends a protected file's plaintext.
    EXPECT_EQ(values("ktconfig.json"),
              (std::vector<std::string>{"the public folder's own", config}));
    EXPECT_EQ(values("dps.json"),
              (std::vector<std::string>{"dps-from-data", "dps-from-program-data"}));
    EXPECT_EQ(values("ktexception.json.ENC"), std::vector<std::string>{"left as it is"});

    EXPECT_TRUE(fs::is_empty(m_tmp));
    EXPECT_EQ(ktTest::readAll(collection() + "/ktconfig.json"), "the public folder's own");
    for (const char* secret : {"plain-config-marker", "dps-from-program-data", "dps-from-data"}) {
        EXPECT_EQ(filesHolding(m_client.tree().root(), secret, archive()),
                  std::vector<std::string>{})
            << secret;
    }
}

TEST_F(CollectTest, DecryptedCopiesGoEvenWhenTheArchiveFails)
{
    m_client.writeClientConfig(R"({"clientConfig":{"secret":"plain-config-marker"}})", true);
    // Writable folder, but the archive's own path is a folder: only the zip writer fails.
    fs::create_directories(archive());
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(r.out, "Failed to save diagnostics to " + archive() + "\n");
    EXPECT_NE(log().find("Failed to create " + archive()), std::string::npos);
    EXPECT_TRUE(fs::is_empty(m_tmp));
    EXPECT_EQ(filesHolding(m_client.tree().root(), "plain-config-marker", ""),
              std::vector<std::string>{});
}

TEST_F(CollectTest, KeysCertificatesAndBrandingStayOut)
{
    const char* const never[] = {"ktusercert.p12",  "ktcacert.pem",     "qpatenantcert.pem",
                                 "qpaccesskey.pem", "qpaccesscert.pem", "kttenantcert.pem",
                                 "ktpubkey.pem",    "ktbranding.json"};
    for (const char* name : never) {
        ktTest::writeAll(m_client.dataFolder() + "/" + name, "secret");
    }
    // Their protected forms are not decrypted into the archive either.
    protectFile(m_client.configFolder() + "/ktbranding.json", R"({"UserKey":"key-marker"})");
    protectFile(m_client.configFolder() + "/qpaccesskey.pem", "key-marker");
    protectFile(m_client.dataFolder() + "/ktusercert.p12", "key-marker");
    // The names are exact: another spelling is an ordinary file.
    ktTest::writeAll(m_client.dataFolder() + "/KTBranding.json", "another file");

    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    for (const ktTest::ZipEntry& e : *entries) {
        EXPECT_EQ(std::find(std::begin(never), std::end(never), e.name), std::end(never)) << e.name;
        EXPECT_EQ(e.data.find("key-marker"), std::string::npos) << e.name;
    }
    EXPECT_TRUE(has(ktTest::zipNames(entries), "KTBranding.json")) << "KTBranding.json";
}

TEST_F(CollectTest, PerUserFoldersWriteNoUserFile)
{
    m_client.writeConfigFile("ktuserconfig.json",
                             R"({"ktUserConfig":{"enablePerUserConfig":"true"}})");
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const auto& e : fs::recursive_directory_iterator(m_client.tree().root())) {
        EXPECT_NE(e.path().filename(), "ktuser.conf") << e.path();
    }
}

TEST_F(CollectTest, UploadCapsCapturesSmallestFirst)
{
    sparseFile(m_client.dataFolder() + "/other.bin", 1000000);
    sparseFile(collection() + "/a.pcap", 10000000);
    sparseFile(collection() + "/b.etl", 10000000);
    sparseFile(collection() + "/c.cab", 15000000);
    // Capped whatever the case of its extension: 40 MB, so it never fits.
    sparseFile(collection() + "/trace.ETL", 40000000);
    ktTest::writeAll(collection() + "/empty.dmp", "");
    // An earlier archive is never packed, in either form.
    ktTest::writeAll(collection() + "/earlier.zip", "PK");

    const auto upload = collectWithoutService(true);
    EXPECT_EQ(upload.exitCode, 0) << upload.err;
    const std::vector<std::string> uploaded = ktTest::zipNames(ktTest::readZip(archive(), 0));
    EXPECT_TRUE(has(uploaded, "other.bin")) << "other.bin";
    EXPECT_TRUE(has(uploaded, "a.pcap")) << "a.pcap";
    EXPECT_TRUE(has(uploaded, "b.etl")) << "b.etl";
    for (const char* out : {"c.cab", "trace.ETL", "empty.dmp", "earlier.zip"}) {
        EXPECT_FALSE(has(uploaded, out)) << out;
    }
    const std::string text = log();
    EXPECT_NE(text.find("skipped file from log upload " + collection() +
                        "/c.cab , max allowed size reached=210"),
              std::string::npos);
    EXPECT_NE(text.find("skipped file from log upload " + collection() + "/trace.ETL"),
              std::string::npos);

    ASSERT_EQ(collectWithoutService(false).exitCode, 0);
    const std::vector<std::string> all = ktTest::zipNames(ktTest::readZip(archive(), 0));
    for (const char* in : {"a.pcap", "b.etl", "c.cab", "trace.ETL", "empty.dmp"}) {
        EXPECT_TRUE(has(all, in)) << in;
    }
    EXPECT_FALSE(has(all, "earlier.zip")) << "earlier.zip";
}

} // namespace
