// The real binary against client files that another account or a failing service left
// behind: configuration forms that cannot be read, files far too large to read, a log lock
// held by someone else, names and values planted to forge log lines. The run ends normally
// and nothing is lost.

#include "ktTest/clientTree.h"
#include "ktTest/fakePrograms.h"
#include "ktTest/fakeService.h"
#include "ktTest/runner.h"
#include "ktTest/testAccount.h"

#include "ktUtils/fileUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The first of the 14 status lines that -f prints once the service answered.
const char* const kStatusStart = "Orgname:: Org One.\n";

class LocalFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_client.writeClientConfig(R"({"clientConfig":{"configurationName":"Branch"}})");
        m_client.writeBranding(ktTest::ClientTree::brandingJson());
    }

    ktTest::RunResult run(const std::vector<std::string>& args)
    {
        ktTest::FakeService fake;
        fake.setReplier(ktTest::plausibleReply);
        ktTest::RunResult r =
            ktTest::runKtdiag(args, {{"KTDIAG_SERVICE_PORT", std::to_string(fake.port())}});
        EXPECT_TRUE(fake.waitForClientGone(5s));
        return r;
    }

    std::string log() const
    {
        return ktTest::readAll(m_client.tree().publicFolder() + "/ktdebuglog.log");
    }
    bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }

    ktTest::ClientTree m_client;
};

TEST_F(LocalFilesTest, APlainConfigurationBesideAProtectedFormThatCannotBeReadIsKept)
{
    const std::string plain = m_client.configFilePath();
    const std::string sealed = plain + ".enc";
    const std::string plainText = ktTest::readAll(plain);
    for (const std::string& stored : {std::string(), std::string("bm90IGEgYmxvYg==")}) {
        SCOPED_TRACE(stored.empty() ? "empty" : "garbage");
        ktTest::writeAll(sealed, stored);
        const ktTest::RunResult r = run({"-f"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(ktTest::readAll(plain), plainText);
        EXPECT_TRUE(fs::exists(sealed));
        EXPECT_EQ(ktTest::readAll(sealed), stored);
        EXPECT_TRUE(logHas("Invalid decryption of protected file: " + sealed));
    }
}

TEST_F(LocalFilesTest, FilesLargerThanTheCapAreRefusedAndTheRunEndsNormally)
{
    const std::string config = m_client.configFolder();
    const std::string data = m_client.dataFolder();
    const std::uint64_t over = kMaxReadFileSize + 1;
    struct Case {
        std::string path;
        std::uint64_t size;
        std::string logged;
    };
    const Case cases[] = {
        {config + "/ktuserconfig.json", over, ""},
        {config + "/ktconfig.json", over, ""},
        {config + "/ktconfig.json.enc", over, ""},
        {config + "/devconfig.json", over, ""},
        {config + "/ktidpconfig.json", over, ""},
        {config + "/ktbranding.json", over, ""},
        {config + "/ktuser.conf", over, ""},
        {data + "/ktinternal.json", over, ""},
        {data + "/ktsteering.json", over, ""},
        {data + "/ktbypass.json", over, ""},
        {data + "/ktdeviceid.json", over, ""},
        {config + "/ktconfig.json", 1ull << 40, ""},
        // The event cache has a cap of its own, far below.
        {config + "/eventcache.json", over, config + "/eventcache.json is larger than "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " of " + std::to_string(c.size) + " bytes");
        SetUp();
        if (c.path == config + "/ktconfig.json.enc") {
            fs::remove(config + "/ktconfig.json");
        }
        ktTest::writeAll(c.path, "");
        fs::resize_file(c.path, c.size); // sparse: no disk is used
        ktTest::writeAll(m_client.tree().publicFolder() + "/ktdebuglog.log", "");

        const ktTest::RunResult r = run({"-f"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("Orgname:: ", 0), 0u) << r.out;
        const std::string logged =
            c.logged.empty()
                ? "file " + c.path + " is too large to read: " + std::to_string(c.size) + " bytes"
                : c.logged;
        EXPECT_TRUE(logHas(logged)) << log();
        EXPECT_EQ(fs::file_size(c.path), c.size) << "never changed";
        fs::remove(c.path);
    }
}

TEST_F(LocalFilesTest, AHeldLogLockCostsOneWaitPerRun)
{
    // Any account may hold the log lock: lines wait once, then go in without it.
    const std::string lock = m_client.tree().publicFolder() + "/kt_log_mutex.lock";
    fs::create_directories(m_client.tree().publicFolder());
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    const ktTest::RunResult r = run({"-f"});
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(fd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind(kStatusStart, 0), 0u) << r.out;
    EXPECT_GE(took, 5s);
    EXPECT_LT(took, 15s) << "each line waited";
    EXPECT_TRUE(logHas("Client config is validated"));
}

TEST_F(LocalFilesTest, APublicFolderAnotherAccountMadeOrOwnsIsNotUsed)
{
    // Every account may write in $PUBLIC: a link or folder made there at the public folder's
    // name could lead root's log wherever that account chose. The log is then off, and says
    // so once.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const std::string folder = m_client.tree().publicFolder();
    const std::string target = m_client.tree().root() + "/roots";
    enum class Kind { accountsLink, rootsLink, accountsFolder };
    struct Case {
        const char* what;
        Kind kind;
        bool used;
    };
    const Case cases[] = {
        {"a link of another account's to root's folder", Kind::accountsLink, false},
        {"a link of root's", Kind::rootsLink, true},
        {"another account's folder", Kind::accountsFolder, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::remove_all(target);
        fs::create_directories(m_client.tree().publicRoot());
        fs::create_directory(target);
        if (c.kind == Kind::accountsFolder) {
            fs::create_directory(folder);
            ktTest::chownTo(folder, account);
        } else {
            fs::create_symlink(target, folder);
            if (c.kind == Kind::accountsLink) {
                ktTest::chownTo(folder, account);
            }
        }
        const ktTest::RunResult r = run({"-f"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.rfind(kStatusStart, 0), 0u) << r.out;
        if (c.used) {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(
                ktTest::readAll(target + "/ktdebuglog.log").find("Client config is validated"),
                std::string::npos);
        } else {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find("Log off: " + folder + " "), std::string::npos) << r.err;
            EXPECT_TRUE(fs::is_empty(c.kind == Kind::accountsFolder ? folder : target))
                << "written through it";
        }
    }
    fs::remove_all(folder);
}

TEST_F(LocalFilesTest, ThePublicFolderAndTheLogAreSharedWithEveryAccount)
{
    // As an earlier version left them: made by root with the usual umask.
    const std::string folder = m_client.tree().publicFolder();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0755));
    ktTest::writeAll(folder + "/ktdebuglog.log", "");
    fs::permissions(folder + "/ktdebuglog.log", fs::perms(0644));
    const ktTest::RunResult r = ktTest::runKtdiag({"-v"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    for (const char* name : {"/ktdebuglog.log", "/kt_log_mutex.lock"}) {
        ASSERT_EQ(::lstat((folder + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0666u) << name;
    }
}

TEST_F(LocalFilesTest, PlantedNamesAndUserValuesReachTheLogEscaped)
{
    // What another account can plant: a line end that would start a forged line (a file
    // name holds no "/", so no time stamp), and a terminal escape.
    const std::string planted = "planted\nktdiag p1 t1 critical forged \x1b[31mred";
    const std::string json = R"(planted\nktdiag p1 t1 critical forged \u001b[31mred)";
    const std::string escaped = "planted\\nktdiag p1 t1 critical forged \\x1B[31mred";
    const std::string folder = m_client.tree().publicFolder();
    const std::string out = m_client.tree().root() + "/out";
    fs::create_directories(folder);
    fs::create_directories(out);
    const ktTest::FakePrograms programs(true);
    // A name in the public folder, which the collection walks; the link leads nowhere.
    fs::create_symlink(m_client.tree().root() + "/nothing", folder + "/" + planted);
    // A raw 8-bit control-sequence introducer, outside UTF-8.
    const std::string csi = std::string("csi \x9b") + "2J";
    fs::create_symlink(m_client.tree().root() + "/nothing", folder + "/" + csi);
    // A value of the user configuration, which the session's user can write.
    m_client.writeConfigFile("ktuser.conf", R"({"cache":{"tunnelId":")" + json + R"("}})");

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {{"-o", out + "/diag.zip"},
         {"Error opening " + folder + "/" + escaped + " for reading, skipping",
          "Error opening " + folder + "/csi \\x9B2J for reading, skipping"}},
        {{"-f"}, {"[sessId 1] TunnelID: " + escaped}},
    };
    const std::regex wholeLine(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ktdiag p[0-9a-f]+ )"
                               R"(t[0-9a-f]+ [a-z]+ [^ ]+:\d+ [^ ]+ [^\x00-\x1f\x7f]*)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ktTest::writeAll(folder + "/ktdebuglog.log", "");
        const ktTest::RunResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string text = log();
        for (const std::string& line : c.logged) {
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            ASSERT_TRUE(std::regex_match(line, wholeLine)) << line;
        }
    }
}

} // namespace
