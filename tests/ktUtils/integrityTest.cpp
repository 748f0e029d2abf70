#include "ktUtils/integritycheck.h"

#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <optional>
#include <sstream>
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
};

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
    if (::geteuid() != 0) {
        GTEST_SKIP() << "reading as another account needs root";
    }
    // nobody may replace files in the folder but cannot read root's digest file.
    fs::permissions(m_dir.path(), fs::perms::all);
    const std::string content = R"({"d1": "kept"})";
    ktTest::writeAll(digestFile(), content);
    fs::permissions(digestFile(), fs::perms::owner_read | fs::perms::owner_write);
    ktPlatform::Token nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    bool saved = true;
    {
        ktPlatform::ThreadImpersonation as;
        ASSERT_TRUE(as.begin(nobody));
        saved = saveDigest(folder(), "abc", "d5");
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(ktTest::readAll(digestFile()), content);
}

} // namespace
