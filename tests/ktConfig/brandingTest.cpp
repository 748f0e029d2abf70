// The branding file: plain and protected forms, the conversion of a plain file that asks for
// protection, its two layouts, and what a file that cannot be used leaves in place.

#include "ktConfig/branding.h"
#include "configInternal.h"

#include "ktCrypto/ktEncryptedFile.h"
#include "ktPlatform/strings.h"
#include "ktRestApi/addonmanapi.h"
#include "ktTest/clientTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace fs = std::filesystem;
using ktPlatform::toWide;
using ktTest::ClientTree;
using ktTest::logHas;

namespace {

class BrandingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::clearLog();
        ASSERT_TRUE(m_config.initConfigLocation());
        m_session.m_location = m_config.m_configLocation;
    }

    std::string plainPath() const { return m_tree.configFolder() + "/ktbranding.json"; }
    std::string protectedPath() const { return plainPath() + ".enc"; }
    // The protected form's plaintext without its final zero byte; empty when unreadable.
    std::string readProtected(bool userScope) const
    {
        CKTEncryptedFile file(toWide(plainPath()), userScope);
        std::string data;
        if (!file.read(data) || data.empty() || data.back() != '\0') {
            return std::string();
        }
        data.pop_back();
        return data;
    }

    ClientTree m_tree;
    Config::Impl m_config;
    CUserConfig m_session;
};

const std::string kAsksForProtection =
    R"({"encryptbranding":"true","UserKey":"uk-2","OrgKey":"ok-2","OrgName":"Two",)"
    R"("AddonManagerHost":"addon.two","AddonCheckerHost":"checker.two"})";

} // namespace

TEST_F(BrandingTest, APlainFileIsReadWithEveryValue)
{
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.readBranding(m_session));
    const BrandingValues& b = m_config.branding();
    EXPECT_EQ(b.userKey, "uk-1");
    EXPECT_EQ(b.orgKey, "ok-1");
    EXPECT_EQ(b.orgName, "Org One");
    EXPECT_EQ(b.addonManagerHost, "addon.branded.test");
    EXPECT_EQ(b.addonCheckerHost, "checker.branded.test");
    EXPECT_EQ(b.sfCheckerHost, "sf.branded.test");
    EXPECT_EQ(b.sfCheckerIP, "10.1.1.1");
    EXPECT_EQ(b.userEmail, "user@branded.test");
    EXPECT_EQ(m_session.m_userKey, "uk-1");
    EXPECT_EQ(m_session.m_userEmail, "user@branded.test");
    EXPECT_TRUE(m_session.m_brandingRead);
    EXPECT_EQ(m_config.addonManApi()->addonHost(), "addon.branded.test");
    EXPECT_TRUE(logHas("Read branding file successfully: " + plainPath()));
    // Never asked for protection: stays plain.
    EXPECT_FALSE(fs::exists(protectedPath()));
    EXPECT_EQ(ktTest::readAll(plainPath()), ClientTree::brandingJson());
}

TEST_F(BrandingTest, APlainFileThatAsksForProtectionIsConverted)
{
    m_tree.writeBranding(kAsksForProtection);
    ASSERT_TRUE(m_config.readBranding(m_session));
    EXPECT_EQ(m_config.branding().userKey, "uk-2");
    EXPECT_FALSE(fs::exists(plainPath()));
    EXPECT_EQ(readProtected(false), kAsksForProtection);
    EXPECT_TRUE(logHas("encrypting branding file, " + plainPath()));
    EXPECT_TRUE(logHas("deleting old branding file, " + plainPath()));

    // The next read takes the protected form.
    Config::Impl again;
    ASSERT_TRUE(again.initConfigLocation());
    CUserConfig session;
    session.m_location = again.m_configLocation;
    ASSERT_TRUE(again.readBranding(session));
    EXPECT_EQ(again.branding().orgName, "Two");
}

TEST_F(BrandingTest, TheProtectedFormIsNoMoreOpenThanThePlainFile)
{
    // With no mask a new file would be open to every account.
    struct NoMask {
        ::mode_t saved = ::umask(0);
        ~NoMask() { ::umask(saved); }
    } noMask;
    for (const fs::perms mode :
         {fs::perms::owner_read | fs::perms::owner_write,
          fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read}) {
        fs::remove(protectedPath());
        m_tree.writeBranding(kAsksForProtection);
        fs::permissions(plainPath(), mode);
        ASSERT_TRUE(m_config.readBranding(m_session));
        ASSERT_FALSE(fs::exists(plainPath()));
        EXPECT_EQ(fs::status(protectedPath()).permissions() & fs::perms::all, mode);
    }
}

TEST_F(BrandingTest, WithPerUserFoldersTheConversionIsInTheUsersScope)
{
    m_tree.writeUserConfig(R"({"ktUserConfig":{"enablePerUserConfig":"true",
        "configLocation":")" +
                           m_tree.configFolder() + R"("}})");
    ASSERT_TRUE(m_config.initConfigLocation());
    m_tree.writeBranding(kAsksForProtection);
    ASSERT_TRUE(m_config.readBranding(m_session));
    EXPECT_EQ(readProtected(true), kAsksForProtection);
    EXPECT_EQ(readProtected(false), "");
}

TEST_F(BrandingTest, BothFormsPresentTheProtectedOneIsReadAndThePlainOneKept)
{
    m_tree.writeBranding(kAsksForProtection, true);
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.readBranding(m_session));
    EXPECT_EQ(m_config.branding().userKey, "uk-2");
    EXPECT_EQ(ktTest::readAll(plainPath()), ClientTree::brandingJson());
    EXPECT_TRUE(logHas("Encrypted file in place: " + protectedPath()));
}

TEST_F(BrandingTest, TheMachineScopeDoesNotReadAUserScopeFile)
{
    m_tree.writeBranding(ClientTree::brandingJson(), true, true);
    EXPECT_FALSE(m_config.readBranding(m_session));
    EXPECT_TRUE(logHas("Failed to read branding file " + plainPath()));
    EXPECT_EQ(m_config.branding().userKey, "");
    EXPECT_TRUE(fs::exists(protectedPath()));
}

TEST(BrandingEncryption, TheTrueMustFollowTheWordClosely)
{
    ktTest::TempDir dir;
    const std::wstring path = toWide(dir.path() + "/ktbranding.json");
    const struct {
        const char* text;
        bool asks;
    } cases[] = {
        {R"({"encryptbranding":true})", true},       // 2 characters between
        {R"({"encryptbranding": true})", true},      // 3
        {R"({"encryptbranding" : "true"})", true},   // 5
        {R"({"encryptbranding"  : "true"})", false}, // 6
        {R"({"EncryptBranding":"TRUE"})", true},     // letter case does not matter
        {R"({"encryptbranding":"false","x":true})", false},
        {R"({"encryptbranding":"false"})", false},
        {R"({"encryptbrandingtrue":1})", true}, // right after the word
        {R"({"true":1,"encryptbranding":0})", false},
        {R"({"UserKey":"k"})", false},
        {"", false},
    };
    for (const auto& tc : cases) {
        EXPECT_EQ(isBrandingEncryptionEnabled(path, tc.text), tc.asks) << tc.text;
        EXPECT_EQ(isBrandingConversionNeeded(path, tc.text), tc.asks) << tc.text;
    }
    // Once the protected form exists every text counts as asking, and none needs converting.
    ktTest::writeAll(dir.path() + "/ktbranding.json.enc", "x");
    EXPECT_TRUE(isBrandingEncryptionEnabled(path, "{}"));
    EXPECT_FALSE(isBrandingConversionNeeded(path, R"({"encryptbranding":true})"));
}

TEST_F(BrandingTest, TheSecondLayoutAloneOrInstead)
{
    const struct {
        const char* name;
        const char* json;
        const char* orgName;
        const char* sfCheckerIP;
        const char* userEmail;
    } cases[] = {
        {"SecondOnly",
         R"({"data":{"brandingdata":{"UserKey":"u","OrgKey":"o","OrgName":"Nested",
            "AddonManagerHost":"a","AddonCheckerHost":"c","UserEmail":"n@x"}},
            "sfCheck":{"data":{"brandingdata":{"SFCheckerIP":"10.2.2.2"}}}})",
         "Nested", "10.2.2.2", "n@x"},
        // The first layout lacks OrgName: nothing of it is kept, not even its e-mail.
        {"FirstIncomplete",
         R"({"UserKey":"flat","OrgKey":"flat","AddonManagerHost":"flat","AddonCheckerHost":"f",
            "UserEmail":"flat@x","sfCheck":{"SFCheckerIP":"10.9.9.9"},
            "data":{"brandingdata":{"UserKey":"u","OrgKey":"o","OrgName":"Nested",
            "AddonManagerHost":"a","AddonCheckerHost":"c"}}})",
         "Nested", "", ""},
        // A required value that is an object counts as missing.
        {"ObjectValue",
         R"({"UserKey":{"v":"1"},"OrgKey":"o","OrgName":"Flat","AddonManagerHost":"a",
            "AddonCheckerHost":"c","data":{"brandingdata":{"UserKey":"u","OrgKey":"o",
            "OrgName":"Nested","AddonManagerHost":"a","AddonCheckerHost":"c"}}})",
         "Nested", "", ""},
    };
    for (const auto& tc : cases) {
        Config::Impl config;
        ASSERT_TRUE(config.initConfigLocation());
        m_tree.writeBranding(tc.json);
        CUserConfig session;
        session.m_location = config.m_configLocation;
        ASSERT_TRUE(config.readBranding(session)) << tc.name;
        EXPECT_EQ(config.branding().orgName, tc.orgName) << tc.name;
        EXPECT_EQ(config.branding().sfCheckerIP, tc.sfCheckerIP) << tc.name;
        EXPECT_EQ(config.branding().userEmail, tc.userEmail) << tc.name;
        EXPECT_EQ(config.branding().userKey, "u") << tc.name;
    }
}

TEST_F(BrandingTest, OptionalValuesKeepWhatTheyHad)
{
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.readBranding(m_session));
    m_tree.writeBranding(R"({"UserKey":"u","OrgKey":"o","OrgName":"n","AddonManagerHost":"a",
        "AddonCheckerHost":"c"})");
    ASSERT_TRUE(m_config.readBranding(m_session));
    EXPECT_EQ(m_config.branding().userKey, "u");
    EXPECT_EQ(m_config.branding().userEmail, "user@branded.test");
    EXPECT_EQ(m_config.branding().sfCheckerHost, "sf.branded.test");
    EXPECT_EQ(m_session.m_userEmail, "user@branded.test");
}

TEST_F(BrandingTest, AFileThatCannotBeUsedIsKeptAndChangesNothing)
{
    const struct {
        const char* name;
        std::string json;
        bool protectedForm;
        const char* logged;
    } cases[] = {
        {"Empty", "", false, "Branding file: "},
        {"OnlyTheZeroByte", "", true, "Branding file: "},
        {"Malformed", R"({"UserKey":"u",)", false, "Failed to parse branding file "},
        {"MissingInBoth", R"({"UserKey":"u","data":{"brandingdata":{"UserKey":"u"}}})", false,
         "Failed to parse branding file "},
        {"NotAnObject", R"(["UserKey"])", false, "Failed to parse branding file "},
        {"TooDeep", std::string(100, '[') + std::string(100, ']'), false,
         "Failed to parse branding file "},
    };
    m_tree.writeBranding(ClientTree::brandingJson());
    ASSERT_TRUE(m_config.readBranding(m_session));
    for (const auto& tc : cases) {
        ktTest::clearLog();
        fs::remove(plainPath());
        fs::remove(protectedPath());
        m_tree.writeBranding(tc.json, tc.protectedForm);
        CUserConfig session;
        session.m_location = m_config.m_configLocation;
        EXPECT_FALSE(m_config.readBranding(session)) << tc.name;
        EXPECT_TRUE(logHas(tc.logged)) << tc.name;
        EXPECT_FALSE(session.m_brandingRead) << tc.name;
        EXPECT_EQ(m_config.branding().userKey, "uk-1") << tc.name;
        EXPECT_EQ(m_config.branding().orgName, "Org One") << tc.name;
        if (tc.protectedForm) {
            EXPECT_TRUE(fs::exists(protectedPath())) << tc.name;
        } else {
            EXPECT_EQ(ktTest::readAll(plainPath()), tc.json) << tc.name;
        }
    }
    ktTest::clearLog();
    fs::remove(plainPath());
    fs::remove(protectedPath());
    EXPECT_FALSE(m_config.readBranding(m_session));
    EXPECT_TRUE(logHas("Failed to read branding file " + plainPath()));
}

TEST_F(BrandingTest, InAUsersFolderNeitherFormIsReadThroughALink)
{
    // The configuration folder stands for a user's own here; the linked files lie outside.
    m_session.m_userHome = m_tree.tree().root();
    const std::string outside = m_tree.tree().root() + "-outside";
    fs::create_directories(outside);
    for (const bool protectedForm : {false, true}) {
        SCOPED_TRACE(protectedForm ? "protected" : "plain");
        ktTest::clearLog();
        fs::remove(plainPath());
        fs::remove(protectedPath());
        // Written where it would be read, then moved out and linked to.
        m_tree.writeBranding(ClientTree::brandingJson(), protectedForm);
        const std::string stored = protectedForm ? protectedPath() : plainPath();
        const std::string target = outside + "/" + fs::path(stored).filename().string();
        fs::rename(stored, target);
        fs::create_symlink(target, stored);
        EXPECT_FALSE(m_config.readBranding(m_session));
        EXPECT_TRUE(logHas("not reading " + stored + ": it or a folder on its way is a link"));
        EXPECT_EQ(m_config.branding().orgName, "");
        EXPECT_TRUE(fs::is_symlink(stored));
    }
    fs::remove_all(outside);
}

TEST(BrandingFile, RemoveTakesThePlainFormFirst)
{
    ktTest::TempDir dir;
    const std::string plain = dir.path() + "/ktbranding.json";
    ktTest::writeAll(plain, "p");
    ktTest::writeAll(plain + ".enc", "e");
    EXPECT_TRUE(removeBrandingFile(toWide(plain)));
    EXPECT_FALSE(fs::exists(plain));
    EXPECT_TRUE(fs::exists(plain + ".enc"));
    EXPECT_TRUE(removeBrandingFile(toWide(plain)));
    EXPECT_FALSE(fs::exists(plain + ".enc"));
    EXPECT_FALSE(removeBrandingFile(toWide(plain)));
}

TEST(BrandingFile, WriteFollowsTheText)
{
    ktTest::TempDir dir;
    ktTest::ScopedEnv keys("KTDIAG_DPAPI_KEY_DIR", dir.path());
    const std::wstring plain = toWide(dir.path() + "/ktbranding.json");
    EXPECT_TRUE(writeBrandingFile(false, plain, R"({"UserKey":"u"})"));
    EXPECT_EQ(ktTest::readAll(dir.path() + "/ktbranding.json"), R"({"UserKey":"u"})");
    EXPECT_FALSE(fs::exists(dir.path() + "/ktbranding.json.enc"));
    EXPECT_TRUE(writeBrandingFile(false, plain, R"({"encryptbranding":true})"));
    std::string text;
    ASSERT_TRUE(readBrandingFile(false, text, plain));
    EXPECT_EQ(text, std::string(R"({"encryptbranding":true})") + '\0');
}
