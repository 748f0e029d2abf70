#include "ktUtils/integritycheck.h"

#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Made with `openssl mac -digest SHA1 -macopt hexkey:4b7d2e91c35a08f61e9b74d268f0a53c HMAC`.
const char* const kDigestOfEmpty = "de356131fb158a5d927639db51b8e0d5a7b32364";
const char* const kDigestOfAbc = "72b437a22d723fb891aa9f6783c8153547c75a1f";

std::wstring wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

boost::property_tree::ptree parse(const std::string& text)
{
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
    return tree;
}

class Digests : public ::testing::Test {
protected:
    std::string digestFile() const { return m_dir.path() + "/ktinternal.json"; }
    std::wstring folder() const { return wide(m_dir.path()); }
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }

    ktTest::TempDir m_dir;
    ktTest::ScopedEnv m_programData{"ProgramData", m_dir.path() + "/ProgramData"};
};

// Mode bits and owner of what stands at path (links not followed).
struct Stat {
    unsigned mode = 0;
    unsigned uid = 0;
};
Stat statOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return {static_cast<unsigned>(st.st_mode & 07777), static_cast<unsigned>(st.st_uid)};
}

TEST(Hmac, KnownAnswers)
{
    std::string hex;
    ASSERT_TRUE(hmacSha1Hex("", hex));
    EXPECT_EQ(hex, kDigestOfEmpty);
    ASSERT_TRUE(hmacSha1Hex("abc", hex));
    EXPECT_EQ(hex, kDigestOfAbc);
    ASSERT_TRUE(hmacSha1Hex(std::string("a\0c", 3), hex));
    EXPECT_NE(hex, kDigestOfAbc);
}

TEST_F(Digests, SaveCreatesTheFileAndKeepsOtherMembers)
{
    ASSERT_TRUE(saveDigest(folder(), "abc", "d5"));
    auto tree = parse(ktTest::readAll(digestFile()));
    EXPECT_EQ(tree.size(), 1u);
    EXPECT_EQ(tree.get<std::string>("d5"), kDigestOfAbc);
    EXPECT_TRUE(validateDigest(folder(), "abc", "d5"));

    ktTest::writeAll(digestFile(), R"({"d5": "keep", "df3": "true", "extra": {"a": "1"}})");
    ASSERT_TRUE(saveDigest(folder(), "", "d2"));
    tree = parse(ktTest::readAll(digestFile()));
    EXPECT_EQ(tree.get<std::string>("d5"), "keep");
    EXPECT_EQ(tree.get<std::string>("df3"), "true");
    EXPECT_EQ(tree.get<std::string>("extra.a"), "1");
    EXPECT_EQ(tree.get<std::string>("d2"), kDigestOfEmpty);

    ASSERT_TRUE(saveDigest(folder(), "abc", "d2"));
    EXPECT_EQ(parse(ktTest::readAll(digestFile())).get<std::string>("d2"), kDigestOfAbc);
}

TEST_F(Digests, AFileThatDoesNotParseIsNeverReplaced)
{
    const std::string contents[] = {
        "this is not json",
        R"({"d5": "abc")",
        R"(["d5", "d2"])",
        std::string(100, '{') + std::string(100, '}'),
    };
    for (const std::string& content : contents) {
        ktTest::writeAll(digestFile(), content);
        ktTest::clearLog();
        EXPECT_FALSE(saveDigest(folder(), "abc", "d5")) << content;
        EXPECT_EQ(ktTest::readAll(digestFile()), content);
        EXPECT_TRUE(ktTest::logHas("Not replacing ktinternal.json as failed to parse it"))
            << ktTest::logText();
    }
}

TEST_F(Digests, ValidateCases)
{
    const std::string upper = "72B437A22D723FB891AA9F6783C8153547C75A1F";
    struct Case {
        const char* name;
        std::optional<std::string> file; // nullopt: no ktinternal.json
        bool ok;
        const char* logged;
    };
    const Case cases[] = {
        {"match", R"({"d3": ")" + std::string(kDigestOfAbc) + R"("})", true, ""},
        {"match after a zero byte",
         R"({"d3": ")" + std::string(kDigestOfAbc) + std::string("\"}\0junk", 7), true, ""},
        {"other text's digest", R"({"d3": ")" + std::string(kDigestOfEmpty) + R"("})", false, ""},
        {"upper case", R"({"d3": ")" + upper + R"("})", false, ""},
        {"key absent", R"({"d5": ")" + std::string(kDigestOfAbc) + R"("})", false, "Parsing error"},
        {"not json", std::string("{"), false, "Parsing error"},
        {"empty", std::string(), false, "is empty"},
        {"missing", std::nullopt, false, "Failed to read file"},
    };
    for (const Case& c : cases) {
        fs::remove(digestFile());
        if (c.file) {
            ktTest::writeAll(digestFile(), *c.file);
        }
        ktTest::clearLog();
        EXPECT_EQ(validateDigest(folder(), "abc", "d3"), c.ok) << c.name;
        EXPECT_TRUE(ktTest::logHas(c.logged)) << c.name << ": " << ktTest::logText();
        if (c.file) {
            EXPECT_EQ(ktTest::readAll(digestFile()), *c.file)
                << c.name << ": a check changes nothing";
        }
    }
}

TEST_F(Digests, FileDigestFollowsTheFileContent)
{
    const std::string guarded = path("eventcache.json");
    ktTest::writeAll(guarded, "[1, 2, 3]");
    ASSERT_TRUE(saveFileDigest(folder(), wide(guarded), "d5"));
    EXPECT_TRUE(validateFileDigest(folder(), wide(guarded), "d5"));
    ktTest::writeAll(guarded, "[1, 2, 4]");
    EXPECT_FALSE(validateFileDigest(folder(), wide(guarded), "d5"));
    ktTest::writeAll(guarded, "[1, 2, 3]");
    EXPECT_TRUE(validateFileDigest(folder(), wide(guarded), "d5"));

    ktTest::writeAll(guarded, "");
    ASSERT_TRUE(saveFileDigest(folder(), wide(guarded), "d5"));
    EXPECT_TRUE(validateFileDigest(folder(), wide(guarded), "d5"));
    EXPECT_EQ(parse(ktTest::readAll(digestFile())).get<std::string>("d5"), kDigestOfEmpty);

    ktTest::clearLog();
    EXPECT_FALSE(saveFileDigest(folder(), wide(path("missing.json")), "d5"));
    EXPECT_FALSE(validateFileDigest(folder(), wide(path("missing.json")), "d5"));
    EXPECT_TRUE(ktTest::logHas("failed to read file"));
    EXPECT_EQ(parse(ktTest::readAll(digestFile())).get<std::string>("d5"), kDigestOfEmpty);
}

TEST_F(Digests, ConcurrentSavesLoseNoKey)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 8;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                if (!saveDigest(folder(), "abc", "k" + std::to_string(t))) {
                    ++failures[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const auto tree = parse(ktTest::readAll(digestFile()));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[static_cast<size_t>(t)], 0);
        EXPECT_EQ(tree.get<std::string>("k" + std::to_string(t), ""), kDigestOfAbc) << t;
    }
}

TEST_F(Digests, AFileThatCannotBeReadIsNotTakenForEmpty)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    // The account may replace files in the folder but cannot read root's digest file.
    fs::permissions(m_dir.path(), fs::perms::all);
    const std::string content = R"({"d1": "kept"})";
    ktTest::writeAll(digestFile(), content);
    fs::permissions(digestFile(), fs::perms::owner_read | fs::perms::owner_write);
    ktPlatform::Token as{account.uid, account.gid, account.name, account.home};
    bool saved = true;
    ktTest::clearLog();
    {
        ktPlatform::ThreadImpersonation scope;
        ASSERT_TRUE(scope.begin(as));
        saved = saveDigest(folder(), "abc", "d5");
    }
    EXPECT_FALSE(saved);
    EXPECT_FALSE(ktTest::logHas("Failed to lock")) << ktTest::logText();
    EXPECT_EQ(ktTest::readAll(digestFile()), content);
}

TEST_F(Digests, TheLockIsPrivateToTheWriterAndOutsideTheFolder)
{
    // A lock file in the data folder, held by whoever made it, stops nothing.
    const std::string planted = path("ktinternal.json.lock");
    const int fd = ::open(planted.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(saveDigest(folder(), "abc", "d5"));
    // Sooner than the writer's own wait for its lock (5 s), which it would spend on this one.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ::close(fd);

    // The writer's own lock: mode 0600 in a folder only it may use, beside the machine's
    // files, not in any folder the collection walks.
    const std::string locks = m_dir.path() + "/ProgramData/kestrani/locks";
    EXPECT_EQ(statOf(locks).mode, 0700u);
    EXPECT_EQ(statOf(locks + "/ktinternal.json.lock").mode, 0600u);
    EXPECT_EQ(statOf(locks + "/ktinternal.json.lock").uid, ::geteuid());

    // A lock folder another account could write to is refused: nothing is saved.
    fs::permissions(locks, fs::perms::all);
    ktTest::clearLog();
    EXPECT_FALSE(saveDigest(folder(), "abc", "d2"));
    EXPECT_TRUE(ktTest::logHas("Failed to lock " + digestFile()));
    EXPECT_EQ(parse(ktTest::readAll(digestFile())).count("d2"), 0u);
}

TEST_F(Digests, AnAccountSavesUnderItsOwnLock)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const ktTest::AccountFolder data(account);
    ktPlatform::Token as{account.uid, account.gid, account.name, account.home};
    {
        ktPlatform::ThreadImpersonation scope;
        ASSERT_TRUE(scope.begin(as));
        EXPECT_TRUE(saveDigest(wide(data.path()), "abc", "d5"));
    }
    const std::string lock = account.home + "/.local/share/kestrani/locks/ktinternal.json.lock";
    EXPECT_EQ(statOf(lock).mode, 0600u);
    EXPECT_EQ(statOf(lock).uid, account.uid);
    EXPECT_EQ(statOf(data.path() + "/ktinternal.json").uid, account.uid);
    EXPECT_FALSE(fs::exists(data.path() + "/ktinternal.json.lock"));
}

} // namespace
