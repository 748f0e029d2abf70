// -o and -w run as the real binary on a client tree, with stand-ins for the system
// programs: what the archive holds, what the service was asked, and what stays on disk.

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"

#include "ktTest/clientTree.h"
#include "ktTest/connectProxy.h"
#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"
#include "ktTest/testAccount.h"
#include "ktTest/zipReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <sstream>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool has(const std::vector<std::string>& names, const std::string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::uint32_t ownerOf(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : 0xFFFFFFFFu;
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

// The names of the files in folder, hidden ones included.
std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
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
                              std::map<std::string, std::optional<std::string>> env = {},
                              const std::function<void(int pid)>& started = nullptr)
    {
        env["KTDIAG_SERVICE_PORT"] = std::to_string(port);
        env["TMPDIR"] = m_tmp;
        return ktTest::runKtdiag({forUpload ? "-w" : "-o", archive()}, env, started);
    }

    ktTest::RunResult collectWithoutService(bool forUpload = false,
                                            const std::function<void(int pid)>& started = nullptr)
    {
        return collect(forUpload, m_closed.port(), {}, started);
    }

    std::string saved() const { return "Successfully saved diagnostics to " + archive() + "\n"; }

    // Turns per-user configuration on, with the folder <home>/Kestrani/Merivon of the user of
    // the console session; returns that folder, made and given to the account.
    std::string perUserFolderIn(const ktTest::AccountFolder& home,
                                const ktTest::TestAccount& account)
    {
        const std::string folder = userFolderIn(home, account);
        m_client.writeUserConfig(R"({"ktUserConfig":{"enablePerUserConfig":"true",)"
                                 R"("configLocation":"%HOME%/)" +
                                 fs::path(home.path()).filename().string() +
                                 R"(/Kestrani/Merivon"}})");
        return folder;
    }

    // <home>/Kestrani/Merivon, made and given to the account.
    static std::string userFolderIn(const ktTest::AccountFolder& home,
                                    const ktTest::TestAccount& account)
    {
        const std::string folder = home.path() + "/Kestrani/Merivon";
        fs::create_directories(folder);
        ktTest::chownTo(home.path() + "/Kestrani", account);
        ktTest::chownTo(folder, account);
        return folder;
    }

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

// The public folder is the collection folder, so another account's folder or link there
// would lead root's outputs and the archive elsewhere and root's files into the archive.
TEST_F(CollectTest, APublicFolderOfAnotherAccountIsNotUsed)
{
    // So is one below a folder where another account could rename it and put a link of its
    // own in its place after the check.
    // A folder above that its group may change is used where that group holds nobody but
    // root and system accounts, as Ubuntu's /var/log (root:syslog 0775). A refusal says which
    // folder is at fault and why.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    KT_TEST_PERSON_ACCOUNT_OR_SKIP(person);
    enum class Layout { otherAccountsLink, rootsLink, otherAccountsFolder, rootsFolder };
    struct Case {
        const char* name;
        Layout layout;
        bool bareName; // the archive named without a folder goes into the public folder
        bool used;
        unsigned parentMode; // of $PUBLIC
        std::string parentGroup;
        std::string refusal; // after "<public folder> is not used: "
    };
    const std::string publicRoot = m_client.tree().publicRoot();
    const std::string peoplesFolder = publicRoot + " may be changed by group " +
                                      ktTest::kPersonAccountGroup + ", which " + person.name +
                                      " is in";
    const Case cases[] = {
        {"another account's link to root's folder", Layout::otherAccountsLink, false, false, 0755,
         "root", collection() + " is a link of account " + account.name},
        {"the same with the archive in it", Layout::otherAccountsLink, true, false, 0755, "root",
         collection() + " is a link of account " + account.name},
        {"root's link to root's folder", Layout::rootsLink, false, true, 0755, "root", ""},
        {"another account's folder", Layout::otherAccountsFolder, false, false, 0755, "root",
         collection() + " may be changed by account " + account.name},
        {"the same with the archive in it", Layout::otherAccountsFolder, true, false, 0755, "root",
         collection() + " may be changed by account " + account.name},
        {"root's folder below a folder of 0777", Layout::rootsFolder, false, false, 0777, "root",
         publicRoot + " may be changed by every account"},
        {"the same with the archive in it", Layout::rootsFolder, true, false, 0777, "root",
         publicRoot + " may be changed by every account"},
        {"root's folder below a folder of 1777", Layout::rootsFolder, true, true, 01777, "root",
         ""},
        {"root's folder below a folder of 0755", Layout::rootsFolder, true, true, 0755, "root", ""},
        {"root's folder below a folder of 0775 whose group holds system accounts",
         Layout::rootsFolder, false, true, 0775, ktTest::kTestAccountGroup, ""},
        {"the same with the archive in it", Layout::rootsFolder, true, true, 0775,
         ktTest::kTestAccountGroup, ""},
        {"root's folder below a folder of 0775 whose group holds a person", Layout::rootsFolder,
         false, false, 0775, ktTest::kPersonAccountGroup, peoplesFolder},
        {"the same with the archive in it", Layout::rootsFolder, true, false, 0775,
         ktTest::kPersonAccountGroup, peoplesFolder},
    };
    const std::string target = m_client.tree().root() + "/roots";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const struct group* group = ::getgrnam(c.parentGroup.c_str());
        ASSERT_NE(group, nullptr) << c.parentGroup;
        ASSERT_EQ(::chown(publicRoot.c_str(), 0, group->gr_gid), 0);
        fs::remove_all(collection());
        fs::remove_all(target);
        fs::remove_all(m_out);
        fs::create_directories(target);
        fs::create_directories(m_out);
        ::chmod(m_client.tree().publicRoot().c_str(), c.parentMode);
        const std::string folder = c.layout == Layout::rootsFolder ? collection() : target;
        fs::create_directories(folder);
        ktTest::writeAll(folder + "/secret.txt", "root's own");
        ktTest::writeAll(target + "/diag.zip", "root's archive");
        if (c.layout == Layout::otherAccountsFolder) {
            fs::create_directories(collection());
            ktTest::chownTo(collection(), account);
            ::chmod(collection().c_str(), 01777);
        } else if (c.layout != Layout::rootsFolder) {
            fs::create_directory_symlink(target, collection());
            if (c.layout == Layout::otherAccountsLink) {
                ktTest::chownTo(collection(), account);
            }
        }
        const std::string archivePath = c.bareName ? collection() + "/diag.zip" : archive();
        const std::size_t runsBefore = m_programs.runs().size();
        ktTest::FakeService service;
        service.setReplier(ktTest::plausibleReply);
        const auto r = ktTest::runKtdiag(
            {c.bareName ? "-w" : "-o", c.bareName ? "diag.zip" : archive()},
            {{"KTDIAG_SERVICE_PORT", std::to_string(service.port())}, {"TMPDIR", m_tmp}});
        ::chmod(publicRoot.c_str(), 0755);
        ASSERT_EQ(::chown(publicRoot.c_str(), 0, 0), 0);
        const auto entries = ktTest::readZip(archivePath);
        if (c.used) {
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_TRUE(has(ktTest::zipNames(entries), "secret.txt"));
            EXPECT_TRUE(fs::exists(folder + "/network-state.log"));
            continue;
        }
        EXPECT_EQ(r.exitCode, 2) << r.err;
        // A bare name is shown with the folder it would have gone into.
        EXPECT_EQ(r.out, "Failed to save diagnostics to " + archivePath + "\n");
        EXPECT_EQ(r.err, "Log off: " + collection() + " is not used: " + c.refusal + "\n");
        EXPECT_FALSE(entries);
        EXPECT_EQ(m_programs.runs().size(), runsBefore);
        EXPECT_TRUE(service.messages().empty());
        for (const char* output : {"network-state.log", "appInfo.log", "SystemInfo.log"}) {
            EXPECT_FALSE(fs::exists(collection() + "/" + output)) << output;
        }
        if (folder != target) {
            EXPECT_EQ(namesIn(folder), std::vector<std::string>{"secret.txt"});
            EXPECT_EQ(namesIn(target), std::vector<std::string>{"diag.zip"});
        } else {
            EXPECT_EQ(namesIn(target), (std::vector<std::string>{"diag.zip", "secret.txt"}));
        }
        EXPECT_EQ(namesIn(m_out), std::vector<std::string>{});
    }
    fs::remove_all(collection());
}

TEST_F(CollectTest, WithoutAServiceTheArchiveIsStillWritten)
{
    // A second run: the network state of the first is replaced, not added to.
    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, saved());
    EXPECT_NE(log().find("Send Message to merivonsvc failed"), std::string::npos);
    // Private to the account that ran the tool, whatever the umask.
    struct stat st {};
    ASSERT_EQ(::stat(archive().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());

    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    for (const ktTest::CommandOutputText& o : ktTest::kCommandOutputs) {
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
    using Files = std::map<std::string, std::string>;
    // What the service does to the modification time of a file it rewrites in place: a clock
    // that ticks only once in the second, or one that gives the very same time again.
    enum class Rewrite { asItIs, sameSecond, sameTime };
    struct Case {
        const char* name;
        bool forUpload;
        Files before;  // in the collection folder before the run
        Files written; // by the service when it is asked
        Files entries; // that the archive must hold, with their data
        std::vector<std::string> leftOut;
        Rewrite rewrite = Rewrite::asItIs;
    };
    const Files dump = {
        {"svcdump.zip", "the service's archive"},
        {"svcdump.cab", "the service's cabinet"},
        {"svcnotes.txt", "the service's notes"},
    };
    const Case cases[] = {
        {"the service's files, its archive included", false, {}, dump, dump, {}},
        {"in the upload form too", true, {}, dump, dump, {}},
        {"an earlier archive stays out, one the service rewrote is its own",
         false,
         {{"earlier.zip", "an earlier archive"}, {"svcdump.zip", "the last run's dump"}},
         {{"svcdump.zip", "this run's dump"}},
         {{"svcdump.zip", "this run's dump"}},
         {"earlier.zip"}},
        {"files named as this program names its unfinished ones, not made by this run",
         false,
         {{".ktdebuglog_old.log.x9Y8z7", "another run's copy"}},
         {{".svcnotes.txt.a1b2c3", "the service's notes"}},
         {{".ktdebuglog_old.log.x9Y8z7", "another run's copy"},
          {".svcnotes.txt.a1b2c3", "the service's notes"}},
         {}},
        {"an archive rewritten at its size within the second",
         false,
         {{"svcdump.zip", "dump of run one"}},
         {{"svcdump.zip", "dump of run two"}},
         {{"svcdump.zip", "dump of run two"}},
         {},
         Rewrite::sameSecond},
        {"an archive rewritten at its size and time: its status changed",
         false,
         {{"svcdump.zip", "dump of run one"}},
         {{"svcdump.zip", "dump of run two"}},
         {{"svcdump.zip", "dump of run two"}},
         {},
         Rewrite::sameTime},
    };
    for (const Case& c : cases) {
        for (const auto& e : fs::directory_iterator(collection())) {
            fs::remove_all(e.path());
        }
        for (const auto& [name, data] : c.before) {
            ktTest::writeAll(collection() + "/" + name, data);
        }
        ktTest::FakeService service;
        service.setReplier(ktTest::plausibleReply);
        service.setObserver([&](const ktTest::FakeMessage& m, const ktTest::FakeReply*) {
            if (m.id == 115 && m.items.size() == 1) {
                for (const auto& [name, data] : c.written) {
                    const std::string path = m.items[0].second + "/" + name;
                    struct stat before {};
                    const bool existed = ::stat(path.c_str(), &before) == 0;
                    ktTest::writeAll(path, data);
                    if (existed && c.rewrite != Rewrite::asItIs) {
                        timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
                        if (c.rewrite == Rewrite::sameSecond) {
                            times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
                        }
                        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
                    }
                }
            }
        });
        const auto r = collect(c.forUpload, service.port());
        EXPECT_EQ(r.exitCode, 0) << c.name << r.err;
        EXPECT_TRUE(service.waitForClientGone(5s)) << c.name;
        const auto messages = service.messages();
        ASSERT_EQ(messages.size(), 1u) << c.name;
        EXPECT_EQ(messages[0].id, 115) << c.name;
        EXPECT_EQ(messages[0].items, (ktTest::FakeItems{{"Diag", collection()}})) << c.name;
        const auto entries = ktTest::readZip(archive());
        ASSERT_TRUE(entries) << c.name;
        for (const auto& [name, data] : c.entries) {
            const ktTest::ZipEntry* e = findEntry(entries, name);
            if (e == nullptr) {
                ADD_FAILURE() << c.name << ": no " << name << " in "
                              << ::testing::PrintToString(ktTest::zipNames(entries));
                continue;
            }
            EXPECT_EQ(e->data, data) << c.name << ": " << name;
        }
        for (const std::string& name : c.leftOut) {
            EXPECT_FALSE(has(ktTest::zipNames(entries), name)) << c.name << ": " << name;
        }
    }
}

// Where another account may link a file of root's (fs.protected_hardlinks 0), a second name
// must not carry that file into the archive, from any folder read as root.
TEST_F(CollectTest, AFileWithASecondNameIsLeftOut)
{
    const std::string secret = m_client.tree().root() + "/root-only";
    ktTest::writeAll(secret, "root's secret");
    ::chmod(secret.c_str(), 0600);
    const std::string links[] = {collection() + "/shadow.txt",
                                 m_client.dataFolder() + "/shadow.json"};
    for (const std::string& link : links) {
        fs::create_hard_link(secret, link);
    }
    ktTest::writeAll(collection() + "/notes.txt", "notes");
    ktTest::writeAll(m_client.dataFolder() + "/a.json", "a");

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    for (const std::string& link : links) {
        EXPECT_FALSE(has(ktTest::zipNames(entries), fs::path(link).filename().string())) << link;
        EXPECT_NE(log().find("Error opening " + link + " for reading, skipping"), std::string::npos)
            << link;
    }
    for (const char* kept : {"notes.txt", "a.json", "network-state.log", "ktdebuglog.log"}) {
        EXPECT_TRUE(has(ktTest::zipNames(entries), kept)) << kept;
    }
}

TEST_F(CollectTest, ASecondNameOfTheSharedLogTakesNothingAway)
{
    // The log is every account's (0666), so any account may give it a second name; root's
    // log is still written and collected. Another account's file with a second name stays
    // out, as any second name of a file that is not every account's already.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    const ktTest::AccountFolder home(account);
    const std::string logFile = collection() + "/ktdebuglog.log";
    ktTest::writeAll(logFile, "an earlier line\n");
    ::chmod(logFile.c_str(), 0666);
    fs::create_hard_link(logFile, home.path() + "/my-copy-of-the-log");
    const std::string theirs = home.path() + "/theirs.txt";
    ktTest::writeAll(theirs, "the account's own");
    ktTest::chownTo(theirs, account);
    ::chmod(theirs.c_str(), 0666);
    fs::create_hard_link(theirs, collection() + "/theirs.txt");

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(logFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u) << "the log was taken for a planted name";
    EXPECT_EQ(std::vector<std::string>(), filesHolding(collection(), "an earlier line", logFile))
        << "hidden copies of the log";
    const std::string text = log();
    EXPECT_EQ(text.rfind("an earlier line\n", 0), 0u);
    EXPECT_NE(text.find("======= Log collection complete ======="), std::string::npos);
    const auto entries = ktTest::readZip(archive());
    const ktTest::ZipEntry* entry = findEntry(entries, "ktdebuglog.log");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->data.rfind("an earlier line\n", 0), 0u);
    EXPECT_FALSE(has(ktTest::zipNames(entries), "theirs.txt"));
    EXPECT_NE(text.find("Error opening " + collection() + "/theirs.txt for reading, skipping"),
              std::string::npos);
}

TEST_F(CollectTest, WhatAnyAccountCanMakeLongCostsNoMoreThanItsBound)
{
    // Every account can extend the old log (0666) and make files of its own in the public
    // folder, sparse, as long as it likes at no cost to itself: the old log goes in at its
    // newest 20 MiB, from a line start, and another account's sparse file not at all. Its
    // ordinary file, and root's sparse one, go in whole. (The log itself is rotated by the
    // run's first line; its own bound in the archive is held in tests/ktdiag.)
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    constexpr std::uint64_t kBound = 20 * 1024 * 1024;
    constexpr std::uint64_t kHoles = 4ull << 30;
    // Lines of 100 bytes: the newest 20 MiB begin inside one, and the entry with the next.
    const std::string lines = ktTest::numberedLines(100, kBound + 1000);
    const std::string oldLog = collection() + "/ktdebuglog_old.log";
    sparseFile(oldLog, kHoles);
    std::ofstream(oldLog, std::ios::binary | std::ios::app) << lines;
    ::chmod(oldLog.c_str(), 0666);
    const std::string sparse = collection() + "/sparse.txt";
    sparseFile(sparse, kHoles);
    ktTest::chownTo(sparse, account);
    const std::string ordinary = collection() + "/ordinary.txt";
    ktTest::writeAll(ordinary, std::string(300000, 'x'));
    ktTest::chownTo(ordinary, account);
    sparseFile(collection() + "/roots-sparse.txt", 3000000);

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto entries = ktTest::readZip(archive(), kBound);
    ASSERT_TRUE(entries);
    const ktTest::ZipEntry* entry = findEntry(entries, "ktdebuglog_old.log");
    ASSERT_NE(entry, nullptr);
    const std::string newest = lines.substr(lines.size() - (kBound - kBound % 100));
    EXPECT_EQ(entry->size, newest.size());
    EXPECT_TRUE(entry->data == newest) << "not the newest whole lines";
    EXPECT_FALSE(has(ktTest::zipNames(entries), "sparse.txt"));
    EXPECT_NE(log().find("Error opening " + sparse + " for reading, skipping"), std::string::npos);
    const ktTest::ZipEntry* kept = findEntry(entries, "ordinary.txt");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->size, 300000u);
    const ktTest::ZipEntry* rootsOwn = findEntry(entries, "roots-sparse.txt");
    ASSERT_NE(rootsOwn, nullptr);
    EXPECT_EQ(rootsOwn->size, 3000000u);
}

TEST_F(CollectTest, OtherNamesOfRootsSharedFilesAddNothing)
{
    // The log, the old log and the lock are root's 0666 files, so any account may give them
    // other names in the collection folder, and make them long at no cost to itself: the lock
    // goes in under no name, the log's files only under their own, at their bound. Any file
    // another account may write, root's too, goes in not at all when it is sparse. None of
    // them counts toward the upload cap.
    constexpr std::uint64_t kHoles = 64ull << 20;
    const std::string logFile = collection() + "/ktdebuglog.log";
    const std::string oldLog = collection() + "/ktdebuglog_old.log";
    const std::string lock = collection() + "/kt_log_mutex.lock";
    ktTest::writeAll(logFile, "an earlier line\n");
    sparseFile(oldLog, kHoles);
    std::ofstream(oldLog, std::ios::binary | std::ios::app) << "the newest old line\n";
    // Written by any account: its bytes cost root's disk, not theirs.
    ktTest::writeAll(lock, std::string(3 << 20, 'w'));
    for (const std::string& shared : {logFile, oldLog, lock}) {
        ::chmod(shared.c_str(), 0666);
    }
    const std::string otherNames[] = {collection() + "/log.txt", collection() + "/old.pcap",
                                      collection() + "/lock.txt", collection() + "/lock.dmp"};
    fs::create_hard_link(logFile, otherNames[0]);
    fs::create_hard_link(oldLog, otherNames[1]);
    fs::create_hard_link(lock, otherNames[2]);
    fs::create_hard_link(lock, otherNames[3]);
    const std::string everyones = collection() + "/everyones.txt";
    sparseFile(everyones, kHoles);
    ::chmod(everyones.c_str(), 0666);
    // Fits only while none of the above counts more than its bound.
    sparseFile(collection() + "/fits.pcap", 30000000 - (20 << 20) - (2 << 20));

    const auto r = collectWithoutService(true);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto entries = ktTest::readZip(archive(), 0);
    ASSERT_TRUE(entries);
    const std::vector<std::string> names = ktTest::zipNames(entries);
    for (const std::string& name : otherNames) {
        EXPECT_FALSE(has(names, fs::path(name).filename().string())) << name;
    }
    EXPECT_FALSE(has(names, "everyones.txt"));
    EXPECT_FALSE(has(names, "kt_log_mutex.lock"));
    // A capture or dump that adds nothing is no candidate; the others are skipped on opening.
    const std::string text = log();
    for (const std::string& left : {otherNames[0], otherNames[2], everyones}) {
        EXPECT_NE(text.find("Error opening " + left + " for reading, skipping"), std::string::npos)
            << left;
    }
    const ktTest::ZipEntry* old = findEntry(entries, "ktdebuglog_old.log");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->size, 20u << 20);
    EXPECT_TRUE(has(names, "ktdebuglog.log"));
    EXPECT_TRUE(has(names, "fits.pcap")) << "another name was counted";
    EXPECT_EQ(text.find("skipped file from log upload"), std::string::npos);
}

TEST_F(CollectTest, ALinkInTheCollectionFolderSaysNothingOfItsTarget)
{
    // Another account's link could point root at any path: whatever it leads to, the link
    // is left out with the same line, and neither its target's existence, kind nor size
    // shows in the log, in either form (the upload total included).
    const std::string secret = m_client.tree().root() + "/root-only";
    ktTest::writeAll(secret, std::string(1200000, 's'));
    ::chmod(secret.c_str(), 0600);
    const std::string folder = m_client.tree().root() + "/a-folder";
    fs::create_directories(folder);
    // A capture that fits beside the other files only while nothing is added to them.
    sparseFile(collection() + "/fits.pcap", 29000000);
    const std::string targets[] = {secret, m_client.tree().root() + "/missing", folder};
    std::optional<std::string> first;
    for (const std::string& target : targets) {
        SCOPED_TRACE(target);
        for (const char* name : {"/link.txt", "/link.pcap"}) {
            fs::remove(collection() + name);
            fs::create_symlink(target, collection() + name);
        }
        for (bool upload : {false, true}) {
            ktTest::writeAll(collection() + "/ktdebuglog.log", "");
            const auto r = collectWithoutService(upload);
            EXPECT_EQ(r.exitCode, 0) << r.err;
            const std::vector<std::string> names = ktTest::zipNames(ktTest::readZip(archive(), 0));
            EXPECT_FALSE(has(names, "link.txt"));
            EXPECT_FALSE(has(names, "link.pcap"));
            EXPECT_TRUE(has(names, "fits.pcap")) << "a link was sized";
            // The lines of the collection and the zip writer, which the main thread writes in
            // its own order, less their time stamps and process ids.
            std::string lines;
            std::istringstream in(log());
            for (std::string line; std::getline(in, line);) {
                const std::size_t info = line.find(" ", line.find(" t") + 1);
                if (line.find(" collectLogs.cpp:") != std::string::npos ||
                    line.find(" ktzip.cpp:") != std::string::npos) {
                    lines += line.substr(info) + "\n";
                }
            }
            EXPECT_EQ(log().find(target), std::string::npos) << lines;
            // One line for each link, and no other line names one.
            std::vector<std::string> aboutLinks;
            std::istringstream collected(lines);
            for (std::string line; std::getline(collected, line);) {
                if (line.find(collection() + "/link.") != std::string::npos) {
                    const std::size_t says = line.find(" Error opening ");
                    aboutLinks.push_back(says == std::string::npos ? line : line.substr(says));
                }
            }
            EXPECT_EQ(aboutLinks,
                      (std::vector<std::string>{
                          " Error opening " + collection() + "/link.pcap for reading, skipping",
                          " Error opening " + collection() + "/link.txt for reading, skipping"}));
            if (upload) {
                if (first) {
                    EXPECT_EQ(lines, *first) << "the log tells the links apart";
                } else {
                    first = lines;
                }
            }
        }
    }
}

TEST_F(CollectTest, AnotherAccountsFileAtTheArchivesNameInThePublicFolderIsKept)
{
    // Root's own earlier archive is replaced; whatever another account has at that name in
    // the public folder may be its only copy, and is moved aside, never deleted or replaced.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(account);
    const std::string archivePath = collection() + "/diag.zip";
    for (const bool accounts : {false, true}) {
        SCOPED_TRACE(accounts ? "another account's file" : "root's earlier archive");
        for (const std::string& name : namesIn(collection())) {
            fs::remove_all(collection() + "/" + name);
        }
        ktTest::writeAll(archivePath, "what was there");
        if (accounts) {
            ktTest::chownTo(archivePath, account);
        }
        ktTest::FakeService service;
        service.setReplier(ktTest::plausibleReply);
        const auto r = ktTest::runKtdiag(
            {"-o", "diag"},
            {{"KTDIAG_SERVICE_PORT", std::to_string(service.port())}, {"TMPDIR", m_tmp}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Successfully saved diagnostics to " + archivePath + "\n");
        EXPECT_TRUE(has(ktTest::zipNames(ktTest::readZip(archivePath)), "network-state.log"));
        const std::vector<std::string> kept =
            filesHolding(collection(), "what was there", archivePath);
        EXPECT_EQ(kept.size(), accounts ? 1u : 0u);
        if (accounts && kept.size() == 1) {
            EXPECT_EQ(fs::path(kept[0]).filename().string().rfind(".diag.zip.", 0), 0u) << kept[0];
            EXPECT_EQ(ownerOf(kept[0]), account.uid);
        }
    }
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
    // Lock files guard the client's data and are never collected.
    ktTest::writeAll(m_client.dataFolder() + "/ktinternal.json.lock", "");
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
    for (const char* never : {"not-listed.json", "kt_log_mutex.lock", "ktinternal.json.lock"}) {
        EXPECT_FALSE(has(names, never)) << never;
    }
    EXPECT_TRUE(fs::exists(collection() + "/kt_log_mutex.lock"));
}

// Every source of the list in one tree: the files named, the walks of the program-data,
// data and collection folders, and the decrypted copies last.
TEST_F(CollectTest, EachSourceOfTheListKeepsItsPlace)
{
    for (const char* name : {"ktuserconfig.json", "ktconfig.json", "dps.json",
                             "installereventcache.json", "ktuser.conf", "eventcache.json"}) {
        m_client.writeConfigFile(name, name);
    }
    fs::create_directories(m_client.configFolder() + "/certutil");
    m_client.writeConfigFile("certutil/certutil.json", "certutil.json");
    protectFile(m_client.configFolder() + "/sealed.json", "sealed in program data");
    ktTest::writeAll(m_client.dataFolder() + "/a.json", "a");
    protectFile(m_client.dataFolder() + "/data-sealed.json", "sealed in data");
    ktTest::writeAll(collection() + "/z-first.txt", "z");

    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const std::vector<std::string> expected = {
        "ktuserconfig.json", "ktconfig.json", "dps.json",        "installereventcache.json",
        "certutil.json",     "ktuser.conf",   "eventcache.json", "a.json",
        "SystemInfo.log",    "appInfo.log",   "ktdebuglog.log",  "network-state.log",
        "z-first.txt",       "sealed.json",   "data-sealed.json"};
    EXPECT_EQ(ktTest::zipNames(ktTest::readZip(archive())), expected);
}

TEST_F(CollectTest, ThePerUserFolderTakesThePlaceOfTheConfigurationFolder)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string folder = perUserFolderIn(home, account);
    // A status file that holds a status: read by the session's set-up, not rewritten.
    const std::string userConf = R"({"cache":{"userStatus":"false"},"note":"user's"})";
    const std::map<std::string, std::string> own = {{"ktuser.conf", userConf},
                                                    {"eventcache.json", "user's eventcache.json"},
                                                    {"own.json", "user's own.json"}};
    for (const auto& [name, text] : own) {
        ktTest::writeAll(folder + "/" + name, text);
        ktTest::chownTo(folder + "/" + name, account);
    }
    protectFile(folder + "/user-sealed.json", "sealed by the user");
    ktTest::chownTo(folder + "/user-sealed.json.enc", account);
    // The program-data folder's own forms are not the session's.
    m_client.writeConfigFile("ktuser.conf", "program data's");
    m_client.writeConfigFile("eventcache.json", "program data's");
    ktTest::writeAll(m_client.dataFolder() + "/a.json", "a");

    ASSERT_EQ(collectWithoutService().exitCode, 0);
    const auto entries = ktTest::readZip(archive());
    const std::vector<std::string> expected = {
        "ktuserconfig.json", "ktuser.conf",    "eventcache.json",
        "own.json",          "a.json",         "SystemInfo.log",
        "appInfo.log",       "ktdebuglog.log", "network-state.log",
        "user-sealed.json"};
    EXPECT_EQ(ktTest::zipNames(entries), expected);
    for (const char* name : {"ktuser.conf", "eventcache.json"}) {
        const ktTest::ZipEntry* e = findEntry(entries, name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->data, own.at(name));
    }
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
    // The finished archive stays under its hidden name beside it, which the console gives.
    const std::string lines =
        "Failed to save diagnostics to " + archive() + "\nThe finished archive is kept as ";
    ASSERT_EQ(r.out.rfind(lines, 0), 0u) << r.out;
    ASSERT_EQ(r.out.back(), '\n');
    const std::string keptPath = r.out.substr(lines.size(), r.out.size() - lines.size() - 1);
    EXPECT_EQ(keptPath.rfind(m_out + "/.diag.zip.", 0), 0u) << keptPath;
    EXPECT_TRUE(has(ktTest::zipNames(ktTest::readZip(keptPath)), "network-state.log"));
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

// Without a location, the tool's own user (as which the tool runs) has its folder in its
// application data; the session's set-up writes the status file there and nowhere else.
TEST_F(CollectTest, PerUserFoldersWithoutALocationUseTheUsersApplicationData)
{
    m_client.writeConfigFile("ktuserconfig.json",
                             R"({"ktUserConfig":{"enablePerUserConfig":"true"}})");
    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string folder = m_client.tree().appDataRoot() + "/Kestrani/Merivon";
    std::vector<std::string> written;
    for (const auto& e : fs::recursive_directory_iterator(m_client.tree().root())) {
        if (e.path().filename() == "ktuser.conf") {
            written.push_back(e.path().string());
        }
    }
    EXPECT_EQ(written, std::vector<std::string>{folder + "/ktuser.conf"});
    EXPECT_EQ(ktTest::readAll(folder + "/ktuser.conf"), ktTest::kDefaultUserConf);
    const auto entries = ktTest::readZip(archive());
    const ktTest::ZipEntry* e = findEntry(entries, "ktuser.conf");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data, ktTest::kDefaultUserConf);
}

// The tool's session is added to the configuration as a logon adds it, whether it is the
// console's or another, and then its folder is collected.
TEST_F(CollectTest, TheToolsSessionIsSetUpAndItsFolderCollected)
{
    KT_TEST_ACCOUNT_OR_SKIP(first);
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(second);
    const ktTest::ConsoleSession console(first.uid);
    // Session 2 is the second account's, not on the console.
    const std::string sessionTwo = console.folder() + "/2";
    ktTest::writeAll(sessionTwo, "UID=" + std::to_string(second.uid) +
                                     "\nSTATE=online\nCLASS=user\nACTIVE=0\n");
    ::chmod(sessionTwo.c_str(), 0644);
    // One location that names a folder in each account's home.
    const ktTest::AccountFolder firstHome(first);
    const ktTest::AccountFolder secondHome(second, fs::path(firstHome.path()).filename());
    const std::string firstFolder = perUserFolderIn(firstHome, first);
    const std::string secondFolder = userFolderIn(secondHome, second);
    for (const auto& [folder, account] :
         {std::pair(firstFolder, first), std::pair(secondFolder, second)}) {
        ktTest::writeAll(folder + "/" + account.name + ".json", account.name);
        ktTest::chownTo(folder + "/" + account.name + ".json", account);
    }

    struct Case {
        const char* session;
        const ktTest::TestAccount& user;
        const std::string& folder;      // the session's
        const std::string& otherFolder; // the other account's, left alone
        const ktTest::TestAccount& other;
    };
    const Case cases[] = {{"1", first, firstFolder, secondFolder, second},
                          {"2", second, secondFolder, firstFolder, first}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("session ") + c.session);
        for (const std::string& folder : {firstFolder, secondFolder}) {
            for (const char* made : {"ktuser.conf", "data", "download"}) {
                fs::remove(folder + "/" + made);
            }
        }
        fs::remove(collection() + "/ktdebuglog.log");

        const auto r = collect(false, m_closed.port(), {{"KTDIAG_SESSION_ID", c.session}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string text = log();
        const std::size_t added =
            text.find("Adding user config for sessId " + std::string(c.session));
        EXPECT_NE(added, std::string::npos) << text;
        EXPECT_NE(text.find("Set Last Logon", added), std::string::npos) << text;
        EXPECT_NE(
            text.find("sessId [" + std::string(c.session) + "] user config location: " + c.folder),
            std::string::npos)
            << text;

        // The session's folders and status file, made as its user.
        for (const char* made : {"data", "download", "ktuser.conf"}) {
            EXPECT_EQ(ownerOf(c.folder + "/" + made), c.user.uid) << made;
        }
        EXPECT_EQ(ktTest::readAll(c.folder + "/ktuser.conf"), ktTest::kDefaultUserConf);
        for (const char* made : {"data", "download", "ktuser.conf"}) {
            EXPECT_FALSE(fs::exists(c.otherFolder + "/" + made)) << made;
        }
        EXPECT_FALSE(fs::exists(m_client.configFolder() + "/ktuser.conf"));

        const auto entries = ktTest::readZip(archive());
        const ktTest::ZipEntry* conf = findEntry(entries, "ktuser.conf");
        ASSERT_NE(conf, nullptr);
        EXPECT_EQ(conf->data, ktTest::kDefaultUserConf);
        const std::vector<std::string> names = ktTest::zipNames(entries);
        EXPECT_TRUE(has(names, c.user.name + ".json"));
        EXPECT_FALSE(has(names, c.other.name + ".json"));
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

// The unfinished archive beside archivePath, once the zip writer made it.
bool unfinishedArchiveIn(const std::string& folder)
{
    for (const std::string& name : namesIn(folder)) {
        if (name.rfind(".diag.zip.", 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST_F(CollectTest, ThePerUserFolderHoldsOnlyWhatItsUserCouldRead)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    // A folder only root can read, with a Merivon folder of root's secrets.
    const std::string rootOnly = m_client.tree().root() + "/root-only";
    fs::create_directories(rootOnly + "/Merivon");
    for (const char* name : {"secret.json", "ktuser.conf"}) {
        ktTest::writeAll(rootOnly + "/Merivon/" + name, "root-only-marker");
        ::chmod((rootOnly + "/Merivon/" + name).c_str(), 0600);
    }
    ::chmod((rootOnly + "/Merivon").c_str(), 0700);
    ::chmod(rootOnly.c_str(), 0700);

    struct Case {
        const char* name;
        std::function<void(const std::string& kestrani)> make;
        std::vector<std::string> expected; // entries that only the user's folder gives
    };
    const auto userDir = [&](const std::string& path) {
        fs::create_directories(path);
        ktTest::chownTo(path, account);
    };
    const auto userFile = [&](const std::string& path, const std::string& data) {
        ktTest::writeAll(path, data);
        ktTest::chownTo(path, account);
    };
    const Case cases[] = {
        {"the per-user folder is a link",
         [&](const std::string& kestrani) {
             userDir(kestrani);
             fs::create_directory_symlink(rootOnly + "/Merivon", kestrani + "/Merivon");
         },
         {}},
        {"a folder on its path is a link",
         [&](const std::string& kestrani) { fs::create_directory_symlink(rootOnly, kestrani); },
         {}},
        {"a folder of the user's own",
         [&](const std::string& kestrani) {
             userDir(kestrani + "/Merivon");
             userFile(kestrani + "/Merivon/own.json", "user-marker");
             // A status the session's set-up reads and keeps.
             userFile(kestrani + "/Merivon/ktuser.conf",
                      R"({"cache":{"userStatus":"true"},"note":"user-conf-marker"})");
             ASSERT_TRUE(
                 CKTEncryptedFile(ktPlatform::toWide(kestrani + "/Merivon/sealed.json"), false)
                     .write("user-protected-marker"));
             ktTest::chownTo(kestrani + "/Merivon/sealed.json.enc", account);
             // Root's file in the user's folder, and links out of it, are not the user's.
             ktTest::writeAll(kestrani + "/Merivon/root-file.json", "root-only-marker");
             ::chmod((kestrani + "/Merivon/root-file.json").c_str(), 0600);
             fs::create_symlink(rootOnly + "/Merivon/secret.json",
                                kestrani + "/Merivon/eventcache.json");
         },
         {"ktuser.conf", "own.json", "sealed.json"}},
    };
    for (const Case& c : cases) {
        const ktTest::AccountFolder home(account);
        const std::string kestrani = home.path() + "/Kestrani";
        c.make(kestrani);
        m_client.writeUserConfig(R"({"ktUserConfig":{"enablePerUserConfig":"true",)"
                                 R"("configLocation":"%HOME%/)" +
                                 fs::path(home.path()).filename().string() +
                                 R"(/Kestrani/Merivon"}})");
        const auto r = collectWithoutService();
        EXPECT_EQ(r.exitCode, 0) << c.name << r.err;
        const auto entries = ktTest::readZip(archive());
        ASSERT_TRUE(entries) << c.name;
        std::vector<std::string> fromUser;
        for (const ktTest::ZipEntry& e : *entries) {
            EXPECT_EQ(e.data.find("root-only-marker"), std::string::npos) << c.name << e.name;
            if (e.name != "ktdebuglog.log" && e.data.find("user-") != std::string::npos) {
                fromUser.push_back(e.name);
            }
        }
        std::sort(fromUser.begin(), fromUser.end());
        EXPECT_EQ(fromUser, c.expected) << c.name;
        EXPECT_TRUE(fs::is_empty(m_tmp)) << c.name;
    }
}

TEST_F(CollectTest, AProtectedFileOfTheUserOverTheReadCapIsRefused)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string folder = perUserFolderIn(home, account);
    // Sealed and encoded, 13 MiB of text take more than the 16 MiB that any file is read to.
    const std::string big = folder + "/big.json";
    protectFile(big, "user-big-marker" + std::string(13u << 20, 'x'));
    ktTest::chownTo(big + ".enc", account);
    ASSERT_GT(fs::file_size(big + ".enc"), 16u << 20);
    protectFile(folder + "/small.json", "user-small-marker");
    ktTest::chownTo(folder + "/small.json.enc", account);

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> names = ktTest::zipNames(ktTest::readZip(archive(), 0));
    EXPECT_TRUE(has(names, "small.json"));
    EXPECT_FALSE(has(names, "big.json"));
    EXPECT_NE(log().find("Failed to read file = " + big), std::string::npos);
    EXPECT_TRUE(fs::is_empty(m_tmp));
}

TEST_F(CollectTest, AFolderItsUserMayNotListNamesNoneOfItsFiles)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::ConsoleSession session(account.uid);
    const ktTest::AccountFolder home(account);
    const std::string folder = perUserFolderIn(home, account);
    for (const char* name : {"unlisted-name.json", "ktuser.conf"}) {
        ktTest::writeAll(folder + "/" + name, "user-marker");
        ktTest::chownTo(folder + "/" + name, account);
    }
    // The user may open what they can name, but not list the folder; root could.
    ASSERT_EQ(::chmod(folder.c_str(), 0311), 0);

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto entries = ktTest::readZip(archive());
    ASSERT_TRUE(entries);
    EXPECT_TRUE(has(ktTest::zipNames(entries), "ktuser.conf"));
    for (const ktTest::ZipEntry& e : *entries) {
        EXPECT_NE(e.name, "unlisted-name.json");
        EXPECT_EQ(e.data.find("unlisted-name"), std::string::npos) << e.name;
    }
    const std::string text = log();
    EXPECT_NE(text.find("Failed to iterate " + folder), std::string::npos) << text;
    EXPECT_EQ(text.find("unlisted-name"), std::string::npos) << text;
}

TEST_F(CollectTest, AUserWhoCannotBeActedAsLeavesOutOnlyTheirFolder)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root acts as another account";
    }
    // The console session names an account that passwd does not know.
    const ktTest::ConsoleSession session(3999999);
    m_client.writeUserConfig(R"({"ktUserConfig":{"enablePerUserConfig":"true",)"
                             R"("configLocation":")" +
                             m_client.tree().root() + R"(/user/Merivon"}})");
    fs::create_directories(m_client.tree().root() + "/user/Merivon");
    ktTest::writeAll(m_client.tree().root() + "/user/Merivon/own.json", "user-marker");
    m_client.writeConfigFile("ktconfig.json", "{}");

    const auto r = collectWithoutService();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, saved());
    EXPECT_NE(log().find("[sessId 1] " + m_client.tree().root() +
                         "/user/Merivon is not used: its user cannot be acted as"),
              std::string::npos);
    // The session has the common folder: its status file is made and collected there, and
    // nothing is made in the user's.
    const auto entries = ktTest::readZip(archive());
    const std::vector<std::string> names = ktTest::zipNames(entries);
    EXPECT_TRUE(has(names, "ktconfig.json"));
    EXPECT_FALSE(has(names, "own.json"));
    EXPECT_EQ(ktTest::readAll(m_client.configFolder() + "/ktuser.conf"), ktTest::kDefaultUserConf);
    const ktTest::ZipEntry* conf = findEntry(entries, "ktuser.conf");
    ASSERT_NE(conf, nullptr);
    EXPECT_EQ(conf->data, ktTest::kDefaultUserConf);
    std::vector<std::string> inUsers;
    for (const auto& e : fs::recursive_directory_iterator(m_client.tree().root() + "/user")) {
        inUsers.push_back(fs::relative(e.path(), m_client.tree().root() + "/user").string());
    }
    std::sort(inUsers.begin(), inUsers.end());
    EXPECT_EQ(inUsers, (std::vector<std::string>{"Merivon", "Merivon/own.json"}));
}

TEST_F(CollectTest, AFilePlantedAtTheArchivePathDoesNotReceiveTheArchive)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    // The archive goes into a folder where every account may create files.
    ::chmod(m_client.tree().root().c_str(), 0755);
    ::chmod(m_out.c_str(), 01777);
    const std::string kept = m_out + "/kept";
    ktTest::FakeService service;
    service.setReplier(ktTest::plausibleReply);
    // The old archive is gone by the time the service is asked for its diagnostics: another
    // account puts a file of its own there, keeping a second name for it.
    service.setObserver([&](const ktTest::FakeMessage& m, const ktTest::FakeReply*) {
        if (m.id == 115) {
            ktTest::writeAll(archive(), "planted");
            ::chmod(archive().c_str(), 0666);
            ktTest::chownTo(archive(), account);
            ::link(archive().c_str(), kept.c_str());
        }
    });
    ktTest::writeAll(archive(), "old archive");

    const auto r = collect(false, service.port());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(fs::exists(kept)) << "the service was not asked";
    EXPECT_EQ(ktTest::readAll(kept), "planted");
    struct stat st {};
    ASSERT_EQ(::lstat(archive().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_TRUE(ktTest::readZip(archive()));
}

TEST_F(CollectTest, AFileThatKeepsGrowingGoesInAtItsSizeWhenOpened)
{
    const std::string growing = collection() + "/growing.log";
    ktTest::writeAll(growing, std::string(4096, 'x'));
    // Once the archive is being written, another process extends the file far faster than
    // any archive could take it in; the run must still end.
    std::atomic<bool> done{false};
    std::thread grower([&] {
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (!done && !unfinishedArchiveIn(m_out) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        while (!done && std::chrono::steady_clock::now() < until) {
            std::error_code ec;
            fs::resize_file(growing, fs::file_size(growing, ec) + (64u << 20), ec);
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const auto r = collectWithoutService();
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    grower.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_LT(took, 20s);
    const auto entries = ktTest::readZip(archive(), 0);
    const ktTest::ZipEntry* e = findEntry(entries, "growing.log");
    ASSERT_NE(e, nullptr);
    EXPECT_GE(e->size, 4096u);
    EXPECT_LE(e->size, fs::file_size(growing));
}

TEST_F(CollectTest, AnInterruptedCollectionLeavesNoCopiesAndNoUnfinishedArchive)
{
    m_client.writeClientConfig(R"({"clientConfig":{"secret":"plain-config-marker"}})", true);
    // Holes deflate quickly but not at once: the archive is still being written when the
    // signal comes.
    sparseFile(collection() + "/huge.dmp", 64ull << 30);
    std::atomic<int> pid{0};
    std::atomic<bool> copiesSeen{false};
    std::atomic<bool> signalled{false};
    std::thread killer([&] {
        const auto until = std::chrono::steady_clock::now() + 50s;
        while (std::chrono::steady_clock::now() < until) {
            if (pid != 0 && unfinishedArchiveIn(m_out)) {
                copiesSeen = !fs::is_empty(m_tmp);
                signalled = ::kill(pid, SIGTERM) == 0;
                return;
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto r = collectWithoutService(false, [&](int child) { pid = child; });
    killer.join();
    ASSERT_TRUE(signalled) << "the archive was never seen being written: " << r.out;
    EXPECT_TRUE(copiesSeen);
    EXPECT_EQ(r.signal, SIGTERM) << r.exitCode << r.out << r.err;
    EXPECT_EQ(namesIn(m_out), std::vector<std::string>{});
    EXPECT_EQ(namesIn(m_tmp), std::vector<std::string>{});
    fs::remove(collection() + "/huge.dmp");
    EXPECT_EQ(filesHolding(m_client.tree().root(), "plain-config-marker", ""),
              std::vector<std::string>{});
}

// A double Ctrl-C, or a time-out that signals the process and then its group: whatever
// follows the first signal, the run cleans up and ends by that first signal.
TEST_F(CollectTest, SignalsInQuickSuccessionStillCleanUpAndEndByTheFirst)
{
    struct Case {
        int first;
        int second;                    // 0: none
        std::chrono::milliseconds gap; // after the clean-up began
    };
    const Case cases[] = {
        {SIGINT, SIGINT, 0ms},  {SIGTERM, SIGTERM, 0ms}, {SIGTERM, SIGINT, 0ms},
        {SIGINT, SIGQUIT, 0ms}, {SIGHUP, SIGTERM, 2ms},  {SIGQUIT, 0, 0ms},
    };
    // Each pair races the clean-up differently from run to run.
    constexpr int kRuns = 3;
    const ktTest::NoCoreDumps noCores;
    m_client.writeClientConfig(R"({"clientConfig":{"secret":"plain-config-marker"}})", true);
    sparseFile(collection() + "/huge.dmp", 64ull << 30);
    for (const Case& c : cases) {
        for (int run = 0; run < kRuns; ++run) {
            SCOPED_TRACE(std::string(strsignal(c.first)) + " then " +
                         (c.second != 0 ? strsignal(c.second) : "nothing") + ", run " +
                         std::to_string(run));
            std::atomic<int> pid{0};
            std::atomic<bool> signalled{false};
            std::thread killer([&] {
                const auto until = std::chrono::steady_clock::now() + 50s;
                while (std::chrono::steady_clock::now() < until) {
                    if (pid != 0 && unfinishedArchiveIn(m_out) && !fs::is_empty(m_tmp)) {
                        signalled = ::kill(pid, c.first) == 0;
                        if (c.second != 0) {
                            ktTest::waitUntilCleanUpBegan(pid, [&] {
                                return !unfinishedArchiveIn(m_out) || fs::is_empty(m_tmp);
                            });
                            std::this_thread::sleep_for(c.gap);
                            ::kill(pid, c.second); // the run may be over already
                        }
                        return;
                    }
                    std::this_thread::sleep_for(1ms);
                }
            });
            const auto r = collectWithoutService(false, [&](int child) { pid = child; });
            killer.join();
            ASSERT_TRUE(signalled) << "the archive was never seen being written: " << r.out;
#if defined(__SANITIZE_THREAD__)
            // The thread sanitizer takes both signals itself and hands them on later, the
            // lower-numbered first, so which came first is not the program's to see there.
            EXPECT_TRUE(r.signal == c.first || (c.second != 0 && r.signal == c.second))
                << r.signal << " " << r.exitCode << r.out << r.err;
#else
            EXPECT_EQ(r.signal, c.first) << r.exitCode << r.out << r.err;
#endif
            EXPECT_EQ(namesIn(m_out), std::vector<std::string>{});
            EXPECT_EQ(namesIn(m_tmp), std::vector<std::string>{});
            // Leftovers would make the next run's signal come early.
            for (const std::string& folder : {m_out, m_tmp}) {
                for (const auto& e : fs::directory_iterator(folder)) {
                    fs::remove_all(e.path());
                }
            }
        }
    }
    fs::remove(collection() + "/huge.dmp");
    EXPECT_EQ(filesHolding(m_client.tree().root(), "plain-config-marker", ""),
              std::vector<std::string>{});
}

} // namespace
