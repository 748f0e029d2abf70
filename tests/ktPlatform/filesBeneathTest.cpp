// Opening and listing below a folder that another account owns, and the removal of
// temporary paths at the end of a run or on an interrupting signal.

#include "ktPlatform/files.h"
#include "ktPlatform/interruptCleanup.h"
#include "ktPlatform/tokens.h"

#include "ktTest/tempTree.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ktTest::TempDir dir;
        const std::string folder = dir.path() + "/copies";
        const std::string file = dir.path() + "/.out.zip.tmp";
        const std::string done = dir.path() + "/not-reached";
        fillFolder(folder);
        ktTest::writeAll(file, "half an archive");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ktPlatform::installInterruptCleanup();
            ktPlatform::TemporaryPath heldFolder;
            ktPlatform::TemporaryPath heldFile;
            if (!heldFolder.hold(folder, ktPlatform::TemporaryPath::Kind::folder) ||
                !heldFile.hold(file, ktPlatform::TemporaryPath::Kind::file)) {
                ::_exit(3);
            }
            ::raise(signal);
            ktTest::writeAll(done, "the signal did not end the process");
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal;
        EXPECT_FALSE(fs::exists(folder)) << "signal " << signal;
        EXPECT_FALSE(fs::exists(file)) << "signal " << signal;
        EXPECT_FALSE(fs::exists(done)) << "signal " << signal;
    }
}

} // namespace
