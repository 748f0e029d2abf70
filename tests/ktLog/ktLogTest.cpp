#include "ktLog/ktLog.h"
#include "ktLog/ktLogInternal.h"

#include "ktTest/runner.h"
#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

ktTest::TempClientTree* g_tree = nullptr;

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_tree = std::make_unique<ktTest::TempClientTree>();
        g_tree = m_tree.get();
        ASSERT_TRUE(ktLogInit());
        g_programName = "ktdiag";
        g_logLevel = KT_LOG_INFO;
    }
    void TearDown() override { m_tree.reset(); }

private:
    std::unique_ptr<ktTest::TempClientTree> m_tree;
};

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

std::string logPath()
{
    return g_tree->publicFolder() + "/ktdebuglog.log";
}

std::string oldLogPath()
{
    return g_tree->publicFolder() + "/ktdebuglog_old.log";
}

std::vector<std::string> logLines()
{
    std::istringstream in(ktTest::readAll(logPath()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ktTest::writeAll(logPath(), "");
        fs::remove(oldLogPath());
        g_logLevel = KT_LOG_INFO;
    }
};

TEST_F(LogTest, LineHasTheFieldsInOrder)
{
    ktLog("CKTDiag", "src/ktdiag.cpp", 350, KT_LOG_INFO, "hello %s", "world");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    std::ostringstream pattern;
    pattern << R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} ktdiag p)" << std::hex << ::getpid()
            << R"( t[0-9a-f]+ info ktdiag\.cpp:350 CKTDiag hello world$)";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(pattern.str()))) << lines[0];
}

TEST_F(LogTest, BaseNameTakesTheLastBackslashFirst)
{
    const std::map<std::string, std::string> cases = {
        {"a/b\\c/d.x", "c/d.x"}, {"x/y.x", "y.x"}, {"z.x", "z.x"}};
    for (const auto& [path, base] : cases) {
        ktTest::writeAll(logPath(), "");
        ktLog("m", path.c_str(), 7, KT_LOG_ERROR, "msg");
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(" error " + base + ":7 m msg"), std::string::npos)
            << path << " -> " << lines[0];
    }
}

TEST_F(LogTest, LevelNamesAndOutOfRangeLevels)
{
    const std::map<int, std::string> cases = {{0, "unknown"}, {1, "critical"}, {2, "error"},
                                              {3, "warn"},    {4, "info"},     {5, "debug"},
                                              {6, "unknown"}, {-1, "unknown"}, {99, "unknown"}};
    for (const auto& [level, name] : cases) {
        ktTest::writeAll(logPath(), "");
        ktLog("m", "f.cpp", 1, level, "x");
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(" " + name + " f.cpp:1 m x"), std::string::npos) << level;
    }
}

TEST(LogLevelWords, ExactWordsOnly)
{
    const std::map<std::string, int> cases = {
        {"critical", 1}, {"error", 2}, {"warning", 3}, {"info", 4},  {"debug", 5},
        {"warn", 4},     {"ERROR", 4}, {"", 4},        {"Debug", 4}, {"debug ", 4}};
    for (const auto& [word, level] : cases) {
        EXPECT_EQ(ktLogLevelFromString(word), level) << '"' << word << '"';
    }
}

TEST_F(LogTest, GuardFiltersByLevel)
{
    static const char* const kLogModule = "CKTDiag";
    KTLOG(KT_LOG_DEBUG, "not written");
    KTLOG(KT_LOG_ERROR, "written");
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" error "), std::string::npos);
    EXPECT_NE(lines[0].find("CKTDiag written"), std::string::npos);
}

TEST_F(LogTest, LongMessageIsCutAt4095)
{
    const std::string message(5000, 'm');
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "%s", message.c_str());
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string tail = " f.cpp:1 m " + std::string(4095, 'm');
    ASSERT_GE(lines[0].size(), tail.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
}

TEST_F(LogTest, RotatesAtExactlyTenMebibytes)
{
    struct Case {
        std::uintmax_t size;
        bool rotates;
    };
    for (const Case& c : {Case{10485759, false}, Case{10485760, true}}) {
        ktTest::writeAll(logPath(), "");
        fs::remove(oldLogPath());
        fs::resize_file(logPath(), c.size); // sparse
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "after");
        if (c.rotates) {
            EXPECT_EQ(fs::file_size(oldLogPath()), c.size);
            const auto lines = logLines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(" m after"), std::string::npos);
        } else {
            EXPECT_FALSE(fs::exists(oldLogPath()));
            EXPECT_GT(fs::file_size(logPath()), c.size);
        }
    }
}

TEST_F(LogTest, SecondRotationReplacesTheOldFile)
{
    ktTest::writeAll(oldLogPath(), "first generation\n");
    fs::resize_file(logPath(), 10485760);
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "one");
    ASSERT_EQ(fs::file_size(oldLogPath()), 10485760u);

    ktTest::writeAll(logPath(), "second generation\n");
    fs::resize_file(logPath(), 10485761);
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "two");
    EXPECT_EQ(fs::file_size(oldLogPath()), 10485761u);
    EXPECT_EQ(ktTest::readAll(oldLogPath()).rfind("second generation\n", 0), 0u);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" m two"), std::string::npos);
}

TEST_F(LogTest, LinkInPlaceOfTheLogIsNotFollowed)
{
    const std::string target = g_tree->root() + "/elsewhere.txt";
    ktTest::writeAll(target, "keep\n");
    fs::remove(logPath());
    fs::create_symlink(target, logPath());
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "must not reach the target");
    EXPECT_EQ(ktTest::readAll(target), "keep\n");
    fs::remove(logPath());
}

TEST_F(LogTest, AHeldLockCostsOneWaitThenLinesGoInWithoutIt)
{
    const std::string lockPath = g_tree->publicFolder() + "/kt_log_mutex.lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    ktLogSetLockTimeout(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written without the lock %d", i);
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    // Setting the time-out makes lines wait for the lock again.
    ktLogSetLockTimeout(std::chrono::milliseconds(5000));
    ::flock(fd, LOCK_UN);
    ::close(fd);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::milliseconds(550)) << "more than one line waited";
    ASSERT_EQ(logLines().size(), 5u);
}

TEST_F(LogTest, ThePublicFolderAndTheLogAreOpenToEveryAccount)
{
    struct stat st {};
    ASSERT_EQ(::lstat(g_tree->publicFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u) << "any account creates, none removes another's";
    for (const std::string& file : {logPath(), g_tree->publicFolder() + "/kt_log_mutex.lock"}) {
        ASSERT_EQ(::lstat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 07777, 0666u) << file;
    }
    // A log made again later, by a line, is open to every account too.
    fs::remove(logPath());
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "first line of a new log");
    ASSERT_EQ(::lstat(logPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(LogTest, NothingIsWrittenBeforeInit)
{
    const auto result = ktTest::runProgram(LOG_WRITER, {"preinit"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(logLines().empty());
}

// Splits a writer's line ("... logWriter <tag> <n> <600 times tag> end") into its tag and
// number; false for any other line, a torn or interleaved one included.
bool writerLine(const std::string& line, char& tag, int& number)
{
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string field; in >> field;) {
        f.push_back(field);
    }
    if (f.size() != 12 || f[2] != "logWriter" || f[5] != "info" || f[7] != "logWriter" ||
        f[8].size() != 1 || f[11] != "end" || f[10] != std::string(600, f[8][0]) || f[9].empty() ||
        f[9].find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    tag = f[8][0];
    number = std::stoi(f[9]);
    return true;
}

TEST_F(LogTest, ConcurrentProcessesWriteWholeLines)
{
    // The writers cross the rotation size while the others write: the lock is what keeps
    // every line, in order, and the file within one line of the bound.
    constexpr std::uintmax_t kRotate = 10485760;
    constexpr int kProcesses = 8;
    constexpr int kLines = 1000; // about 5.5 MB together: one rotation, midway
    const std::string filled(1023, 'f');
    {
        std::string prefill;
        for (std::uintmax_t size = 0; size + 1024 <= kRotate - 3 * 1024 * 1024; size += 1024) {
            prefill += filled + "\n";
        }
        ktTest::writeAll(logPath(), prefill);
    }
    const std::size_t prefillLines = fs::file_size(logPath()) / 1024;

    std::vector<std::thread> runners;
    std::vector<int> codes(kProcesses, -1);
    for (int p = 0; p < kProcesses; ++p) {
        runners.emplace_back([p, &codes] {
            const std::string tag(1, static_cast<char>('a' + p));
            codes[p] =
                ktTest::runProgram(LOG_WRITER, {"lines", std::to_string(kLines), tag}).exitCode;
        });
    }
    for (auto& t : runners) {
        t.join();
    }
    for (int code : codes) {
        ASSERT_EQ(code, 0);
    }

    // One rotation: the old file holds the prefill and the writers' lines up to the one
    // that reached the bound, the log the rest.
    std::vector<std::string> lines;
    for (const std::string& path : {oldLogPath(), logPath()}) {
        std::istringstream in(ktTest::readAll(path));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        if (path == oldLogPath()) {
            ASSERT_FALSE(lines.empty());
            const std::uintmax_t oldSize = fs::file_size(oldLogPath());
            EXPECT_GE(oldSize, kRotate);
            EXPECT_LT(oldSize - (lines.back().size() + 1), kRotate);
        }
    }
    EXPECT_LT(fs::file_size(logPath()), kRotate);
    ASSERT_GE(lines.size(), prefillLines);
    for (std::size_t i = 0; i < prefillLines; ++i) {
        ASSERT_EQ(lines[i], filled) << "line " << i;
    }
    std::map<char, int> next;
    for (std::size_t i = prefillLines; i < lines.size(); ++i) {
        char tag = 0;
        int number = -1;
        ASSERT_TRUE(writerLine(lines[i], tag, number))
            << "line " << i << ": " << lines[i].substr(0, 200);
        ASSERT_EQ(number, next[tag]) << "writer " << tag << ", line " << i;
        ++next[tag];
    }
    ASSERT_EQ(next.size(), static_cast<std::size_t>(kProcesses));
    for (const auto& [tag, count] : next) {
        EXPECT_EQ(count, kLines) << tag;
    }
}

} // namespace
