// Opening and listing below a folder that another account owns, and the removal of
// temporary paths at the end of a run or on an interrupting signal.

#include "ktPlatform/files.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/tokens.h"

#include "ktTest/runner.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

class Beneath : public ::testing::Test {
protected:
    Beneath()
    {
        // home/user/Kestrani/Merivon holds the user's file; outside holds what is not theirs.
        fs::create_directories(m_home + "/real/Kestrani/Merivon");
        ktTest::writeAll(m_home + "/real/Kestrani/Merivon/own.json", "own");
        fs::create_directories(m_outside + "/Merivon");
        ktTest::writeAll(m_outside + "/Merivon/secret.json", "secret");
        ktTest::writeAll(m_outside + "/secret.json", "secret");
        fs::create_directory_symlink(m_dir.path() + "/home", m_dir.path() + "/homelink");
    }
    ktTest::TempDir m_dir;
    std::string m_home = m_dir.path() + "/home";
    std::string m_outside = m_dir.path() + "/outside";
};

TEST_F(Beneath, NoLinkIsFollowedBelowTheAnchor)
{
    fs::create_directories(m_home + "/lastlevel/Kestrani");
    fs::create_directory_symlink(m_outside + "/Merivon", m_home + "/lastlevel/Kestrani/Merivon");
    fs::create_directory_symlink(m_outside, m_home + "/midlevel");
    fs::create_symlink(m_outside + "/secret.json", m_home + "/real/Kestrani/Merivon/file-link");
    ASSERT_EQ(::mkfifo((m_home + "/real/fifo").c_str(), 0600), 0);

    struct Case {
        const char* name;
        std::string anchor;
        std::string path;
        bool opens;
    };
    const Case cases[] = {
        {"a plain path", m_home, m_home + "/real/Kestrani/Merivon/own.json", true},
        {"links up to the anchor are the system's", m_dir.path() + "/homelink",
         m_dir.path() + "/homelink/real/Kestrani/Merivon/own.json", true},
        {"doubled and dot levels", m_home, m_home + "//real/./Kestrani/Merivon/own.json", true},
        {"a link at the last folder level", m_home,
         m_home + "/lastlevel/Kestrani/Merivon/secret.json", false},
        {"a link at a middle level", m_home, m_home + "/midlevel/Merivon/secret.json", false},
        {"a link as the file", m_home, m_home + "/real/Kestrani/Merivon/file-link", false},
        {"a climb out", m_home, m_home + "/real/../../outside/secret.json", false},
        {"a relative path", "home", "home/real/Kestrani/Merivon/own.json", false},
        {"a FIFO", m_home, m_home + "/real/fifo", false},
        {"a folder", m_home, m_home + "/real", false},
        // Outside the anchor every level counts, the link to the home included.
        {"outside the anchor", m_outside, m_dir.path() + "/homelink/real/Kestrani/Merivon/own.json",
         false},
    };
    for (const Case& c : cases) {
        const FilePtr f(ktPlatform::openFileBeneath(c.anchor, c.path));
        EXPECT_EQ(f != nullptr, c.opens) << c.name;
    }
}

TEST_F(Beneath, AFolderOnTheWayNeedOnlyBeSearched)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another account needs root";
    }
    // The way to the user's folder may be searched, not read, as the user it is read as.
    const std::string merivon = m_home + "/real/Kestrani/Merivon";
    for (const std::string& level : {m_dir.path(), m_home, m_home + "/real"}) {
        ASSERT_EQ(::chmod(level.c_str(), 0711), 0);
    }
    ASSERT_EQ(::chmod((m_home + "/real/Kestrani").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(merivon.c_str(), 0755), 0);
    ktPlatform::Token nobody;
    nobody.uid = 65534;
    nobody.gid = 65534;
    ktPlatform::ThreadImpersonation as;
    ASSERT_TRUE(as.begin(nobody));
    const FilePtr f(ktPlatform::openFileBeneath(m_home, merivon + "/own.json"));
    const int openError = errno;
    std::vector<std::string> names;
    const bool listed = ktPlatform::listFilesBeneath(m_home, merivon, names);
    as.end();
    EXPECT_NE(f, nullptr) << openError;
    EXPECT_TRUE(listed);
    EXPECT_EQ(names, (std::vector<std::string>{"own.json"}));
}

TEST_F(Beneath, ListingNamesWhatIsNotAFolderAndFollowsNoLink)
{
    const std::string merivon = m_home + "/real/Kestrani/Merivon";
    fs::create_symlink(m_outside + "/secret.json", merivon + "/a-link");
    fs::create_directory(merivon + "/data");
    std::vector<std::string> names;
    ASSERT_TRUE(ktPlatform::listFilesBeneath(m_home, merivon, names));
    EXPECT_EQ(names, (std::vector<std::string>{"a-link", "own.json"}));

    fs::create_directory_symlink(m_outside, m_home + "/midlevel");
    EXPECT_FALSE(ktPlatform::listFilesBeneath(m_home, m_home + "/midlevel/Merivon", names));
    EXPECT_FALSE(ktPlatform::listFilesBeneath(m_home, m_home + "/missing", names));
}

// A held folder with what it holds, as the decrypted copies leave it.
void fillFolder(const std::string& folder)
{
    fs::create_directories(folder + "/1/deeper");
    ktTest::writeAll(folder + "/copy.json", "copy");
    ktTest::writeAll(folder + "/1/copy.json", "copy");
    ktTest::writeAll(folder + "/1/deeper/copy.json", "copy");
    ktTest::writeAll(folder + "/.copy.json.tmp", "half written");
}

TEST(TemporaryPath, RemovesWhatItHoldsUnlessKept)
{
    ktTest::TempDir dir;
    const std::string folder = dir.path() + "/copies";
    const std::string file = dir.path() + "/.out.zip.tmp";
    const std::string kept = dir.path() + "/kept";
    fillFolder(folder);
    ktTest::writeAll(file, "half an archive");
    ktTest::writeAll(kept, "put in place");
    {
        ktPlatform::TemporaryPath heldFolder;
        ktPlatform::TemporaryPath heldFile;
        ktPlatform::TemporaryPath keptFile;
        ASSERT_TRUE(heldFolder.hold(folder, ktPlatform::TemporaryPath::Kind::folder));
        ASSERT_TRUE(heldFile.hold(file, ktPlatform::TemporaryPath::Kind::file));
        ASSERT_TRUE(keptFile.hold(kept, ktPlatform::TemporaryPath::Kind::file));
        keptFile.keep();
        EXPECT_TRUE(heldFile.remove());
        EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(fs::exists(folder));
    }
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(kept));
}

TEST(TemporaryPath, MadeNewPrivateAndHeldFromTheStart)
{
    ktTest::TempDir dir;
    const std::string archive = dir.path() + "/out.zip";
    ktTest::writeAll(archive, "what was there");
    ktPlatform::TemporaryPath file;
    ktPlatform::TemporaryPath folder;
    std::string filePath;
    std::string folderPath;
    int fd = -1;
    ASSERT_TRUE(file.createFileBeside(archive, filePath, fd));
    ::close(fd);
    ASSERT_TRUE(folder.createFolderIn(dir.path(), "kt.", folderPath));
    EXPECT_EQ(fs::path(filePath).parent_path(), fs::path(dir.path()));
    EXPECT_EQ(fs::path(filePath).filename().string().rfind(".out.zip.", 0), 0u) << filePath;
    EXPECT_EQ(fs::path(folderPath).filename().string().rfind("kt.", 0), 0u) << folderPath;
    struct stat st {};
    ASSERT_EQ(::lstat(filePath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(folderPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(file.holding());
    EXPECT_TRUE(folder.holding());
    EXPECT_TRUE(file.remove());
    EXPECT_TRUE(folder.remove());
    EXPECT_FALSE(fs::exists(filePath));
    EXPECT_FALSE(fs::exists(folderPath));
    EXPECT_EQ(ktTest::readAll(archive), "what was there");
}

TEST(TemporaryPath, AnInterruptingSignalRemovesWhatIsHeldAndEndsTheProcess)
{
    const ktTest::NoCoreDumps noCores;
    std::string why;
    const std::optional<ktTest::TestAccount> account = ktTest::testAccount(why);
    const struct {
        int signal;
        // Raised while the thread acts as the account, which could not remove root's paths.
        bool acting;
    } cases[] = {
        {SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGQUIT, false}, {SIGTERM, true},
    };
    for (const auto& c : cases) {
        const int signal = c.signal;
        if (c.acting && !account) {
            std::printf("acting row left out: %s\n", why.c_str());
            continue;
        }
        SCOPED_TRACE(c.acting ? "acting as " + account->name : "as root");
        ktTest::TempDir dir;
        const std::string folder = dir.path() + "/copies";
        const std::string file = dir.path() + "/.out.zip.tmp";
        const std::string done = dir.path() + "/not-reached";
        fillFolder(folder);
        ktTest::writeAll(file, "half an archive");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Cores allowed, into the temporary folder: the ending signal must still leave none.
            rlimit cores{};
            ::getrlimit(RLIMIT_CORE, &cores);
            cores.rlim_cur = cores.rlim_max;
            ::setrlimit(RLIMIT_CORE, &cores);
            if (::chdir(dir.path().c_str()) != 0) {
                ::_exit(4);
            }
            ktPlatform::installInterruptCleanup();
            ktPlatform::TemporaryPath heldFolder;
            ktPlatform::TemporaryPath heldFile;
            if (!heldFolder.hold(folder, ktPlatform::TemporaryPath::Kind::folder) ||
                !heldFile.hold(file, ktPlatform::TemporaryPath::Kind::file)) {
                ::_exit(3);
            }
            ktPlatform::ThreadImpersonation acting;
            if (c.acting &&
                !acting.begin({account->uid, account->gid, account->name, account->home})) {
                ::_exit(5);
            }
            ::raise(signal);
            ktTest::writeAll(done, "the signal did not end the process");
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal;
        EXPECT_FALSE(WCOREDUMP(status)) << "signal " << signal;
        EXPECT_FALSE(fs::exists(folder)) << "signal " << signal;
        EXPECT_FALSE(fs::exists(file)) << "signal " << signal;
        EXPECT_FALSE(fs::exists(done)) << "signal " << signal;
    }
}

// As under nohup: a signal ignored before the handlers go in neither cleans up nor ends the
// run; the others still do.
TEST(TemporaryPath, ASignalIgnoredFromTheStartStaysIgnored)
{
    ktTest::TempDir dir;
    const std::string file = dir.path() + "/.out.zip.tmp";
    const std::string survived = dir.path() + "/survived";
    ktTest::writeAll(file, "half an archive");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGHUP, SIG_IGN);
        ktPlatform::installInterruptCleanup();
        ktPlatform::TemporaryPath held;
        if (!held.hold(file, ktPlatform::TemporaryPath::Kind::file)) {
            ::_exit(3);
        }
        ::raise(SIGHUP);
        ktTest::writeAll(survived, fs::exists(file) ? "held" : "removed");
        ::raise(SIGTERM);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(ktTest::readAll(survived), "held");
    EXPECT_FALSE(fs::exists(file));
}

// A held folder whose removal takes a while: a second signal can come while it runs.
constexpr int kLargeFolderEntries = 1000;

void fillLargeFolder(const std::string& folder, bool subfolders)
{
    fs::create_directory(folder);
    for (int i = 0; i < kLargeFolderEntries; ++i) {
        const std::string entry = folder + "/" + std::to_string(i);
        if (subfolders) {
            fs::create_directory(entry);
        } else {
            ktTest::writeAll(entry, "copy");
        }
    }
}

// False once the handler began to empty a folder fillLargeFolder made.
bool holdsAll(const std::string& folder)
{
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    return !error && std::distance(entries, fs::directory_iterator()) == kLargeFolderEntries;
}

// A forked child that holds folder, with a second thread that is free to take signals.
// Tells through ready once it holds, then waits for the end; work runs on the second thread.
[[noreturn]] void holdingChild(const std::string& folder, int ready,
                               const std::function<void(ktPlatform::TemporaryPath&)>& work)
{
    ktPlatform::installInterruptCleanup();
    ktPlatform::TemporaryPath held;
    if (!held.hold(folder, ktPlatform::TemporaryPath::Kind::folder)) {
        ::_exit(3);
    }
    std::thread other([&] {
        work(held);
        for (;;) {
            ::pause();
        }
    });
    other.detach();
    const char byte = 'r';
    if (::write(ready, &byte, 1) != 1) {
        ::_exit(4);
    }
    ::sleep(30);
    ::_exit(0);
}

TEST(TemporaryPath, ASecondSignalWaitsForTheCleanUpAndTheFirstEndsTheProcess)
{
    const ktTest::NoCoreDumps noCores;
    const std::pair<int, int> pairs[] = {
        {SIGINT, SIGINT}, {SIGTERM, SIGINT}, {SIGQUIT, SIGTERM}, {SIGHUP, SIGQUIT}};
    for (const auto& [first, second] : pairs) {
        SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
        ktTest::TempDir dir;
        const std::string folder = dir.path() + "/copies";
        fillLargeFolder(folder, false);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            holdingChild(folder, ready[1], [](ktPlatform::TemporaryPath&) {});
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::kill(child, first);
        EXPECT_TRUE(ktTest::waitUntilCleanUpBegan(child, [&] { return !holdsAll(folder); }));
        ::kill(child, second);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
#if defined(__SANITIZE_THREAD__)
        // The thread sanitizer may hold both signals and hand them on lower-numbered first.
        EXPECT_TRUE(WTERMSIG(status) == first || WTERMSIG(status) == second) << status;
#else
        EXPECT_EQ(WTERMSIG(status), first);
#endif
        EXPECT_FALSE(fs::exists(folder));
    }
}

// The path's own removal has begun on one thread when the signal comes to another.
TEST(TemporaryPath, ASignalDuringTheRemovalWaitsForIt)
{
    bool caught = false;
    for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
        ktTest::TempDir dir;
        const std::string folder = dir.path() + "/copies";
        fillLargeFolder(folder, true);
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        const nlink_t full = st.st_nlink; // a folder's links count its subfolders
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            holdingChild(folder, ready[1], [](ktPlatform::TemporaryPath& held) { held.remove(); });
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::lstat(folder.c_str(), &st) == 0 && st.st_nlink == full &&
               std::chrono::steady_clock::now() < until) {
        }
        caught = ::lstat(folder.c_str(), &st) == 0 && st.st_nlink > 2;
        ::kill(child, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_FALSE(fs::exists(folder)) << "attempt " << attempt;
    }
    EXPECT_TRUE(caught) << "the signal never came while the removal ran";
}

} // namespace
