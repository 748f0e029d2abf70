#include "ktCrypto/ktEncryptedFile.h"

#include "ktPlatform/strings.h"
#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string encode(const std::string& bytes)
{
    return base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<unsigned int>(bytes.size()));
}

std::string decode(const std::string& text)
{
    return base64Decode(text.data(), static_cast<unsigned int>(text.size()));
}

TEST(Base64, Rfc4648Vectors)
{
    const struct {
        const char* plain;
        const char* text;
    } vectors[] = {{"", ""},
                   {"f", "Zg=="},
                   {"fo", "Zm8="},
                   {"foo", "Zm9v"},
                   {"foob", "Zm9vYg=="},
                   {"fooba", "Zm9vYmE="},
                   {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(encode(v.plain), v.text);
        EXPECT_EQ(decode(v.text), v.plain) << v.text;
    }
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(decode(encode(all)), all);
    EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(Base64, DecodingStopsAtTheFirstCharacterOutsideTheAlphabet)
{
    const struct {
        std::string text;
        std::string bytes;
    } cases[] = {
        {"YWI=", "ab"},
        {"YW I=", "a"}, // a blank ends the text; two characters give one byte
        {"Zm9v\nYmFy", "foo"},
        {"Zm9v\xffYmFy", "foo"}, // a byte above 127 is no letter, whatever the locale
        {"\xc3\xa9Zm9v", ""},
        {"Zg", "f"},
        {"Zm9vY", "foo"}, // a final single character gives nothing
        {"!!!!", ""},
        {std::string("Zm\0v", 4), "f"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.text), c.bytes) << c.text;
    }
    EXPECT_EQ(base64Decode(nullptr, 4), "");
    EXPECT_EQ(base64Encode(nullptr, 4), "");
}

class ProtectedFile : public ::testing::Test {
protected:
    ProtectedFile() : m_keys("KTDIAG_DPAPI_KEY_DIR", m_keyDir.path()) {}
    std::wstring plainPath(const std::string& name) const
    {
        return ktPlatform::toWide(m_dir.path() + "/" + name);
    }
    std::string protectedPath(const std::string& name) const
    {
        return m_dir.path() + "/" + name + ".enc";
    }

    ktTest::TempDir m_dir;
    ktTest::TempDir m_keyDir;
    ktTest::ScopedEnv m_keys;
};

TEST_F(ProtectedFile, ReadsBackTheTextAndOneZeroByte)
{
    for (const std::string& text : {std::string("abc"), std::string(), std::string(5000, 'x')}) {
        CKTEncryptedFile file(plainPath("ktconfig.json"), false);
        ASSERT_TRUE(file.write(text));
        const std::string stored = ktTest::readAll(protectedPath("ktconfig.json"));
        EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                           "0123456789+/="),
                  std::string::npos)
            << "one line of base64, no line break";
        EXPECT_EQ(stored.size() % 4, 0u);
        std::string data = "previous";
        ASSERT_TRUE(CKTEncryptedFile(plainPath("ktconfig.json"), false).read(data));
        EXPECT_EQ(data, text + '\0');
    }
    EXPECT_FALSE(fs::exists(m_dir.path() + "/ktconfig.json")) << "the plain form is not written";
}

TEST_F(ProtectedFile, ANonAsciiPathIsWrittenAndReadUnderItsTrueName)
{
    const std::string name = "caf\xc3\xa9-\xd0\xba\xd0\xbe\xd0\xbd\xd1\x84.json";
    ASSERT_TRUE(CKTEncryptedFile(plainPath(name), true).write("abc"));
    EXPECT_TRUE(fs::exists(protectedPath(name)));
    std::string data;
    ASSERT_TRUE(CKTEncryptedFile(plainPath(name), true).read(data));
    EXPECT_EQ(data, std::string("abc\0", 4));
}

TEST_F(ProtectedFile, ChangedOrMisplacedContentIsRefused)
{
    const std::wstring path = plainPath("ktsteering.json");
    ASSERT_TRUE(CKTEncryptedFile(path, false).write("steering"));
    const std::string good = ktTest::readAll(protectedPath("ktsteering.json"));

    std::string flipped = decode(good);
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x01);
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"a flipped byte", encode(flipped)},
        {"wrapped into lines", good.substr(0, 20) + "\n" + good.substr(20)},
        {"cut short", good.substr(0, good.size() - 8)},
        {"not base64 at all", "%%%%"},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        ktTest::writeAll(protectedPath("ktsteering.json"), c.text);
        ktTest::clearLog();
        std::string data = "previous";
        EXPECT_FALSE(CKTEncryptedFile(path, false).read(data)) << c.name;
        EXPECT_EQ(data, "") << c.name;
        EXPECT_TRUE(ktTest::logHas("Invalid decryption of protected file: " +
                                   protectedPath("ktsteering.json")))
            << c.name;
    }
    fs::remove(protectedPath("ktsteering.json"));
    std::string data;
    EXPECT_FALSE(CKTEncryptedFile(path, false).read(data)) << "missing";
}

TEST_F(ProtectedFile, ScopesNeverReadEachOthersFiles)
{
    ASSERT_TRUE(CKTEncryptedFile(plainPath("machine.json"), false).write("m"));
    ASSERT_TRUE(CKTEncryptedFile(plainPath("user.json"), true).write("u"));
    std::string data;
    EXPECT_FALSE(CKTEncryptedFile(plainPath("machine.json"), true).read(data));
    EXPECT_FALSE(CKTEncryptedFile(plainPath("user.json"), false).read(data));
    EXPECT_TRUE(CKTEncryptedFile(plainPath("user.json"), true).read(data));
}

TEST_F(ProtectedFile, AKeyThatIsNoKeyStopsProtection)
{
    ktTest::writeAll(m_keyDir.path() + "/machine.key", "short");
    ktTest::clearLog();
    EXPECT_FALSE(CKTEncryptedFile(plainPath("a.json"), false).write("abc"));
    EXPECT_FALSE(fs::exists(protectedPath("a.json")));
    EXPECT_TRUE(ktTest::logHas("Invalid encryption of protected file: " + protectedPath("a.json")));

    // A link is not taken for the key.
    fs::remove(m_keyDir.path() + "/machine.key");
    ktTest::writeAll(m_dir.path() + "/elsewhere", std::string(32, 'k'));
    fs::create_symlink(m_dir.path() + "/elsewhere", m_keyDir.path() + "/machine.key");
    EXPECT_FALSE(CKTEncryptedFile(plainPath("a.json"), false).write("abc"));
}

TEST(ProtectedFileKeys, MachineKeyLivesOutsideTheWalkedFolders)
{
    ktTest::TempClientTree tree;
    ktTest::ScopedEnv noOverride("KTDIAG_DPAPI_KEY_DIR", std::nullopt);
    const std::string config = tree.programDataRoot() + "/kestrani/merivon";
    fs::create_directories(config);
    ASSERT_TRUE(CKTEncryptedFile(ktPlatform::toWide(config + "/ktconfig.json"), false).write("x"));
    const std::string key = tree.programDataRoot() + "/kestrani/keys/machine.key";
    ASSERT_TRUE(fs::is_regular_file(key));
    EXPECT_EQ(fs::file_size(key), 32u);
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::others_read);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(config)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "only ktconfig.json.enc in the configuration folder";
}

// As root: another account reads machine-scope files but not user-scope ones.
class OtherAccount : public ProtectedFile {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "acting as another account needs root";
        }
        // Every account may make its key here and read the files.
        fs::permissions(m_keyDir.path(), fs::perms::all | fs::perms::sticky_bit);
        fs::permissions(m_dir.path(), fs::perms::all | fs::perms::sticky_bit);
        m_nobody.uid = 65534;
        m_nobody.gid = 65534;
    }
    ktPlatform::Token m_nobody;
};

TEST_F(OtherAccount, MachineScopeIsReadableUserScopeIsNot)
{
    ASSERT_TRUE(CKTEncryptedFile(plainPath("machine.json"), false).write("shared"));
    ASSERT_TRUE(CKTEncryptedFile(plainPath("user.json"), true).write("private"));
    std::string machine;
    std::string user = "previous";
    bool ownWritten = false;
    std::string own;
    bool rootKeyReadable = true;
    {
        ktPlatform::ThreadImpersonation as;
        ASSERT_TRUE(as.begin(m_nobody));
        EXPECT_TRUE(CKTEncryptedFile(plainPath("machine.json"), false).read(machine));
        EXPECT_FALSE(CKTEncryptedFile(plainPath("user.json"), true).read(user));
        rootKeyReadable = std::ifstream(m_keyDir.path() + "/user-0.key").good();
        ownWritten = CKTEncryptedFile(plainPath("nobody.json"), true).write("mine");
        EXPECT_TRUE(CKTEncryptedFile(plainPath("nobody.json"), true).read(own));
    }
    EXPECT_EQ(machine, std::string("shared\0", 7));
    EXPECT_EQ(user, "");
    EXPECT_FALSE(rootKeyReadable) << "a user key is private to its user";
    EXPECT_TRUE(ownWritten);
    EXPECT_EQ(own, std::string("mine\0", 5));
    std::string data;
    EXPECT_FALSE(CKTEncryptedFile(plainPath("nobody.json"), true).read(data))
        << "root has a user key of its own";
}

} // namespace
