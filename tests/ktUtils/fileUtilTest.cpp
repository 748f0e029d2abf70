#include "ktUtils/fileUtil.h"
#include "ktUtils/hostUtil.h"
#include "ktUtils/jsonUtil.h"

#include "ktTest/tempTree.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::wstring wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

class FileUtilTest : public ::testing::Test {
protected:
    ktTest::TempDir m_dir;
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }
};

TEST_F(FileUtilTest, ReadCases)
{
    const std::string withNuls("a\0b\0\0c", 6);
    ktTest::writeAll(path("empty"), "");
    ktTest::writeAll(path("nuls"), withNuls);
    fs::create_directory(path("dir"));
    ::mkfifo(path("fifo").c_str(), 0600);
    // Sparse: sizes cost no disk.
    const std::string atCap(kMaxReadFileSize, '\0');
    ktTest::writeAll(path("atCap"), "");
    fs::resize_file(path("atCap"), kMaxReadFileSize);
    ktTest::writeAll(path("overCap"), "");
    fs::resize_file(path("overCap"), kMaxReadFileSize + 1);
    ktTest::writeAll(path("huge"), "");
    fs::resize_file(path("huge"), 1ull << 40);

    struct Case {
        std::string name;
        bool ok;
        std::string data;
    };
    const Case cases[] = {
        {"missing", false, ""}, {"empty", true, ""}, {"nuls", true, withNuls},
        {"dir", false, ""},     {"fifo", false, ""}, {"atCap", true, atCap},
        {"overCap", false, ""}, {"huge", false, ""},
    };
    ktTest::clearLog();
    for (const Case& c : cases) {
        std::string data = "previous";
        EXPECT_EQ(readFile(wide(path(c.name)).c_str(), data), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(data, c.data) << c.name;
        }
        std::string text = "previous";
        EXPECT_EQ(readTextFile(path(c.name), text), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(text, c.data) << c.name;
        }
    }
    // Refused before any allocation, named with its size, by both readers.
    for (const std::string& line :
         {"file " + path("overCap") + " is too large to read: 16777217 bytes, at most 16777216",
          "file " + path("huge") + " is too large to read: 1099511627776 bytes"}) {
        const std::string log = ktTest::logText();
        const auto first = log.find(line);
        EXPECT_NE(first, std::string::npos) << line;
        EXPECT_NE(log.find(line, first + 1), std::string::npos) << line;
    }
    EXPECT_FALSE(ktTest::logHas(path("atCap") + " is too large"));
    std::string data;
    EXPECT_FALSE(readFile(nullptr, data));
    EXPECT_FALSE(readTextFile("", data));
}

TEST_F(FileUtilTest, WriteReplacesAndKeepsTheMode)
{
    const std::string file = path("ktconfig.json");
    ktTest::writeAll(file, "old content that is longer");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(writeFile(wide(file).c_str(), std::string("new\0x", 5)));
    EXPECT_EQ(ktTest::readAll(file), std::string("new\0x", 5));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    ASSERT_TRUE(writeFile(wide(file).c_str(), ""));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_FALSE(writeFile(nullptr, "x"));
    EXPECT_FALSE(writeFile(wide(path("no/such/folder/f")).c_str(), "x"));
}

TEST_F(FileUtilTest, FailedWriteKeepsTheOldContent)
{
    const std::string file = path("ktinternal.json");
    ktTest::writeAll(file, "old");
    // A file-size limit makes the write itself fail part-way, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = writeFile(wide(file).c_str(), std::string(64 * 1024, 'n'));
    ::setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_FALSE(ok);
    EXPECT_EQ(ktTest::readAll(file), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "the temporary file was left behind";
}

TEST_F(FileUtilTest, DeleteAndExists)
{
    const std::string file = path("f");
    ktTest::writeAll(file, "x");
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(pathExists(wide(file)));
    EXPECT_TRUE(deleteFile(wide(file).c_str()));
    EXPECT_FALSE(pathExists(file));
    EXPECT_FALSE(pathExists(wide(file)));
    EXPECT_FALSE(deleteFile(wide(file).c_str()));
    EXPECT_FALSE(pathExists(std::string()));
    fs::create_directory(path("d"));
    EXPECT_FALSE(deleteFile(wide(path("d")).c_str()));
    EXPECT_TRUE(fs::exists(path("d")));
}

TEST(Folders, PublicAndConfigFolders)
{
    {
        ktTest::ScopedEnv env("PUBLIC", std::string("/x/Users/Public"));
        std::string folder;
        ASSERT_TRUE(getPublicFolderPath(folder));
        EXPECT_EQ(folder, "/x/Users/Public/Kestrani");
    }
    {
        // The whole value is used, however long.
        const std::string longRoot = "/" + std::string(1000, 'p');
        ktTest::ScopedEnv env("PUBLIC", longRoot);
        std::string folder;
        ASSERT_TRUE(getPublicFolderPath(folder));
        EXPECT_EQ(folder, longRoot + "/Kestrani");
    }
    {
        ktTest::ScopedEnv env("PUBLIC", std::string());
        std::string folder = "untouched";
        EXPECT_FALSE(getPublicFolderPath(folder));
        EXPECT_EQ(folder, "untouched");
    }
    {
        ktTest::ScopedEnv env("ProgramData", std::string("/pd"));
        std::wstring folder;
        ASSERT_TRUE(getConfigFilePath(folder));
        EXPECT_EQ(folder, L"/pd/kestrani/merivon");
    }
}

TEST(Json, AppendToJson)
{
    std::string result;
    ASSERT_TRUE(appendToJson<const char*>(R"({"a":{"b":1}})", "a.c", "x", result));
    EXPECT_NE(result.find(R"("b": "1")"), std::string::npos) << result;
    EXPECT_NE(result.find(R"("c": "x")"), std::string::npos) << result;

    ASSERT_TRUE(appendToJson<int>(R"({"k":"v"})", "n", 5, result));
    EXPECT_NE(result.find(R"("n": "5")"), std::string::npos) << result;

    result = "untouched";
    EXPECT_FALSE(appendToJson<int>("", "n", 1, result));
    EXPECT_FALSE(appendToJson<int>("{", "n", 1, result));
    EXPECT_FALSE(appendToJson<int>(std::string(100, '[') + std::string(100, ']'), "n", 1, result));
    EXPECT_EQ(result, "untouched");
}

TEST(Json, NestingLimitSkipsStrings)
{
    EXPECT_TRUE(jsonNestingWithin(std::string(64, '[') + std::string(64, ']')));
    EXPECT_FALSE(jsonNestingWithin(std::string(65, '[') + std::string(65, ']')));
    EXPECT_TRUE(jsonNestingWithin(R"({"k":")" + std::string(100, '{') + R"(\"{"})"));
}

TEST(Values, ToStringAndHostName)
{
    EXPECT_EQ(toString<unsigned short>(57130), "57130");
    EXPECT_EQ(toString<int>(-1), "-1");
    std::string name;
    EXPECT_TRUE(getComputerName(name));
    EXPECT_FALSE(name.empty());
    EXPECT_FALSE(isWow64Process());
}

} // namespace
