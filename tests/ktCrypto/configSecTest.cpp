#include "ktCrypto/ktConfigSec.h"

#include "ktCrypto/ktEncryptedFile.h"
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
    // Each file holds a usable form: a protected one for names ending in ".enc", JSON text
    // for the others.
    void make(const std::set<std::string>& names) const
    {
        for (const std::string& name : names) {
            fs::create_directories(fs::path(path(name)).parent_path());
            const std::string json = "{\"name\":\"" + name + "\"}";
            const std::string suffix = ".enc";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                const std::string plain = path(name.substr(0, name.size() - suffix.size()));
                ASSERT_TRUE(CKTEncryptedFile(wide(plain), false).write(json)) << name;
            } else {
                ktTest::writeAll(path(name), json);
            }
        }
    }

    ktTest::TempDir m_dir;
    ktTest::TempDir m_keyDir;
    ktTest::ScopedEnv m_keys;
};

TEST_F(ConfigSec, CleanFolderRemovesOnlyStaleFormsWhoseCounterpartIsUsable)
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
        // Spoilt below: a protected form that does not decrypt, one that is empty, a plain
        // form that is not JSON.
        "data/x.json",
        "data/x.json.enc",
        "data/y.json",
        "data/y.json.enc",
        "data/z.json",
        "data/z.json.enc",
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
          "download/h.json", "data/y.json"}},
        {"plain mode, session 0",
         false,
         "0",
         {"data/a.json.enc", "data/b.pem.enc", "data/d.txt.enc", "data/ktinternal.json.enc",
          "data/ktpubkey.pem.enc", "data/KTINTERNAL.json.enc", "data/f.JSON.enc",
          "data/sub/deeper/g.json.enc", "download/h.json.enc", "data/x.json.enc",
          "data/z.json.enc"}},
        {"protected mode, session 1", true, "1", {}},
        {"plain mode, session 1", false, "1", {}},
        {"session unknown", true, "not-a-session", {}},
    };
    for (const Case& c : cases) {
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        make(tree);
        ktTest::writeAll(path("data/x.json.enc"), "bm90IGEgYmxvYg==");
        ktTest::writeAll(path("data/y.json"), "{\"cut\": ");
        ktTest::writeAll(path("data/z.json.enc"), "");
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
        if (c.encrypted && std::string(c.session) == "0") {
            EXPECT_TRUE(ktTest::logHas("Keeping " + path("data/x.json") + ": " +
                                       path("data/x.json.enc") + " could not be read"));
        }
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
    // The machine key is readable by every account, as machine scope is.
    fs::permissions(m_keyDir.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
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

TEST_F(ConfigSec, TheSingleFileIsRemovedOnlyBesideAUsableFormInEverySession)
{
    // What stands at ktconfig.json and at ktconfig.json.enc.
    enum Form { none, valid, empty, garbage, notJson };
    struct Case {
        const char* name;
        bool encrypted;
        Form plain;
        Form sealed;
        std::set<std::string> after;
    };
    const std::set<std::string> both = {"ktconfig.json", "ktconfig.json.enc"};
    const Case cases[] = {
        {"plain mode removes the protected form", false, valid, valid, {"ktconfig.json"}},
        {"plain mode keeps a protected form that is the only copy",
         false,
         none,
         valid,
         {"ktconfig.json.enc"}},
        {"plain mode keeps it beside an empty plain form", false, empty, valid, both},
        {"plain mode keeps it beside a plain form that is not JSON", false, notJson, valid, both},
        {"protected mode removes the plain form", true, valid, valid, {"ktconfig.json.enc"}},
        {"protected mode keeps a plain file that is the only copy",
         true,
         valid,
         none,
         {"ktconfig.json"}},
        {"protected mode keeps it beside an empty protected form", true, valid, empty, both},
        {"protected mode keeps it beside one that does not decrypt", true, valid, garbage, both},
        {"protected mode keeps it beside one that protects no JSON", true, valid, notJson, both},
        {"nothing there", true, none, none, {}},
    };
    const std::string file = path("ktconfig.json");
    ktTest::ScopedEnv session("KTDIAG_SESSION_ID", std::string("1"));
    for (const Case& c : cases) {
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        const auto text = [](Form form) {
            return form == valid     ? std::string("{\"clientConfig\":{}}")
                   : form == notJson ? std::string("{\"clientConfig\": ")
                                     : std::string();
        };
        if (c.plain != none) {
            ktTest::writeAll(file, text(c.plain));
        }
        if (c.sealed == garbage) {
            ktTest::writeAll(file + ".enc", "bm90IGEgYmxvYg==");
        } else if (c.sealed == empty) {
            ktTest::writeAll(file + ".enc", "");
        } else if (c.sealed != none) {
            // Written to a twin and moved in place, so the plain file stays as it is.
            const std::string twin = path("twin.json");
            ASSERT_TRUE(CKTEncryptedFile(wide(twin), false).write(text(c.sealed)));
            fs::rename(twin + ".enc", file + ".enc");
        }
        ktTest::clearLog();
        ktConfigSec sec;
        sec.apply(c.encrypted, wide(file), {});
        EXPECT_EQ(filesBelow(m_dir.path()), c.after) << c.name;
        EXPECT_EQ(ktTest::logHas(" could not be read"), c.after == both) << c.name;
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
