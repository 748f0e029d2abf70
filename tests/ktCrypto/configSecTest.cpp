#include "ktCrypto/ktConfigSec.h"

#include "ktPlatform/strings.h"
#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::wstring wide(const std::string& s)
{
    return ktPlatform::toWide(s);
}

// Every regular file below root, relative, links not followed.
std::set<std::string> filesBelow(const std::string& root)
{
    std::set<std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file() && !e.is_symlink()) {
            files.insert(fs::relative(e.path(), root).string());
        }
    }
    return files;
}

class ConfigSec : public ::testing::Test {
protected:
    ConfigSec() : m_keys("KTDIAG_DPAPI_KEY_DIR", m_keyDir.path()) {}
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }
    void make(const std::set<std::string>& names) const
    {
        for (const std::string& name : names) {
            fs::create_directories(fs::path(path(name)).parent_path());
            ktTest::writeAll(path(name), name);
        }
    }

    ktTest::TempDir m_dir;
    ktTest::TempDir m_keyDir;
    ktTest::ScopedEnv m_keys;
};

TEST_F(ConfigSec, CleanFolderRemovesOnlyStaleFormsWhoseCounterpartExists)
{
    const std::set<std::string> tree = {
        "data/a.json",
        "data/a.json.enc",
        "data/b.pem",
        "data/b.pem.enc",
        "data/c.p12",
        "data/d.txt",
        "data/d.txt.enc",
        "data/ktinternal.json",
        "data/ktinternal.json.enc",
        "data/ktpubkey.pem",
        "data/ktpubkey.pem.enc",
        "data/certutil.json",
        "data/e.json.enc",
        "data/KTINTERNAL.json",
        "data/KTINTERNAL.json.enc",
        "data/f.JSON",
        "data/f.JSON.enc",
        "data/sub/deeper/g.json",
        "data/sub/deeper/g.json.enc",
        "download/h.json",
        "download/h.json.enc",
        "outside/i.json",
        "outside/i.json.enc",
    };
    struct Case {
        const char* name;
        bool encrypted;
        const char* session;
        std::set<std::string> removed;
    };
    const Case cases[] = {
        {"protected mode, session 0",
         true,
         "0",
         {"data/a.json", "data/b.pem", "data/KTINTERNAL.json", "data/sub/deeper/g.json",
          "download/h.json"}},
        {"plain mode, session 0",
         false,
         "0",
         {"data/a.json.enc", "data/b.pem.enc", "data/d.txt.enc", "data/ktinternal.json.enc",
          "data/ktpubkey.pem.enc", "data/KTINTERNAL.json.enc", "data/f.JSON.enc",
          "data/sub/deeper/g.json.enc", "download/h.json.enc"}},
        {"protected mode, session 1", true, "1", {}},
        {"plain mode, session 1", false, "1", {}},
        {"session unknown", true, "not-a-session", {}},
    };
    for (const Case& c : cases) {
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        make(tree);
        // A link to a folder is not followed.
        fs::create_directory_symlink(path("outside"), path("data/linked"));
        ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string(c.session));
        ktTest::clearLog();

        ktConfigSec sec;
        sec.apply(c.encrypted, L"", {wide(path("data")), wide(path("download")), L""});

        EXPECT_EQ(sec.encrypted(), c.encrypted) << c.name;
        std::set<std::string> expected;
        for (const std::string& name : tree) {
            if (c.removed.count(name) == 0) {
                expected.insert(name);
            }
        }
        EXPECT_EQ(filesBelow(m_dir.path()), expected) << c.name;
        EXPECT_EQ(ktTest::logHas("ProcessIdToSessionId failed 22"),
                  std::string(c.session) == "not-a-session")
            << c.name;
    }
}

TEST_F(ConfigSec, FoldersThatAreNoFoldersAreSkipped)
{
    make({"file.json"});
    ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string("0"));
    ktTest::clearLog();
    ktConfigSec sec;
    sec.apply(false, L"", {wide(path("missing")), wide(path("file.json"))});
    EXPECT_EQ(filesBelow(m_dir.path()), std::set<std::string>{"file.json"});
    EXPECT_FALSE(ktTest::logHas(" error ")) << ktTest::logText();
}

TEST_F(ConfigSec, AFolderThatCannotBeWalkedIsLoggedAndTheOthersAreCleaned)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a folder only another account can read needs root";
    }
    make({"data/a.json", "data/a.json.enc", "data/locked/x.json", "download/b.json",
          "download/b.json.enc"});
    fs::permissions(m_dir.path(), fs::perms::all);
    fs::permissions(path("data"), fs::perms::all);
    fs::permissions(path("download"), fs::perms::all);
    fs::permissions(path("data/locked"), fs::perms::owner_all);
    ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string("0"));
    ktTest::clearLog();
    ktPlatform::Token nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    {
        ktPlatform::ThreadImpersonation as;
        ASSERT_TRUE(as.begin(nobody));
        ktConfigSec sec;
        sec.apply(true, L"", {wide(path("data")), wide(path("download"))});
    }
    EXPECT_TRUE(ktTest::logHas("Failed to clean " + path("data"))) << ktTest::logText();
    EXPECT_EQ(filesBelow(m_dir.path()),
              (std::set<std::string>{"data/a.json", "data/a.json.enc", "data/locked/x.json",
                                     "download/b.json.enc"}));
}

TEST_F(ConfigSec, TheSingleFileFollowsTheCounterpartRuleInEverySession)
{
    struct Case {
        const char* name;
        bool encrypted;
        std::set<std::string> before;
        std::set<std::string> after;
    };
    const Case cases[] = {
        {"plain mode removes the protected form",
         false,
         {"ktconfig.json", "ktconfig.json.enc"},
         {"ktconfig.json"}},
        {"plain mode keeps a protected form that is the only copy",
         false,
         {"ktconfig.json.enc"},
         {"ktconfig.json.enc"}},
        {"protected mode removes the plain form",
         true,
         {"ktconfig.json", "ktconfig.json.enc"},
         {"ktconfig.json.enc"}},
        {"protected mode keeps a plain file that is the only copy",
         true,
         {"ktconfig.json"},
         {"ktconfig.json"}},
        {"nothing there", true, {}, {}},
    };
    ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string("1"));
    for (const Case& c : cases) {
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        make(c.before);
        ktConfigSec sec;
        sec.apply(c.encrypted, wide(path("ktconfig.json")), {});
        EXPECT_EQ(filesBelow(m_dir.path()), c.after) << c.name;
    }
}

TEST_F(ConfigSec, ReadsAndWritesTheFormOfTheMode)
{
    const std::string file = path("ktconfig.json");
    ktConfigSec sec;
    EXPECT_FALSE(sec.encrypted());
    EXPECT_EQ(sec.encryptedFileName(wide(file)), wide(file));
    ASSERT_TRUE(sec.writeFile(wide(file), "plain"));
    EXPECT_EQ(ktTest::readAll(file), "plain");
    std::string data;
    ASSERT_TRUE(sec.readFile(file, data));
    EXPECT_EQ(data, "plain");

    sec.apply(true, L"", {});
    EXPECT_EQ(sec.encryptedFileName(wide(file)), wide(file + ".enc"));
    EXPECT_FALSE(sec.readFile(wide(file), data)) << "no fallback to the plain form";
    ASSERT_TRUE(sec.writeFile(file, "secret"));
    EXPECT_EQ(ktTest::readAll(file), "plain") << "the plain file is not touched";
    ASSERT_TRUE(sec.readFile(wide(file), data));
    EXPECT_EQ(data, std::string("secret\0", 7));

    // Narrow and wide paths name the same file, non-ASCII names included.
    const std::string other = path("\xc3\xa9t\xc3\xa9.json");
    ASSERT_TRUE(sec.writeFile(other, "x"));
    ASSERT_TRUE(sec.readFile(wide(other), data));
    EXPECT_EQ(data, std::string("x\0", 2));
    EXPECT_TRUE(fs::exists(other + ".enc"));

    sec.apply(false, L"", {});
    ASSERT_TRUE(sec.readFile(wide(file), data));
    EXPECT_EQ(data, "plain") << "the protected form is never looked at";
    fs::remove(file);
    EXPECT_FALSE(sec.readFile(file, data));
}

} // namespace
