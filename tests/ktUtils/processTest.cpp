#include "ktUtils/process.h"

#include "ktLog/ktLog.h"
#include "ktPlatform/strings.h"
#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new ktTest::TestLogEnvironment);

const std::string kChild = PROCESS_CHILD;

class ExecCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ktTest::clearLog(); }
    static std::string log() { return ktTest::logText(); }
    std::string path(const std::string& name) const { return m_dir.path() + "/" + name; }

    ktTest::TempDir m_dir;
};

TEST(BuildCommandLine, QuotesAProgramPathWithABlank)
{
    const struct {
        std::string command;
        std::string line;
    } cases[] = {
        {"C:\\Program Files\\App\\tool.exe -x", "\"C:\\Program Files\\App\\tool.exe\" -x"},
        {"C:\\a b\\t.exe", "\"C:\\a b\\t.exe\""},
        {"C:\\Windows\\system32/ipconfig.exe /all", "C:\\Windows\\system32/ipconfig.exe /all"},
        {"tool.exe an argument with blanks", "tool.exe an argument with blanks"},
        {"\"C:\\Program Files\\a.exe\" x", "\"C:\\Program Files\\a.exe\" x"},
        {"C:\\Program Files\\App\\TOOL.EXE -x", "C:\\Program Files\\App\\TOOL.EXE -x"},
        {"powershell -Command \"Get-Item x | y\"", "powershell -Command \"Get-Item x | y\""},
        {"C:\\a b\\x.exe.exe y", "\"C:\\a b\\x.exe\".exe y"}, // the first ".exe" counts
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string line = "previous";
        buildCommandLine(c.command, line);
        EXPECT_EQ(line, c.line) << c.command;
        std::wstring wide = L"previous";
        buildCommandLine(ktPlatform::toWide(c.command), wide);
        EXPECT_EQ(ktPlatform::toNarrow(wide), c.line) << c.command;
    }
}

TEST_F(ExecCommandTest, AppendOrReplace)
{
    const std::string out = path("out.log");
    const std::string print = kChild + " print ";
    ASSERT_TRUE(ExecCommand(print + "one", out, false));
    ASSERT_TRUE(ExecCommand(print + "two", out, false));
    EXPECT_EQ(ktTest::readAll(out), "out two\nerr two\n");
    ASSERT_TRUE(ExecCommand(print + "three", out, true));
    EXPECT_EQ(ktTest::readAll(out), "out two\nerr two\nout three\nerr three\n");
    EXPECT_NE(log().find("Successfully executed command: " + print + "three"), std::string::npos);

    ASSERT_TRUE(ExecCommand(ktPlatform::toWide(print + "wide"), ktPlatform::toWide(out)));
    EXPECT_EQ(ktTest::readAll(out), "out wide\nerr wide\n");

    std::uint32_t code = 99;
    ASSERT_TRUE(ExecCommandWithExitCode((print + "code").c_str(), &code, out));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ktTest::readAll(out), "out code\nerr code\n");
}

TEST_F(ExecCommandTest, NoOutputFile)
{
    ASSERT_TRUE(ExecCommand(kChild + " touch " + path("a"), "", false));
    ASSERT_TRUE(ExecCommand(ktPlatform::toWide(kChild + " touch " + path("b")), L""));
    std::uint32_t code = 99;
    ASSERT_TRUE(ExecCommandWithExitCode((kChild + " touch " + path("c")).c_str(), &code, ""));
    EXPECT_EQ(code, 0u);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_dir.path())) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ExecCommandTest, ArgumentsReachTheProgramAsSplitNeverThroughAShell)
{
    // A program in a folder with a blank, named as the Windows commands are.
    fs::create_directory(path("my dir"));
    const std::string program = path("my dir/child.exe");
    fs::create_symlink(kChild, program);
    const std::string marker = path("marker");
    const std::string out = path("out");

    ASSERT_TRUE(
        ExecCommand(program + " args \"two words\" a\\\"b ;touch " + marker + " $(x)", out, false));
    EXPECT_EQ(ktTest::readAll(out), "[" + program + "]\n[args]\n[two words]\n[a\"b]\n[;touch]\n[" +
                                        marker + "]\n[$(x)]\n");
    EXPECT_FALSE(fs::exists(marker));

    // Not quoted: the name ends at the blank, and no program "<dir>/my" exists.
    fs::create_symlink(kChild, path("my dir/upper.EXE"));
    const std::string upper = path("my dir/upper.EXE") + " args";
    EXPECT_FALSE(ExecCommand(upper, out, false));
    EXPECT_NE(log().find("CreateProcess() failed with error 2 running " + upper + "\n"),
              std::string::npos)
        << log();
}

TEST_F(ExecCommandTest, MissingProgram)
{
    const std::string missing = path("no such/prog.exe") + " -x";
    const std::string built = "\"" + path("no such/prog.exe") + "\" -x";
    std::uint32_t code = 99;
    EXPECT_FALSE(ExecCommand(missing, path("out"), false));
    EXPECT_FALSE(ExecCommand(ktPlatform::toWide(missing), ktPlatform::toWide(path("out"))));
    EXPECT_FALSE(ExecCommandWithExitCode(missing.c_str(), &code, path("out")));
    EXPECT_FALSE(ExecCommand("ktdiag-no-such-program", "", false));
    EXPECT_EQ(code, 99u);
    const std::string text = log();
    // The plain forms name the command as given, the exit-code form the built line.
    const std::string expected[] = {
        "CreateProcess() failed with error 2 running " + missing + "\n",
        "CreateProcess() failed with error 2 running " + missing + "\n",
        "CreateProcess() failed with error 2 running " + built + "\n",
        "CreateProcess() failed with error 2 running ktdiag-no-such-program\n",
    };
    std::string::size_type at = 0;
    for (const std::string& line : expected) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << text;
        at += line.size();
    }
    EXPECT_EQ(text.find("Successfully"), std::string::npos);
}

TEST_F(ExecCommandTest, ExitCodeIsReturned)
{
    const struct {
        std::string args;
        std::uint32_t code;
    } cases[] = {{"exit 0", 0}, {"exit 7", 7}, {"exit 255", 255}, {"signal 9", 128 + 9}};
    for (const auto& c : cases) {
        std::uint32_t code = 12345;
        EXPECT_TRUE(ExecCommandWithExitCode((kChild + " " + c.args).c_str(), &code, path("o")))
            << c.args;
        EXPECT_EQ(code, c.code) << c.args;
        // The plain form succeeds whatever the code.
        EXPECT_TRUE(ExecCommand(kChild + " " + c.args, "", false)) << c.args;
    }
}

TEST_F(ExecCommandTest, RefusedArgumentsAndOutputFiles)
{
    std::uint32_t code = 99;
    EXPECT_FALSE(ExecCommandWithExitCode(nullptr, &code, ""));
    EXPECT_FALSE(ExecCommandWithExitCode((kChild + " exit 0").c_str(), nullptr, ""));
    EXPECT_EQ(code, 99u);
    EXPECT_NE(log().find("ExecCommand: invalid args\n"), std::string::npos);

    // A missing folder: nothing is started.
    const std::string touch = kChild + " touch " + path("started");
    EXPECT_FALSE(ExecCommand(touch, path("none/out"), true));
    EXPECT_FALSE(ExecCommandWithExitCode(touch.c_str(), &code, path("none/out")));
    EXPECT_FALSE(fs::exists(path("started")));
    EXPECT_NE(log().find("ExecCommand: failed to create output file error: 2\n"),
              std::string::npos);

    // An output file in a shared folder: a planted link is replaced, never followed.
    ktTest::writeAll(path("victim"), "keep");
    fs::create_symlink(path("victim"), path("proxy.dat"));
    ASSERT_TRUE(ExecCommandWithExitCode((kChild + " print p").c_str(), &code, path("proxy.dat")));
    EXPECT_EQ(ktTest::readAll(path("victim")), "keep");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path("proxy.dat"))));
    EXPECT_EQ(fs::status(path("proxy.dat")).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ktTest::readAll(path("proxy.dat")), "out p\nerr p\n");
}

TEST_F(ExecCommandTest, HangingChildIsStoppedAtTheTimeOut)
{
    const std::string hang = kChild + " hang";
    const std::chrono::milliseconds timeout(100);
    std::uint32_t code = 99;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ExecCommandWithExitCode(hang.c_str(), &code, path("out"), timeout));
    EXPECT_FALSE(ExecCommand(hang, path("out"), false, timeout));
    // Both runs end at their own time-out, not at the default one.
    EXPECT_LT(std::chrono::steady_clock::now() - start, kCommandTimeout);
    EXPECT_EQ(code, 99u);
    EXPECT_NE(log().find("ExecCommand: timed out after 100 ms running " + hang + "\n"),
              std::string::npos);
    EXPECT_EQ(log().find("Successfully"), std::string::npos);
}

TEST_F(ExecCommandTest, OnADescriptorEachRunIsReportedAsItWent)
{
    // Several commands fill one file through the descriptor its caller made: a run that
    // did not start or did not end in time is a failure, logged; only what each program
    // wrote is appended, after what the file held.
    const std::string missing = path("missing") + " -x";
    const std::string sleeper = kChild + " sleep";
    struct Case {
        const char* what;
        std::string command;
        bool toFile; // else the descriptor is -1: the output goes nowhere
        bool result;
        std::string appended;
        std::string logged;
    };
    const Case cases[] = {
        {"ended with 0", kChild + " print a", true, true, "out a\nerr a\n",
         "Successfully executed command: " + kChild + " print a\n"},
        {"ended with 7", kChild + " exit 7", true, true, "",
         "Successfully executed command: " + kChild + " exit 7\n"},
        {"missing program", missing, true, false, "",
         "CreateProcess() failed with error 2 running " + missing + "\n"},
        {"timed out", sleeper, true, false, "",
         "ExecCommand: timed out after 300 ms running " + sleeper + "\n"},
        {"descriptor -1", kChild + " print b", false, true, "",
         "Successfully executed command: " + kChild + " print b\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ktTest::clearLog();
        const std::string out = path("out");
        ktTest::writeAll(out, "before\n");
        const int fd = ::open(out.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        // Only the sleeper meets its time-out, however busy the machine.
        const std::chrono::milliseconds timeout(c.command == sleeper ? 300 : 20000);
        EXPECT_EQ(ExecCommand(c.command, c.toFile ? fd : -1, timeout), c.result);
        ::close(fd);
        EXPECT_EQ(ktTest::readAll(out), "before\n" + c.appended);
        const std::string text = log();
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        EXPECT_EQ(text.find("Successfully") != std::string::npos, c.result) << text;
    }
}

// The public folder and its log are shared by every account: a thread acting as a user
// logs, and runs a program whose output goes into the public folder.
TEST_F(ExecCommandTest, ActingAsAnUnprivilegedAccountLogsAndWritesItsOutput)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    const std::string output = ktTest::logFolder() + "/proxy.dat";
    std::error_code ec;
    fs::remove(output, ec);
    const ktPlatform::Token as{account.uid, account.gid, account.name, account.home};
    std::uint32_t code = 99;
    bool ran = false;
    {
        ktPlatform::ThreadImpersonation scope;
        ASSERT_TRUE(scope.begin(as));
        KTLOG_M("test", KT_LOG_INFO, "logged as the account");
        ran = ExecCommandWithExitCode((kChild + " print p").c_str(), &code, output);
        KTLOG_M("test", KT_LOG_INFO, "still logged as the account");
    }
    EXPECT_TRUE(ktTest::logHas("logged as the account"));
    EXPECT_TRUE(ktTest::logHas("still logged as the account"));
    ASSERT_TRUE(ran);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ktTest::readAll(output), "out p\nerr p\n");
    struct stat st {};
    ASSERT_EQ(::lstat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, account.uid);
    fs::remove(output, ec);
}

} // namespace
