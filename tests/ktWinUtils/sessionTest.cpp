#include "ktWinUtils/impersonate.h"
#include "ktWinUtils/launchApp.h"

#include "ktPlatform/sessions.h"
#include "ktPlatform/tokens.h"
#include "ktTest/tempTree.h"
#include "ktTest/testAccount.h"
#include "ktTest/testLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <future>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kNobody = 65534;
constexpr std::uint32_t kDaemon = 1;

std::string session(std::uint32_t uid, const std::string& state, const std::string& seat = "",
                    const std::string& sessionClass = "user")
{
    std::string text = "UID=" + std::to_string(uid) + "\nSTATE=" + state +
                       "\nCLASS=" + sessionClass + "\nACTIVE=" + (state == "active" ? "1" : "0") +
                       "\n";
    if (!seat.empty()) {
        text += "SEAT=" + seat + "\n";
    }
    return text;
}

// A folder of logind session files that every account can read (impersonated reads too).
class LogindFixture {
public:
    explicit LogindFixture(const std::map<std::string, std::string>& files)
        : m_env("KTDIAG_SESSIONS_DIR", m_dir.path() + "/sessions")
    {
        fs::create_directory(m_dir.path() + "/sessions");
        for (const auto& f : files) {
            ktTest::writeAll(m_dir.path() + "/sessions/" + f.first, f.second);
        }
        fs::permissions(m_dir.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(m_dir.path() + "/sessions",
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                            fs::perms::group_read | fs::perms::others_read);
    }

private:
    ktTest::TempDir m_dir;
    ktTest::ScopedEnv m_env;
};

// A folder every account may create files in.
class SharedFolder {
public:
    SharedFolder() : m_path(m_dir.path() + "/shared")
    {
        fs::create_directory(m_path);
        fs::permissions(m_dir.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(m_path, fs::perms::all);
    }
    // Creates a file and returns its owner's uid.
    std::uint32_t createdBy(const std::string& name) const
    {
        const std::string path = m_path + "/" + name;
        ktTest::writeAll(path, "x");
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return 0xFFFFFFFFu;
        }
        return st.st_uid;
    }

private:
    ktTest::TempDir m_dir;
    std::string m_path;
};

TEST(ActiveSession, PicksTheConsoleOrElseTheFirstActiveUserSession)
{
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        bool found;
        std::uint32_t id;
    };
    const Case cases[] = {
        {"active console",
         {{"4", session(0, "active", "seat0")}, {"2", session(0, "active")}},
         true,
         4},
        {"disconnected console, remote session active",
         {{"2", session(0, "online", "seat0")}, {"5", session(0, "active")}},
         true,
         5},
        {"remote session only", {{"3", session(0, "active")}}, true, 3},
        {"session 0 is never chosen from the list",
         {{"0", session(0, "active")}, {"7", session(0, "active")}},
         true,
         7},
        {"only session 0", {{"0", session(0, "active")}}, false, 0},
        {"greeter on the console is no user session",
         {{"1", session(0, "active", "seat0", "greeter")}, {"6", session(0, "active")}},
         true,
         6},
        {"nobody signed in", {}, false, 0},
        {"named sessions have no id", {{"c1", session(0, "active")}}, false, 0},
        {"only disconnected sessions", {{"8", session(0, "online")}}, false, 0},
    };
    for (const Case& c : cases) {
        LogindFixture fixture(c.files);
        std::uint32_t id = 12345;
        EXPECT_EQ(getActiveSessionId(id), c.found) << c.name;
        if (c.found) {
            EXPECT_EQ(id, c.id) << c.name;
        } else {
            EXPECT_EQ(id, ktPlatform::kNoSession) << c.name;
        }
    }
}

TEST(ActiveSession, NoActiveSessionIsLoggedWithTheCount)
{
    LogindFixture fixture({{"8", session(0, "online")}, {"9", session(0, "closing")}});
    ktTest::clearLog();
    std::uint32_t id = 0;
    EXPECT_FALSE(getActiveSessionId(id));
    EXPECT_TRUE(ktTest::logHas("Failed to find an active user session, session count 2"))
        << ktTest::logText();
}

TEST(ActiveSession, WithoutLogindTheConsoleAndTheProcessAreSessionOne)
{
    ktTest::ScopedEnv noLogind("KTDIAG_SESSIONS_DIR", std::string());
    ktTest::ScopedEnv noOverride("KTDIAG_SESSION_ID", std::nullopt);
    std::uint32_t id = 0;
    ASSERT_TRUE(getActiveSessionId(id));
    EXPECT_EQ(id, 1u);
    ASSERT_TRUE(ktPlatform::processSessionId(id));
    EXPECT_EQ(id, 1u);
    // The session's user is the process's own.
    std::uint32_t session = 0;
    UserToken token = getUserToken(session);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->uid, static_cast<std::uint32_t>(::getuid()));
}

TEST(ActiveSession, WithLogindTheProcessSessionIsTheAuditSessionAndNeverZero)
{
    LogindFixture fixture({{"4", session(0, "active", "seat0")}});
    ktTest::ScopedEnv noOverride("KTDIAG_SESSION_ID", std::nullopt);
    const std::string audit = ktTest::readAll("/proc/self/sessionid");
    const unsigned long value = audit.empty() ? 0 : std::stoul(audit);
    std::uint32_t id = 12345;
    ASSERT_TRUE(ktPlatform::processSessionId(id));
    EXPECT_EQ(id, value == 0 || value == 0xFFFFFFFFul ? 1u : value);
}

TEST(ActiveSession, ProcessSessionOverride)
{
    const struct {
        const char* value;
        bool ok;
        std::uint32_t id;
    } cases[] = {{"0", true, 0},   {"7", true, 7},           {"x", false, 0},
                 {"", false, 0},   {"-1", false, 0},         {"4294967295", false, 0},
                 {" 3", false, 0}, {"99999999999", false, 0}};
    for (const auto& c : cases) {
        ktTest::ScopedEnv env("KTDIAG_SESSION_ID", std::string(c.value));
        std::uint32_t id = 12345;
        EXPECT_EQ(ktPlatform::processSessionId(id), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.value;
        }
    }
}

class Impersonation : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "impersonating another account needs root";
        }
    }
    // Session 9: nobody on the console; session 8: daemon, remote.
    LogindFixture m_logind{
        {{"9", session(kNobody, "active", "seat0")}, {"8", session(kDaemon, "active")}}};
    SharedFolder m_folder;
};

TEST_F(Impersonation, FilesBelongToTheUserOnlyWhileTheGuardLives)
{
    EXPECT_EQ(isLocalSystem(), 1);
    // A thread that runs already keeps the process's identity.
    std::promise<void> go;
    std::future<std::uint32_t> other = std::async(std::launch::async, [&] {
        go.get_future().wait();
        return m_folder.createdBy("other-thread");
    });
    {
        ImpersonationGuard guard;
        EXPECT_TRUE(impersonateActiveUser(guard)); // no ASSERT: the thread must be released
        EXPECT_TRUE(guard.active());
        EXPECT_EQ(ktPlatform::currentUserName(), "nobody");
        EXPECT_EQ(m_folder.createdBy("during"), kNobody);
        go.set_value();
        EXPECT_EQ(other.get(), 0u);
    }
    EXPECT_EQ(m_folder.createdBy("after"), 0u);
    EXPECT_EQ(ktPlatform::currentUserName(), "root");
}

TEST_F(Impersonation, NestedGuardsRestoreWhatTheyFound)
{
    ImpersonationGuard outer;
    ASSERT_TRUE(impersonateActiveUser(outer, 9));
    {
        ImpersonationGuard inner;
        ASSERT_TRUE(impersonateActiveUser(inner, 8));
        EXPECT_EQ(m_folder.createdBy("inner"), kDaemon);
    }
    EXPECT_EQ(m_folder.createdBy("outer"), kNobody);
    EXPECT_TRUE(revertImpersonation(outer));
    EXPECT_FALSE(outer.active());
    EXPECT_TRUE(revertImpersonation(outer)) << "an empty guard reverts to true";
    EXPECT_EQ(m_folder.createdBy("self"), 0u);
}

TEST_F(Impersonation, ASecondImpersonationRevertsTheFirst)
{
    ImpersonationGuard guard;
    ASSERT_TRUE(impersonateActiveUser(guard, 9));
    ASSERT_TRUE(impersonateActiveUser(guard, 8));
    EXPECT_EQ(m_folder.createdBy("second"), kDaemon);
    ASSERT_TRUE(revertImpersonation(guard));
    EXPECT_EQ(m_folder.createdBy("reverted"), 0u) << "back to self, not to the first user";
}

TEST_F(Impersonation, AMovedGuardKeepsTheImpersonation)
{
    auto start = [] {
        ImpersonationGuard guard;
        impersonateActiveUser(guard, 9);
        return guard;
    };
    ImpersonationGuard moved = start();
    EXPECT_TRUE(moved.active());
    EXPECT_EQ(m_folder.createdBy("moved"), kNobody);
    ImpersonationGuard assigned;
    assigned = std::move(moved);
    EXPECT_FALSE(moved.active());
    EXPECT_EQ(m_folder.createdBy("assigned"), kNobody);
    assigned = ImpersonationGuard();
    EXPECT_EQ(m_folder.createdBy("ended"), 0u);
}

// The calling thread's supplementary groups.
std::vector<gid_t> threadGroups()
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<std::size_t>(
        std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    std::sort(groups.begin(), groups.end());
    return groups;
}

bool hasGroup(const std::vector<gid_t>& groups, std::uint32_t gid)
{
    return std::find(groups.begin(), groups.end(), static_cast<gid_t>(gid)) != groups.end();
}

// Gives every thread of the process the groups of a root login (group 0) for the life of the
// object; a container may start root with none.
class RootLoginGroups {
public:
    RootLoginGroups() : m_saved(threadGroups())
    {
        const gid_t root = 0;
        m_set = ::setgroups(1, &root) == 0;
    }
    ~RootLoginGroups()
    {
        if (m_set) {
            ::setgroups(m_saved.size(), m_saved.data());
        }
    }
    RootLoginGroups(const RootLoginGroups&) = delete;
    RootLoginGroups& operator=(const RootLoginGroups&) = delete;

private:
    std::vector<gid_t> m_saved;
    bool m_set = false;
};

// A file of root's that its group may read, as a user's link might point at.
TEST_F(Impersonation, TheThreadTakesTheUsersGroupsAndOnlyThatThread)
{
    KT_TEST_ACCOUNT_OR_SKIP(account);
    LogindFixture logind(
        {{"7", session(account.uid, "active", "seat0")}, {"8", session(kDaemon, "active")}});
    ktTest::TempDir dir;
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const std::string groupOnly = dir.path() + "/root-group.conf";
    ktTest::writeAll(groupOnly, "secret of group 0");
    ASSERT_EQ(::chown(groupOnly.c_str(), 0, 0), 0);
    fs::permissions(groupOnly,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const RootLoginGroups rootLogin;
    const std::vector<gid_t> own = threadGroups();
    ASSERT_TRUE(hasGroup(own, 0));

    std::promise<void> go;
    std::future<std::vector<gid_t>> other = std::async(std::launch::async, [&] {
        go.get_future().wait();
        return threadGroups();
    });
    std::vector<gid_t> asAccount;
    {
        ImpersonationGuard guard;
        EXPECT_TRUE(impersonateActiveUser(guard, 7)); // no ASSERT: the thread must be released
        asAccount = threadGroups();
        EXPECT_TRUE(hasGroup(asAccount, account.gid));
        EXPECT_FALSE(hasGroup(asAccount, 0));
        errno = 0;
        const int fd = ::open(groupOnly.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(fd, -1) << "read as the user through root's group";
        EXPECT_EQ(errno, EACCES);
        if (fd >= 0) {
            ::close(fd);
        }
        go.set_value();
        EXPECT_EQ(other.get(), own) << "another thread keeps root's groups";
        {
            ImpersonationGuard inner;
            ASSERT_TRUE(impersonateActiveUser(inner, 8));
            const std::vector<gid_t> asDaemon = threadGroups();
            EXPECT_TRUE(hasGroup(asDaemon, kDaemon));
            EXPECT_FALSE(hasGroup(asDaemon, account.gid));
            EXPECT_FALSE(hasGroup(asDaemon, 0));
        }
        EXPECT_EQ(threadGroups(), asAccount) << "the inner guard restores the outer user's";
    }
    EXPECT_EQ(threadGroups(), own);
    EXPECT_EQ(ktTest::readAll(groupOnly), "secret of group 0");
}

TEST_F(Impersonation, ASessionWithoutAUserFailsAndLeavesTheGuardEmpty)
{
    LogindFixture unknown({{"3", session(54321, "active", "seat0")}});
    const std::uint32_t sessions[] = {3, 42};
    for (std::uint32_t id : sessions) {
        ktTest::clearLog();
        ImpersonationGuard guard;
        EXPECT_FALSE(impersonateActiveUser(guard, id)) << id;
        EXPECT_FALSE(guard.active()) << id;
        EXPECT_TRUE(ktTest::logHas("Failed to retrieve current user token")) << id;
    }
    LogindFixture none({});
    ImpersonationGuard guard;
    EXPECT_FALSE(impersonateActiveUser(guard));
    EXPECT_EQ(m_folder.createdBy("still-self"), 0u);
}

// Runs checks as a process that is not root: in a child that drops to nobody when the
// tests run as root.
int runAsNormalUser(const std::function<bool()>& checks)
{
    if (::geteuid() != 0) {
        return checks() ? 0 : 1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(2);
        }
        ::_exit(checks() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

TEST(NormalUser, ImpersonationSucceedsWithoutChangingAnything)
{
    LogindFixture logind({{"9", session(kDaemon, "active", "seat0")}});
    const int result = runAsNormalUser([] {
        const std::uint32_t self = static_cast<std::uint32_t>(::geteuid());
        ImpersonationGuard guard;
        std::uint32_t session = 9;
        UserToken token = getUserToken(session);
        return isLocalSystem() == 0 && impersonateActiveUser(guard) && !guard.active() &&
               revertImpersonation(guard) && token && token->uid == self;
    });
    EXPECT_EQ(result, 0);
}

} // namespace
