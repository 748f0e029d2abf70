#include "ktLog/ktLog.h"
#include "ktLog/ktLogInternal.h"
#include "ktLog/peerText.h"

#include "ktPlatform/debugOutput.h"
#include "ktPlatform/namedLock.h"
#include "ktPlatform/tokens.h"
#include "ktTest/runner.h"
#include "ktTest/sharedSetUp.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

ktTest::TempClientTree* g_tree = nullptr;

class LogEnvironment : public ktTest::SharedSetUp {
public:
    void setUp() override
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

constexpr std::uintmax_t kRotate = 10485760;

std::string lockPath()
{
    return g_tree->publicFolder() + "/kt_log_mutex.lock";
}

struct FileState {
    unsigned mode = 0;
    std::uintmax_t links = 0;
    std::uint32_t owner = 0;
};

FileState stateOf(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    return {static_cast<unsigned>(st.st_mode & 07777), static_cast<std::uintmax_t>(st.st_nlink),
            st.st_uid};
}

// The log as a root run left it: exactly at the rotation size, whole lines, the last one
// given.
std::string fillLog(const std::string& lastLine)
{
    const std::string content =
        std::string(kRotate - lastLine.size() - 2, 'f') + "\n" + lastLine + "\n";
    ktTest::writeAll(logPath(), content);
    fs::permissions(logPath(), fs::perms(0666));
    return content;
}

// The tree's folders down to the shared public folder let every account through, as on a
// real machine.
void openTreeToAccounts()
{
    const auto through = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                         fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(g_tree->root(), through);
    fs::permissions(g_tree->publicRoot(), through);
}

ktPlatform::Token tokenOf(const ktTest::TestAccount& account)
{
    return ktPlatform::Token{account.uid, account.gid, account.name, account.home};
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

// The facility's own failures go to the debugger output: no program name, the level as a
// number, the message escaped as in the file, no line end, nothing in the file.
TEST_F(LogTest, DebuggerLineHasTheSameFieldsLessTheProgramName)
{
    std::vector<std::string> seen;
    ktPlatform::setDebugOutputSink([&seen](const std::string& text) { seen.push_back(text); });
    ktDebugLog("ktLog", "a/b\\c.cpp", 42, KT_LOG_DEBUG, "failed\n%d", 7);
    ktPlatform::setDebugOutputSink(nullptr);
    ASSERT_EQ(seen.size(), 1u);
    std::ostringstream pattern;
    pattern << R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} p)" << std::hex << ::getpid()
            << R"( t[0-9a-f]+ 5 c\.cpp:42 ktLog failed\\n7$)";
    EXPECT_TRUE(std::regex_match(seen[0], std::regex(pattern.str()))) << seen[0];
    EXPECT_TRUE(logLines().empty());
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
    fs::resize_file(logPath(), 10485760);
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "two");
    EXPECT_EQ(fs::file_size(oldLogPath()), 10485760u);
    EXPECT_EQ(ktTest::readAll(oldLogPath()).rfind("second generation\n", 0), 0u);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" m two"), std::string::npos);
}

// Numbered lines of 100 bytes up to at least size bytes; exactly size when exact, the last
// line made shorter.
std::string numberedLines(std::uintmax_t size, bool exact)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i) {
        char number[16] = {};
        std::snprintf(number, sizeof(number), "%09d", i);
        text += number + std::string(90, 'x') + "\n";
    }
    if (exact && text.size() > size) {
        text.resize(size - 1);
        text += "\n";
    }
    return text;
}

TEST_F(LogTest, TheOldLogGetsTheWholeLogUpToTwiceTheRotationSize)
{
    // Checked before each line, a log is rotated a few lines past the size: it goes whole.
    // Only one grown far beyond (flooded, or made sparse at no cost by any account) is cut
    // to its newest bytes, from a line start.
    constexpr std::uintmax_t kBound = 2 * kRotate;
    const std::string pastSize = numberedLines(kRotate + 1, false);
    const std::string atBound = numberedLines(kBound, true);
    const std::string beyond = numberedLines(kBound + 150, false);
    // The newest kBound bytes begin inside a line: the copy begins with the next one.
    const std::string beyondTail = beyond.substr(beyond.find('\n', beyond.size() - kBound) + 1);
    // The newest kBound bytes begin a line: the copy begins with it.
    const std::string onLineStart = std::string(99, 'x') + "\n" + atBound;
    struct Case {
        const char* what;
        const std::string& content;
        std::uintmax_t holes; // sparse bytes after the content, then a last line
        std::string old;      // what the old log must hold
    };
    const std::string last = "newest line\n";
    const Case cases[] = {
        {"just past the rotation size", pastSize, 0, pastSize},
        {"at twice the rotation size", atBound, 0, atBound},
        {"beyond", beyond, 0, beyondTail},
        {"beyond, from a line start", onLineStart, 0, atBound},
        // Past 4 GiB, holes without a line end: the newest bytes as they are.
        {"sparse", "oldest line\n", (1ull << 32) + 4096,
         std::string(kBound - last.size(), '\0') + last},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(oldLogPath());
        ktTest::writeAll(logPath(), c.content);
        if (c.holes > 0) {
            fs::resize_file(logPath(), c.content.size() + c.holes);
            std::ofstream(logPath(), std::ios::binary | std::ios::app) << last;
        }
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "after");
        ASSERT_EQ(fs::file_size(oldLogPath()), c.old.size());
        EXPECT_TRUE(ktTest::readAll(oldLogPath()) == c.old) << "not the lines expected";
        ASSERT_LT(fs::file_size(logPath()), 4096u) << "not emptied";
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(" m after"), std::string::npos);
    }
}

TEST_F(LogTest, AnotherAccountRotatesWithoutLosingLines)
{
    // A user-level run after a root run: the log and the old log are root's, in the sticky
    // folder where the account may not replace them.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    openTreeToAccounts();
    struct Case {
        const char* oldLog;
        bool present;
        fs::perms mode;
        bool rotates; // else the copy cannot be made: the log keeps its lines
    };
    const Case cases[] = {
        {"root's, open to every account", true, fs::perms(0666), true},
        {"missing", false, fs::perms::none, true},
        {"root's, not writable by the account", true, fs::perms(0644), false},
    };
    const std::string earlier = "an earlier generation\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.oldLog);
        fs::remove(oldLogPath());
        if (c.present) {
            ktTest::writeAll(oldLogPath(), earlier);
            fs::permissions(oldLogPath(), c.mode);
        }
        const std::string before = fillLog("the last line before the rotation");
        {
            ktPlatform::ThreadImpersonation as;
            ASSERT_TRUE(as.begin(tokenOf(account)));
            ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written by the account");
        }
        const std::string log = ktTest::readAll(logPath());
        const std::string old = ktTest::readAll(oldLogPath());
        if (c.rotates) {
            EXPECT_TRUE(old == before) << "the lines before the rotation are lost";
            EXPECT_EQ(stateOf(oldLogPath()).mode, 0666u) << "the next account cannot rotate";
            ASSERT_EQ(logLines().size(), 1u);
        } else {
            EXPECT_EQ(old, earlier);
            EXPECT_TRUE(log.compare(0, before.size(), before) == 0) << "the log was emptied";
        }
        EXPECT_NE(log.find(" m written by the account\n"), std::string::npos);
    }
}

TEST_F(LogTest, ASecondNameOfAnotherFileIsLeftAlone)
{
    // Where the kernel lets an account link to other accounts' files, a second name at the
    // log's, the old log's or the lock's place leads to a private file of root's (or of the
    // account that logs). That file is never written, truncated, copied or given another mode:
    // root puts a new file in its place, another account uses nothing there.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    openTreeToAccounts();
    std::string secret;
    while (secret.size() < kRotate) {
        secret += "private line\n"; // large enough to be rotated as the log
    }
    const std::string victim = g_tree->root() + "/private.txt";
    struct Case {
        std::string name;
        bool byAccount; // the private file and the one that logs: the account, else root
    };
    std::vector<Case> cases;
    for (const std::string& name : {logPath(), oldLogPath(), lockPath()}) {
        cases.push_back({name, false});
        cases.push_back({name, true});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (c.byAccount ? " by the account" : " by root"));
        for (const std::string& path : {victim, oldLogPath()}) {
            fs::remove(path);
        }
        const std::string before = fillLog("the last line before the rotation");
        ktTest::writeAll(victim, secret);
        fs::permissions(victim, fs::perms(0600));
        if (c.byAccount) {
            ktTest::chownTo(victim, account);
        }
        // The lock this process holds is set aside, so later tests still share it.
        const std::string aside = g_tree->publicFolder() + "/aside";
        if (c.name == lockPath()) {
            fs::rename(c.name, aside);
        }
        fs::remove(c.name);
        fs::create_hard_link(victim, c.name);

        bool lockOpened = false;
        {
            ktPlatform::ThreadImpersonation as;
            ASSERT_TRUE(!c.byAccount || as.begin(tokenOf(account)));
            if (c.name == lockPath()) {
                ktPlatform::NamedLock lock;
                lockOpened = lock.open(g_tree->publicFolder(), "kt_log_mutex");
            } else {
                ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written");
            }
        }

        EXPECT_EQ(stateOf(victim).mode, 0600u);
        EXPECT_TRUE(ktTest::readAll(victim) == secret) << "the private file changed";
        if (c.name != oldLogPath()) {
            EXPECT_FALSE(fs::exists(oldLogPath())) << "the private file was copied";
        }
        const FileState there = stateOf(c.name);
        if (c.byAccount) {
            EXPECT_EQ(there.links, 2u) << "only root replaces";
            EXPECT_FALSE(lockOpened);
        } else {
            EXPECT_EQ(there.links, 1u);
            EXPECT_EQ(there.mode, 0666u);
            EXPECT_EQ(lockOpened, c.name == lockPath());
        }
        const std::string log = ktTest::readAll(logPath());
        if (c.name == oldLogPath()) {
            // The rotation goes on where it may; where it may not, the log keeps its lines.
            if (c.byAccount) {
                EXPECT_TRUE(log.compare(0, before.size(), before) == 0) << "the log was emptied";
            } else {
                EXPECT_TRUE(ktTest::readAll(oldLogPath()) == before);
                EXPECT_EQ(logLines().size(), 1u);
            }
        }
        const bool lineExpected = c.name == oldLogPath() || (c.name == logPath() && !c.byAccount);
        EXPECT_EQ(log.find(" m written\n") != std::string::npos, lineExpected);
        fs::remove(c.name);
        if (c.name == lockPath()) {
            fs::rename(aside, c.name);
        }
    }
}

TEST_F(LogTest, AnotherAccountsSecondNameOfRootsSharedFileTakesNothingAway)
{
    // Root's log, old log and lock are every account's (0666), so any account may link them
    // elsewhere: root goes on using each, its lines stay in it and nothing is moved aside.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    openTreeToAccounts();
    const ktTest::AccountFolder home(account);
    for (const std::string& name : {logPath(), oldLogPath(), lockPath()}) {
        SCOPED_TRACE(name);
        ktTest::writeAll(oldLogPath(), "an earlier generation\n");
        fs::permissions(oldLogPath(), fs::perms(0666));
        const std::string before = fillLog("the last line before the rotation");
        const std::string second = home.path() + "/second-name";
        fs::remove(second);
        fs::create_hard_link(name, second);
        struct stat was {};
        ASSERT_EQ(::lstat(name.c_str(), &was), 0);

        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written");
        ktPlatform::NamedLock lock;
        EXPECT_TRUE(lock.open(g_tree->publicFolder(), "kt_log_mutex"));

        struct stat now {};
        ASSERT_EQ(::lstat(name.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino, was.st_ino) << "replaced";
        EXPECT_EQ(now.st_nlink, 2u);
        EXPECT_TRUE(ktTest::readAll(oldLogPath()) == before) << "not rotated";
        ASSERT_EQ(logLines().size(), 1u);
        EXPECT_NE(logLines()[0].find(" m written"), std::string::npos);
        for (const auto& e : fs::directory_iterator(g_tree->publicFolder())) {
            EXPECT_NE(e.path().filename().string()[0], '.') << "moved aside: " << e.path();
        }
        fs::remove(second);
    }
}

TEST_F(LogTest, WhatAnotherAccountPlantsAtALogNameIsReplacedOnlyByRoot)
{
    // In the sticky folder the kernel refuses root's open of another account's link or folder
    // with whatever error it likes: root moves the thing aside and uses a new file; another
    // account writes nothing through it and logs on where it can.
    KT_TEST_ACCOUNT_OR_SKIP(account);
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(planter);
    openTreeToAccounts();
    const std::string target = g_tree->root() + "/target.txt";
    enum class Kind { link, folder, fifo };
    struct Case {
        Kind kind;
        std::string name;
        bool byRoot;
    };
    std::vector<Case> cases;
    for (Kind kind : {Kind::link, Kind::folder, Kind::fifo}) {
        for (const std::string& name : {oldLogPath(), logPath(), lockPath()}) {
            cases.push_back({kind, name, true});
            cases.push_back({kind, name, false});
        }
    }
    const std::string aside = g_tree->root() + "/lock.aside";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " as a " +
                     (c.kind == Kind::link     ? "link"
                      : c.kind == Kind::folder ? "folder"
                                               : "FIFO") +
                     (c.byRoot ? ", root logs" : ", another account logs"));
        fs::remove(oldLogPath());
        ktTest::writeAll(target, "keep\n");
        const std::string before = fillLog("the last line before the rotation");
        // The lock this process holds is set aside, so later tests still share it.
        if (c.name == lockPath()) {
            fs::rename(c.name, aside);
        }
        fs::remove(c.name);
        if (c.kind == Kind::link) {
            fs::create_symlink(target, c.name);
        } else if (c.kind == Kind::folder) {
            fs::create_directory(c.name);
            ktTest::writeAll(c.name + "/inside", "keep\n");
        } else {
            ASSERT_EQ(::mkfifo(c.name.c_str(), 0666), 0);
        }
        ktTest::chownTo(c.name, planter);

        bool lockOpened = false;
        {
            ktPlatform::ThreadImpersonation as;
            ASSERT_TRUE(c.byRoot || as.begin(tokenOf(account)));
            if (c.name == lockPath()) {
                ktPlatform::NamedLock lock;
                lockOpened = lock.open(g_tree->publicFolder(), "kt_log_mutex");
            }
            ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written");
        }

        EXPECT_EQ(ktTest::readAll(target), "keep\n") << "written through the link";
        struct stat st {};
        ASSERT_EQ(::lstat(c.name.c_str(), &st), 0);
        // Root's lines: the one written and, for a folder kept aside, where it went.
        std::vector<std::string> rootsLines = {" m written"};
        if (c.byRoot) {
            EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << "not replaced";
            EXPECT_EQ(st.st_mode & 07777, 0666u);
            if (c.kind == Kind::folder) {
                std::string keptAt;
                for (const auto& e : fs::directory_iterator(g_tree->publicFolder())) {
                    if (ktTest::readAll(e.path().string() + "/inside") == "keep\n") {
                        keptAt = e.path().string();
                    }
                }
                EXPECT_FALSE(keptAt.empty()) << "the folder was not moved aside whole";
                rootsLines.push_back(" Moved " + c.name + " aside to " + keptAt);
            }
        } else {
            EXPECT_EQ(st.st_uid, planter.uid) << "another account changed the name";
        }
        EXPECT_EQ(lockOpened, c.byRoot && c.name == lockPath());
        const auto expectRootsLines = [&] {
            const std::vector<std::string> lines = logLines();
            ASSERT_EQ(lines.size(), rootsLines.size());
            for (const std::string& expected : rootsLines) {
                EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) {
                                            return line.find(expected) != std::string::npos;
                                        }),
                          1)
                    << expected;
            }
        };
        if (c.name == logPath()) {
            // Root's lines are the first of a new log; another account's is lost, no more.
            if (c.byRoot) {
                expectRootsLines();
            }
        } else if (c.name == oldLogPath() && !c.byRoot) {
            // The rotation is left to a later run: the log keeps its lines and the new one.
            const std::string log = ktTest::readAll(logPath());
            EXPECT_TRUE(log.compare(0, before.size(), before) == 0) << "lines lost";
            EXPECT_NE(log.find(" m written\n"), std::string::npos);
        } else {
            EXPECT_TRUE(ktTest::readAll(oldLogPath()) == before) << "not rotated";
            expectRootsLines();
        }
        for (const auto& e : fs::directory_iterator(g_tree->publicFolder())) {
            if (e.path().filename().string()[0] == '.') {
                fs::remove_all(e.path());
            }
        }
        fs::remove_all(c.name);
        if (c.name == lockPath()) {
            fs::rename(aside, c.name);
        }
    }
}

TEST_F(LogTest, EveryMessageIsEscapedOnce)
{
    struct Case {
        std::string message;
        std::string logged;
    };
    const Case cases[] = {
        {"planted\n2024/01/01 00:00:00.000 ktdiag forged",
         "planted\\n2024/01/01 00:00:00.000 ktdiag forged"},
        {"\x1b[31mred\r\t\x7f", "\\x1B[31mred\\r\\t\\x7F"},
        {"\xc2\x9b"
         "2J",
         "\\u009B2J"},
        // Text a caller escaped already reads the same, and a backslash stays as it is.
        {escapeControlChars("a\nb"), "a\\nb"},
        {"C:\\dir\\new", "C:\\dir\\new"},
        // Escapes count towards the limit, and none is cut.
        {std::string(4093, 'm') + "\x1b", std::string(4093, 'm')},
    };
    for (const Case& c : cases) {
        ktTest::writeAll(logPath(), "");
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "%s", c.message.c_str());
        const auto lines = logLines();
        ASSERT_EQ(lines.size(), 1u) << c.logged;
        const std::string tail = " f.cpp:1 m " + c.logged;
        ASSERT_GE(lines[0].size(), tail.size());
        EXPECT_EQ(lines[0].substr(lines[0].size() - tail.size()), tail);
    }
}

TEST_F(LogTest, LinkInPlaceOfTheLogIsNotFollowed)
{
    const std::string target = g_tree->root() + "/elsewhere.txt";
    ktTest::writeAll(target, "keep\n");
    fs::remove(logPath());
    fs::create_symlink(target, logPath());
    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "must not reach the target");
    EXPECT_EQ(ktTest::readAll(target), "keep\n");
    // Root puts a log of its own in the link's place.
    EXPECT_FALSE(fs::is_symlink(logPath()));
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" m must not reach the target"), std::string::npos);
    fs::remove(logPath());
}

TEST_F(LogTest, AHeldLockCostsOneWaitThenLinesGoInWithoutItAndRotateNothing)
{
    // The log is due for rotation: a line without the lock only appends, as the copy and the
    // emptying could race another process's; the first line that holds the lock rotates.
    const std::string before = fillLog("the last line before the rotation");
    const int fd = ::open(lockPath().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    // Each line is timed on its own: a line that waited took the whole time-out, so a busy
    // machine cannot make a line that did not wait look like one that did.
    const auto timeout = std::chrono::milliseconds(1000);
    ktLogSetLockTimeout(timeout);
    std::vector<std::chrono::steady_clock::duration> took;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written without the lock %d", i);
        took.push_back(std::chrono::steady_clock::now() - start);
    }
    const std::string withoutLock = ktTest::readAll(logPath());
    const bool rotatedWithoutLock = fs::exists(oldLogPath());
    // Setting the time-out makes lines wait for the lock again.
    ktLogSetLockTimeout(std::chrono::milliseconds(5000));
    ::flock(fd, LOCK_UN);
    ::close(fd);
    EXPECT_GE(took[0], timeout) << "the first line did not wait";
    for (std::size_t i = 1; i < took.size(); ++i) {
        EXPECT_LT(took[i], timeout) << "line " << i << " waited too";
    }
    EXPECT_FALSE(rotatedWithoutLock);
    ASSERT_TRUE(withoutLock.compare(0, before.size(), before) == 0) << "the log was emptied";
    std::istringstream appended(withoutLock.substr(before.size()));
    int count = 0;
    for (std::string line; std::getline(appended, line); ++count) {
        EXPECT_NE(line.find(" m written without the lock " + std::to_string(count)),
                  std::string::npos);
    }
    EXPECT_EQ(count, 5);

    ktLog("m", "f.cpp", 1, KT_LOG_INFO, "written with the lock");
    EXPECT_TRUE(ktTest::readAll(oldLogPath()) == withoutLock) << "not rotated with the lock";
    ASSERT_EQ(logLines().size(), 1u);
}

TEST_F(LogTest, WaitsForOrdinaryTurnsCostNoBudget)
{
    // Each line finds the lock taken by a writer that lets it go within an ordinary turn;
    // together the waits are longer than the budget, yet every line still waits for the lock.
    const int fd = ::open(lockPath().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ktLogSetLockTimeout(std::chrono::milliseconds(200));
    constexpr int kLines = 20;
    int writtenWhileHeld = 0;
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        std::atomic<bool> released{false};
        bool whileHeld = false;
        std::thread line([&] {
            ktLog("m", "f.cpp", 1, KT_LOG_INFO, "line %d", i);
            whileHeld = !released.load();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        released = true;
        ::flock(fd, LOCK_UN);
        line.join();
        writtenWhileHeld += whileHeld ? 1 : 0;
    }
    ktLogSetLockTimeout(std::chrono::milliseconds(5000));
    ::close(fd);
    EXPECT_EQ(writtenWhileHeld, 0) << "lines stopped waiting for the lock";
    EXPECT_EQ(logLines().size(), static_cast<std::size_t>(kLines));
}

TEST_F(LogTest, AnAccountCyclingTheLockCostsOneBudgetInAll)
{
    // Another account takes the lock again as soon as it lets it go, holding it far longer
    // than a writer's turn: no single wait times out, yet the process's lines together wait
    // about the budget (what each wait takes beyond a turn is charged), no longer.
    KT_TEST_SECOND_ACCOUNT_OR_SKIP(holder);
    openTreeToAccounts();
    const std::string lock = lockPath();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        const gid_t gid = holder.gid;
        if (::setgroups(1, &gid) != 0 || ::setgid(holder.gid) != 0 || ::setuid(holder.uid) != 0) {
            ::_exit(1);
        }
        const int fd = ::open(lock.c_str(), O_RDWR);
        for (bool first = true; fd >= 0; first = false) {
            ::flock(fd, LOCK_EX);
            if (first) {
                ::write(ready[1], "r", 1);
            }
            ::usleep(500 * 1000);
            ::flock(fd, LOCK_UN);
            ::usleep(40 * 1000); // long enough for a waiting line to get through
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool holding = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);

    const auto budget = std::chrono::milliseconds(1000);
    ktLogSetLockTimeout(budget);
    // Lines come as a run makes them, some work apart, so each finds the lock taken again.
    constexpr int kLines = 15;
    std::chrono::steady_clock::duration took{};
    for (int i = 0; i < kLines && holding; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ktLog("m", "f.cpp", 1, KT_LOG_INFO, "line %d", i);
        took += std::chrono::steady_clock::now() - start;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ktLogSetLockTimeout(std::chrono::milliseconds(5000));
    ASSERT_TRUE(holding) << "the account could not take the lock";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(),
              budget.count() + 700)
        << "each line waited";
    EXPECT_EQ(logLines().size(), static_cast<std::size_t>(kLines));
}

TEST_F(LogTest, ThePublicFolderAndTheLogAreOpenToEveryAccount)
{
    struct stat st {};
    ASSERT_EQ(::lstat(g_tree->publicFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u) << "any account creates, none removes another's";
    for (const std::string& file : {logPath(), lockPath()}) {
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

// Splits a writer's line ("... logWriter <tag> <n> <filler times tag> end") into its tag and
// number; false for any other line, a torn or interleaved one included.
bool writerLine(const std::string& line, std::size_t filler, char& tag, int& number)
{
    std::istringstream in(line);
    std::vector<std::string> f;
    for (std::string field; in >> field;) {
        f.push_back(field);
    }
    if (f.size() != 12 || f[2] != "logWriter" || f[5] != "info" || f[7] != "logWriter" ||
        f[8].size() != 1 || f[11] != "end" || f[10] != std::string(filler, f[8][0]) ||
        f[9].empty() || f[9].find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    tag = f[8][0];
    number = std::stoi(f[9]);
    return true;
}

// Runs the writers at once, writer p tagged 'a' + p and given args after its tag; their exit
// codes.
std::vector<int> runWriters(int processes, int lines, const std::vector<std::string>& args)
{
    std::vector<std::thread> runners;
    std::vector<int> codes(processes, -1);
    for (int p = 0; p < processes; ++p) {
        runners.emplace_back([p, lines, &args, &codes] {
            std::vector<std::string> all = {"lines", std::to_string(lines),
                                            std::string(1, static_cast<char>('a' + p))};
            all.insert(all.end(), args.begin(), args.end());
            codes[p] = ktTest::runProgram(LOG_WRITER, all).exitCode;
        });
    }
    for (auto& t : runners) {
        t.join();
    }
    return codes;
}

TEST_F(LogTest, ManyProcessesKeepEveryLineThroughRotations)
{
    // Sixteen writers cross the rotation size a few times. Waiting for each other's turns
    // spends none of their lock budgets (made small here, so that charging those waits would
    // spend it), so every rotation is made under the lock: what each writer kept is a run of
    // its lines without a gap, up to its last one, and no line is torn.
    constexpr int kProcesses = 16;
    constexpr int kLines = 3000; // about 33 MB together: three rotations
    for (int code : runWriters(kProcesses, kLines, {"500"})) {
        ASSERT_EQ(code, 0);
    }

    std::map<char, std::vector<int>> kept;
    std::size_t index = 0;
    for (const std::string& path : {oldLogPath(), logPath()}) {
        std::istringstream in(ktTest::readAll(path));
        for (std::string line; std::getline(in, line); ++index) {
            char tag = 0;
            int number = -1;
            ASSERT_TRUE(writerLine(line, 600, tag, number))
                << path << ", line " << index << ": " << line.substr(0, 200);
            kept[tag].push_back(number);
        }
    }
    const std::uintmax_t oldSize = fs::file_size(oldLogPath());
    EXPECT_GE(oldSize, kRotate);
    EXPECT_LT(oldSize, kRotate + 1024) << "rotated past one line beyond the size";
    EXPECT_LT(fs::file_size(logPath()), kRotate);
    for (const auto& [tag, numbers] : kept) {
        for (std::size_t i = 0; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], kLines - static_cast<int>(numbers.size() - i))
                << "writer " << tag << " lost lines before its line " << numbers[i];
        }
    }
}

TEST_F(LogTest, WritersWithoutTheLockEachAppendWholeLines)
{
    // The lock is held elsewhere throughout, so once their small budgets are spent the
    // writers go on side by side without it. Each line is longer than a stream's default
    // buffer: only a buffer that holds the whole line, its end included, makes it one append
    // that no other writer's can tear or join.
    constexpr int kProcesses = 3;
    constexpr int kLines = 2000;
    // The message just under its 4095-byte cut: a line of about 4.2 kB, 25 MB together.
    constexpr std::size_t kFiller = 4080;
    const int fd = ::open(lockPath().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const std::vector<int> codes = runWriters(kProcesses, kLines, {"50", std::to_string(kFiller)});
    ::flock(fd, LOCK_UN);
    ::close(fd);
    for (int code : codes) {
        ASSERT_EQ(code, 0);
    }
    // Without the lock nothing rotates, so every line is in the log.
    ASSERT_FALSE(fs::exists(oldLogPath()));

    std::map<char, int> next; // each writer's lines in its order, none lost or doubled
    const auto lines = logLines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        char tag = 0;
        int number = -1;
        ASSERT_TRUE(writerLine(lines[i], kFiller, tag, number))
            << "line " << i << " (" << lines[i].size()
            << " bytes) is not one writer's whole line: " << lines[i].substr(0, 120);
        ASSERT_EQ(number, next[tag]) << "writer " << tag << ", line " << i;
        ++next[tag];
    }
    ASSERT_EQ(next.size(), static_cast<std::size_t>(kProcesses));
    for (const auto& [tag, count] : next) {
        EXPECT_EQ(count, kLines) << "writer " << tag;
    }
}

} // namespace
